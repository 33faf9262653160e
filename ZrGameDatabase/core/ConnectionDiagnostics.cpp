// ConnectionDiagnostics.cpp: maintenance and reports: ANALYZE and VACUUM, the integrity check,
// the foreign-key check of every table, the memory report, and inspection of the statements
// still prepared on the handle (the snapshot uses it to refuse a load while one is running).
//
// Statement texts here are built from names found in the database itself; one that would not
// fit its buffer is refused, since a cut text would check something else or nothing. Log lines
// that do not fit are cut, before the character the cut would split.
#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include "ZrGameDatabase/Connection.h"
#include "base/TextFormat.h"
#include "core/Command.h"
#include "core/ConnectionState.h"
#include "core/ForeignKeys.h"
#include "core/SqlText.h"

namespace Database {
namespace {

// Column text, with "" for a null, so that it can always be formatted.
const char* Text(const Command& command, int column) {
    const unsigned char* text = sqlite3_column_text(command.Statement(), column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

sqlite3_stmt* StatementAt(sqlite3* handle, int index) {
    if (handle == nullptr || index < 0)
        return nullptr;
    sqlite3_stmt* statement = sqlite3_next_stmt(handle, nullptr);
    for (; statement != nullptr && index > 0; --index)
        statement = sqlite3_next_stmt(handle, statement);
    return statement;
}

// {==== Foreign keys

void LogCheckFailure(const Connection& connection, const ForeignKey& key, const char* reason) {
    char line[512];
    FormatText(line, sizeof line, "Failure to check references for foreign key %s(%s).", key.table, key.column);
    connection.LogError(line);
    connection.LogError(reason);
}

// Walks the rows of the check query: each one is a value that refers to no row (with its rowid in
// the second column when a listener wants it).
bool LogDanglingValues(const Connection& connection, const ForeignKey& key, const Command& check,
                       IReferenceListener* listener) {
    bool valid = true;
    while (sqlite3_step(check.Statement()) == SQLITE_ROW) {
        valid = false;
        char line[1024];
        FormatText(line, sizeof line, "Invalid Reference on %s.%s - \"%s\" does not exist in %s", key.table, key.column,
                   Text(check, 0), key.referencedTable);
        connection.LogError(line);
        if (listener != nullptr) {
            const long long rowid = sqlite3_column_count(check.Statement()) > 1
                                        ? sqlite3_column_int64(check.Statement(), 1) : 0;
            listener->OnDanglingReference(
                DanglingReference{key.table, key.column, Text(check, 0), key.referencedTable, rowid});
        }
    }
    return valid;
}

// The column a key that names none refers to: the referenced table's primary key, or the column
// at the key's place in a primary key of several columns ("rowid" for a table without one). A
// table that is missing gives "rowid" too: the check query's prepare then says so in SQLite's
// words. False, with the failure logged, when the primary key cannot be read or is no key.
bool ResolveReferencedColumn(const Connection& connection, const ForeignKey& key, Command& primaryKey,
                             const char*& column) {
    if (primaryKey.Prepare("select name, pk = ?2 from pragma_table_info(?1) order by 2 desc limit 1", -1,
                           Command::Report::Nothing) != Status::Ok) {
        LogCheckFailure(connection, key, connection.ErrorMessage());
        return false;
    }
    sqlite3_bind_text(primaryKey.Statement(), 1, key.referencedTable, -1, SQLITE_STATIC);
    sqlite3_bind_int(primaryKey.Statement(), 2, key.position + 1);
    const bool exists = sqlite3_step(primaryKey.Statement()) == SQLITE_ROW;
    if (exists && sqlite3_column_int(primaryKey.Statement(), 1) == 0) {
        // SQLite refuses such a key on every write as a mismatch; say it in its own words.
        char reason[512];
        FormatText(reason, sizeof reason, "foreign key mismatch - \"%s\" referencing \"%s\"", key.table,
                   key.referencedTable);
        LogCheckFailure(connection, key, reason);
        return false;
    }
    column = exists ? Text(primaryKey, 0) : "rowid";
    return true;
}

// The check query: the values of T.F that are not null and not among R.C. Plain names are written
// as they are, any other name quoted, so that every table and column is checked as itself.
void ComposeCheck(SqlText& sql, const ForeignKey& key, const char* referencedColumn, bool withRowid) {
    sql.Append("select ").AppendQuoted(key.column, '"').Append(withRowid ? ", rowid" : "").Append(" from ");
    sql.AppendName(key.table);
    sql.Append(" where ").AppendName(key.column).Append(" not null and ").AppendName(key.column);
    sql.Append(" not in (select ").AppendQuoted(referencedColumn, '"').Append(" from ");
    sql.AppendName(key.referencedTable).Append(");");
}

// Checks one foreign-key column, logging every dangling value (valid becomes false). Returns
// false when the key could not be checked: the walk stops there, as the failure is logged.
bool CheckForeignKey(const Connection& connection, const ForeignKey& key, bool& valid, IReferenceListener* listener) {
    Command primaryKey(&connection);
    const char* referencedColumn = key.referencedColumn;
    if (referencedColumn == nullptr && !ResolveReferencedColumn(connection, key, primaryKey, referencedColumn))
        return false;
    char storage[512];
    SqlText sql(storage);
    Command check(&connection);
    if (listener != nullptr) {
        // A table without rowids refuses the query with one; the plain query checks it all the same.
        ComposeCheck(sql, key, referencedColumn, true);
        if (sql.Ok())
            (void)check.Prepare(sql.Text(), -1, Command::Report::Nothing);
        sql.Clear();
    }
    ComposeCheck(sql, key, referencedColumn, false);
    if (!sql.Ok()) {
        char reason[256];
        FormatText(reason, sizeof reason, "The check statement would not fit %d bytes; nothing was run.",
                   static_cast<int>(sizeof storage));
        LogCheckFailure(connection, key, reason);
        return false;
    }
    if (!check.Held() && (check.Prepare(sql.Text(), -1, Command::Report::Nothing) != Status::Ok || !check.Held())) {
        LogCheckFailure(connection, key, connection.ErrorMessage());
        return false;
    }
    if (!LogDanglingValues(connection, key, check, listener))
        valid = false;
    return true;
}

// }====

}  // namespace

// {==== Maintenance

void Connection::Analyze() const {
    if (m_handle != nullptr && sqlite3_exec(m_handle, "ANALYZE", nullptr, nullptr, nullptr) != SQLITE_OK)
        ReportSqliteError(*this);
}

void Connection::Vacuum() const {
    if (m_handle != nullptr && sqlite3_exec(m_handle, "VACUUM", nullptr, nullptr, nullptr) != SQLITE_OK)
        ReportSqliteError(*this);
}

bool Connection::CheckIntegrity() const {
    if (m_handle == nullptr) {
        ReportSqliteError(*this);
        return false;
    }
    Command check(this);
    if (check.Prepare("PRAGMA integrity_check", -1, Command::Report::Error) != Status::Ok || !check.Held())
        return false;
    bool passed = false;
    if (sqlite3_step(check.Statement()) == SQLITE_ROW) {
        const unsigned char* verdict = sqlite3_column_text(check.Statement(), 0);
        passed = verdict != nullptr && std::strcmp(reinterpret_cast<const char*>(verdict), "ok") == 0;
    }
    check.Release();
    return passed;
}

// A key that cannot be checked stops the walk and fails the validation, as does a walk that
// cannot list the keys (without SQLite's text: the listing is the validation's own business).
bool Connection::ValidateFKConstraints(bool flag) const {
    return ValidateFKConstraints(flag, nullptr);
}

bool Connection::ValidateFKConstraints(bool, IReferenceListener* listener) const {
    LogMessage("Validating Foreign Key Constraints...");
    if (m_handle == nullptr)
        return false;
    struct Check {
        const Connection& connection;
        IReferenceListener* listener;
        bool valid = true;
        bool checked = true;
        bool operator()(const ForeignKey& key) {
            checked = CheckForeignKey(connection, key, valid, listener);
            return checked;
        }
    } check{*this, listener};
    const bool walked = WalkForeignKeys(*this, Command::Report::Nothing, check) == Status::Ok;
    const bool valid = walked && check.checked && check.valid;
    LogMessage(valid ? "Passed Validation." : "Failed Validation.");
    return valid;
}

// }====

// {==== Memory report

const char* Connection::CalculateMemoryStats() {
    struct Counter {
        int current = 0;
        int highest = 0;
    };
    const auto status = [](int operation) {
        Counter counter;
        sqlite3_status(operation, &counter.current, &counter.highest, 0);
        return counter;
    };
    const Counter memory = status(SQLITE_STATUS_MEMORY_USED);
    const Counter pageCache = status(SQLITE_STATUS_PAGECACHE_USED);
    const Counter scratch = status(SQLITE_STATUS_SCRATCH_USED);
    const Counter mallocSize = status(SQLITE_STATUS_MALLOC_SIZE);
    const Counter pageCacheSize = status(SQLITE_STATUS_PAGECACHE_SIZE);
    const Counter scratchSize = status(SQLITE_STATUS_SCRATCH_SIZE);
    const Counter pageCacheOverflow = status(SQLITE_STATUS_PAGECACHE_OVERFLOW);
    const Counter scratchOverflow = status(SQLITE_STATUS_SCRATCH_OVERFLOW);
    Counter lookaside;
    if (m_handle != nullptr)
        sqlite3_db_status(m_handle, SQLITE_DBSTATUS_LOOKASIDE_USED, &lookaside.current, &lookaside.highest, 0);

    // Sixteen numbers of at most eleven characters and the fixed text: well within the buffer.
    char report[1024];
    std::snprintf(report, sizeof report,
                  "\n"
                  "-- SQLite Memory Statistics --\n"
                  "Memory Usage:\n"
                  "\t\t[Cur]\t\t[Max]\n"
                  "Malloc:\t\t%d\t\t%d\n"
                  "PageCache:\t%d\t\t%d\n"
                  "LookAside:\t%d\t\t%d\n"
                  "Scratch:\t%d\t\t%d\n"
                  "\n"
                  "Static Buffer Overflows:\n"
                  "\t\t[TooLarge]\t[NoSpace]\n"
                  "PageCache:\t%d\t\t%d\n"
                  "Scratch:\t%d\t\t%d\n"
                  "\n"
                  "Largest Allocations:\n"
                  "Malloc:\t\t%d\n"
                  "PageCache:\t%d\n"
                  "Scratch:\t%d\n"
                  "\n"
                  "Prepared Statements:\n"
                  "Current:\t\t%d\n"
                  "------------------------------",
                  memory.current, memory.highest, pageCache.current, pageCache.highest, lookaside.current,
                  lookaside.highest, scratch.current, scratch.highest, pageCacheOverflow.current,
                  pageCacheOverflow.highest, scratchOverflow.current, scratchOverflow.highest, mallocSize.highest,
                  pageCacheSize.highest, scratchSize.highest, StatementCount());

    const char* kept = "";
    if (ConnectionState* state = State()) {
        std::memcpy(state->memoryReport, report, sizeof report);
        kept = state->memoryReport;
    }
    LogMessage(report);
    return kept;
}

// }====

// {==== Statement inspection

int Connection::StatementCount() const {
    if (m_handle == nullptr)
        return 0;
    int count = 0;
    for (sqlite3_stmt* statement = sqlite3_next_stmt(m_handle, nullptr); statement != nullptr;
         statement = sqlite3_next_stmt(m_handle, statement))
        ++count;
    return count;
}

const char* Connection::StatementSQL(int index) const {
    sqlite3_stmt* statement = StatementAt(m_handle, index);
    return statement != nullptr ? sqlite3_sql(statement) : nullptr;
}

bool Connection::StatementBusy(int index) const {
    sqlite3_stmt* statement = StatementAt(m_handle, index);
    return statement != nullptr && sqlite3_stmt_busy(statement) != 0;
}

bool Connection::StatementReadOnly(int index) const {
    sqlite3_stmt* statement = StatementAt(m_handle, index);
    return statement != nullptr && sqlite3_stmt_readonly(statement) != 0;
}

int Connection::TotalChanges() const {
    return m_handle != nullptr ? sqlite3_changes(m_handle) : 0;
}

// }====

}  // namespace Database
