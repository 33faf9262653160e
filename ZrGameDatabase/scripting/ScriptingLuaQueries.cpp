// ScriptingLuaQueries.cpp: query objects (a Lua userdata owning one prepared statement) and row
// objects (a read-only Lua table made from the current row of a statement).
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
// value, or give any userdata the query objects' metatable. So a query object is recognised by
// two marks: its metatable is the one every query object shares, kept in the registry under the
// address of g_queryObjectKey (what luaL_checkudata checks), and its payload, of exactly this
// size, starts with that same address, which no script can write into a userdata. Only a value
// bearing both has its payload read as a Results pointer.
struct QueryPayload {
    const void* tag;
    Results* results;  // null once freed
};

char g_queryObjectKey = 0;

// The absolute form of index, which stays valid while values are pushed.
int AbsoluteIndex(lua_State* state, int index) {
    return index < 0 && index > RegistryIndex ? GetTop(state) + index + 1 : index;
}

// The payload of the query object at index, or null for any other value. Uses two stack slots
// beyond the caller's and never raises.
QueryPayload* QueryPayloadAt(lua_State* state, int index) {
    index = AbsoluteIndex(state, index);
    if (TypeOf(state, index) != TypeUserdata || ObjLen(state, index) != sizeof(QueryPayload)
        || !GetMetatable(state, index))
        return nullptr;
    PushLightUserdata(state, &g_queryObjectKey);
    RawGet(state, RegistryIndex);
    const bool shared = RawEqual(state, -1, -2);
    SetTop(state, -3);
    auto* payload = static_cast<QueryPayload*>(ToUserdata(state, index));
    return shared && payload->tag == &g_queryObjectKey ? payload : nullptr;
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

// __newindex of a row object.
int lNewIndexDatabaseRow(lua_State* state) {
    ErrorWithPosition(state, "Database row is read-only from Lua.");
}

// __index of a row object, reached only for keys the row does not hold. Upvalue 1 is the row's
// column set. A column whose value is absent in this row reads nil silently; any other name reads
// nil with a warning through the script's own print (none when there is no print function), so
// that a misspelt column shows up in the script's output rather than as a silent nil.
int lInvalidColumnCheck(lua_State* state) {
    SetTop(state, 2);
    // A script can take this function from the row's metatable and call it on anything; the raw
    // reads below need a table.
    if (TypeOf(state, 1) != TypeTable)
        ArgError(state, 1, "Row must be of type 'table'.");
    // A copy of the key (index 3), turned into its text when it is a number: column names are
    // strings, and a result column may well be called "1".
    PushValue(state, 2);
    const int keyType = TypeOf(state, 3);
    const char* keyText = keyType == TypeString || keyType == TypeNumber ? ToLString(state, 3, nullptr) : nullptr;

    PushValue(state, 3);
    RawGet(state, 1);
    if (TypeOf(state, -1) != TypeNil)
        return 1;
    SetTop(state, 3);

    // LuaJIT's debug library can replace the column set; the raw read needs a table.
    bool isColumn = false;
    if (TypeOf(state, UpvalueIndex(1)) == TypeTable) {
        PushValue(state, 3);
        RawGet(state, UpvalueIndex(1));
        isColumn = TypeOf(state, -1) != TypeNil;
        SetTop(state, 3);
    }
    if (!isColumn) {
        Where(state, 1);
        GetGlobal(state, "print");
        if (TypeOf(state, -1) == TypeFunction) {
            // "(null)" for keys without a text, as the Lua 5.1 formatter writes a null %s.
            PushFString(state, "%s Cannot find key - %s", ToLString(state, 4, nullptr),
                        keyText != nullptr ? keyText : "(null)");
            Call(state, 1, 0);
        }
    }
    PushNil(state);
    return 1;
}

// Pushes the value of column of the current row as Lua sees it, nil where the row gets no field.
void PushColumnValue(lua_State* state, Results& results, int column) {
    switch (results.ColumnType(column)) {
    case ColumnTypes::Integer:
        // The 64-bit value: ids and amounts beyond 32 bits arrive exactly up to 2^53.
        PushNumber(state, static_cast<double>(results.GetInt64(column)));
        return;
    case ColumnTypes::Float:
        PushNumber(state, results.GetDouble(column));
        return;
    case ColumnTypes::Text:
        PushString(state, results.GetText(column));  // up to the first zero byte; nil for null
        return;
    case ColumnTypes::Boolean:
        PushBoolean(state, results.GetBool(column));
        return;
    case ColumnTypes::Blob:
    case ColumnTypes::Null:
        break;
    }
    PushNil(state);
}

}  // namespace

// {==== Shared with the database and table objects

Results* Detail::QueryResults(lua_State* state, int index) {
    const QueryPayload* payload = QueryPayloadAt(state, index);
    return payload != nullptr ? payload->results : nullptr;
}

void Detail::DiscardQueryResults(lua_State* state, int index) {
    QueryPayload* payload = QueryPayloadAt(state, index);
    if (payload == nullptr)
        return;
    Results* results = payload->results;
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

    Results* results = new Results(nullptr);
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

void Lua::PushDatabaseRow(lua_State* state, Results* results) {
    const int columnCount = results != nullptr ? results->ColumnCount() : 0;
    // Every table made with its final size, so that filling it never grows it.
    CreateTable(state, 0, columnCount);
    const int row = GetTop(state);
    const int metatable = row + 1;
    const int columns = row + 2;
    CreateTable(state, 0, 2);
    CreateTable(state, 0, columnCount);
    for (int column = 0; column < columnCount; ++column) {
        const char* name = results->ColumnName(column);
        if (name == nullptr)
            continue;  // SQLite had no memory to name it; nothing can be keyed by it
        PushString(state, name);
        PushValue(state, -1);
        PushBoolean(state, true);
        RawSet(state, columns);
        // Raw sets in column order: of two columns with one name the later decides, and a later
        // one without a value removes the earlier value.
        PushColumnValue(state, *results, column);
        RawSet(state, row);
    }
    pushnamedcclosure(state, lInvalidColumnCheck, 1, "Lua::lInvalidColumnCheck", 0);
    SetField(state, metatable, "__index");
    pushnamedcclosure(state, lNewIndexDatabaseRow, 0, "Lua::lNewIndexDatabaseRow", 0);
    SetField(state, metatable, "__newindex");
    SetMetatable(state, row);
}

// }====

}  // namespace Database::Scripting
