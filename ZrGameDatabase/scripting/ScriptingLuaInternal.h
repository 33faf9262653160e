// ScriptingLuaInternal.h: what the units of the Lua binding share: reaching the statement a query
// object owns, running statements from Lua C functions, turning rows into row objects, and the
// parts of a table object that its iteration (ScriptingLuaIteration.cpp) uses.
//
// Lua errors unwind with longjmp, so the functions that touch statements are kept apart from the
// ones that raise: the statement helpers below call nothing of the runtime and catch whatever the
// host's logger might throw on the way, so that no C++ exception reaches a Lua frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ZrGameDatabase/DatabaseResults.h"

struct lua_State;
struct sqlite3_stmt;

namespace Database {

namespace Scripting::Detail {

// The Results every query object owns. Row objects are converted straight from its statement,
// with what is known of the statement's columns worked out once per table object (a row shape,
// ScriptingLuaRows.cpp) rather than asked of SQLite per value; the two fields record which shape
// the statement was last found to fit, so that the check costs two comparisons per row.
class ScriptStatement final : public Results {
public:
    ScriptStatement() : Results(nullptr) {}

    sqlite3_stmt* Handle() const { return Statement(); }

    std::uint64_t checkedShape = 0;  // serial of the row shape its columns were last found to fit; 0: none
    int checkedPreparations = -1;    // SQLite's count of its automatic re-preparations at that check
};

// The Results owned by the query object at index; null for any other value (nil, a table object,
// any userdata not made by Lua::PushDatabaseQuery, whatever its metatable) and for a query
// object whose Results was already freed. Pushes nothing and never raises.
ScriptStatement* QueryResults(lua_State* state, int index);

// Frees the Results owned by the query object at index now rather than at its collection, which
// finalizes the statement at once. Nothing happens for any other value, nor the second time.
// Pushes nothing and never raises.
void DiscardQueryResults(lua_State* state, int index);

// Connection::Execute into results; false on failure (logged by the connection).
bool PrepareInto(const Connection& connection, Results& results, const char* sql) noexcept;

// Results::Step: true when a row came; false at the end and on failure (logged).
bool StepOnto(Results& results) noexcept;

// Truncates value toward zero into integer; false (integer untouched) for NaN, the infinities and
// values outside the 64-bit range, which no integer column can hold.
bool TruncateToInteger(double value, long long& integer) noexcept;

// {==== Table objects (ScriptingLuaDatabase.cpp and ScriptingLuaIteration.cpp)

inline constexpr char kQueryErrorText[] =
    "Failed to iterate table due to query error.  Check Database.log for more details.";

// The connection and the table name (null: none) of the table object at index, read from its
// payload; null, and name null, for any other value. This, not the `__db` and `__tablename` of
// the metatable, which any script can rewrite, is what decides where a table object reads. Pushes
// nothing and never raises.
Connection* TableIdentity(lua_State* state, int index, const char*& name);

// }====

// {==== Row objects of a table object (ScriptingLuaRows.cpp)
//
// The rows of one table object share one metatable and one column set, kept with the shape of
// its statements' columns in the table object's row kit: a plain table, made empty with the table
// object and filled by the first row. The row cache and the kit are given as stack indices
// (upvalue pseudo-indices too) and must be tables.

// [-0, +n, m] Pushes a new row object for the current row of statement (on top, what it was made
// with below it) and enters it in the row cache under its ID and its Type (a NULL of either is not
// entered), replacing what was there. The statement must stand on a row. typeKey: the stack index
// of the string the row was looked up by, which then keys the cache and is the Type field instead
// of a string made anew; 0 for none.
void PushNewRow(lua_State* state, ScriptStatement& statement, int cache, int kit, int typeKey);

// [-0, +0, m] Steps statement through every row it yields and sets them, in order from 1, in the
// list at index list: the row object the row cache holds under each row's ID (under its Type for
// a row without an ID), else a new one entered there as by PushNewRow. The statement is rewound
// at the end. False when a step failed (a condition that raises an SQL error on some row, say):
// the list then holds only the rows before the failure.
bool ReadRowList(lua_State* state, ScriptStatement& statement, int cache, int kit, int list);

// }====

// {==== Iteration (ScriptingLuaIteration.cpp)

// __call of a table object (upvalue 1: the table object, upvalue 2: its row cache, upvalue 3: its
// row kit): the iteration.
int lCallDatabaseTable(lua_State* state);

// }====

}  // namespace Scripting::Detail
}  // namespace Database
