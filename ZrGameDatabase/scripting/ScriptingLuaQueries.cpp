// ScriptingLuaQueries.cpp: query objects, a Lua userdata owning one prepared statement, and the
// helpers that run statements for the other units.
//
// Rules every function here keeps, because Lua 5.1 raises errors with longjmp:
//  - no local with a destructor is alive at a call that may raise (any allocation in Lua);
//  - a query object exists, with its finalizer, before the Results it will own, so an error
//    raised at any point loses nothing: whatever was made is reachable from Lua and collected.
#include "scripting/ScriptingLuaInternal.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ScriptingLua.h"
#include "scripting/LuaRuntime.h"

namespace Database::Scripting {

using namespace Runtime;

namespace {

// A script with the debug library can reach the finalizer of query objects and call it on any
// value, or give any userdata the query objects' metatable. So a query object is recognised by its
// payload alone: of exactly this size, starting with the address of g_queryObjectKey, which no
// script can write into a userdata and no other userdata starts with. Only such a value has its
// payload read as a Results pointer. The metatable all query objects share (kept in the registry
// under the same address) only gives them their finalizer: it proves nothing, since any userdata
// can be given it, and comparing it would cost every lookup a registry read.
struct QueryPayload {
    const void* tag;
    Detail::ScriptStatement* results;  // null once freed
};

char g_queryObjectKey = 0;

// The payload of the query object at index, or null for any other value. Never raises.
QueryPayload* QueryPayloadAt(lua_State* state, int index) {
    if (TypeOf(state, index) != TypeUserdata || ObjLen(state, index) != sizeof(QueryPayload))
        return nullptr;
    auto* payload = static_cast<QueryPayload*>(ToUserdata(state, index));
    return payload->tag == &g_queryObjectKey ? payload : nullptr;
}

// __gc of a query object: frees its Results, which finalizes the statement. The payload is
// cleared, so that a second call is harmless, and any other value is left alone.
int lFinalizeDatabaseQuery(lua_State* state) {
    Detail::DiscardQueryResults(state, 1);
    return 0;
}

// Pushes the metatable all query objects share, made and registered on first use. May raise
// (allocation).
void PushQueryMetatable(lua_State* state) {
    PushLightUserdata(state, &g_queryObjectKey);
    RawGet(state, RegistryIndex);
    if (TypeOf(state, -1) == TypeTable)
        return;
    SetTop(state, -2);
    CreateTable(state, 0, 1);
    pushnamedcclosure(state, lFinalizeDatabaseQuery, 0, "Lua::lFinalizeDatabaseQuery", 0);
    SetField(state, -2, "__gc");
    PushLightUserdata(state, &g_queryObjectKey);
    PushValue(state, -2);
    RawSet(state, RegistryIndex);
}

}  // namespace

// {==== Shared with the database and table objects

Detail::ScriptStatement* Detail::QueryResults(lua_State* state, int index) {
    const QueryPayload* payload = QueryPayloadAt(state, index);
    return payload != nullptr ? payload->results : nullptr;
}

void Detail::DiscardQueryResults(lua_State* state, int index) {
    QueryPayload* payload = QueryPayloadAt(state, index);
    if (payload == nullptr)
        return;
    ScriptStatement* results = payload->results;
    payload->results = nullptr;
    delete results;
}

bool Detail::PrepareInto(const Connection& connection, Results& results, const char* sql) noexcept {
    try {
        return connection.Execute(results, sql, -1);
    } catch (...) {
        // Only the host's logger could throw here; the statement counts as not prepared.
        return false;
    }
}

bool Detail::StepOnto(Results& results) noexcept {
    try {
        return results.Step();
    } catch (...) {
        return false;
    }
}

bool Detail::TruncateToInteger(double value, long long& integer) noexcept {
    // Every double in [-2^63, 2^63) truncates to a 64-bit integer; NaN fails both comparisons.
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0))
        return false;
    integer = static_cast<long long>(value);
    return true;
}

// }====

// {==== Exported

Results* Lua::PushDatabaseQuery(lua_State* state, Connection* connection, const char* sql) {
    auto* payload = static_cast<QueryPayload*>(NewUserdata(state, sizeof(QueryPayload)));
    payload->tag = &g_queryObjectKey;
    payload->results = nullptr;
    PushQueryMetatable(state);
    SetMetatable(state, -2);

    auto* results = new Detail::ScriptStatement;
    if (results == nullptr)
        ErrorWithPosition(state, "Failed to allocate Database::Results object.");
    payload->results = results;
    if (connection == nullptr || !Detail::PrepareInto(*connection, *results, sql)) {
        Detail::DiscardQueryResults(state, -1);
        SetTop(state, -2);
        PushNil(state);
        return nullptr;
    }
    return results;
}

// }====

}  // namespace Database::Scripting
