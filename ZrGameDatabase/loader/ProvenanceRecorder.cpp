// ProvenanceRecorder.cpp: holding a file's changes while it loads, and writing them into
// zrdb_provenance once it committed.
#include "ZrGameDatabase/ProvenanceRecorder.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstring>
#include <string_view>

#include "ZrGameDatabase/Connection.h"
#include "base/Array.h"
#include "base/TextBuffer.h"
#include "base/TextFormat.h"
#include "core/Command.h"

namespace Database {

namespace {

constexpr std::string_view kTableName = "zrdb_provenance";
constexpr std::size_t kNoText = static_cast<std::size_t>(-1);

const char* const kCreateTable =
    "create table if not exists zrdb_provenance (id integer primary key, file text, line integer, package text, "
    "table_name text, kind text, row_id integer, row_key text, column_name text, value text)";
const char* const kInsertRow =
    "insert into zrdb_provenance (file, line, package, table_name, kind, row_id, row_key, column_name, value) "
    "values (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";

const char* KindName(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::Insert: return "insert";
        case ChangeKind::Replace: return "replace";
        case ChangeKind::Update: return "update";
        case ChangeKind::Delete: return "delete";
        case ChangeKind::Ignored: return "ignored";
    }
    return nullptr;
}

// The recorder's own table, under any schema ("main.zrdb_provenance" names it too): recording
// the rows a data file writes there would only record the record.
bool IsOwnTable(const char* table) {
    if (table == nullptr)
        return false;
    const std::string_view name(table);
    if (name.size() < kTableName.size())
        return false;
    const std::string_view tail = name.substr(name.size() - kTableName.size());
    return EqualsIgnoringCase(tail, kTableName)
           && (name.size() == kTableName.size() || name[name.size() - kTableName.size() - 1] == '.');
}

}  // namespace

// Every text of the pending changes lives in one growing buffer, each terminated, and is named by
// its offset there: the buffer moves when it grows, and a file's changes cost one allocation
// every so often instead of one per text.
struct ProvenanceRecorder::Impl : Memory::Allocated {
    struct Change {
        std::size_t file, package, table, key;  // offsets in texts; kNoText for null
        std::size_t firstColumn;                // index in columns
        int columnCount;
        int line;
        ChangeKind kind;
        long long rowid;
    };
    struct Column {
        std::size_t name, value;  // offsets in texts; kNoText for null
    };

    explicit Impl(Connection& connection) : insert(&connection) {}

    std::size_t Keep(const char* text) noexcept;
    // The offset of the text kept last at last, when it equals text; kept anew otherwise. A file
    // names its file, table and package over and over.
    std::size_t KeepRepeated(const char* text, std::size_t& last) noexcept;
    bool Buffer(const RowChange& change) noexcept;
    void Drop() noexcept;
    const char* Text(std::size_t offset) const noexcept {
        return offset != kNoText ? texts.Text() + offset : nullptr;
    }

    bool Ready(Connection& connection) noexcept;
    bool WriteAll() noexcept;
    bool WriteChange(const Change& change) noexcept;
    void Record(Connection& connection, const char* file) noexcept;

    TextBuffer package;  // the label set last; empty for none
    Memory::Array<Change> changes;
    Memory::Array<Column> columns;
    TextBuffer texts;
    std::size_t lastFile = kNoText;     // where the texts repeated most keep them
    std::size_t lastTable = kNoText;
    std::size_t lastPackage = kNoText;  // kNoText also when a new label has not been kept yet
    bool lost = false;                  // a change of the pending file could not be kept
    Command insert;                     // prepared on the first write, then reused
};

std::size_t ProvenanceRecorder::Impl::Keep(const char* text) noexcept {
    if (text == nullptr)
        return kNoText;
    const std::size_t offset = texts.Length();
    texts.Append(text).Append('\0');
    return offset;
}

std::size_t ProvenanceRecorder::Impl::KeepRepeated(const char* text, std::size_t& last) noexcept {
    if (text == nullptr)
        return kNoText;
    if (last == kNoText || std::strcmp(texts.Text() + last, text) != 0)
        last = Keep(text);
    return last;
}

bool ProvenanceRecorder::Impl::Buffer(const RowChange& change) noexcept {
    if (!package.Ok())
        return false;
    const std::size_t packageOffset = package.Empty() ? kNoText : KeepRepeated(package.Text(), lastPackage);
    Change kept{KeepRepeated(change.file, lastFile), packageOffset, KeepRepeated(change.table, lastTable),
                Keep(change.key), columns.Size(), 0, change.line, change.kind, change.rowid};
    const int count = change.columnCount > 0 && change.columns != nullptr ? change.columnCount : 0;
    if (!columns.Reserve(columns.Size() + static_cast<std::size_t>(count)))
        return false;
    for (int index = 0; index < count; ++index) {
        const char* value = change.values != nullptr ? change.values[index] : nullptr;
        (void)columns.Push(Column{Keep(change.columns[index]), Keep(value)});  // reserved above
    }
    kept.columnCount = count;
    return texts.Ok() && changes.Push(kept);
}

void ProvenanceRecorder::Impl::Drop() noexcept {
    changes.Clear();
    columns.Clear();
    texts.Clear();
    lastFile = lastTable = lastPackage = kNoText;
    lost = false;
}

// The table is made, and the insert prepared, whenever no statement is held: on the first write,
// and again after the connection was reopened or the table went away.
bool ProvenanceRecorder::Impl::Ready(Connection& connection) noexcept {
    if (insert.Held())
        return true;
    return connection.Execute(kCreateTable) && insert.Prepare(kInsertRow, -1, Command::Report::Error) == Status::Ok;
}

bool ProvenanceRecorder::Impl::WriteChange(const Change& change) noexcept {
    sqlite3_stmt* statement = insert.Statement();
    sqlite3_bind_text(statement, 1, Text(change.file), -1, SQLITE_STATIC);
    sqlite3_bind_int(statement, 2, change.line);
    sqlite3_bind_text(statement, 3, Text(change.package), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 4, Text(change.table), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 5, KindName(change.kind), -1, SQLITE_STATIC);
    if (change.rowid != 0)
        sqlite3_bind_int64(statement, 6, change.rowid);
    else
        sqlite3_bind_null(statement, 6);
    sqlite3_bind_text(statement, 7, Text(change.key), -1, SQLITE_STATIC);
    // A change without columns is still one row, so that deletes and empty rows are seen.
    const int rows = change.columnCount > 0 ? change.columnCount : 1;
    for (int index = 0; index < rows; ++index) {
        const Column* column = change.columnCount > 0 ? &columns[change.firstColumn + index] : nullptr;
        sqlite3_bind_text(statement, 8, column != nullptr ? Text(column->name) : nullptr, -1, SQLITE_STATIC);
        sqlite3_bind_text(statement, 9, column != nullptr ? Text(column->value) : nullptr, -1, SQLITE_STATIC);
        const int resultCode = sqlite3_step(statement);
        sqlite3_reset(statement);
        if (resultCode != SQLITE_DONE)
            return false;
    }
    return true;
}

bool ProvenanceRecorder::Impl::WriteAll() noexcept {
    bool written = true;
    for (std::size_t index = 0; written && index < changes.Size(); ++index)
        written = WriteChange(changes[index]);
    // The statement keeps no texts of a buffer that is about to be emptied.
    sqlite3_clear_bindings(insert.Statement());
    return written;
}

// The rows go in under a savepoint of their own: all of them or none, one journal commit for the
// file when the connection is in no transaction, and nested within the host's when it is.
void ProvenanceRecorder::Impl::Record(Connection& connection, const char* file) noexcept {
    if (lost || !Ready(connection)) {
        if (lost)
            connection.LogError("ProvenanceRecorder: no memory was left to hold the file's changes.");
    } else if (changes.Empty()) {
        return;
    } else {
        const bool outermost = sqlite3_get_autocommit(connection.Handle()) != 0;
        if (connection.Execute("SAVEPOINT zrdb_provenance;")) {
            if (!WriteAll())
                ReportSqliteError(connection);
            else if (connection.Execute("RELEASE zrdb_provenance;"))
                return;
            // After a failed commit of the outermost savepoint the transaction is still open.
            if (outermost)
                connection.Execute("ROLLBACK;");
            else
                connection.ExecuteMultiple("ROLLBACK TO zrdb_provenance; RELEASE zrdb_provenance;");
        }
        // The statement may stand on a table that went away; the next file prepares it afresh.
        insert.Discard();
    }
    char line[512];
    FormatText(line, sizeof line, "ProvenanceRecorder: the provenance of %s was not recorded.",
               file != nullptr ? file : "(null)");
    connection.LogError(line);
}

ProvenanceRecorder::ProvenanceRecorder(Connection& connection)
    : m_connection(connection), m_next(nullptr), m_impl(new Impl(connection)) {}

ProvenanceRecorder::~ProvenanceRecorder() = default;

void ProvenanceRecorder::SetPackage(const char* label) {
    if (m_impl == nullptr)
        return;
    m_impl->package.Clear();
    m_impl->package.Append(label);
    m_impl->lastPackage = kNoText;
}

void ProvenanceRecorder::SetNext(ILoadObserver* next) {
    m_next = next;
}

void ProvenanceRecorder::OnDiagnostic(const Diagnostic& diagnostic) noexcept {
    if (m_next != nullptr)
        m_next->OnDiagnostic(diagnostic);
}

void ProvenanceRecorder::OnRowChange(const RowChange& change) noexcept {
    if (m_impl != nullptr && !m_impl->lost && !IsOwnTable(change.table) && KindName(change.kind) != nullptr
        && !m_impl->Buffer(change))
        m_impl->lost = true;
    if (m_next != nullptr)
        m_next->OnRowChange(change);
}

void ProvenanceRecorder::OnFileDone(const char* file, bool committed) noexcept {
    if (m_impl == nullptr) {
        if (committed)
            m_connection.LogError("ProvenanceRecorder: no memory for its state; nothing is recorded.");
    } else {
        if (committed)
            m_impl->Record(m_connection, file);
        m_impl->Drop();
    }
    if (m_next != nullptr)
        m_next->OnFileDone(file, committed);
}

}  // namespace Database
