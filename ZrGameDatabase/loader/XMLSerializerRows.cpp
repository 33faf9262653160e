// XMLSerializerRows.cpp: row insertion ("Row", "Replace", "InsertOrIgnore", "InsertOrAbort").
//
// A row's columns are its attributes, then its child elements. Each distinct column list gets one
// parameterised statement, prepared once and kept in the load's ResultsCache under the statement
// head ("insert into Units('Type', 'Cost')"), so the bulk of a data file is bind, step and reset.
#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "base/TextFormat.h"
#include "core/ResultsCacheAccess.h"
#include "loader/XMLSerializerImpl.h"
#include "xml/XmlNode.h"
#include "xml/XmlNodeRange.h"

namespace Database {

using Loader::NameOf;
using Loader::NormalizeValue;
using Loader::Span;

namespace {

const char* Prefix(Loader::InsertMode mode) {
    static const char* const kPrefixes[] = {"insert into ", "insert or abort into ", "insert or ignore into ",
                                            "insert or replace into "};
    return kPrefixes[static_cast<int>(mode)];
}

// Appends one column to the statement head's column list: SQLite takes a quoted text there as
// the column's name, and a quote inside it is doubled so that the name is the one written.
void AppendColumn(SqlText& columns, Span name) {
    columns.AppendQuoted(name.View(), '\'');
}

}  // namespace

// Reads the row's columns into the scratch state: attributes first, then child elements, each in
// document order, the values as written after "true" and "false" became 1 and 0. Rows written with
// child elements are what mods add; those of tagged tables carry the tag as their last value.
bool XMLSerializer::Impl::ReadRowColumns(const XmlNode& element, Span table) {
    const auto add = [this](const XmlNode& column) {
        Span name{"", 0};
        Span value{"", 0};
        column.RecordSpans(name.text, name.length, value.text, value.length);
        return AddRowColumn("Row", name, value);
    };
    for (const XmlNode& attribute : Attributes(element)) {
        if (!add(attribute))
            return false;
    }
    const bool hasChildren = !Children(element).Empty();
    for (const XmlNode& child : Children(element)) {
        if (!add(child))
            return false;
    }
    if (hasChildren && packageTags.Contains(table.View()) && !scratch.values.Push(packageTags.Tag()))
        return ReportOutOfMemory();
    return true;
}

// The head of the row's statement ("insert into T('A', 'B')"), which is its cache key, into the key.
void XMLSerializer::Impl::BuildRowHead(Span table, InsertMode mode, bool tagged) {
    SqlText& key = scratch.key;
    key.Clear();
    key.Append(Prefix(mode)).AppendName(table.View()).Append('(');
    for (std::size_t index = 0; index < scratch.names.Size(); ++index) {
        if (index != 0)
            key.Append(", ");
        AppendColumn(key, scratch.names[index]);
    }
    if (tagged)
        key.Append(", 'PackageID'");
    key.Append(')');
}

bool XMLSerializer::Impl::InsertRow(const XmlNode& element, ResultsCache& cache, Span table, InsertMode mode) {
    scratch.names.Clear();
    scratch.values.Clear();
    if (!ReadRowColumns(element, table))
        return false;
    if (scratch.values.Empty())
        return InsertEmptyRow(cache, table, mode);

    const bool tagged = scratch.values.Size() > scratch.names.Size();
    Loader::LastRowStatement& last = scratch.lastRow;
    Results* row = last.Find(table, mode, tagged, scratch.names);
    if (row != nullptr) {
        scratch.key.Clear();
        scratch.key.Append(last.Head().View());
    } else {
        BuildRowHead(table, mode, tagged);
    }
    if (diagnostics.Checking())
        CheckRowValues(element, table);
    if (!FitsColumnLimit(scratch.values.Size()))
        return false;
    if (row == nullptr) {
        row = CachedRowStatement(cache);
        if (row == nullptr)
            return false;
        last.Remember(row, table, mode, tagged, scratch.names, scratch.key);
    }
    for (std::size_t index = 0; index < scratch.values.Size(); ++index) {
        if (!Loader::BindValue(*row, static_cast<int>(index + 1), scratch.values[index]))
            return false;
    }
    if (!RunRow(*row, mode))
        return false;
    if (diagnostics.ReportingRows())
        ReportRowInserted(table, diagnostics.LineOf(NameOf(element).text), mode);
    return true;
}

// The statement filed under the head in the key, prepared and filed on its first use.
Results* XMLSerializer::Impl::CachedRowStatement(ResultsCache& cache) {
    const SqlText& key = scratch.key;
    if (!key.Ok()) {
        ReportOutOfMemory();
        return nullptr;
    }
    Results* row = cache.Get(key.Text(), key.Length());
    if (row != nullptr)
        return row;
    SqlText& statement = scratch.statement;
    statement.Clear();
    statement.Append(key.View()).Append(" values (");
    for (std::size_t index = 1; index < scratch.values.Size(); ++index)
        statement.Append("?, ");
    statement.Append("?);");
    return RowStatement(cache, key, statement);
}

// A row without columns inserts the table's defaults. Its statement is filed under its own text,
// which holds the mode, and runs like every other row of that mode.
bool XMLSerializer::Impl::InsertEmptyRow(ResultsCache& cache, Span table, InsertMode mode) {
    SqlText& statement = scratch.statement;
    statement.Clear();
    statement.Append(Prefix(mode)).AppendName(table.View()).Append(" default values;");
    if (!statement.Ok())
        return ReportOutOfMemory();
    Results* row = cache.Get(statement.Text(), statement.Length());
    if (row == nullptr) {
        row = RowStatement(cache, statement, statement);
        if (row == nullptr)
            return false;
    }
    scratch.key.Clear();
    scratch.key.Append(statement.View());
    if (!RunRow(*row, mode))
        return false;
    if (diagnostics.ReportingRows())
        ReportRowInserted(table, diagnostics.LineOf(failedElementName), mode);
    return true;
}

// Prepares a row statement into the cache under name. A statement the database refused leaves its
// reason on the connection; a cache without memory for the entry fails the load as out of memory.
Results* XMLSerializer::Impl::RowStatement(ResultsCache& cache, const SqlText& name, const SqlText& statement) {
    if (!statement.Ok()) {
        ReportOutOfMemory();
        return nullptr;
    }
    Results* row = nullptr;
    const Status status = ResultsCacheAccess::Prepare(cache, name.Text(), name.Length(), statement.Text(),
                                                      static_cast<int>(statement.Length()), row);
    if (status == Status::OutOfMemory)
        ReportOutOfMemory();
    return row;
}

// Runs a row statement the way its mode asks: an abort-mode row refused by a constraint is left
// out silently, every other failure stops the load. A row statement that failed half-way (a lock
// it could not get, say) is still running: kept so in a caller's cache, it would keep the next
// file from opening its transaction, so it is rewound, which leaves the failure's code and text
// on the connection for the load's error message.
bool XMLSerializer::Impl::RunRow(Results& row, InsertMode mode) {
    const bool lenient = mode == InsertMode::Abort;
    if (!(lenient ? row.TryExecute() : row.Execute())) {
        LogInsertFailure();
        row.TryReset();
        return false;
    }
    return lenient ? row.TryReset() : row.Reset();
}

// No table has more columns than the connection's limit, so a wider row cannot be inserted. It is
// refused before SQLite reads its statement: SQLite grows a statement's column list one name at a
// time, and a hostile row of a million columns would hold the load for minutes.
bool XMLSerializer::Impl::FitsColumnLimit(std::size_t columns) {
    sqlite3* handle = connection->Handle();
    const int limit = handle != nullptr ? sqlite3_limit(handle, SQLITE_LIMIT_COLUMN, -1) : 0;
    if (handle == nullptr || columns <= static_cast<std::size_t>(limit))
        return true;
    char message[256];
    FormatText(message, sizeof message, "The row has %zu columns, more than the %d a table can have.", columns, limit);
    SetErrorMessageAndLog(message);
    return false;
}

// Adds one column of a row (element names it in the refusal), refusing a name already used.
bool XMLSerializer::Impl::AddRowColumn(const char* element, Span name, Span value) {
    switch (scratch.names.Insert(name)) {
    case Loader::ColumnNameSet::Outcome::Added:
        break;
    case Loader::ColumnNameSet::Outcome::Duplicate: {
        char message[512];
        FormatText(message, sizeof message, "Duplicate column names detected in <%s>. Name: %.*s, Value: %.*s",
                   element, static_cast<int>(name.length), name.text, static_cast<int>(value.length), value.text);
        SetErrorMessageAndLog(message);
        return false;
    }
    case Loader::ColumnNameSet::Outcome::OutOfMemory:
        return ReportOutOfMemory();
    }
    return scratch.values.Push(NormalizeValue(value)) || ReportOutOfMemory();
}

void XMLSerializer::Impl::LogInsertFailure() {
    // The context line holds 4096 bytes; the values are joined until they fill it.
    SqlText values;
    for (const Span& value : scratch.values) {
        if (!values.Empty())
            values.Append(", ");
        values.Append(value.View());
        if (values.Length() >= 4096)
            break;
    }
    char context[4096];
    FormatText(context, sizeof context, "In XMLSerializer while inserting row into table %s with  values (%s).",
               scratch.key.Text(), values.Ok() ? values.Text() : "");
    connection->LogMessage(context);
}

namespace Loader {

Results* LastRowStatement::Find(Span table, InsertMode mode, bool tagged, const ColumnNameSet& names) const noexcept {
    if (m_statement == nullptr || mode != m_mode || tagged != m_tagged || names.Size() != m_names.Size()
        || table.View() != m_table.View())
        return nullptr;
    for (std::size_t index = 0; index < m_names.Size(); ++index) {
        if (names[index].View() != m_names[index].View())
            return nullptr;
    }
    return m_statement;
}

void LastRowStatement::Remember(Results* statement, Span table, InsertMode mode, bool tagged,
                                const ColumnNameSet& names, const SqlText& head) noexcept {
    m_statement = nullptr;
    m_names.Clear();
    m_head.Clear();
    m_head.Append(head.View());
    if (!m_names.Reserve(names.Size()) || !m_head.Ok())
        return;
    for (std::size_t index = 0; index < names.Size(); ++index)
        (void)m_names.Push(names[index]);
    m_statement = statement;
    m_table = table;
    m_mode = mode;
    m_tagged = tagged;
}

}  // namespace Loader
}  // namespace Database
