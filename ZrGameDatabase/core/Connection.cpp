// Connection.cpp: the connection core: process-wide SQLite set-up, opening and closing, logging,
// the busy wait and running SQL text.
//
// SQLite is built without API armour, so a null handle passed to it crashes the host. Every entry
// point that reaches SQLite with the handle therefore checks it first and reports the failure the
// way SQLite would have: through the logger, with a null text.
#include "ZrGameDatabase/Connection.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ZrGameDatabase/DatabaseResults.h"
#include "base/Memory.h"
#include "core/Command.h"
#include "core/ConnectionState.h"
#include "platform/Sleep.h"

namespace Database {
namespace {

// The busy callback gives up after this many further attempts: 31 in all, 2 ms apart.
constexpr int kLastBusyAttempt = 30;
constexpr int kBusySleepMilliseconds = 2;

// Configures SQLite for the process and initialises it, the first time only. SQLite refuses
// configuration once initialised; the results are not examined, as a refusal changes nothing.
void SetUpSqliteOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        Memory::ConfigureSqlite();
        sqlite3_initialize();
    });
}

}  // namespace

IDatabaseLogger::~IDatabaseLogger() = default;

// {==== Life cycle

Connection::Connection() : m_handle(nullptr), m_liveCommands(nullptr) {
    SetUpSqliteOnce();
}

Connection::Connection(const char* path, int flags) : Connection() {
    Open(path, flags);
}

Connection::~Connection() {
    if (m_handle != nullptr)
        Close();
    // A handle that would not close is closed by SQLite as soon as nothing uses it any more.
    if (m_handle != nullptr)
        sqlite3_close_v2(m_handle);
}

void* Connection::operator new(std::size_t size) noexcept {
    return std::malloc(size);
}

void Connection::operator delete(void* block) noexcept {
    std::free(block);
}

bool Connection::Open(const char* path, int flags) {
    if (m_handle != nullptr) {
        Close();
        // A handle that would not close (a backup still running on it) is left to SQLite to close
        // once it is free; the connection moves on to the new database either way.
        if (m_handle != nullptr) {
            sqlite3_close_v2(m_handle);
            m_handle = nullptr;
        }
    }
    const int resultCode = sqlite3_open_v2(path != nullptr ? path : ":memory:", &m_handle, flags, nullptr);
    if (resultCode != SQLITE_OK) {
        ReportSqliteError(*this);
        return false;
    }
    sqlite3_busy_handler(m_handle, &Connection::BusyCallback, this);
    // The row count cache must hear of every commit and rollback (ConnectionQueries.cpp).
    sqlite3_commit_hook(m_handle, &Connection::CommitHook, this);
    sqlite3_rollback_hook(m_handle, &Connection::RollbackHook, this);
    return true;
}

void Connection::Close() {
    // The kept counting statements are commands too: forgotten first, their statements are
    // finalized with all the others below.
    ForgetLiveCommands();
    if (m_state != nullptr)
        m_state->ClearCountCaches();
    if (m_handle == nullptr)
        return;
    FinalizeAllStatements();
    if (sqlite3_close(m_handle) != SQLITE_OK) {
        ReportSqliteError(*this);
        return;
    }
    m_handle = nullptr;
}

void Connection::ForgetLiveCommands() noexcept {
    for (Command* command = m_liveCommands; command != nullptr;) {
        Command* next = command->m_next;
        command->Forget();
        command = next;
    }
    m_liveCommands = nullptr;
}

void Connection::FinalizeAllStatements() {
    while (sqlite3_stmt* statement = sqlite3_next_stmt(m_handle, nullptr)) {
        if (sqlite3_finalize(statement) != SQLITE_OK)
            ReportSqliteError(*this);
    }
}

// }====

// {==== Logging and errors

void Connection::SetLogger(IDatabaseLogger* logger) {
    m_logger.reset(logger);
}

void Connection::LogError(const char* text) const {
    if (m_logger != nullptr)
        m_logger->Log(text, IDatabaseLogger::Error);
}

void Connection::LogWarning(const char* text) const {
    if (m_logger != nullptr)
        m_logger->Log(text, IDatabaseLogger::Warning);
}

void Connection::LogMessage(const char* text) const {
    if (m_logger != nullptr)
        m_logger->Log(text, IDatabaseLogger::Message);
}

int Connection::ErrorCode() const {
    return m_handle != nullptr ? sqlite3_errcode(m_handle) : -1;
}

const char* Connection::ErrorMessage() const {
    return m_handle != nullptr ? sqlite3_errmsg(m_handle) : nullptr;
}

// }====

// {==== Busy handling

int Connection::BusyCallback(void* context, int attempt) {
    const Connection* connection = static_cast<const Connection*>(context);
    char line[128];
    std::snprintf(line, sizeof line, "Database is busy. Sleeping for 2 ms... (%i) attempt(s).", attempt);
    connection->LogWarning(line);
    Platform::SleepMilliseconds(kBusySleepMilliseconds);
    return attempt < kLastBusyAttempt ? 1 : 0;
}

bool Connection::SetBusyTimeout(int milliseconds) {
    if (m_handle == nullptr || sqlite3_busy_timeout(m_handle, milliseconds) != SQLITE_OK) {
        ReportSqliteError(*this);
        return false;
    }
    return true;
}

// }====

// {==== Running SQL text

bool Connection::Execute(const char* sql, int length) const {
    Command command(this);
    if (command.Prepare(sql, length, Command::Report::Error) != Status::Ok || !command.Held())
        return false;
    const int resultCode = command.RunToEnd();
    // After a failed step the finalize repeats the failure; both are logged, as they always were.
    command.Release();
    if (resultCode != SQLITE_DONE) {
        ReportSqliteError(*this);
        return false;
    }
    return true;
}

bool Connection::Execute(Results& results, const char* sql, int length) const {
    if (ResultsAccess::Prepare(*this, results, sql, length) != Status::Ok)
        return false;
    // A single-row query stands on its row at once.
    return !results.SingleQuery() || results.Step();
}

bool Connection::ExecuteMultiple(const char* sql, int length) const {
    if (m_handle == nullptr) {
        ReportSqliteError(*this);
        return false;
    }
    if (length < 0)
        length = static_cast<int>(std::strlen(sql));
    const char* cursor = sql;
    const char* const end = sql + length;
    for (;;) {
        Command command(this);
        const char* tail = nullptr;
        if (command.Prepare(cursor, static_cast<int>(end - cursor), Command::Report::Error, &tail) != Status::Ok)
            return false;
        if (!command.Held())
            return true;  // only blanks and comments were left
        const int resultCode = command.RunToEnd();
        command.Release();
        if (resultCode != SQLITE_DONE) {
            ReportSqliteError(*this);
            return false;
        }
        cursor = tail;
    }
}

// }====

}  // namespace Database
