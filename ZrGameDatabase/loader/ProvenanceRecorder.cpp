// ProvenanceRecorder.cpp: holding a file's changes while it loads, and writing them into
// zrdb_provenance once it committed.
#include "ZrGameDatabase/ProvenanceRecorder.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstring>
#include <string_view>

#include "ZrGameDatabase/Connection.h"
#include "base/TextArena.h"
#include "base/TextBuffer.h"
#include "base/TextFormat.h"
#include "core/Command.h"

namespace Database {

namespace {

constexpr std::string_view kTableName = "zrdb_provenance";

const char* const kCreateTable =
    "create table if not exists zrdb_provenance (id integer primary key, file text, line integer, package text, "
    "table_name text, kind text, row_id integer, row_key text, columns text)";
const char* const kInsertRows =
    "insert into zrdb_provenance (file, line, package, table_name, kind, row_id, row_key, columns) values ";
constexpr int kColumnsPerRow = 8;
// What the rows of one statement share is bound once, as its first parameters: the file and the
// package (?1, ?2) for the changes of one file, and also the table and the kind (?3, ?4) for a run
// of one table's inserts, which is most of a large file. Each row has parameters of its own for
// the other columns.
constexpr int kSourceShared = 2;
constexpr int kRunShared = 4;
// Changes per insert: one statement run per batch instead of per change halves what SQLite spends
// around each row; more gains little, and a statement of 32 x 6 parameters is still small.
constexpr int kBatch = 32;

// The values of the row at place of a statement whose rows share their first shared columns:
// "(?1, ?3, ?2, ?4, ?5, ?6, ?7, ?8)" for the first row when they share the file and package.
void AppendRowValues(TextBuffer& text, int shared, int place) {
    int next = shared + place * (kColumnsPerRow - shared) + 1;
    text.Append("(?1, ?").AppendInteger(next++).Append(", ?2");
    for (int column = 3; column < kColumnsPerRow; ++column) {
        if (column < 5 && shared == kRunShared)
            text.Append(", ?").AppendInteger(column);
        else
            text.Append(", ?").AppendInteger(next++);
    }
    text.Append(')');
}

// "insert into ... values (...), (...)", rows rows sharing their first shared columns.
void AppendInsert(TextBuffer& text, int shared, int rows) {
    text.Append(kInsertRows);
    for (int place = 0; place < rows; ++place) {
        text.Append(place > 0 ? ", " : "");
        AppendRowValues(text, shared, place);
    }
}

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

// The JSON string of a text that holds bytes to escape, written run by run.
void AppendEscapedJsonString(TextBuffer& out, const char* text) {
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

// A JSON string of text: '"', '\' and the control characters escaped, every other byte as it
// is, so that json_each gives the text back whatever it holds. Names and values seldom hold a
// byte to escape, and such a text is copied in one piece.
void AppendJsonString(TextBuffer& out, const char* text) {
    const char* plainEnd = text;
    while (kPlain.plain[static_cast<unsigned char>(*plainEnd)])
        ++plainEnd;
    if (*plainEnd != '\0') {
        AppendEscapedJsonString(out, text);
        return;
    }
    const auto length = static_cast<std::size_t>(plainEnd - text);
    char* to = out.Extend(length + 2);
    if (to != nullptr) {
        to[0] = '"';
        std::memcpy(to + 1, text, length);
        to[length + 1] = '"';
    }
}

}  // namespace

// A file's changes are written while it loads, kBatch at a time, so that what is held is one
// batch: a large file's changes held whole until its end cost more fresh memory than the rest of
// the record (about 48 MB of texts and 17 MB of entries per 300,000 changes, at about 10 us per
// fresh page). The loader's transaction takes the rows of a file it rolls back with it; what is
// left of a file that fails without one, or whose record could not be written whole, is deleted
// by id: every row above the highest id before its first.
//
// The texts of the held changes are terminated copies in an arena whose blocks are reused from
// batch to batch, named by their pointers. A change's columns are kept already packed, as they are
// written: one text, and one row, per change is what makes the record cheap next to the load.
struct ProvenanceRecorder::Impl : Memory::Allocated {
    struct Change {
        const char* file;  // null for none
        const char* package;
        const char* table;
        const char* key;
        const char* columns;
        long long rowid;
        int line;
        ChangeKind kind;
    };

    explicit Impl(Connection& connection)
        : insert(&connection), batch(&connection), run(&connection), highestId(&connection) {}

    // A copy of text, or null for none; sets lost when no memory was left for it.
    const char* Keep(std::string_view text) noexcept;
    const char* Keep(const char* text) noexcept { return text != nullptr ? Keep(std::string_view(text)) : nullptr; }
    // The text kept last at last, when it equals text; kept anew otherwise. A file names its file,
    // table and package over and over.
    const char* KeepRepeated(const char* text, const char*& last) noexcept;
    // The columns and values of change as one JSON object; null when it has none.
    const char* KeepColumns(const RowChange& change) noexcept;
    // Holds change, and writes the held ones once they fill a batch.
    void Hold(Connection& connection, const RowChange& change) noexcept;
    void Forget() noexcept;

    bool Ready(Connection& connection) noexcept;
    bool MarkFileStart() noexcept;
    // Writes the held changes and forgets them; false, with the reason logged, when they could not
    // all be written.
    bool Write(Connection& connection) noexcept;
    bool WriteHeld() noexcept;
    // Binds change to the parameters of the row at place in statement's values, whose rows share
    // their first shared columns, and to those it shares.
    void BindChange(sqlite3_stmt* statement, int shared, int place, const Change& change) noexcept;
    void BindShared(sqlite3_stmt* statement, int shared, const Change& change) noexcept;
    // How many of the first columns count held changes from first on share: kRunShared,
    // kSourceShared or 0.
    int SharedColumns(int first, int count) const noexcept;
    static bool Run(sqlite3_stmt* statement) noexcept;
    // Deletes the rows written for the file being loaded.
    void Revoke(Connection& connection) noexcept;
    void FinishFile(Connection& connection, const char* file, bool committed) noexcept;
    void Discard() noexcept;

    TextBuffer package;  // the label set last; empty for none
    Change held[kBatch];
    int heldCount = 0;
    TextArena texts;                    // the texts of the held changes
    TextBuffer columns;                 // the columns of the change being kept, packed
    const char* lastFile = nullptr;     // the texts repeated most, as kept last
    const char* lastTable = nullptr;
    const char* lastPackage = nullptr;  // null also when a new label has not been kept yet
    bool lost = false;                  // a change of the file being loaded could not be kept
    bool failed = false;                // a write of its changes failed
    bool started = false;               // rows of it were written: all of them lie above idBefore
    long long idBefore = 0;             // the highest id of the record before its first row
    Command insert;                     // one row; prepared on the first write, then reused
    Command batch;                      // kBatch rows of one file and package; prepared with insert
    Command run;                        // kBatch rows of one table and kind too; likewise
    Command highestId;                  // the highest id of the record; prepared with insert
};

const char* ProvenanceRecorder::Impl::Keep(std::string_view text) noexcept {
    const char* kept = texts.Keep(text);
    if (kept == nullptr)
        lost = true;
    return kept;
}

const char* ProvenanceRecorder::Impl::KeepRepeated(const char* text, const char*& last) noexcept {
    if (text == nullptr)
        return nullptr;
    if (last == nullptr || std::strcmp(last, text) != 0)
        last = Keep(text);
    return last;
}

const char* ProvenanceRecorder::Impl::KeepColumns(const RowChange& change) noexcept {
    if (change.columnCount <= 0 || change.columns == nullptr)
        return nullptr;
    columns.Clear();
    columns.Append('{');
    for (int index = 0; index < change.columnCount; ++index) {
        if (index > 0)
            columns.Append(',');
        AppendJsonString(columns, change.columns[index] != nullptr ? change.columns[index] : "");
        columns.Append(':');
        const char* value = change.values != nullptr ? change.values[index] : nullptr;
        if (value != nullptr)
            AppendJsonString(columns, value);
        else
            columns.Append("null");
    }
    columns.Append('}');
    if (!columns.Ok()) {
        lost = true;
        return nullptr;
    }
    return Keep(columns.View());
}

void ProvenanceRecorder::Impl::Hold(Connection& connection, const RowChange& change) noexcept {
    if (!package.Ok()) {
        lost = true;
        return;
    }
    const char* packageText = package.Empty() ? nullptr : KeepRepeated(package.Text(), lastPackage);
    held[heldCount++] = Change{KeepRepeated(change.file, lastFile), packageText, KeepRepeated(change.table, lastTable),
                               Keep(change.key), KeepColumns(change), change.rowid, change.line, change.kind};
    if (lost)
        Forget();
    else if (heldCount == kBatch && !Write(connection))
        failed = true;
}

void ProvenanceRecorder::Impl::Forget() noexcept {
    heldCount = 0;
    texts.Clear();
    lastFile = lastTable = lastPackage = nullptr;
}

// The table is made, and the statements prepared, whenever none is held: on the first write, and
// again after a file rolled back (the table may have gone with it) or the connection was reopened.
bool ProvenanceRecorder::Impl::Ready(Connection& connection) noexcept {
    if (insert.Held() && batch.Held() && run.Held() && highestId.Held())
        return true;
    Discard();
    char single[256];
    TextBuffer one(single);
    AppendInsert(one, kSourceShared, 1);
    TextBuffer many;
    AppendInsert(many, kSourceShared, kBatch);
    TextBuffer runOfRows;
    AppendInsert(runOfRows, kRunShared, kBatch);
    return one.Ok() && many.Ok() && runOfRows.Ok() && connection.Execute(kCreateTable)
           && insert.Prepare(one.Text(), -1, Command::Report::Error) == Status::Ok
           && batch.Prepare(many.Text(), -1, Command::Report::Error) == Status::Ok
           && run.Prepare(runOfRows.Text(), -1, Command::Report::Error) == Status::Ok
           && highestId.Prepare("select ifnull(max(id), 0) from zrdb_provenance", -1, Command::Report::Error)
                  == Status::Ok;
}

void ProvenanceRecorder::Impl::Discard() noexcept {
    insert.Discard();
    batch.Discard();
    run.Discard();
    highestId.Discard();
}

// Notes, before the first row of a file is written, the id every row of it will lie above.
bool ProvenanceRecorder::Impl::MarkFileStart() noexcept {
    if (started)
        return true;
    sqlite3_stmt* statement = highestId.Statement();
    const bool read = sqlite3_step(statement) == SQLITE_ROW;
    idBefore = read ? sqlite3_column_int64(statement, 0) : 0;
    sqlite3_reset(statement);
    started = read;
    return read;
}

void ProvenanceRecorder::Impl::BindShared(sqlite3_stmt* statement, int shared, const Change& change) noexcept {
    sqlite3_bind_text(statement, 1, change.file, -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, change.package, -1, SQLITE_STATIC);
    if (shared == kRunShared) {
        sqlite3_bind_text(statement, 3, change.table, -1, SQLITE_STATIC);
        sqlite3_bind_text(statement, 4, KindName(change.kind), -1, SQLITE_STATIC);
    }
}

void ProvenanceRecorder::Impl::BindChange(sqlite3_stmt* statement, int shared, int place,
                                          const Change& change) noexcept {
    int next = shared + place * (kColumnsPerRow - shared) + 1;
    sqlite3_bind_int(statement, next++, change.line);
    if (shared != kRunShared) {
        sqlite3_bind_text(statement, next++, change.table, -1, SQLITE_STATIC);
        sqlite3_bind_text(statement, next++, KindName(change.kind), -1, SQLITE_STATIC);
    }
    if (change.rowid != 0)
        sqlite3_bind_int64(statement, next++, change.rowid);
    else
        sqlite3_bind_null(statement, next++);
    sqlite3_bind_text(statement, next++, change.key, -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, next, change.columns, -1, SQLITE_STATIC);
}

// Texts are compared by pointer: a file's file, package and table texts are kept once for all the
// changes that repeat them.
int ProvenanceRecorder::Impl::SharedColumns(int first, int count) const noexcept {
    int shared = kRunShared;
    for (int index = first + 1; index < first + count; ++index) {
        const Change& change = held[index];
        if (change.file != held[first].file || change.package != held[first].package)
            return 0;
        if (change.table != held[first].table || change.kind != held[first].kind)
            shared = kSourceShared;
    }
    return shared;
}

bool ProvenanceRecorder::Impl::Run(sqlite3_stmt* statement) noexcept {
    const int resultCode = sqlite3_step(statement);
    sqlite3_reset(statement);
    return resultCode == SQLITE_DONE;
}

bool ProvenanceRecorder::Impl::WriteHeld() noexcept {
    bool written = true;
    for (int index = 0; written && index < heldCount;) {
        // A full batch goes in by one statement; what is left, and a batch of several files or
        // packages, row by row.
        const int batchShares = heldCount - index == kBatch ? SharedColumns(index, kBatch) : 0;
        const int rows = batchShares != 0 ? kBatch : 1;
        const int shared = batchShares == kRunShared ? kRunShared : kSourceShared;
        sqlite3_stmt* statement = batchShares == kRunShared ? run.Statement()
                                  : rows == kBatch          ? batch.Statement()
                                                            : insert.Statement();
        BindShared(statement, shared, held[index]);
        for (int place = 0; place < rows; ++place)
            BindChange(statement, shared, place, held[index + place]);
        written = Run(statement);
        index += rows;
    }
    // The statements keep no texts of an arena that is about to be reused.
    for (Command* command : {&insert, &batch, &run})
        sqlite3_clear_bindings(command->Statement());
    return written;
}

// Outside any transaction the rows go in under a savepoint of their own, so that they cost one
// journal commit; inside the loader's or the host's they are part of it.
bool ProvenanceRecorder::Impl::Write(Connection& connection) noexcept {
    bool written = heldCount == 0;
    if (!written && Ready(connection) && MarkFileStart()) {
        const bool outermost = sqlite3_get_autocommit(connection.Handle()) != 0;
        if (!outermost || connection.Execute("SAVEPOINT zrdb_provenance;")) {
            written = WriteHeld();
            if (!written)
                ReportSqliteError(connection);
            if (outermost && written)
                written = connection.Execute("RELEASE zrdb_provenance;");
            // After a failed commit of the outermost savepoint the transaction is still open.
            if (outermost && !written)
                connection.Execute("ROLLBACK;");
        }
    }
    Forget();
    return written;
}

// Quietly: after a rollback the rows are gone already, and so may be the table.
void ProvenanceRecorder::Impl::Revoke(Connection& connection) noexcept {
    char statement[128];
    FormatText(statement, sizeof statement, "delete from zrdb_provenance where id > %lld;", idBefore);
    sqlite3_exec(connection.Handle(), statement, nullptr, nullptr, nullptr);
}

void ProvenanceRecorder::Impl::FinishFile(Connection& connection, const char* file, bool committed) noexcept {
    if (committed && !lost && !failed && !Write(connection))
        failed = true;
    if (committed && lost)
        connection.LogError("ProvenanceRecorder: no memory was left to hold the file's changes.");
    const bool incomplete = committed && (lost || failed);
    if (started && (incomplete || !committed))
        Revoke(connection);
    // The statements may stand on a table that went away with the rollback, or broke the write;
    // the next file prepares them afresh.
    if (!committed || incomplete)
        Discard();
    if (incomplete) {
        char line[512];
        FormatText(line, sizeof line, "ProvenanceRecorder: the provenance of %s was not recorded.",
                   file != nullptr ? file : "(null)");
        connection.LogError(line);
    }
    Forget();
    lost = failed = started = false;
}

ProvenanceRecorder::ProvenanceRecorder(Connection& connection)
    : m_connection(connection), m_next(nullptr), m_impl(new Impl(connection)) {}

ProvenanceRecorder::~ProvenanceRecorder() = default;

void ProvenanceRecorder::SetPackage(const char* label) {
    if (m_impl == nullptr)
        return;
    m_impl->package.Clear();
    m_impl->package.Append(label);
    m_impl->lastPackage = nullptr;
}

void ProvenanceRecorder::SetNext(ILoadObserver* next) {
    m_next = next;
}

void ProvenanceRecorder::OnDiagnostic(const Diagnostic& diagnostic) noexcept {
    if (m_next != nullptr)
        m_next->OnDiagnostic(diagnostic);
}

bool ProvenanceRecorder::WantsDiagnostics() const noexcept {
    return m_next != nullptr && m_next->WantsDiagnostics();
}

void ProvenanceRecorder::OnRowChange(const RowChange& change) noexcept {
    if (m_impl != nullptr && !m_impl->lost && !m_impl->failed && !IsOwnTable(change.table)
        && KindName(change.kind) != nullptr)
        m_impl->Hold(m_connection, change);
    if (m_next != nullptr)
        m_next->OnRowChange(change);
}

void ProvenanceRecorder::OnFileDone(const char* file, bool committed) noexcept {
    if (m_impl == nullptr) {
        if (committed)
            m_connection.LogError("ProvenanceRecorder: no memory for its state; nothing is recorded.");
    } else {
        m_impl->FinishFile(m_connection, file, committed);
    }
    if (m_next != nullptr)
        m_next->OnFileDone(file, committed);
}

}  // namespace Database
