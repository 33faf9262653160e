// ScriptingLuaInternal.h: what the units of the Lua binding share: reaching the Results a query
// object owns, and running statements from Lua C functions.
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

// The Results owned by the query object at index; null for any other value (nil included) and
// for a query object whose Results was already freed. Never raises.
Results* QueryResults(lua_State* state, int index);

// Frees the Results owned by the query object at index now rather than at its collection, which
// finalizes the statement at once. Nothing happens for any other value. Never raises.
void DiscardQueryResults(lua_State* state, int index);

// Connection::Execute into results; false on failure (logged by the connection).
bool PrepareInto(const Connection& connection, Results& results, const char* sql) noexcept;

// Results::Step: true when a row came; false at the end and on failure (logged).
bool StepOnto(Results& results) noexcept;

// Truncates value toward zero into integer; false (integer untouched) for NaN, the infinities and
// values outside the 64-bit range, which no integer column can hold.
bool TruncateToInteger(double value, long long& integer) noexcept;

}  // namespace Scripting::Detail
}  // namespace Database
