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
    "table_name text, kind text, row_id integer, row_key text, columns text)";
const char* const kInsertRows =
    "insert into zrdb_provenance (file, line, package, table_name, kind, row_id, row_key, columns) values ";
const char* const kRowValues = "(?, ?, ?, ?, ?, ?, ?, ?)";
constexpr int kValuesPerRow = 8;
// Changes per insert: one statement run per batch instead of per change halves what SQLite spends
// around each row; more gains little, and a statement of 32 x 8 parameters is still small.
constexpr int kBatch = 32;

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

// The bytes a JSON string holds as they are: all but '"', '\' and the control characters (and the
// terminator, which ends the scan). A table, because every value of a load goes through here.
constexpr struct PlainBytes {
    bool plain[256];
    constexpr PlainBytes() : plain() {
        for (int byte = 0x20; byte < 256; ++byte)
            plain[byte] = byte != '"' && byte != '\\';
    }
} kPlain;

// A JSON string of text: '"', '\' and the control characters escaped, every other byte as it
// is, so that json_each gives the text back whatever it holds.
void AppendJsonString(TextBuffer& out, const char* text) {
    static const char kHex[] = "0123456789abcdef";
    out.Append('"');
    for (const char* run = text;; ++run) {
        const char* at = run;
        while (kPlain.plain[static_cast<unsigned char>(*at)])
            ++at;
        out.Append(std::string_view(run, static_cast<std::size_t>(at - run)));
        const unsigned char byte = static_cast<unsigned char>(*at);
        if (byte == 0)
            break;
        if (byte == '"' || byte == '\\') {
            out.Append('\\').Append(static_cast<char>(byte));
        } else {
            const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 15]};
            out.Append(std::string_view(escape, sizeof escape));
        }
        run = at;
    }
    out.Append('"');
}

}  // namespace

// Every text of the pending changes lives in one growing buffer, each terminated, and is named by
// its offset there: the buffer moves when it grows, and a file's changes cost one allocation
// every so often instead of one per text. A change's columns are kept already packed, as they
// are written: one text, and one row, per change is what makes the record cheap next to the load.
struct ProvenanceRecorder::Impl : Memory::Allocated {
    struct Change {
        std::size_t file, package, table, key, columns;  // offsets in texts; kNoText for null
        std::size_t columnsLength;
        int line;
        ChangeKind kind;
        long long rowid;
    };

    explicit Impl(Connection& connection) : insert(&connection), batch(&connection) {}

    std::size_t Keep(const char* text) noexcept;
    // The offset of the text kept last at last, when it equals text; kept anew otherwise. A file
    // names its file, table and package over and over.
    std::size_t KeepRepeated(const char* text, std::size_t& last) noexcept;
    // The columns and values of change as one JSON object; kNoText when it has none.
    std::size_t KeepColumns(const RowChange& change) noexcept;
    bool Buffer(const RowChange& change) noexcept;
    void Drop() noexcept;
    const char* Text(std::size_t offset) const noexcept {
        return offset != kNoText ? texts.Text() + offset : nullptr;
    }

    bool Ready(Connection& connection) noexcept;
    bool WriteAll() noexcept;
    // Binds change to the parameters of the row at place in statement's values.
    void BindChange(sqlite3_stmt* statement, int place, const Change& change) noexcept;
    static bool Run(sqlite3_stmt* statement) noexcept;
    void Record(Connection& connection, const char* file) noexcept;

    TextBuffer package;  // the label set last; empty for none
    Memory::Array<Change> changes;
    TextBuffer texts;
    std::size_t lastFile = kNoText;     // where the texts repeated most keep them
    std::size_t lastTable = kNoText;
    std::size_t lastPackage = kNoText;  // kNoText also when a new label has not been kept yet
    bool lost = false;                  // a change of the pending file could not be kept
    Command insert;                     // one row; prepared on the first write, then reused
    Command batch;                      // kBatch rows; prepared with insert
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

std::size_t ProvenanceRecorder::Impl::KeepColumns(const RowChange& change) noexcept {
    if (change.columnCount <= 0 || change.columns == nullptr)
        return kNoText;
    const std::size_t offset = texts.Length();
    texts.Append('{');
    for (int index = 0; index < change.columnCount; ++index) {
        if (index > 0)
            texts.Append(',');
        AppendJsonString(texts, change.columns[index] != nullptr ? change.columns[index] : "");
        texts.Append(':');
        const char* value = change.values != nullptr ? change.values[index] : nullptr;
        if (value != nullptr)
            AppendJsonString(texts, value);
        else
            texts.Append("null");
    }
    texts.Append('}').Append('\0');
    return offset;
}

bool ProvenanceRecorder::Impl::Buffer(const RowChange& change) noexcept {
    if (!package.Ok())
        return false;
    const std::size_t packageOffset = package.Empty() ? kNoText : KeepRepeated(package.Text(), lastPackage);
    Change kept{KeepRepeated(change.file, lastFile), packageOffset, KeepRepeated(change.table, lastTable),
                Keep(change.key), 0, 0, change.line, change.kind, change.rowid};
    kept.columns = KeepColumns(change);
    if (kept.columns != kNoText)
        kept.columnsLength = texts.Length() - kept.columns - 1;
    return texts.Ok() && changes.Push(kept);
}

void ProvenanceRecorder::Impl::Drop() noexcept {
    changes.Clear();
    texts.Clear();
    lastFile = lastTable = lastPackage = kNoText;
    lost = false;
}

// The table is made, and the inserts prepared, whenever no statement is held: on the first write,
// and again after the connection was reopened or the table went away.
bool ProvenanceRecorder::Impl::Ready(Connection& connection) noexcept {
    if (insert.Held() && batch.Held())
        return true;
    char single[256];
    TextBuffer one(single);
    one.Append(kInsertRows).Append(kRowValues);
    TextBuffer many;
    many.Append(kInsertRows);
    for (int row = 0; row < kBatch; ++row)
        many.Append(row > 0 ? ", " : "").Append(kRowValues);
    return one.Ok() && many.Ok() && connection.Execute(kCreateTable)
           && insert.Prepare(one.Text(), -1, Command::Report::Error) == Status::Ok
           && batch.Prepare(many.Text(), -1, Command::Report::Error) == Status::Ok;
}

void ProvenanceRecorder::Impl::BindChange(sqlite3_stmt* statement, int place, const Change& change) noexcept {
    const int first = place * kValuesPerRow;
    sqlite3_bind_text(statement, first + 1, Text(change.file), -1, SQLITE_STATIC);
    sqlite3_bind_int(statement, first + 2, change.line);
    sqlite3_bind_text(statement, first + 3, Text(change.package), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, first + 4, Text(change.table), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, first + 5, KindName(change.kind), -1, SQLITE_STATIC);
    if (change.rowid != 0)
        sqlite3_bind_int64(statement, first + 6, change.rowid);
    else
        sqlite3_bind_null(statement, first + 6);
    sqlite3_bind_text(statement, first + 7, Text(change.key), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, first + 8, Text(change.columns), static_cast<int>(change.columnsLength),
                      SQLITE_STATIC);
}

bool ProvenanceRecorder::Impl::Run(sqlite3_stmt* statement) noexcept {
    const int resultCode = sqlite3_step(statement);
    sqlite3_reset(statement);
    return resultCode == SQLITE_DONE;
}

bool ProvenanceRecorder::Impl::WriteAll() noexcept {
    bool written = true;
    std::size_t index = 0;
    for (; written && changes.Size() - index >= kBatch; index += kBatch) {
        for (int place = 0; place < kBatch; ++place)
            BindChange(batch.Statement(), place, changes[index + place]);
        written = Run(batch.Statement());
    }
    for (; written && index < changes.Size(); ++index) {
        BindChange(insert.Statement(), 0, changes[index]);
        written = Run(insert.Statement());
    }
    // The statements keep no texts of a buffer that is about to be emptied.
    sqlite3_clear_bindings(batch.Statement());
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
        // The statements may stand on a table that went away; the next file prepares them afresh.
        insert.Discard();
        batch.Discard();
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
