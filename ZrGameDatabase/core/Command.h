// Command.h: the one owner of the library's prepared statements.
//
// A Command holds one statement and the connection that prepared it, and finalizes it on Release
// or destruction. While it holds a statement it is linked into its connection's list of live
// commands, so that Connection::Close, which finalizes every statement of the handle, can tell
// each holder that its statement is gone: no statement is ever finalized twice. Commands move
// but are never copied. Results, the row count cache, the diagnostics and the loader all hold
// their statements here, never as a raw sqlite3_stmt*.
#pragma once

#include "base/Memory.h"
#include "base/Status.h"

struct sqlite3_stmt;

namespace Database {

class Connection;
class Results;

// Logs the handle's last error text (a null text without a handle) as an error: every SQLite
// failure the library reports goes through here.
void ReportSqliteError(const Connection& connection);
// Logs the refusal of a statement that would not fit bufferSize bytes: "<lead> <table> would not
// fit <bufferSize> bytes; nothing was run.", naming at most the table's first 64 bytes.
void ReportStatementTooLong(const Connection& connection, const char* lead, const char* table, int bufferSize);

class Command : public Memory::Allocated {
public:
    // What a failed prepare logs.
    enum class Report {
        Query,    // SQLite's error, then "In Query - <sql>"; a text without a statement fails the same way
        Error,    // SQLite's error only; a text without a statement prepares nothing and is no failure
        Nothing,  // nothing at all; as Error otherwise
    };

    explicit Command(const Connection* connection = nullptr) noexcept;
    ~Command();
    Command(Command&& other) noexcept;
    Command& operator=(Command&& other) noexcept;
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Prepares the first statement of sql (length -1: up to the NUL); tail, when given, receives
    // where the text after it starts. Refused when there is no connection (nothing logged), when a
    // statement is held already (an error logged) or when SQLite refuses the text (logged as
    // report says).
    Status Prepare(const char* sql, int length, Report report = Report::Query, const char** tail = nullptr);

    // Steps until the statement stops giving rows; returns SQLite's final code (SQLITE_DONE when
    // it ran to completion).
    int RunToEnd() noexcept;

    // Finalizes the statement, if any (a failure is logged as a SQLite error), and empties the pair.
    void Release() noexcept;
    // Finalizes the statement, if any, without looking at the outcome: after a failed step,
    // finalize only repeats that failure.
    void Discard() noexcept;

    bool Held() const noexcept { return m_statement != nullptr; }
    const Connection* Owner() const noexcept { return m_connection; }
    sqlite3_stmt* Statement() const noexcept { return m_statement; }

private:
    friend class Connection;

    void Link() noexcept;
    void Unlink() noexcept;
    // Called by Connection::Close after it finalized the statement underneath this command.
    void Forget() noexcept;
    void TakeFrom(Command& other) noexcept;

    const Connection* m_connection;  // whose handle prepares and whose logger reports; may be null
    sqlite3_stmt* m_statement;       // the prepared statement; null when the pair is empty
    Command* m_previous;             // neighbours in the connection's list of live commands
    Command* m_next;
};

// The hand-over of a prepared statement to a Results, which the public interface does not show.
struct ResultsAccess {
    // Releases the statement results holds, takes the command's and forgets the column positions.
    // OutOfMemory, with the command finalized, when no memory was left to hold it.
    static Status TakeCommand(Results& results, Command&& command);
    // Prepares sql on connection (failures logged with the SQL) and hands it to results, which is
    // not stepped; on failure results is left untouched.
    static Status Prepare(const Connection& connection, Results& results, const char* sql, int length);
};

}  // namespace Database
