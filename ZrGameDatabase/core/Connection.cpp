// Connection.cpp: the connection core: process-wide SQLite set-up, opening and closing, logging,
// the busy wait, running SQL text, and the Command pair.
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

#include "core/ConnectionState.h"
#include "base/Memory.h"
#include "base/TextFormat.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "platform/Sleep.h"

namespace Database {
namespace {

// SQLite's page cache and scratch memory: static buffers handed over once at set-up.
constexpr int kPageCacheSlotSize = 1168;
constexpr int kPageCacheSlotCount = 5000;
constexpr int kScratchSlotSize = 7008;
alignas(16) unsigned char g_pageCache[kPageCacheSlotSize * kPageCacheSlotCount];
alignas(16) unsigned char g_scratch[kScratchSlotSize];

// The busy callback gives up after this many further attempts: 31 in all, 2 ms apart.
constexpr int kLastBusyAttempt = 30;
constexpr int kBusySleepMilliseconds = 2;

// Configures SQLite for the process and initialises it, the first time only. SQLite refuses
// configuration once initialised; the results are not examined, as a refusal changes nothing.
void SetUpSqliteOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_config(SQLITE_CONFIG_MALLOC, Memory::SqliteMethods());
        sqlite3_config(SQLITE_CONFIG_PAGECACHE, g_pageCache, kPageCacheSlotSize, kPageCacheSlotCount);
        // Scratch memory is gone from recent SQLite; the request is refused and harmless.
        sqlite3_config(6 /* SQLITE_CONFIG_SCRATCH */, g_scratch, kScratchSlotSize, 1);
        sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
        sqlite3_initialize();
    });
}

bool IsRowOrOk(int resultCode) {
    return resultCode == SQLITE_ROW || resultCode == SQLITE_OK;
}

}  // namespace

IDatabaseLogger::~IDatabaseLogger() = default;

// {==== Command

Command::Command(const Connection* connection) noexcept
    : m_connection(connection), m_statement(nullptr), m_previous(nullptr), m_next(nullptr) {}

Command::~Command() {
    Release();
}

Command::Command(Command&& other) noexcept
    : m_connection(other.m_connection), m_statement(nullptr), m_previous(nullptr), m_next(nullptr) {
    if (other.m_statement != nullptr) {
        m_statement = other.m_statement;
        other.Unlink();
        other.m_statement = nullptr;
        Link();
    }
}

Command& Command::operator=(Command&& other) noexcept {
    if (this != &other) {
        Release();
        m_connection = other.m_connection;
        if (other.m_statement != nullptr) {
            m_statement = other.m_statement;
            other.Unlink();
            other.m_statement = nullptr;
            Link();
        }
    }
    return *this;
}

bool Command::Prepare(const char* sql, int length) {
    if (m_connection == nullptr)
        return false;
    if (m_statement != nullptr) {
        m_connection->LogError("Command must be released prior to reuse.");
        return false;
    }
    sqlite3* handle = m_connection->Handle();
    const int resultCode = handle != nullptr
        ? sqlite3_prepare_v2(handle, sql, length, &m_statement, nullptr)
        : SQLITE_MISUSE;
    if (resultCode != SQLITE_OK)
        m_connection->ReportSqliteError();
    if (resultCode != SQLITE_OK || m_statement == nullptr) {
        // A failed prepare may still have produced nothing to finalize; make sure of it.
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
        char line[512];
        FormatText(line, sizeof line, "In Query - %s", sql != nullptr ? sql : "");
        m_connection->LogMessage(line);
        return false;
    }
    Link();
    return true;
}

void Command::Release() noexcept {
    if (m_statement == nullptr)
        return;
    Unlink();
    const int resultCode = sqlite3_finalize(m_statement);
    m_statement = nullptr;
    if (resultCode != SQLITE_OK && m_connection != nullptr)
        m_connection->ReportSqliteError();
}

void Command::Link() noexcept {
    if (m_connection == nullptr)
        return;
    m_previous = nullptr;
    m_next = m_connection->m_liveCommands;
    if (m_next != nullptr)
        m_next->m_previous = this;
    m_connection->m_liveCommands = this;
}

void Command::Unlink() noexcept {
    if (m_connection == nullptr)
        return;
    if (m_previous != nullptr)
        m_previous->m_next = m_next;
    else if (m_connection->m_liveCommands == this)
        m_connection->m_liveCommands = m_next;
    if (m_next != nullptr)
        m_next->m_previous = m_previous;
    m_previous = nullptr;
    m_next = nullptr;
}

void Command::Forget() noexcept {
    m_statement = nullptr;
    m_previous = nullptr;
    m_next = nullptr;
}

// }====

// {==== Life cycle

Connection::Connection() : m_handle(nullptr), m_state(nullptr), m_logger(nullptr), m_liveCommands(nullptr) {
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
    delete m_logger;
    delete m_state;
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
        ReportSqliteError();
        return false;
    }
    sqlite3_busy_handler(m_handle, &Connection::BusyCallback, this);
    // The row count cache must hear of every commit and rollback (ConnectionQueries.cpp).
    sqlite3_commit_hook(m_handle, &Connection::CommitHook, this);
    sqlite3_rollback_hook(m_handle, &Connection::RollbackHook, this);
    return true;
}

void Connection::Close() {
    if (m_state != nullptr)
        m_state->ClearCountCaches();
    if (m_handle == nullptr)
        return;
    ForgetLiveCommands();
    FinalizeAllStatements();
    if (sqlite3_close(m_handle) != SQLITE_OK) {
        ReportSqliteError();
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
            ReportSqliteError();
    }
}

// }====

// {==== Logging and errors

void Connection::SetLogger(IDatabaseLogger* logger) {
    delete m_logger;
    m_logger = logger;
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

void Connection::ReportSqliteError() const {
    LogError(m_handle != nullptr ? sqlite3_errmsg(m_handle) : nullptr);
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
        ReportSqliteError();
        return false;
    }
    return true;
}

// }====

// {==== Running SQL text

bool Connection::Execute(const char* sql, int length) const {
    if (m_handle == nullptr) {
        ReportSqliteError();
        return false;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_handle, sql, length, &statement, nullptr) != SQLITE_OK) {
        ReportSqliteError();
        return false;
    }
    if (statement == nullptr)
        return false;
    int resultCode;
    do {
        resultCode = sqlite3_step(statement);
    } while (IsRowOrOk(resultCode));
    if (sqlite3_finalize(statement) != SQLITE_OK)
        ReportSqliteError();
    if (resultCode != SQLITE_DONE) {
        ReportSqliteError();
        return false;
    }
    return true;
}

bool Connection::Execute(Results& results, const char* sql, int length) const {
    Command command(this);
    if (!command.Prepare(sql, length))
        return false;
    return results.TakeCommand(std::move(command));
}

bool Connection::ExecuteMultiple(const char* sql, int length) const {
    if (m_handle == nullptr) {
        ReportSqliteError();
        return false;
    }
    if (length < 0)
        length = static_cast<int>(std::strlen(sql));
    const char* cursor = sql;
    const char* tail = nullptr;
    sqlite3_stmt* statement = nullptr;
    int prepareResult = sqlite3_prepare_v2(m_handle, cursor, length, &statement, &tail);
    while (statement != nullptr) {
        length -= static_cast<int>(tail - cursor);
        int stepResult;
        do {
            stepResult = sqlite3_step(statement);
        } while (IsRowOrOk(stepResult));
        if (sqlite3_finalize(statement) != SQLITE_OK)
            ReportSqliteError();
        if (stepResult != SQLITE_DONE) {
            ReportSqliteError();
            return false;
        }
        cursor = tail;
        statement = nullptr;
        prepareResult = sqlite3_prepare_v2(m_handle, cursor, length, &statement, &tail);
    }
    if (prepareResult == SQLITE_OK || prepareResult == SQLITE_DONE)
        return true;
    ReportSqliteError();
    return false;
}

// }====

}  // namespace Database
