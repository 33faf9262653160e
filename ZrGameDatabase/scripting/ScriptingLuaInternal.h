// ScriptingLuaInternal.h: what the units of the Lua binding share: reaching the Results a query
// object owns, running statements from Lua C functions, and the parts of a table object that its
// iteration (ScriptingLuaIteration.cpp) uses.
//
// Lua errors unwind with longjmp, so the functions that touch statements are kept apart from the
// ones that raise: the statement helpers below call nothing of the runtime and catch whatever the
// host's logger might throw on the way, so that no C++ exception reaches a Lua frame.
#pragma once

#include <cstddef>

struct lua_State;

namespace Database {

class Connection;
class Results;

namespace Scripting::Detail {

// The Results owned by the query object at index; null for any other value (nil, a table object,
// any userdata not made by Lua::PushDatabaseQuery, whatever its metatable) and for a query
// object whose Results was already freed. Uses two stack slots beyond the caller's; never raises.
Results* QueryResults(lua_State* state, int index);

// Frees the Results owned by the query object at index now rather than at its collection, which
// finalizes the statement at once. Nothing happens for any other value, nor the second time.
// Uses two stack slots beyond the caller's; never raises.
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

// Pushes the row object for the current row of statement: the one in the row cache at index cache
// under the row's ID or, failing that, its Type; else a new one, entered in the cache. The columns
// are positions in statement, -1 for none. May raise.
void PushCachedOrNewRow(lua_State* state, Results& statement, int cache, int idColumn, int typeColumn);

// __call of a table object (upvalue 1: the table object, upvalue 2: its row cache): the iteration.
int lCallDatabaseTable(lua_State* state);

// }====

}  // namespace Scripting::Detail
}  // namespace Database
