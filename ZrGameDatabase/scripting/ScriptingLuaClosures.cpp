// ScriptingLuaClosures.cpp: the names of the binding's closures, for the tracebacks of hosts.
//
// The runtime layer records a name with every closure the binding pushes; this is the public way
// to them, so that a host's traceback needs none of the library's private headers.
#include "ZrGameDatabase/ScriptingLua.h"
#include "scripting/LuaRuntime.h"

namespace Database::Scripting {

const char* Lua::ClosureName(lua_State* state, int index) {
    return Runtime::ClosureName(state, index);
}

}  // namespace Database::Scripting
