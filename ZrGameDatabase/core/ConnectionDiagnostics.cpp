// ConnectionDiagnostics.cpp: maintenance and reports: ANALYZE and VACUUM, the integrity check,
// the foreign-key check of every table, the memory report, and inspection of the statements
// still prepared on the handle (the snapshot uses it to refuse a load while one is running).
//
// Statement texts here are built from names found in the database itself; one that would not
// fit its buffer is refused, since a cut text would check something else or nothing. Log lines
// that do not fit are cut, before the character the cut would split.
#include <sqlite3.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "core/ConnectionState.h"
#include "base/TextFormat.h"
#include "ZrGameDatabase/Connection.h"

namespace Database {
namespace {

constexpr int kShownNameLength = 64;

struct Finalizer {
    void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
// A statement finalized when it goes out of scope, its result not examined.
using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

Statement PrepareStatement(sqlite3* handle, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    return Statement(statement);
}

// Column text, with "" for a null, so that it can always be formatted.
const char* Text(const Statement& statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement.get(), column);
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

// One foreign-key column as the foreign_key_list pragma gives it: T.F refers to R.C.
struct ForeignKey {
    const char* table;             // T, the table being checked
    const char* column;            // F, the referencing column
    const char* referencedTable;   // R
    const char* referencedColumn;  // C; null when the key names none
    int position;                  // 0-based place of the column within its key
};

void LogCheckFailure(const Connection& connection, const ForeignKey& key, const char* reason) {
    char line[512];
    FormatText(line, sizeof line, "Failure to check references for foreign key %s(%s).", key.table, key.column);
    connection.LogError(line);
    connection.LogError(reason);
}

// Logs a refusal of a statement on table that would not fit bufferSize bytes.
void LogTooLong(const Connection& connection, const char* what, const char* table, int bufferSize) {
    const std::string_view name(table);
    const int shown = ShownPrefixLength(name, kShownNameLength);
    char line[256];
    FormatText(line, sizeof line, "%s statement of table %.*s%s would not fit %d bytes; nothing was run.", what,
               shown, table, static_cast<std::size_t>(shown) < name.size() ? "..." : "", bufferSize);
    connection.LogError(line);
}

// Walks the rows of the check query: each one is a value that refers to no row.
bool LogDanglingValues(const Connection& connection, const ForeignKey& key, const Statement& check) {
    bool valid = true;
    while (sqlite3_step(check.get()) == SQLITE_ROW) {
        valid = false;
        char line[1024];
        FormatText(line, sizeof line, "Invalid Reference on %s.%s - \"%s\" does not exist in %s", key.table, key.column,
                   Text(check, 0), key.referencedTable);
        connection.LogError(line);
    }
    return valid;
}

// Checks one foreign-key column, logging every dangling value (valid becomes false). Returns
// false when the key could not be checked: the walk stops there, as the failure is logged.
bool CheckForeignKey(const Connection& connection, ForeignKey key, bool& valid) {
    sqlite3* handle = connection.Handle();
    // A key that names no column refers to the referenced table's primary key, or to the column
    // at its place in a primary key of several columns. A table that is missing goes on to the
    // check query, whose prepare then says so in SQLite's words; the column name is never read.
    Statement primaryKey;
    if (key.referencedColumn == nullptr) {
        primaryKey = PrepareStatement(handle, "select name, pk = ?2 from pragma_table_info(?1) order by 2 desc limit 1");
        if (primaryKey == nullptr) {
            LogCheckFailure(connection, key, connection.ErrorMessage());
            return false;
        }
        sqlite3_bind_text(primaryKey.get(), 1, key.referencedTable, -1, SQLITE_STATIC);
        sqlite3_bind_int(primaryKey.get(), 2, key.position + 1);
        const bool exists = sqlite3_step(primaryKey.get()) == SQLITE_ROW;
        if (exists && sqlite3_column_int(primaryKey.get(), 1) == 0) {
            // SQLite refuses such a key on every write as a mismatch; say it in its own words.
            char reason[512];
            FormatText(reason, sizeof reason, "foreign key mismatch - \"%s\" referencing \"%s\"", key.table,
                       key.referencedTable);
            LogCheckFailure(connection, key, reason);
            return false;
        }
        key.referencedColumn = exists ? Text(primaryKey, 0) : "rowid";
    }
    char sql[512];
    if (!FormatText(sql, sizeof sql, "select \"%s\" from %s where %s not null and %s not in (select \"%s\" from %s);",
                    key.column, key.table, key.column, key.column, key.referencedColumn, key.referencedTable)) {
        char reason[256];
        FormatText(reason, sizeof reason, "The check statement would not fit %d bytes; nothing was run.",
                   static_cast<int>(sizeof sql));
        LogCheckFailure(connection, key, reason);
        return false;
    }
    const Statement check = PrepareStatement(handle, sql);
    if (check == nullptr) {
        LogCheckFailure(connection, key, connection.ErrorMessage());
        return false;
    }
    if (!LogDanglingValues(connection, key, check))
        valid = false;
    return true;
}

// Checks every foreign key of table. Returns false when a key could not be checked.
bool CheckTable(const Connection& connection, const char* table, bool& valid) {
    char sql[512];
    if (!FormatText(sql, sizeof sql, "pragma foreign_key_list(%s);", table)) {
        LogTooLong(connection, "Foreign key list", table, static_cast<int>(sizeof sql));
        return false;
    }
    // A list that does not prepare fails the validation without SQLite's text.
    const Statement keys = PrepareStatement(connection.Handle(), sql);
    if (keys == nullptr)
        return false;
    while (sqlite3_step(keys.get()) == SQLITE_ROW) {
        const unsigned char* referencedColumn = sqlite3_column_text(keys.get(), 4);
        const ForeignKey key{table, Text(keys, 3), Text(keys, 2), reinterpret_cast<const char*>(referencedColumn),
                             sqlite3_column_int(keys.get(), 1)};
        if (!CheckForeignKey(connection, key, valid))
            return false;
    }
    return true;
}

// }====

}  // namespace

// {==== Maintenance

void Connection::Analyze() const {
    if (m_handle != nullptr && sqlite3_exec(m_handle, "ANALYZE", nullptr, nullptr, nullptr) != SQLITE_OK)
        ReportSqliteError();
}

void Connection::Vacuum() const {
    if (m_handle != nullptr && sqlite3_exec(m_handle, "VACUUM", nullptr, nullptr, nullptr) != SQLITE_OK)
        ReportSqliteError();
}

bool Connection::CheckIntegrity() const {
    if (m_handle == nullptr) {
        ReportSqliteError();
        return false;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_handle, "PRAGMA integrity_check", -1, &statement, nullptr) != SQLITE_OK) {
        ReportSqliteError();
        sqlite3_finalize(statement);
        return false;
    }
    if (statement == nullptr)
        return false;
    bool passed = false;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* verdict = sqlite3_column_text(statement, 0);
        passed = verdict != nullptr && std::strcmp(reinterpret_cast<const char*>(verdict), "ok") == 0;
    }
    if (sqlite3_finalize(statement) != SQLITE_OK)
        ReportSqliteError();
    return passed;
}

bool Connection::ValidateFKConstraints(bool) const {
    LogMessage("Validating Foreign Key Constraints...");
    if (m_handle == nullptr)
        return false;
    const Statement tables = PrepareStatement(m_handle, "select name from sqlite_master where type = 'table'");
    if (tables == nullptr)
        return false;
    bool valid = true;
    while (sqlite3_step(tables.get()) == SQLITE_ROW) {
        if (!CheckTable(*this, Text(tables, 0), valid)) {
            valid = false;
            break;
        }
    }
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
        try {
            state->memoryReport.assign(report);
            kept = state->memoryReport.c_str();
        } catch (const std::bad_alloc&) {
            // The report is still logged; only the copy to return is missing.
        }
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
