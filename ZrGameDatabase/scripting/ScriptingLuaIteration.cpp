// ScriptingLuaIteration.cpp: calling a table object, which iterates its rows: T() every row,
// T"condition" the rows an SQL condition selects, T{Column = value, ...} the rows whose columns
// equal the values.
//
// The whole selection is read into a list of row objects, shared with indexing through the table
// object's row cache, before the iterator is returned: the loop sees the rows as they were at the
// call, and no statement stays open while the script runs. Lua 5.1 raises errors with longjmp, so
// the statement text is composed in a fixed buffer and the statement is run through the helpers
// of ScriptingLuaInternal.h. Every error raised here carries the script's position, as those of
// indexing do: the loop that failed is what the script's author needs to find.
#include <cstdint>

#include "core/SqlText.h"
#include "scripting/ScriptingLuaInternal.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ScriptingLua.h"
#include "scripting/LuaRuntime.h"

namespace Database::Scripting {

using namespace Runtime;
using Detail::kQueryErrorText;

namespace {

constexpr char kIterationTooLongText[] =
    "Table name or filter too long: the iteration statement does not fit in 512 bytes.";

// The iteration statement is composed in a buffer of this size, terminator included.
constexpr std::size_t kIterationStatementSize = 512;

// Binds a filter number: integral values within 64 bits as integers, so that 2 matches a stored
// integer 2; every other value as a double, so that 2.5 matches 2.5 and never a stored 2. False
// when SQLite refuses the value.
bool BindFilterNumber(Results& statement, int parameter, double value) {
    long long integer = 0;
    if (Detail::TruncateToInteger(value, integer) && static_cast<double>(integer) == value)
        return statement.Bind(parameter, integer);
    return statement.Bind(parameter, value);
}

// Whether the pair on top of the stack (key at -2, value at -1) takes part in a filter: a string
// key with a boolean, number or string value.
bool TakesPart(lua_State* state) {
    if (TypeOf(state, -2) != TypeString)
        return false;
    const int valueType = TypeOf(state, -1);
    return valueType == TypeBoolean || valueType == TypeNumber || valueType == TypeString;
}

// Appends the condition of the filter table at index: "key = ?" per pair taking part, joined by
// " and ", in traversal order. The pieces go straight into the statement buffer: nothing is left
// on the Lua stack, however many pairs there are.
void AppendFilterCondition(lua_State* state, int filter, SqlText& text) {
    bool first = true;
    PushNil(state);
    while (Next(state, filter)) {
        if (TakesPart(state)) {
            if (!first)
                text.Append(" and ");
            text.Append(ToLString(state, -2, nullptr)).Append(" = ?");
            first = false;
        }
        SetTop(state, -2);
    }
}

// Binds the values of the filter table at index, traversed in the same order as for its
// condition: the n-th pair taking part binds parameter n. Booleans bind as 1 and 0, the values
// boolean columns hold. False when a value could not be bound (no memory to copy a text): the
// filter would otherwise compare with NULL and quietly select nothing.
bool BindFilterValues(lua_State* state, int filter, Results& statement) {
    int parameter = 0;
    bool bound = true;
    PushNil(state);
    while (Next(state, filter)) {
        if (TakesPart(state)) {
            ++parameter;
            switch (TypeOf(state, -1)) {
            case TypeBoolean:
                bound = statement.Bind(parameter, ToBoolean(state, -1) ? 1 : 0) && bound;
                break;
            case TypeNumber:
                bound = BindFilterNumber(statement, parameter, ToNumber(state, -1)) && bound;
                break;
            default:
                // Up to its first zero byte.
                bound = statement.Bind(parameter, ToLString(state, -1, nullptr), true) && bound;
                break;
            }
        }
        SetTop(state, -2);
    }
    return bound;
}

// The iterator a call of a table object returns: upvalue 1 the result list, upvalue 2 the
// position of the next row in it, a number. Gives the next row, then nil on every later call.
int lIterateTable(lua_State* state) {
    // LuaJIT's debug library can replace the upvalues: the raw read below needs a table, and a
    // position that reads as no number is 0, past the end.
    if (TypeOf(state, UpvalueIndex(1)) != TypeTable) {
        PushNil(state);
        return 1;
    }
    const double stored = ToNumber(state, UpvalueIndex(2));
    const int position = stored >= 1 && stored < INT32_MAX ? static_cast<int>(stored) : INT32_MAX;
    RawGetI(state, UpvalueIndex(1), position);
    // Past the end the position stays where it is: the list holds nothing further anyway.
    if (TypeOf(state, -1) != TypeNil) {
        PushNumber(state, position + 1.0);
        Replace(state, UpvalueIndex(2));
    }
    return 1;
}

}  // namespace

// __call of a table object (upvalue 1: the table object, upvalue 2: its row cache, upvalue 3: its
// row kit): T() iterates every row, T"condition" the rows an SQL condition selects,
// T{Column = value, ...} the rows whose columns equal the values. The whole selection is read
// before the iterator is returned, so changes to the database during the loop do not affect it.
int Detail::lCallDatabaseTable(lua_State* state) {
    const int filterType = GetTop(state) >= 2 ? TypeOf(state, 2) : TypeNone;
    if (filterType != TypeNone && filterType != TypeString && filterType != TypeTable)
        ErrorWithPosition(state, "Filter must be of type 'string' or 'table'");
    SetTop(state, 2);
    // The cache and the kit are upvalues, which LuaJIT's debug library can replace; raw accesses
    // need tables.
    const int cache = UpvalueIndex(2);
    const int kit = UpvalueIndex(3);
    if (TypeOf(state, cache) != TypeTable || TypeOf(state, kit) != TypeTable)
        ErrorWithPosition(state, "%s", kQueryErrorText);
    const char* name = nullptr;
    Connection* connection = Detail::TableIdentity(state, UpvalueIndex(1), name);

    // The bounded form owns no memory (its destructor frees nothing), so it may be left alive by
    // the errors raised below. The name and a string filter go in as they are, up to their first
    // zero byte.
    char sql[kIterationStatementSize];
    SqlText text(sql);
    text.Append("select * from ").Append(name);
    if (filterType == TypeString) {
        text.Append(" where ").Append(ToLString(state, 2, nullptr));
    } else if (filterType == TypeTable) {
        text.Append(" where ");
        AppendFilterCondition(state, 2, text);
    }
    // A bounded text fails only by running out of room.
    if (!text.Ok())
        ErrorWithPosition(state, kIterationTooLongText);

    Results* statement = Lua::PushDatabaseQuery(state, connection, text.Text());  // 3
    if (statement == nullptr)
        ErrorWithPosition(state, "%s", kQueryErrorText);
    if (filterType == TypeTable && !BindFilterValues(state, 2, *statement)) {
        Detail::DiscardQueryResults(state, 3);
        ErrorWithPosition(state, "%s", kQueryErrorText);
    }
    Detail::ScriptStatement* script = Detail::QueryResults(state, 3);
    if (script == nullptr)
        ErrorWithPosition(state, "%s", kQueryErrorText);
    CreateTable(state, 0, 0);  // 4: the result list
    const bool complete = Detail::ReadRowList(state, *script, cache, kit, 4);
    // Finalized now rather than at the next collection: the statement's work is done.
    Detail::DiscardQueryResults(state, 3);
    if (!complete)
        ErrorWithPosition(state, "%s", kQueryErrorText);

    PushNumber(state, 1);  // 5: the position of the first row
    pushnamedcclosure(state, lIterateTable, 2, "lIterateTable", 0);
    return 1;
}

}  // namespace Database::Scripting
