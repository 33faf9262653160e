// ScriptingLua.h: Database::Scripting::Lua, read-only access to a connection for Lua scripts.
//
// The host pushes a database object onto a Lua stack and makes it reachable under a name of its
// own; the library registers no globals. From Lua the database object is a table of tables:
// DB.Units is a table object, T[5] and T.UNIT_X are row objects (by ROWID and by Type), #T counts
// rows, and `for row in T{Cost = 5} do` iterates rows selected by a filter. Every object holds the
// connection's address, not a share in it: the connection must outlive the Lua state's use of
// them (close the state, or drop and collect the objects, before closing the connection).
//
// The functions below may raise Lua errors (out of memory, and the errors named with each); a
// host calling them outside a protected call needs a panic handler. No C++ exception leaves them.
#pragma once

#include "ZrGameDatabase/Platform.h"

struct lua_State;

namespace Database {

class Connection;
class Results;

namespace Scripting {

class ZRDB_API Lua {
public:
    Lua() = delete;

    // Pushes one value: a new database object for connection. Its table lookup statement is
    // prepared here; if that fails (the reason is in the connection's log), every lookup of a
    // table raises an error pointing to the log.
    static void PushDatabase(lua_State* state, Connection& connection);

    // Pushes one value: a new table object for the table called name (null: no name), without
    // checking that the table exists. Nothing is prepared until the object is first used.
    static void PushDatabaseTable(lua_State* state, Connection& connection, const char* name);

    // Prepares sql on connection and pushes one value: a query object owning the statement until
    // Lua collects it, or nil when the SQL does not prepare (the reason is in the connection's
    // log; no Lua error). Returns the statement's Results, valid while the query object is
    // reachable from Lua, or null. Raises "Failed to allocate Database::Results object." (with
    // the script position) when no memory can be had for the Results.
    static Results* PushDatabaseQuery(lua_State* state, Connection* connection, const char* sql);

    // Pushes one value: a read-only row object holding the current row of results, which must
    // stand on a row. The statement is neither stepped nor reset.
    static void PushDatabaseRow(lua_State* state, Results* results);

    // The name the binding gave the C closure at index ("Lua::lIndexDatabaseTable", say), so that
    // a host's traceback can show which lookup or iteration a script was in; null for any other
    // value. The text stays valid while the closure is alive. The lookup uses two stack slots, as
    // every C function has free; it raises nothing.
    static const char* ClosureName(lua_State* state, int index);

    // Lua C function: returns a new table of the seven counters of SQLite's memory, as the last
    // lCollectMemoryUsage found them (the heap walk) and as they stand (the user bytes).
    static int lGetMemoryUsage(lua_State* state);

    // Lua C function: walks SQLite's private heap and refreshes the five walk counters of the
    // memory report; returns nothing. If the heap cannot be locked the walk counters stay 0.
    static int lCollectMemoryUsage(lua_State* state);
};

}  // namespace Scripting
}  // namespace Database
