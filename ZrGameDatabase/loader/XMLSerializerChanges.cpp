// XMLSerializerChanges.cpp: telling the observer which rows an Update, a Delete or a reference
// purge touches. The rows are read before the statement runs (afterwards a deleted row is gone and
// an updated one may no longer match), kept, and reported once the change ran and no statement of
// the loader is mid-step. Nothing here runs without an observer.
#include <sqlite3.h>

#include <cstring>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "core/Command.h"
#include "loader/XMLSerializerImpl.h"

namespace Database {

using Loader::Span;

namespace {

constexpr std::size_t kNoText = static_cast<std::size_t>(-1);

// The key a row is known by: its Type, or its first column when the table has no Type column.
int KeyColumn(Results& rows) {
    const int type = rows.ColumnPosition("Type");
    return type >= 0 ? type : (rows.ColumnCount() > 1 ? 1 : -1);
}

std::size_t AppendText(SqlText& texts, const char* text) {
    if (text == nullptr)
        return kNoText;
    const std::size_t offset = texts.Length();
    texts.Append(text).Append('\0');
    return offset;
}

}  // namespace

void MatchedRows::Clear() noexcept {
    rows.Clear();
    texts.Clear();
}

// Reads the rows "SELECT rowid, * FROM <table><condition>" gives, binding values from the first
// bound parameter on, and keeps them for ReportMatchedRows. False when no memory was left.
bool XMLSerializer::Impl::CollectMatchedRows(const char* table, std::string_view condition, const Span* values,
                                             std::size_t valueCount) {
    SqlText& select = scratch.key;
    select.Clear();
    select.Append("SELECT rowid, * FROM ").AppendName(table).Append(condition);
    if (!select.Ok())
        return false;
    Results rows;
    if (ResultsAccess::Prepare(*connection, rows, select.Text(), static_cast<int>(select.Length())) != Status::Ok)
        return true;  // the change itself will say why it cannot run
    for (std::size_t index = 0; index < valueCount; ++index)
        Loader::BindValue(rows, static_cast<int>(index + 1), values[index]);
    const int key = KeyColumn(rows);
    while (rows.Step()) {
        const std::size_t tableAt = AppendText(matched.texts, table);
        const std::size_t keyAt = AppendText(matched.texts, key >= 0 ? rows.GetText(key) : nullptr);
        if (!matched.rows.Push(MatchedRows::Row{rows.GetInt64(0), tableAt, keyAt}))
            return false;
    }
    return matched.texts.Ok();
}

// Terminated copies of names and values for a row change: pointers[0..count) the names,
// pointers[count..2 count) the values, null for a NULL. Measured first and copied into one
// stretch of the buffer, which then no longer moves while they are pointed at.
template <class NameAt>
bool XMLSerializer::Impl::BuildColumnTexts(std::size_t count, NameAt nameAt, const Memory::Array<Span>& values) {
    rowPointers.Clear();
    if (!rowPointers.Reserve(2 * count))
        return false;
    std::size_t bytes = 0;
    for (std::size_t index = 0; index < count; ++index) {
        bytes += nameAt(index).size() + 1;
        if (!Loader::IsNullValue(values[index]))
            bytes += values[index].length + 1;
    }
    rowTexts.Clear();
    char* to = rowTexts.Extend(bytes);
    if (to == nullptr)
        return false;
    const auto copy = [&to](std::string_view text) {
        const char* copied = to;
        std::memcpy(to, text.data(), text.size());
        to[text.size()] = '\0';
        to += text.size() + 1;
        return copied;
    };
    for (std::size_t index = 0; index < count; ++index)
        (void)rowPointers.Push(copy(nameAt(index)));
    for (std::size_t index = 0; index < count; ++index)
        (void)rowPointers.Push(Loader::IsNullValue(values[index]) ? nullptr : copy(values[index].View()));
    return true;
}

void XMLSerializer::Impl::ReportMatchedRows(ChangeKind kind, int line) {
    const bool update = kind == ChangeKind::Update;
    const std::size_t count = update ? scratch.setNames.Size() : 0;
    if (update && !BuildColumnTexts(count, [&](std::size_t index) { return scratch.setNames[index].View(); },
                                    scratch.values))
        return;
    const char* const* columns = count != 0 ? rowPointers.begin() : nullptr;
    for (const MatchedRows::Row& row : matched.rows) {
        const char* table = matched.texts.Text() + row.tableAt;
        const char* key = row.keyAt == kNoText ? nullptr : matched.texts.Text() + row.keyAt;
        diagnostics.RowWritten(RowChange{fileName, line, table, kind, row.rowid, key, static_cast<int>(count), columns,
                                         columns != nullptr ? columns + count : nullptr});
    }
    matched.Clear();
}

// Reports the row just inserted from the scratch state's names and values; an insert the database
// left out (the key was there already) is reported as ignored.
void XMLSerializer::Impl::ReportRowInserted(Span table, int line, InsertMode mode) {
    sqlite3* handle = connection->Handle();
    if (handle == nullptr)
        return;
    const bool written = sqlite3_changes(handle) != 0;
    if (!written && mode != InsertMode::Ignore)
        return;  // an abort-mode row refused by a constraint changes nothing and is no conflict
    const std::size_t count = scratch.values.Size();
    const auto nameAt = [&](std::size_t index) {
        return index < scratch.names.Size() ? scratch.names[index].View() : std::string_view("PackageID");
    };
    if (!BuildColumnTexts(count, nameAt, scratch.values))
        return;
    const char* const* pointers = rowPointers.begin();
    const char* key = nullptr;
    for (std::size_t index = 0; index < count; ++index) {
        if (nameAt(index) == "Type" || (key == nullptr && index == 0))
            key = pointers[count + index];
    }
    SqlText& name = scratch.key;
    name.Clear();
    name.Append(table.View());
    const ChangeKind kind = !written ? ChangeKind::Ignored
                            : mode == InsertMode::Replace ? ChangeKind::Replace : ChangeKind::Insert;
    diagnostics.RowWritten(RowChange{fileName, line, name.Text(), kind, written ? sqlite3_last_insert_rowid(handle) : 0,
                                     key, static_cast<int>(count), pointers, pointers + count});
}

}  // namespace Database
