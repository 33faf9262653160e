// Connection.h: Database::Connection, the library's handle on one SQLite database, and the
// internal Command pair through which statements are prepared for Results objects.
//
// The first construction configures SQLite for the whole process (the library's memory methods,
// a static page cache, no lookaside) and initialises it; SQLite stays initialised for the life of
// the process. A connection owns its SQLite handle and the logger it is given. Every Results,
// ResultsCache, loader and Lua object made on a connection must be released before the connection
// is closed or destroyed.
#pragma once

#include <cstddef>

#include "ZrGameDatabase/IDatabaseLogger.h"
#include "ZrGameDatabase/Platform.h"

struct sqlite3;
struct sqlite3_stmt;

namespace Database {

class Connection;
class Results;
struct ConnectionState;

// One prepared statement and the connection that prepared it. A Command owns its statement and
// finalizes it on Release or destruction. While it holds a statement it is linked into its
// connection's list of live commands, so that Connection::Close, which finalizes every statement
// of the handle, can tell each holder that its statement is gone: no statement is ever finalized
// twice. Commands move but are never copied.
class Command {
public:
    explicit Command(const Connection* connection = nullptr) noexcept;
    ~Command();
    Command(Command&& other) noexcept;
    Command& operator=(Command&& other) noexcept;
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Prepares one statement of sql (length -1: up to the NUL). False with no log when the pair has
    // no connection; false with an error logged when it already holds a statement; false with
    // SQLite's error (2) and "In Query - <sql>" (0) logged when the text does not prepare or
    // holds no statement.
    bool Prepare(const char* sql, int length);

    // Finalizes the statement, if any (a failure is logged as a SQLite error), and empties the pair.
    void Release() noexcept;

    const Connection* Owner() const noexcept { return m_connection; }
    sqlite3_stmt* Statement() const noexcept { return m_statement; }

private:
    friend class Connection;

    void Link() noexcept;
    void Unlink() noexcept;
    // Called by Connection::Close after it finalized the statement underneath this command.
    void Forget() noexcept;

    const Connection* m_connection;  // whose handle prepares and whose logger reports; may be null
    sqlite3_stmt* m_statement;       // the prepared statement; null when the pair is empty
    Command* m_previous;             // neighbours in the connection's list of live commands
    Command* m_next;
};

class ZRDB_API Connection {
public:
    // Configures and initialises SQLite for the process (once); opens nothing.
    Connection();
    // As above, then opens path (null: a private in-memory database) with SQLite's open flags.
    // A failure is not logged (no logger can be set yet); ErrorCode and ErrorMessage describe it.
    Connection(const char* path, int flags);
    // Closes the handle if one is held, then destroys the logger.
    ~Connection();

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connections live on the C heap, apart from the module allocation routine. Null when the
    // heap is exhausted: no exception leaves the library.
    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* block) noexcept;

    // Opens path (null: ":memory:"). A handle already held is closed first, as Close does.
    // On failure SQLite's error is logged and false returned; the handle SQLite returned with the
    // failure is kept so that ErrorCode and ErrorMessage describe it.
    bool Open(const char* path, int flags);
    // Clears the count caches, finalizes every statement of the handle (those held by live Results
    // included: they then hold no statement) and closes it. A failed close keeps the handle.
    void Close();

    // Destroys the logger held, then takes ownership of logger (may be null).
    void SetLogger(IDatabaseLogger* logger);
    void LogError(const char* text) const;
    void LogWarning(const char* text) const;
    void LogMessage(const char* text) const;

    // sqlite3_errcode of the handle; -1 without a handle.
    int ErrorCode() const;
    // sqlite3_errmsg of the handle, valid until the next call on it; null without a handle.
    const char* ErrorMessage() const;

    // Replaces the busy callback with SQLite's own timed wait; 0 or less removes busy handling.
    bool SetBusyTimeout(int milliseconds);

    // Runs the first statement of sql to completion, discarding rows. False (nothing logged) when
    // the text holds no statement; false with SQLite's error logged when it fails.
    bool Execute(const char* sql, int length = -1) const;
    // Prepares the first statement of sql and hands it to results (which steps once if it is a
    // single-row query). On failure results is left untouched.
    bool Execute(Results& results, const char* sql, int length = -1) const;
    // Runs every statement of sql in turn; stops at the first failure, keeping what already ran.
    bool ExecuteMultiple(const char* sql, int length = -1) const;

    sqlite3* Handle() const { return m_handle; }

    // Transactions. The nestable family works on savepoints all named "_": each begin opens one
    // more level, each end releases the innermost (the outermost commits), and a rollback undoes
    // the whole transaction, every level. The plain family and named savepoints are SQLite's own
    // statements. The connection keeps no transaction state: SQLite's rules decide, and a refused
    // statement is logged with SQLite's text.
    void BeginTransaction();
    void EndTransaction();
    void RollbackTransaction();
    void BeginDeferredTransaction();
    void BeginImmediateTransaction();
    void BeginExclusiveTransaction();
    void CommitTransaction();
    // The name is inserted verbatim. A name whose statement would not fit 256 bytes is refused
    // with an error logged, and nothing runs.
    bool SetSavePoint(const char* name);
    bool RollbackToSavePoint(const char* name);

private:
    friend class Command;

    // Logs sqlite3_errmsg of the handle (null text without a handle) as an error.
    void ReportSqliteError() const;
    bool ExecuteSavePointStatement(const char* format, const char* name);
    void FinalizeAllStatements();
    void ForgetLiveCommands() noexcept;
    static int BusyCallback(void* context, int attempt);

    sqlite3* m_handle;                  // the open database; null while none is open
    ConnectionState* m_state;           // caches and report text, made on first use
    IDatabaseLogger* m_logger;          // the host's log sink, owned; null by default
    mutable Command* m_liveCommands;    // commands that hold a statement of this handle
};

}  // namespace Database
