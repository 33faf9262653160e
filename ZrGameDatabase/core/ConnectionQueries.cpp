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
#include <cstdio>
#include <cstring>
#include <string_view>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "base/TextFormat.h"
#include "core/Command.h"
#include "core/ConnectionState.h"
#include "core/SqlText.h"

namespace Database {
namespace {

// A select statement may take what a 1024-byte buffer holds: 1023 bytes and the terminating zero.
constexpr int kSelectBufferSize = 1024;
constexpr int kCountBufferSize = 256;

const char* Suffix(const Results& results) {
    return results.SingleQuery() ? "LIMIT 1" : "";
}

// One statement of the select helpers, composed in its 1024-byte buffer: "select <columns> from
// <table>" (the table escaped as a text, as SQLite's %q does, not quoted), what the helper adds,
// and the suffix of results.
class Select {
public:
    Select(Results& results, const char* table)
        : m_results(results), m_table(table), m_sql(m_storage, sizeof m_storage) {
        m_sql.Append("select ").Append(results.GetColumns()).Append(" from ");
        m_sql.AppendEscaped(table != nullptr ? table : "(NULL)", '\'');
    }

    // " where <column> = ", for the value to follow.
    SqlText& WhereEquals(const char* column) { return m_sql.Append(" where ").Append(column).Append(" = "); }
    SqlText& Text() { return m_sql; }

    // Hands the statement to results through Execute, or refuses a text that did not fit: a cut
    // text either fails to prepare or, worse, prepares and selects something else.
    bool Run(const Connection& connection, bool withSuffix = true) {
        if (withSuffix)
            m_sql.Append(' ').Append(Suffix(m_results));
        if (!m_sql.Ok()) {
            ReportStatementTooLong(connection, "Select statement on table", m_table, kSelectBufferSize);
            return false;
        }
        return connection.Execute(m_results, m_sql.Text(), -1);
    }

private:
    Results& m_results;
    const char* m_table;
    char m_storage[kSelectBufferSize];
    SqlText m_sql;
};

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
    const CachedCount* found = state->rowCounts.Find(table);
    CountStamp now;
    if (found == nullptr || !ReadCountStamp(handle, *state, now) || !(found->stamp == now))
        return nullptr;
    return found;
}

// Caches rows as the count of table. Without memory for the entry, the count is simply not cached.
void RememberCount(sqlite3* handle, ConnectionState* state, std::string_view table, int rows) noexcept {
    CountStamp now;
    if (state != nullptr && ReadCountStamp(handle, *state, now))
        (void)state->rowCounts.Set(table, CachedCount{rows, now});
}

// Moves the counting statement of table from once into the cache of kept statements and returns
// where it now is; once itself when there is no memory for the entry (the caller then finalizes it
// after use).
Command* KeepCountStatement(ConnectionState* state, std::string_view table, Command& once) noexcept {
    if (state == nullptr)
        return &once;
    Command* keeper = new Command(std::move(once));
    if (keeper == nullptr)
        return &once;
    if (!state->countStatements.Set(table, keeper)) {
        once = std::move(*keeper);
        delete keeper;
        return &once;
    }
    return keeper;
}

// Prepares "select count(*) from <table>" into command; false on failure, which is logged (a name
// too long for the 256-byte statement is refused before SQLite sees it).
bool PrepareCountStatement(const Connection& connection, const char* table, Command& command) {
    char storage[kCountBufferSize];
    SqlText sql(storage);
    sql.Append("select count(*) from ").Append(table);
    if (!sql.Ok()) {
        ReportStatementTooLong(connection, "Count statement on table", table, kCountBufferSize);
        return false;
    }
    return command.Prepare(sql.Text(), -1, Command::Report::Error) == Status::Ok && command.Held();
}

// Steps the counting statement once. A kept statement is rewound for its next use; one made for
// this count only is finalized, a failed step's repeat of its failure unreported.
int StepCount(const Connection& connection, Command& command, bool kept, ConnectionState* state,
              std::string_view table) {
    sqlite3_stmt* statement = command.Statement();
    const int stepResult = sqlite3_step(statement);
    const int rows = stepResult == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
    if (!kept) {
        if (stepResult == SQLITE_ROW)
            command.Release();
        else
            command.Discard();
    } else if (stepResult == SQLITE_ROW) {
        if (sqlite3_reset(statement) != SQLITE_OK)
            ReportSqliteError(connection);
        if (sqlite3_clear_bindings(statement) != SQLITE_OK)
            ReportSqliteError(connection);
    } else {
        // The failure is not reported; the rewind only makes the kept statement let go of the
        // database until its next use.
        sqlite3_reset(statement);
    }
    if (stepResult == SQLITE_ROW)
        RememberCount(connection.Handle(), state, table, rows);
    return rows;
}

}  // namespace

// {==== Select helpers

bool Connection::SelectAll(Results& results, const char* table) {
    return Select(results, table).Run(*this);
}

bool Connection::SelectAt(Results& results, const char* table, const char* column, const char* value) {
    Select select(results, table);
    select.WhereEquals(column).AppendLiteral(value);
    return select.Run(*this);
}

bool Connection::SelectAt(Results& results, const char* table, const char* column, int value) {
    Select select(results, table);
    select.WhereEquals(column).AppendInteger(value);
    return select.Run(*this);
}

bool Connection::SelectAt(Results& results, const char* table, const char* column, double value) {
    char number[32];
    FormatReal(value, number);
    Select select(results, table);
    select.WhereEquals(column).Append(number);
    return select.Run(*this);
}

bool Connection::SelectAt(Results& results, const char* table, int rowId) {
    Select select(results, table);
    select.Text().Append(" where ROWID = ").AppendInteger(rowId).Append(" LIMIT 1");
    return select.Run(*this, false);
}

bool Connection::SelectWhere(Results& results, const char* table, const char* condition) {
    Select select(results, table);
    select.Text().Append(" where ").Append(condition);
    return select.Run(*this);
}

// }====

// {==== Row counts

ConnectionState* Connection::State() noexcept {
    if (m_state == nullptr)
        m_state.reset(new ConnectionState);
    return m_state.get();
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
        ReportSqliteError(*this);
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

    Command* const* kept = state != nullptr ? state->countStatements.Find(key) : nullptr;
    Command once(this);
    Command* command = kept != nullptr ? *kept : &once;
    if (kept != nullptr) {
        if (sqlite3_reset(command->Statement()) != SQLITE_OK)
            ReportSqliteError(*this);
    } else {
        if (!PrepareCountStatement(*this, table, once))
            return -1;
        if (keepStatement)
            command = KeepCountStatement(state, key, once);
    }
    return StepCount(*this, *command, command != &once, state, key);
}

void Connection::ClearCountCache() {
    if (m_state != nullptr)
        m_state->ClearCountCaches();
}

// }====

}  // namespace Database
