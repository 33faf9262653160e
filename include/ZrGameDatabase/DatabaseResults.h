// DatabaseResults.h: Database::Results, one prepared statement of one connection and its current
// row, and Database::SingleResult, a Results that steps once as soon as it takes a statement.
//
// A Results owns its statement from the moment Connection::Execute hands it over until Release,
// the next hand-over or destruction. Text pointers it returns belong to SQLite and stay valid
// until the statement moves on. A Results must be released before its connection is closed; if
// the connection is closed first, the Results simply holds no statement any more.
#pragma once

#include <cstddef>
#include <memory>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/Platform.h"

struct sqlite3_stmt;

namespace Database {

class Command;
struct ColumnPositions;
struct ResultsAccess;

// The kind of a column value: SQLite's fundamental types, and Boolean for an integer value in a
// column declared exactly "boolean".
enum class ColumnTypes : int { Integer = 1, Float = 2, Text = 3, Blob = 4, Null = 5, Boolean = 6 };

class ZRDB_API Results {
public:
    // columns: the select list the connection's select helpers place after "select"; null: "*".
    explicit Results(const char* columns = nullptr);
    // A new statement prepared from the other's SQL text, unbound and before its first row; the
    // column list, single-row flag and column positions are copied.
    Results(const Results& other);
    Results& operator=(const Results&) = delete;
    virtual ~Results();

    // Results and everything they own come from the module allocation routine. Null when no
    // memory can be had: no exception leaves the library.
    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* block) noexcept;

    void SetColumns(const char* columns);
    virtual const char* GetColumns() const;

    void SingleQuery(bool singleRow) { m_singleRow = singleRow; }
    bool SingleQuery() const { return m_singleRow; }

    // Parameters are numbered from 1. True exactly when SQLite accepts the value; nothing logged.
    bool Bind(int index, int value);
    bool Bind(int index, long long value);
    bool Bind(int index, float value);
    bool Bind(int index, double value);
    // copy true: SQLite copies the text at once; false: the caller keeps it unchanged while bound.
    bool Bind(int index, const char* text, int length, bool copy);
    bool Bind(int index, const char* text, bool copy);
    // length counts UTF-16 units (-1: up to the terminating zero).
    bool Bind(int index, const WideChar* text, int length, bool copy);
    bool Bind(int index, const WideChar* text, bool copy);
    bool BindNULL(int index);

    // Steps once; true only when the statement ran to completion. A row is a failure (warning),
    // as is any error (logged with the statement's SQL). The statement is not reset.
    bool Execute();
    // As Execute, but a constraint violation or an abort also counts as success, silently.
    bool TryExecute();
    // Advances to the next row: true while a row is available; an error is logged and gives false.
    bool Step();
    // Rewinds and clears the bindings; false (bindings kept) after a failed step.
    bool Reset();
    // Rewinds whatever the last step gave, then clears the bindings.
    bool TryReset();
    // Finalizes the statement and drops the column list; the object can take a new statement.
    void Release();

    // Columns of the current row, by 0-based index or by name. Off a row, without a statement, or
    // for a name that is no column, the getters give 0, 0.0, false or null. Lookups by name cost
    // one hash after the first on a statement, with no call into SQLite. Text pointers belong to
    // SQLite and stay valid until the statement moves on.
    int ColumnCount() const;
    const char* ColumnName(int index);
    // The index of the column called name (exact, case-sensitive; the last of equal names), or -1.
    int ColumnPosition(const char* name);
    bool HasColumn(const char* name);
    ColumnTypes ColumnType(int index);
    // "integer", "float", "text", "null" or "boolean"; null for a blob.
    const char* ColumnTypeName(int index);

    int GetInt(int index);
    int GetInt(const char* name);
    long long GetInt64(int index);
    long long GetInt64(const char* name);
    double GetDouble(int index);
    double GetDouble(const char* name);
    float GetFloat(int index);
    float GetFloat(const char* name);
    const char* GetText(int index);
    const char* GetText(const char* name);
    const WideChar* GetText16(int index);
    const WideChar* GetText16(const char* name);
    // Integers: not 0. Text: begins with t or T. Anything else: false.
    bool GetBool(int index);
    bool GetBool(const char* name);

    // The getters with an out-parameter. The bool form reads the value as an integer (not 0 is
    // true) whatever its kind, without the text rule of GetBool.
    void GetValue(int index, int& value);
    void GetValue(const char* name, int& value);
    void GetValue(int index, float& value);
    void GetValue(const char* name, float& value);
    void GetValue(int index, double& value);
    void GetValue(const char* name, double& value);
    void GetValue(int index, long long& value);
    void GetValue(const char* name, long long& value);
    void GetValue(int index, const char*& value);
    void GetValue(const char* name, const char*& value);
    void GetValue(int index, const WideChar*& value);
    void GetValue(const char* name, const WideChar*& value);
    void GetValue(int index, bool& value);
    void GetValue(const char* name, bool& value);

protected:
    // Rebuilds the column positions from the statement's column names.
    void HashColumnPositions();

    bool HasStatement() const;
    sqlite3_stmt* Statement() const;
    const Connection* Owner() const;

private:
    friend struct ResultsAccess;  // Connection::Execute hands statements over through it

    // Logs why a step did not finish (a row, or SQLite's error), then the statement's SQL.
    void LogStepFailure(bool rowReturned) const;
    void FreeColumns();

    std::unique_ptr<Command> m_command;                  // the statement and its connection; null before the first
    char* m_columns;                                     // select list from sqlite3_mprintf; null means "*"
    bool m_singleRow;                                    // step once at hand-over; select helpers add LIMIT 1
    std::unique_ptr<ColumnPositions> m_columnPositions;  // column name to index, built on first lookup by name
};

class ZRDB_API SingleResult : public Results {
public:
    explicit SingleResult(const char* columns = nullptr);
};

}  // namespace Database
