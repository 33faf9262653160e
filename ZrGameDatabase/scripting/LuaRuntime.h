// LuaRuntime.h: the scripting runtime as the Lua binding sees it.
//
// The binding talks to the embedded runtime only through these functions, each a thin wrapper of
// the Lua 5.1 C interface function of the same name (lua_createtable for CreateTable, luaL_error
// for ErrorWithPosition, ...) with the meaning the Lua 5.1 manual gives it. Keeping the runtime's
// headers out of this one means the binding cannot reach anything else of the runtime, and the
// same binding builds against Lua 5.1 and LuaJIT.
//
// The one addition is pushnamedcclosure: a C closure whose name is remembered, so that error
// traces (and hosts' tracebacks, through Lua::ClosureName) can say which binding function they
// passed.
//
// Errors: every function marked "may raise" can leave through a Lua error (a longjmp in Lua 5.1,
// an unwind in LuaJIT), allocation errors included. A frame that calls one must hold no C++
// object with a destructor at that point. None of these functions is noexcept on purpose: LuaJIT
// unwinds through them.
#pragma once

#include <cstddef>

struct lua_State;

namespace Database::Scripting::Runtime {

using CFunction = int (*)(lua_State*);

// Value types, with the numbers lua_type gives them.
enum Type : int {
    TypeNone = -1,
    TypeNil = 0,
    TypeBoolean = 1,
    TypeLightUserdata = 2,
    TypeNumber = 3,
    TypeString = 4,
    TypeTable = 5,
    TypeFunction = 6,
    TypeUserdata = 7,
    TypeThread = 8,
};

// Pseudo-index of the registry, LUA_REGISTRYINDEX.
constexpr int RegistryIndex = -10000;

// Pseudo-index of the running closure's upvalue number (from 1), as lua_upvalueindex gives it.
constexpr int UpvalueIndex(int number) {
    return -10002 - number;
}

// {==== Closures

// Pushes a C closure of function over the top upvalueCount values (popped), and remembers name
// for it in the registry: under the function itself when it is the name the function was first
// pushed with (so that naming costs no memory per closure), else in a weak-keyed table under the
// closure, where the name lives exactly as long as the closure. flags is reserved and always 0.
// May raise (allocation).
void pushnamedcclosure(lua_State* state, CFunction function, int upvalueCount, const char* name, int flags);

// The name the closure at index was pushed with, or null for any other value (a closure of a
// function that was once pushed with a name, but not this time, reports that name). The text
// stays valid while the closure is alive. Never raises.
const char* ClosureName(lua_State* state, int index);

// }====

// {==== Values (all may raise, except the pushes of nil, numbers, booleans, light userdata and
// existing values, which only use the stack slots every C function is given)

void CreateTable(lua_State* state, int arraySize, int recordSize);
void* NewUserdata(lua_State* state, std::size_t size);
void PushNil(lua_State* state);
void PushNumber(lua_State* state, double value);
void PushBoolean(lua_State* state, bool value);
void PushLightUserdata(lua_State* state, void* pointer);
void PushValue(lua_State* state, int index);
void PushLString(lua_State* state, const char* text, std::size_t length);
// A null text pushes nil.
void PushString(lua_State* state, const char* text);
// Formats with the runtime's own formatter (only %s is used); returns the pushed text.
const char* PushFString(lua_State* state, const char* format, ...);

// }====

// {==== Tables (the non-raw forms may call metamethods, and so may raise anything)

void GetField(lua_State* state, int index, const char* key);
void SetField(lua_State* state, int index, const char* key);
void GetGlobal(lua_State* state, const char* name);
void RawGet(lua_State* state, int index);
void RawSet(lua_State* state, int index);
void RawGetI(lua_State* state, int index, int key);
void RawSetI(lua_State* state, int index, int key);
void SetMetatable(lua_State* state, int index);
// Pushes the metatable of the value at index and returns true; pushes nothing and returns false
// when it has none. Never raises.
bool GetMetatable(lua_State* state, int index);
bool Next(lua_State* state, int index);

// }====

// {==== Conversion (never raise, except ToLString on a number, which allocates its text)

int TypeOf(lua_State* state, int index);
// The text of a string or number (a number is turned into a string in place); null otherwise.
const char* ToLString(lua_State* state, int index, std::size_t* length);
double ToNumber(lua_State* state, int index);
bool ToBoolean(lua_State* state, int index);
// The size of a full userdata's payload, the length of a string or table. Never call it on a
// number, which it would turn into a string.
std::size_t ObjLen(lua_State* state, int index);
// Payload of a full userdata, pointer of a light one, null otherwise.
void* ToUserdata(lua_State* state, int index);

// }====

// {==== Stack

int GetTop(lua_State* state);
void SetTop(lua_State* state, int index);
void Insert(lua_State* state, int index);
// Pops the top value into index, an upvalue pseudo-index too.
void Replace(lua_State* state, int index);
// May raise (allocation).
void Concat(lua_State* state, int count);
// May raise whatever the called function raises.
void Call(lua_State* state, int argumentCount, int resultCount);

// }====

// {==== Errors

// Raises the value on top as it is.
[[noreturn]] void Error(lua_State* state);
// Formats with the runtime's formatter, puts the caller's script position in front and raises.
[[noreturn]] void ErrorWithPosition(lua_State* state, const char* format, ...);
// The runtime's "bad argument" error for argument number argument, with text as its reason.
[[noreturn]] void ArgError(lua_State* state, int argument, const char* text);
// Pushes the script position at level ("chunk:line:"), or the empty string when it has none.
void Where(lua_State* state, int level);

// }====

}  // namespace Database::Scripting::Runtime
