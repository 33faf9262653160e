// Connection.h: Database::Connection, the library's handle on one SQLite database.
//
// The first construction configures SQLite for the whole process (the library's memory methods,
// a static page cache, no lookaside) and initialises it; SQLite stays initialised for the life of
// the process. A connection owns its SQLite handle and the logger it is given. Every Results,
// ResultsCache, loader and Lua object made on a connection must be released before the connection
// is closed or destroyed.
#pragma once

#include <cstddef>
#include <memory>

#include "ZrGameDatabase/IDatabaseLogger.h"
#include "ZrGameDatabase/Platform.h"

struct sqlite3;

namespace Database {

class Command;
class Results;
struct ConnectionState;

// A value of a foreign key that refers to no row, as ValidateFKConstraints finds it. The texts
// are valid during the call only.
struct DanglingReference {
    const char* table;            // the referencing table
    const char* column;           // its key column
    const char* value;            // the value, as text
    const char* referencedTable;  // where no row holds it
    long long rowid;              // the referencing row; 0 for a table without rowids
};

class IReferenceListener {
public:
    virtual ~IReferenceListener() = default;
    virtual void OnDanglingReference(const DanglingReference& reference) noexcept = 0;
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
    // failure is kept so that ErrorCode and ErrorMessage describe it. On success the busy callback
    // and the commit and rollback hooks of the row count cache are installed on the handle; a host
    // that replaces those hooks through Handle() leaves the cache with its other signs only.
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

    // Select helpers. Each builds one select statement from the table, the key and the column list
    // of results (GetColumns; "LIMIT 1" is added when results is a single-row query), prepares it
    // and hands it to results. The table name is escaped but not quoted, the column name and the
    // condition are inserted verbatim, a text value becomes a quoted literal (null: NULL).
    // False when the statement does not prepare (SQLite's error and "In Query - <sql>" logged) or
    // when it would not fit 1024 bytes (an error logged, nothing prepared); results is then left
    // as it was. Otherwise true for a multi-row results, and for a single-row one true only when
    // the first row exists.
    bool SelectAll(Results& results, const char* table);
    bool SelectAt(Results& results, const char* table, const char* column, const char* value);
    bool SelectAt(Results& results, const char* table, const char* column, int value);
    // The value is written with the fewest digits that read back as the same double.
    bool SelectAt(Results& results, const char* table, const char* column, double value);
    // Selects by ROWID, always with "LIMIT 1" whatever results expects.
    bool SelectAt(Results& results, const char* table, int rowId);
    bool SelectWhere(Results& results, const char* table, const char* condition);

    // The number of rows of table (the name is appended to "select count(*) from " as it is), or
    // -1 on failure: no handle, no table name, a name too long for the 256-byte statement (an
    // error logged), a statement that does not prepare (SQLite's error logged) or gives no row.
    // The count is cached per table name and reused, with no SQL run, only while nothing can have
    // changed the database since: no change through this connection, no commit to "main", no
    // commit or rollback, and no write transaction open. keepStatement keeps the prepared
    // counting statement until ClearCountCache or Close.
    int Count(const char* table, bool keepStatement);
    // Finalizes the kept counting statements (failures logged as SQLite errors) and forgets every
    // cached count.
    void ClearCountCache();

    // Maintenance. Without a handle nothing happens; a failure is logged with SQLite's text.
    void Analyze() const;
    void Vacuum() const;
    // True only when "PRAGMA integrity_check" reports "ok"; its findings are not logged. Without a
    // handle, a SQLite error with a null text is logged and false returned.
    bool CheckIntegrity() const;
    // Checks every foreign key of every table and logs each value that refers to no row, then
    // "Passed Validation." or "Failed Validation.". A key that names no referenced column refers
    // to the referenced table's primary key. The first key that cannot be checked stops the walk
    // and fails it. The flag is not consulted. Without a handle only the first line is logged.
    bool ValidateFKConstraints(bool flag) const;
    // The same, and every dangling value also goes to listener (null: none), with its row, so that
    // a host can say which row, and which file, holds it.
    bool ValidateFKConstraints(bool flag, IReferenceListener* listener) const;
    // Formats a report of SQLite's memory use (process-wide figures, and this connection's
    // lookaside and prepared statements), logs it as a message and returns it. The text stays
    // valid until the next call on this connection or its destruction; it is empty when no memory
    // was left to keep it.
    const char* CalculateMemoryStats();

    // The statements prepared on the handle, in the order SQLite walks them (index 0 first).
    // Without a handle, or for an index outside the walk: 0, null or false.
    int StatementCount() const;
    const char* StatementSQL(int index) const;
    // True while the statement has been stepped and not yet reset or run to its end.
    bool StatementBusy(int index) const;
    bool StatementReadOnly(int index) const;
    // sqlite3_changes: the rows changed by the most recent insert, update or delete; 0 without a
    // handle. Not a running total.
    int TotalChanges() const;

private:
    friend class Command;

    // The count caches and the report text, made on first use; null when no memory can be had.
    ConnectionState* State() noexcept;
    // Installed by Open: a commit or rollback may change any table without a trace in the change
    // counters, so every cached count taken before it stops being trusted.
    static int CommitHook(void* context) noexcept;
    static void RollbackHook(void* context) noexcept;

    bool ExecuteSavePointStatement(const char* head, const char* name);
    void FinalizeAllStatements();
    void ForgetLiveCommands() noexcept;
    static int BusyCallback(void* context, int attempt);

    sqlite3* m_handle;                          // the open database; null while none is open
    std::unique_ptr<IDatabaseLogger> m_logger;  // the host's log sink; null by default; outlives m_state
    std::unique_ptr<ConnectionState> m_state;   // caches and report text, made on first use
    mutable Command* m_liveCommands;            // commands that hold a statement of this handle
};

}  // namespace Database
