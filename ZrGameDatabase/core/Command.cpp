// Command.cpp: preparing, running and finalizing statements, and the connection's list of the
// commands that hold one.
#include "core/Command.h"

#include <sqlite3.h>

#include <string_view>

#include "ZrGameDatabase/Connection.h"
#include "base/TextFormat.h"

namespace Database {

void ReportSqliteError(const Connection& connection) {
    connection.LogError(connection.ErrorMessage());
}

void ReportStatementTooLong(const Connection& connection, const char* lead, const char* table, int bufferSize) {
    constexpr std::size_t kShownNameLength = 64;
    const std::string_view name = table != nullptr ? table : "(null)";
    const std::size_t shown = Utf8PrefixLength(name, kShownNameLength);
    char line[256];
    FormatText(line, sizeof line, "%s %.*s%s would not fit %d bytes; nothing was run.", lead, static_cast<int>(shown),
               name.data(), shown < name.size() ? "..." : "", bufferSize);
    connection.LogError(line);
}

Command::Command(const Connection* connection) noexcept
    : m_connection(connection), m_statement(nullptr), m_previous(nullptr), m_next(nullptr) {}

Command::~Command() {
    Release();
}

Command::Command(Command&& other) noexcept
    : m_connection(other.m_connection), m_statement(nullptr), m_previous(nullptr), m_next(nullptr) {
    TakeFrom(other);
}

Command& Command::operator=(Command&& other) noexcept {
    if (this != &other) {
        Release();
        m_connection = other.m_connection;
        TakeFrom(other);
    }
    return *this;
}

void Command::TakeFrom(Command& other) noexcept {
    if (other.m_statement == nullptr)
        return;
    m_statement = other.m_statement;
    other.Unlink();
    other.m_statement = nullptr;
    Link();
}

Status Command::Prepare(const char* sql, int length, Report report, const char** tail) {
    if (m_connection == nullptr)
        return Status::Refused;
    if (m_statement != nullptr) {
        m_connection->LogError("Command must be released prior to reuse.");
        return Status::Refused;
    }
    sqlite3* handle = m_connection->Handle();
    const int resultCode =
        handle != nullptr ? sqlite3_prepare_v2(handle, sql, length, &m_statement, tail) : SQLITE_MISUSE;
    if (resultCode == SQLITE_OK && (m_statement != nullptr || report != Report::Query)) {
        Link();
        return Status::Ok;
    }
    // A failed prepare may still have produced something to finalize; make sure of it.
    sqlite3_finalize(m_statement);
    m_statement = nullptr;
    if (report == Report::Nothing)
        return Status::Refused;
    if (resultCode != SQLITE_OK)
        ReportSqliteError(*m_connection);
    if (report == Report::Query) {
        char line[512];
        FormatText(line, sizeof line, "In Query - %s", sql != nullptr ? sql : "");
        m_connection->LogMessage(line);
    }
    return Status::Refused;
}

int Command::RunToEnd() noexcept {
    int resultCode;
    do {
        resultCode = sqlite3_step(m_statement);
    } while (resultCode == SQLITE_ROW || resultCode == SQLITE_OK);
    return resultCode;
}

void Command::Release() noexcept {
    if (m_statement == nullptr)
        return;
    Unlink();
    const int resultCode = sqlite3_finalize(m_statement);
    m_statement = nullptr;
    if (resultCode != SQLITE_OK && m_connection != nullptr)
        ReportSqliteError(*m_connection);
}

void Command::Discard() noexcept {
    if (m_statement == nullptr)
        return;
    Unlink();
    sqlite3_finalize(m_statement);
    m_statement = nullptr;
}

void Command::Link() noexcept {
    if (m_connection == nullptr || m_statement == nullptr)
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

}  // namespace Database
