// Query objects (owning a statement until Lua collects them) and row objects (read-only snapshots
// of a row, warning through print about names that are no column), with every column conversion.
#include <gtest/gtest.h>
#include <lua.hpp>

#include <string>
#include <vector>

#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ScriptingLua.h"
#include "scripting/ScriptingLuaInternal.h"
#include "support/LuaFixture.h"
#include "support/LuaStackGuard.h"

namespace Database::Testing {
namespace {

using Scripting::Lua;
using LuaQueryObject = LuaFixture;

TEST_F(LuaQueryObject, OwnsItsStatementUntilCollected) {
    const int before = LiveStatements();
    {
        LuaStackGuard guard(state, 1);
        Results* results = Lua::PushDatabaseQuery(state, &connection, "select 1 as One, 2 as Two");
        ASSERT_NE(results, nullptr);
        EXPECT_EQ(lua_type(state, -1), LUA_TUSERDATA);
        ASSERT_TRUE(results->Step());
        // The host pushes rows of its own query; the statement stays where it was.
        Lua::PushDatabaseRow(state, results);
        lua_setglobal(state, "Row");
        EXPECT_EQ(results->GetInt(1), 2);
        EXPECT_FALSE(results->Step());
    }
    EXPECT_EQ(LiveStatements(), before + 1);
    lua_pop(state, 1);
    lua_gc(state, LUA_GCCOLLECT, 0);
    EXPECT_EQ(LiveStatements(), before);
    EXPECT_EQ(Eval("Row.One + Row.Two"), "3");  // a snapshot outlives its statement
}

TEST_F(LuaQueryObject, SqlThatDoesNotPreparePushesNilWithoutAnError) {
    const int before = LiveStatements();
    {
        LuaStackGuard guard(state, 1);
        EXPECT_EQ(Lua::PushDatabaseQuery(state, &connection, "selec 1"), nullptr);
        EXPECT_EQ(lua_type(state, -1), LUA_TNIL);
    }
    lua_pop(state, 1);
    EXPECT_EQ(LiveStatements(), before);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().severity, 2);
}

TEST_F(LuaQueryObject, TableObjectsFinalizeTheirStatementsWhenCollected) {
    CreateUnits();
    const int before = LiveStatements();
    PushDatabaseTableAsGlobal("Fresh", "Units");
    EXPECT_EQ(LiveStatements(), before);  // nothing is prepared until first use
    EXPECT_EQ(Script("local row, n = Fresh[1], #Fresh"), "");
    EXPECT_EQ(LiveStatements(), before + 3);  // ROWID, Type and count statements
    EXPECT_EQ(Script("Fresh = nil collectgarbage() collectgarbage()"), "");
    EXPECT_EQ(LiveStatements(), before);
}

// With the debug library a script reaches the finalizer of query objects and can hand it anything:
// a file, a table object, a bare proxy, or a foreign userdata disguised with the query objects'
// metatable. Only a query object of the binding may lose its Results, and only once.
TEST_F(LuaQueryObject, TheFinalizerFreesOnlyQueryObjectsAndEachOnlyOnce) {
    CreateUnits();
    Results* results = Lua::PushDatabaseQuery(state, &connection, "select 1");
    ASSERT_NE(results, nullptr);
    lua_setglobal(state, "Q");
    ASSERT_EQ(Script("assert(DB.Units[1] and #DB.Units == 5)"), "");  // prepares the table's statements
    const int live = LiveStatements();
    EXPECT_EQ(Script("local gc = debug.getmetatable(Q).__gc\n"
                     "gc(io.stdout) gc(DB.Units) gc(newproxy(true)) gc(newproxy(false)) gc({}) gc(nil) gc()\n"
                     "local proxy = newproxy(false)\n"
                     "debug.setmetatable(proxy, debug.getmetatable(Q)) gc(proxy)\n"
                     "debug.setmetatable(io.stderr, debug.getmetatable(Q)) gc(io.stderr)\n"
                     "assert(io.type(io.stdout) == 'file' and DB.Units[1].Type == 'UNIT_A')"),
              "");
    EXPECT_EQ(LiveStatements(), live);
    EXPECT_TRUE(results->Step());  // the query's own Results is untouched
    {
        // The statement helpers of the table objects apply the same recognition.
        LuaStackGuard guard(state);
        ASSERT_EQ(luaL_dostring(state, "return Q, io.stderr, DB.Units"), 0);
        EXPECT_EQ(Scripting::Detail::QueryResults(state, -3), results);
        EXPECT_EQ(Scripting::Detail::QueryResults(state, -2), nullptr);
        EXPECT_EQ(Scripting::Detail::QueryResults(state, -1), nullptr);
        lua_pop(state, 3);
    }
    EXPECT_EQ(Script("local gc = debug.getmetatable(Q).__gc gc(Q) gc(Q) Q = nil collectgarbage()"), "");
    EXPECT_EQ(LiveStatements(), live - 1);
    EXPECT_EQ(Script("collectgarbage() assert(#DB.Units == 5 and DB.Units.UNIT_B.Cost == 7)"), "");
}

using LuaRowObject = LuaFixture;

TEST_F(LuaRowObject, NamesThatAreNoColumnWarnThroughPrint) {
    CreateUnits();
    EXPECT_EQ(Script("Row = DB.Units.UNIT_D\n"
                     "local keys = {} for key in pairs(Row) do keys[#keys + 1] = key end table.sort(keys)\n"
                     "assert(table.concat(keys, ',') == 'ID,Name,Type')\n"
                     "assert(Row.Cost == nil)"),
              "");
    EXPECT_TRUE(printed.empty());  // a column without a value reads nil silently
    EXPECT_EQ(Script("\nlocal x = Row.Costs\nlocal y = Row[7]"), "");
    ASSERT_EQ(printed.size(), 2u);
    // The position text ends in a space of its own, so two spaces separate it from the message.
    ExpectPositioned(printed[0], 2, " Cannot find key - Costs");
    ExpectPositioned(printed[1], 3, " Cannot find key - 7");
    printed.clear();
    EXPECT_EQ(Script("print = 5 assert(Row.Costs == nil) print = nil assert(Row.Costs == nil)"), "");
    EXPECT_TRUE(printed.empty());
}

TEST_F(LuaRowObject, EveryColumnKindConverts) {
    Run("create table Kinds (ID integer primary key, Type text, Big integer, Negative integer, Real real,"
        "  Flag boolean, FlagOff boolean, Shout BOOLEAN, FlagText boolean, Data blob, Text text, Missing integer);"
        "insert into Kinds values (1, 'K', 3000000000, -5, 0.1, 2, 0, 2, 'yes', x'0102', 'ab' || char(0) || 'cd',"
        "  NULL);");
    EXPECT_EQ(Script("local r = DB.Kinds.K\n"
                     "assert(r.Big == 3000000000 and r.Negative == -5)\n"
                     "assert(r.Real == 0.1)\n"
                     "assert(r.Flag == true and r.FlagOff == false and r.Shout == 2)\n"
                     "assert(r.FlagText == 'yes')\n"
                     "assert(r.Text == 'ab')\n"
                     "assert(rawget(r, 'Data') == nil and r.Data == nil and rawget(r, 'Missing') == nil)"),
              "");
    EXPECT_TRUE(printed.empty());
}

TEST_F(LuaRowObject, OfTwoColumnsWithOneNameTheLaterDecides) {
    LuaStackGuard guard(state);
    Results* results = Lua::PushDatabaseQuery(state, &connection, "select 1 as A, NULL as A, NULL as B, 3 as B");
    ASSERT_NE(results, nullptr);
    ASSERT_TRUE(results->Step());
    Lua::PushDatabaseRow(state, results);
    lua_setglobal(state, "Row");
    lua_pop(state, 1);
    EXPECT_EQ(Script("assert(rawget(Row, 'A') == nil and Row.A == nil and Row.B == 3)"), "");
    EXPECT_TRUE(printed.empty());
}

}  // namespace
}  // namespace Database::Testing
