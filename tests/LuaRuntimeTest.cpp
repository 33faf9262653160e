// The scripting runtime layer: named closures keep their names for traces without keeping the
// closures alive, and every closure of the binding carries the name traces should show, the
// table object's stubs giving way to the working closures on first use.
#include <gtest/gtest.h>
#include <lua.hpp>

#include <string>

#include "ZrGameDatabase/ScriptingLua.h"
#include "scripting/LuaRuntime.h"
#include "support/LuaFixture.h"
#include "support/LuaStackGuard.h"

namespace Database::Testing {
namespace {

namespace Runtime = Scripting::Runtime;

int ReturnNothing(lua_State*) {
    return 0;
}

int MarkCollected(lua_State* state) {
    *static_cast<bool*>(lua_touserdata(state, lua_upvalueindex(1))) = true;
    return 0;
}

class LuaNamedClosures : public LuaFixture {
protected:
    // The name of the closure `expression` gives, or "(none)".
    std::string NameOf(const std::string& expression) {
        LuaStackGuard guard(state);
        if (luaL_dostring(state, ("return " + expression).c_str()) != 0) {
            std::string error = lua_tostring(state, -1);
            lua_pop(state, 1);
            return "error: " + error;
        }
        const char* name = Runtime::ClosureName(state, -1);
        std::string result = name != nullptr ? name : "(none)";
        lua_pop(state, 1);
        return result;
    }
};

TEST_F(LuaNamedClosures, NamesLastAsLongAsTheirClosuresAndNoLonger) {
    bool collected = false;
    {
        LuaStackGuard guard(state, 1);
        // A closure whose one upvalue reports its own collection.
        lua_newuserdata(state, 1);
        lua_createtable(state, 0, 1);
        lua_pushlightuserdata(state, &collected);
        lua_pushcclosure(state, MarkCollected, 1);
        lua_setfield(state, -2, "__gc");
        lua_setmetatable(state, -2);
        Runtime::pushnamedcclosure(state, ReturnNothing, 1, "Test::Probe", 0);
    }
    EXPECT_STREQ(Runtime::ClosureName(state, -1), "Test::Probe");
    EXPECT_STREQ(Scripting::Lua::ClosureName(state, -1), "Test::Probe");  // what hosts call
    lua_setglobal(state, "Probe");
    EXPECT_EQ(NameOf("Probe"), "Test::Probe");
    EXPECT_EQ(NameOf("print"), "(none)");
    EXPECT_EQ(NameOf("function() end"), "(none)");
    EXPECT_EQ(NameOf("5"), "(none)");
    EXPECT_EQ(Script("Probe = nil collectgarbage() collectgarbage()"), "");
    EXPECT_TRUE(collected);
}

TEST_F(LuaNamedClosures, BindingClosuresCarryTheirNames) {
    CreateUnits();
    PushDatabaseTableAsGlobal("T", "Units");
    EXPECT_EQ(NameOf("getmetatable(DB).__index"), "lIndexDatabase");
    {
        // The lookup query object is upvalue 2 of the database object's index; Lua's debug
        // library does not reach upvalues of C closures, so it is fetched here.
        LuaStackGuard guard(state);
        ASSERT_EQ(luaL_dostring(state, "return getmetatable(DB).__index"), 0);
        ASSERT_NE(lua_getupvalue(state, -1, 2), nullptr);
        ASSERT_EQ(lua_type(state, -1), LUA_TUSERDATA);
        ASSERT_NE(lua_getmetatable(state, -1), 0);
        lua_getfield(state, -1, "__gc");
        EXPECT_STREQ(Runtime::ClosureName(state, -1), "Lua::lFinalizeDatabaseQuery");
        lua_pop(state, 4);
    }
    EXPECT_EQ(NameOf("getmetatable(T).__index"), "Lua::lIndexDatabaseTableStub");
    EXPECT_EQ(NameOf("getmetatable(T).__len"), "Lua::lLengthOfDatabaseTableStub");
    EXPECT_EQ(NameOf("getmetatable(T).__newindex"), "Lua::lNewIndexDatabaseTable");
    EXPECT_EQ(NameOf("getmetatable(T).__call"), "Lua::lCallDatabaseTable");
    EXPECT_EQ(NameOf("T()"), "lIterateTable");
    EXPECT_EQ(Script("local row, n = T.UNIT_A, #T"), "");
    EXPECT_EQ(NameOf("getmetatable(T).__index"), "lIndexDatabaseTable");
    EXPECT_EQ(NameOf("getmetatable(T).__len"), "lLengthOfDatabaseTable");
    EXPECT_EQ(NameOf("getmetatable(T.UNIT_A).__index"), "Lua::lInvalidColumnCheck");
    EXPECT_EQ(NameOf("getmetatable(T.UNIT_A).__newindex"), "Lua::lNewIndexDatabaseRow");
    EXPECT_EQ(Script("assert(getmetatable(T).__tablename == 'Units' and type(getmetatable(T).__db) == 'userdata')"),
              "");
}

}  // namespace
}  // namespace Database::Testing
