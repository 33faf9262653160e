// ConnectionQueries.cpp: the select helpers, which build the commonest select statements from a
// table name, a key and the column list of a Results, and the row count with its two caches.
//
// A statement text that would not fit its buffer is refused rather than cut: a cut text either
// fails to prepare or, worse, prepares and selects something else than the caller asked for.
//
// The row count cache is trusted only while nothing can have changed the database since the
// count was taken. Three signs are compared: the connection's running total of changed rows,
// the data version of "main" (it moves with every commit to it, ours or another connection's that
// this connection has seen), and the number of commits and rollbacks the hooks installed by Open
// have seen (a rollback takes changed rows back without lowering the change total, and a schema
// change to a temporary or attached table moves neither of the other two). Inside a write
// transaction nothing is trusted or kept: a rollback to a savepoint, or a table dropped and made
// again, leaves no sign at all until the transaction ends.
#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "core/ConnectionState.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"

namespace Database {
namespace {

// A select statement may take what a 1024-byte buffer holds: 1023 bytes and the terminating zero.
constexpr int kSelectBufferSize = 1024;
constexpr int kCountBufferSize = 256;
constexpr char kCountPrefix[] = "select count(*) from ";
// How much of a name a refusal line shows.
constexpr int kShownNameLength = 64;

const char* Suffix(const Results& results) {
    return results.SingleQuery() ? "LIMIT 1" : "";
}

// Logs why a statement on table was refused, naming at most the first characters of the table.
void LogRefusal(const Connection& connection, const char* what, const char* table, int bufferSize) {
    const std::string_view name = table != nullptr ? table : "(null)";
    const int shown = ShownPrefixLength(name, kShownNameLength);
    char line[256];
    std::snprintf(line, sizeof line, "%s statement on table %.*s%s would not fit %d bytes; nothing was run.", what,
                  shown, name.data(), static_cast<std::size_t>(shown) < name.size() ? "..." : "", bufferSize);
    connection.LogError(line);
}

// Formats a select statement with SQLite's formatter and hands it to results through Execute.
// The text is measured whole before anything runs: SQLite's bounded formatter would cut a long
// text at the end of the buffer, or drop everything from an escaped value too long for it on,
// and either cut could still prepare.
bool RunSelect(const Connection& connection, Results& results, const char* table, const char* format, ...) {
    sqlite3_str* text = sqlite3_str_new(nullptr);
    va_list arguments;
    va_start(arguments, format);
    sqlite3_str_vappendf(text, format, arguments);
    va_end(arguments);
    const int errorCode = sqlite3_str_errcode(text);
    const int length = sqlite3_str_length(text);
    char* sql = sqlite3_str_finish(text);
    bool selected = false;
    if (errorCode == SQLITE_NOMEM)
        connection.LogError(sqlite3_errstr(errorCode));
    else if (errorCode != SQLITE_OK || length >= kSelectBufferSize)
        LogRefusal(connection, "Select", table, kSelectBufferSize);
    else
        selected = connection.Execute(results, sql != nullptr ? sql : "", -1);
    sqlite3_free(sql);
    return selected;
}

// Writes value as a real literal that SQLite reads back as the same double: the fewest digits
// that round-trip, and ".0" after a whole number, so that it compares as a real even with a text
// column. SQLite has no NaN (it stores one as NULL) and reads 9e999 as infinity.
void FormatReal(double value, char (&text)[32]) {
    if (std::isnan(value)) {
        std::snprintf(text, sizeof text, "NULL");
        return;
    }
    if (std::isinf(value)) {
        std::snprintf(text, sizeof text, "%s", value < 0 ? "-9e999" : "9e999");
        return;
    }
    // Room is left for ".0" and the terminating zero; 24 characters take any double.
    char* end = std::to_chars(text, text + sizeof text - 3, value).ptr;
    *end = '\0';
    if (std::strpbrk(text, ".e") == nullptr)
        std::memcpy(end, ".0", 3);
}

// The stamp a cached count is compared with; false while a write transaction is open, when no
// count may be trusted or kept.
bool ReadCountStamp(sqlite3* handle, const ConnectionState& state, CountStamp& stamp) noexcept {
    if (sqlite3_txn_state(handle, nullptr) == SQLITE_TXN_WRITE)
        return false;
    unsigned int dataVersion = 0;
    if (sqlite3_file_control(handle, "main", SQLITE_FCNTL_DATA_VERSION, &dataVersion) != SQLITE_OK)
        return false;
    stamp = CountStamp{sqlite3_total_changes64(handle), dataVersion, state.transactionEnds};
    return true;
}

// The cached count of table, if it can be trusted now.
const CachedCount* TrustedCount(sqlite3* handle, const ConnectionState* state, std::string_view table) noexcept {
    if (state == nullptr)
        return nullptr;
    const auto found = state->rowCounts.find(table);
    CountStamp now;
    if (found == state->rowCounts.end() || !ReadCountStamp(handle, *state, now) || !(found->second.stamp == now))
        return nullptr;
    return &found->second;
}

// Caches rows as the count of table. Without memory for the entry, the count is simply not cached.
void RememberCount(sqlite3* handle, ConnectionState* state, std::string_view table, int rows) noexcept {
    CountStamp now;
    if (state == nullptr || !ReadCountStamp(handle, *state, now))
        return;
    const CachedCount entry{rows, now};
    const auto found = state->rowCounts.find(table);
    if (found != state->rowCounts.end()) {
        found->second = entry;
        return;
    }
    try {
        state->rowCounts.emplace(Memory::String(table.data(), table.size()), entry);
    } catch (const std::bad_alloc&) {
    }
}

// Files statement as the kept counting statement of table; false (the caller then finalizes it
// after use) when there is no memory for the entry.
bool KeepCountStatement(ConnectionState* state, std::string_view table, sqlite3_stmt* statement) noexcept {
    if (state == nullptr)
        return false;
    try {
        return state->countStatements.emplace(Memory::String(table.data(), table.size()), statement).second;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Prepares "select count(*) from <table>" in its zeroed 256-byte buffer; null on failure, which
// is logged (a name too long for the buffer is refused before SQLite sees it).
sqlite3_stmt* PrepareCountStatement(const Connection& connection, const char* table) {
    constexpr std::size_t prefixLength = sizeof kCountPrefix - 1;
    const std::size_t tableLength = std::strlen(table);
    if (tableLength > kCountBufferSize - 1 - prefixLength) {
        LogRefusal(connection, "Count", table, kCountBufferSize);
        return nullptr;
    }
    char sql[kCountBufferSize] = {};
    std::memcpy(sql, kCountPrefix, prefixLength);
    std::memcpy(sql + prefixLength, table, tableLength);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection.Handle(), sql, kCountBufferSize, &statement, nullptr) != SQLITE_OK) {
        connection.LogError(connection.ErrorMessage());
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

}  // namespace

int ShownPrefixLength(std::string_view text, int limit) noexcept {
    if (text.size() <= static_cast<std::size_t>(limit))
        return static_cast<int>(text.size());
    int length = limit;
    // Step back over continuation bytes so that the cut falls before a character, not inside one.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    return length;
}

// {==== Select helpers

bool Connection::SelectAll(Results& results, const char* table) {
    return RunSelect(*this, results, table, "select %s from %q %s", results.GetColumns(), table, Suffix(results));
}

bool Connection::SelectAt(Results& results, const char* table, const char* column, const char* value) {
    return RunSelect(*this, results, table, "select %s from %q where %s = %Q %s", results.GetColumns(), table, column,
                     value, Suffix(results));
}

bool Connection::SelectAt(Results& results, const char* table, const char* column, int value) {
    return RunSelect(*this, results, table, "select %s from %q where %s = %i %s", results.GetColumns(), table, column,
                     value, Suffix(results));
}

bool Connection::SelectAt(Results& results, const char* table, const char* column, double value) {
    char number[32];
    FormatReal(value, number);
    return RunSelect(*this, results, table, "select %s from %q where %s = %s %s", results.GetColumns(), table, column,
                     number, Suffix(results));
}

bool Connection::SelectAt(Results& results, const char* table, int rowId) {
    return RunSelect(*this, results, table, "select %s from %q where ROWID = %i LIMIT 1", results.GetColumns(), table,
                     rowId);
}

bool Connection::SelectWhere(Results& results, const char* table, const char* condition) {
    return RunSelect(*this, results, table, "select %s from %q where %s %s", results.GetColumns(), table, condition,
                     Suffix(results));
}

// }====

// {==== Row counts

ConnectionState* Connection::State() noexcept {
    if (m_state == nullptr)
        m_state = new ConnectionState;
    return m_state;
}

int Connection::CommitHook(void* context) noexcept {
    const Connection* connection = static_cast<const Connection*>(context);
    if (connection->m_state != nullptr)
        ++connection->m_state->transactionEnds;
    return 0;  // let the commit go on
}

void Connection::RollbackHook(void* context) noexcept {
    // Only the counter moves here: SQLite forbids touching the connection's statements from
    // inside a hook, so the kept statements stay (they count correctly on any data).
    const Connection* connection = static_cast<const Connection*>(context);
    if (connection->m_state != nullptr)
        ++connection->m_state->transactionEnds;
}

int Connection::Count(const char* table, bool keepStatement) {
    if (m_handle == nullptr) {
        ReportSqliteError();
        return -1;
    }
    if (table == nullptr) {
        LogError("Count needs a table name.");
        return -1;
    }
    const std::string_view key(table);
    ConnectionState* state = State();
    if (const CachedCount* cached = TrustedCount(m_handle, state, key))
        return cached->rows;

    sqlite3_stmt* statement = nullptr;
    bool kept = false;
    if (state != nullptr) {
        const auto found = state->countStatements.find(key);
        if (found != state->countStatements.end()) {
            statement = found->second;
            kept = true;
            if (sqlite3_reset(statement) != SQLITE_OK)
                ReportSqliteError();
        }
    }
    if (statement == nullptr) {
        statement = PrepareCountStatement(*this, table);
        if (statement == nullptr)
            return -1;
        kept = keepStatement && KeepCountStatement(state, key, statement);
    }

    const int stepResult = sqlite3_step(statement);
    const int rows = stepResult == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
    if (!kept) {
        // After a failed step finalize only repeats that failure, which goes unreported.
        if (sqlite3_finalize(statement) != SQLITE_OK && stepResult == SQLITE_ROW)
            ReportSqliteError();
    } else if (stepResult == SQLITE_ROW) {
        if (sqlite3_reset(statement) != SQLITE_OK)
            ReportSqliteError();
        if (sqlite3_clear_bindings(statement) != SQLITE_OK)
            ReportSqliteError();
    } else {
        // The failure is not reported; the rewind only makes the kept statement let go of the
        // database until its next use.
        sqlite3_reset(statement);
    }
    if (stepResult == SQLITE_ROW)
        RememberCount(m_handle, state, key, rows);
    return rows;
}

void Connection::ClearCountCache() {
    if (m_state == nullptr)
        return;
    for (const auto& entry : m_state->countStatements) {
        if (sqlite3_finalize(entry.second) != SQLITE_OK)
            ReportSqliteError();
    }
    m_state->ClearCountCaches();
}

// }====

}  // namespace Database
