// LuaRuntime.cpp: the wrappers of LuaRuntime.h over the Lua 5.1 C interface, and the named
// closure push.
//
// This is the only unit of the library that includes the runtime's headers. <lua.hpp> exists for
// Lua 5.1 and for LuaJIT alike, and both give the same C interface, so nothing here depends on
// which one the build chose.
#include "scripting/LuaRuntime.h"

#include <lua.hpp>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace Database::Scripting::Runtime {

static_assert(TypeNone == LUA_TNONE && TypeNil == LUA_TNIL && TypeBoolean == LUA_TBOOLEAN
              && TypeLightUserdata == LUA_TLIGHTUSERDATA && TypeNumber == LUA_TNUMBER && TypeString == LUA_TSTRING
              && TypeTable == LUA_TTABLE && TypeFunction == LUA_TFUNCTION && TypeUserdata == LUA_TUSERDATA
              && TypeThread == LUA_TTHREAD, "the runtime's type numbers");
static_assert(UpvalueIndex(1) == lua_upvalueindex(1) && UpvalueIndex(3) == lua_upvalueindex(3),
              "the runtime's upvalue pseudo-indices");
static_assert(RegistryIndex == LUA_REGISTRYINDEX, "the runtime's registry pseudo-index");

namespace {

// Closure names live in two registry tables, each under the address of one of these (no string
// key can collide with an address):
//  - the function names: the C function (as light userdata) to the name it was first pushed with.
//    Every binding function is always pushed under one name, so this is where names are found, at
//    the cost of one lookup per push and nothing per closure;
//  - the closure names, weak-keyed: a closure to its name, for the closures pushed under a name
//    other than their function's first one. Weak keys: a name never keeps its closure alive.
// One table per closure alone would cost an entry per row object a script ever saw, and the
// collector would sweep all of them on every cycle.
char g_functionNamesKey = 0;
char g_closureNamesKey = 0;

// Pushes the registry table under key, or nothing and false when there is none yet.
bool PushNamesTable(lua_State* state, char* key) {
    lua_pushlightuserdata(state, key);
    lua_rawget(state, LUA_REGISTRYINDEX);
    if (lua_type(state, -1) == LUA_TTABLE)
        return true;
    lua_pop(state, 1);
    return false;
}

// Pushes the registry table under key, creating it on first use (weak-keyed when weakKeys).
void PushOrCreateNamesTable(lua_State* state, char* key, bool weakKeys) {
    if (PushNamesTable(state, key))
        return;
    lua_createtable(state, 0, 0);
    if (weakKeys) {
        lua_createtable(state, 0, 1);
        lua_pushliteral(state, "k");
        lua_setfield(state, -2, "__mode");
        lua_setmetatable(state, -2);
    }
    lua_pushlightuserdata(state, key);
    lua_pushvalue(state, -2);
    lua_rawset(state, LUA_REGISTRYINDEX);
}

// Records name for the closure on top of the stack, which stays there.
void NameClosure(lua_State* state, CFunction function, const char* name) {
    PushOrCreateNamesTable(state, &g_functionNamesKey, false);
    lua_pushlightuserdata(state, reinterpret_cast<void*>(function));
    lua_rawget(state, -2);
    const char* functionName = lua_tostring(state, -1);
    if (functionName != nullptr && std::strcmp(functionName, name) == 0) {
        lua_pop(state, 2);
        return;
    }
    lua_pop(state, 1);
    if (functionName == nullptr) {
        lua_pushlightuserdata(state, reinterpret_cast<void*>(function));
        lua_pushstring(state, name);
        lua_rawset(state, -3);
        lua_pop(state, 1);
        return;
    }
    lua_pop(state, 1);
    PushOrCreateNamesTable(state, &g_closureNamesKey, true);
    lua_pushvalue(state, -2);
    lua_pushstring(state, name);
    lua_rawset(state, -3);
    lua_pop(state, 1);
}

}  // namespace

// {==== Closures

void pushnamedcclosure(lua_State* state, CFunction function, int upvalueCount, const char* name, int flags) {
    (void)flags;
    lua_pushcclosure(state, function, upvalueCount);
    // Naming needs three slots more than the caller was using; a caller at the end of its stack
    // still gets its closure, only without a name.
    if (name != nullptr && lua_checkstack(state, 3))
        NameClosure(state, function, name);
}

const char* ClosureName(lua_State* state, int index) {
    if (lua_type(state, index) != LUA_TFUNCTION || !lua_checkstack(state, 2))
        return nullptr;
    if (index < 0 && index > LUA_REGISTRYINDEX)
        index = lua_gettop(state) + index + 1;
    // The closure's own name first: it is there only when it differs from its function's.
    const char* name = nullptr;
    if (PushNamesTable(state, &g_closureNamesKey)) {
        lua_pushvalue(state, index);
        lua_rawget(state, -2);
        name = lua_tostring(state, -1);
        lua_pop(state, 2);
    }
    const CFunction function = lua_tocfunction(state, index);
    if (name == nullptr && function != nullptr && PushNamesTable(state, &g_functionNamesKey)) {
        lua_pushlightuserdata(state, reinterpret_cast<void*>(function));
        lua_rawget(state, -2);
        name = lua_tostring(state, -1);
        lua_pop(state, 2);
    }
    // Both tables hold their names, so the texts outlive the pops.
    return name;
}

// }====

// {==== Values

void CreateTable(lua_State* state, int arraySize, int recordSize) {
    lua_createtable(state, arraySize, recordSize);
}

void* NewUserdata(lua_State* state, std::size_t size) {
    return lua_newuserdata(state, size);
}

void PushNil(lua_State* state) {
    lua_pushnil(state);
}

void PushNumber(lua_State* state, double value) {
    lua_pushnumber(state, value);
}

void PushBoolean(lua_State* state, bool value) {
    lua_pushboolean(state, value ? 1 : 0);
}

void PushLightUserdata(lua_State* state, void* pointer) {
    lua_pushlightuserdata(state, pointer);
}

void PushValue(lua_State* state, int index) {
    lua_pushvalue(state, index);
}

void PushLString(lua_State* state, const char* text, std::size_t length) {
    lua_pushlstring(state, text, length);
}

void PushString(lua_State* state, const char* text) {
    // Lua 5.1 pushes nil for a null text; LuaJIT does too, but say so rather than rely on it.
    if (text == nullptr)
        lua_pushnil(state);
    else
        lua_pushstring(state, text);
}

const char* PushFString(lua_State* state, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const char* text = lua_pushvfstring(state, format, arguments);
    va_end(arguments);
    return text;
}

// }====

// {==== Tables

void GetField(lua_State* state, int index, const char* key) {
    lua_getfield(state, index, key);
}

void SetField(lua_State* state, int index, const char* key) {
    lua_setfield(state, index, key);
}

void GetGlobal(lua_State* state, const char* name) {
    lua_getglobal(state, name);
}

void RawGet(lua_State* state, int index) {
    lua_rawget(state, index);
}

void RawSet(lua_State* state, int index) {
    lua_rawset(state, index);
}

void RawGetI(lua_State* state, int index, int key) {
    lua_rawgeti(state, index, key);
}

void RawSetI(lua_State* state, int index, int key) {
    lua_rawseti(state, index, key);
}

void SetMetatable(lua_State* state, int index) {
    lua_setmetatable(state, index);
}

bool GetMetatable(lua_State* state, int index) {
    return lua_getmetatable(state, index) != 0;
}

bool Next(lua_State* state, int index) {
    return lua_next(state, index) != 0;
}

// }====

// {==== Conversion

int TypeOf(lua_State* state, int index) {
    return lua_type(state, index);
}

const char* ToLString(lua_State* state, int index, std::size_t* length) {
    return lua_tolstring(state, index, length);
}

double ToNumber(lua_State* state, int index) {
    return static_cast<double>(lua_tonumber(state, index));
}

bool ToBoolean(lua_State* state, int index) {
    return lua_toboolean(state, index) != 0;
}

void* ToUserdata(lua_State* state, int index) {
    return lua_touserdata(state, index);
}

std::size_t ObjLen(lua_State* state, int index) {
    return lua_objlen(state, index);
}

// }====

// {==== Stack

int GetTop(lua_State* state) {
    return lua_gettop(state);
}

void SetTop(lua_State* state, int index) {
    lua_settop(state, index);
}

void Insert(lua_State* state, int index) {
    lua_insert(state, index);
}

void Replace(lua_State* state, int index) {
    lua_replace(state, index);
}

void Concat(lua_State* state, int count) {
    lua_concat(state, count);
}

void Call(lua_State* state, int argumentCount, int resultCount) {
    lua_call(state, argumentCount, resultCount);
}

// }====

// {==== Errors

void Error(lua_State* state) {
    lua_error(state);
    std::abort();  // lua_error never returns
}

void ErrorWithPosition(lua_State* state, const char* format, ...) {
    // What luaL_error does, which has no form taking a va_list.
    luaL_where(state, 1);
    va_list arguments;
    va_start(arguments, format);
    lua_pushvfstring(state, format, arguments);
    va_end(arguments);
    lua_concat(state, 2);
    lua_error(state);
    std::abort();
}

void ArgError(lua_State* state, int argument, const char* text) {
    luaL_argerror(state, argument, text);
    std::abort();
}

void Where(lua_State* state, int level) {
    luaL_where(state, level);
}

// }====

}  // namespace Database::Scripting::Runtime
