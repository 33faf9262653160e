// The database object and table objects as scripts see them: finding tables, rows by ROWID and by
// Type through the shared row cache, the length operator, and every error they raise.
#include <gtest/gtest.h>
#include <lua.hpp>

#include <string>
#include <vector>

#include "ZrGameDatabase/ScriptingLua.h"
#include "support/LuaFixture.h"
#include "support/LuaStackGuard.h"

namespace Database::Testing {
namespace {

using LuaDatabaseObject = LuaFixture;

TEST_F(LuaDatabaseObject, FindsOrdinaryTablesByTheirExactName) {
    CreateUnits();
    Run("create view UnitView as select * from Units; create table SQLiteNotes (ID integer);"
        "create table sqlitenotes2 (ID integer); create index UnitCost on Units (Cost);");
    EXPECT_EQ(Script("assert(type(DB.Units) == 'userdata')\n"
                     "assert(rawequal(DB.Units, DB.Units) and rawget(DB, 'Units') == DB.Units)\n"
                     "assert(DB.units == nil and DB.UNITS == nil)\n"
                     "assert(DB.UnitView == nil and DB.UnitCost == nil)\n"
                     "assert(DB.SQLiteNotes == nil and DB.sqlitenotes2 == nil and DB.sqlite_master == nil)\n"
                     "assert(DB[1] == nil and DB[true] == nil)\n"
                     "DB.Mine = 5 assert(rawget(DB, 'Mine') == 5)"),
              "");
}

TEST_F(LuaDatabaseObject, AMissIsNotRememberedSoALaterTableIsFound) {
    EXPECT_EQ(Script("assert(DB.Later == nil and rawget(DB, 'Later') == nil)"), "");
    Run("create table Later (ID integer primary key, Type text); insert into Later values (1, 'ONE');");
    EXPECT_EQ(Script("assert(DB.Later[1].Type == 'ONE' and rawget(DB, 'Later') == DB.Later)"), "");
}

TEST(LuaDatabaseWithoutHandle, EveryLookupRaisesThePlainQueryError) {
    Connection closed;  // never opened: the lookup statement cannot be prepared
    lua_State* state = luaL_newstate();
    {
        LuaStackGuard guard(state, 1);
        Scripting::Lua::PushDatabase(state, closed);
    }
    lua_setglobal(state, "DB");
    ASSERT_NE(luaL_dostring(state, "return DB.Units"), 0);
    EXPECT_STREQ(lua_tostring(state, -1),
                 "Failed to iterate table due to query error.  Check Database.log for more details.");
    lua_close(state);
}

using LuaTableIndex = LuaFixture;

TEST_F(LuaTableIndex, NumbersReadTheRowidTruncatedTowardZero) {
    CreateUnits();
    EXPECT_EQ(Eval("DB.Units[2.9].Type"), "UNIT_B");
    EXPECT_EQ(Eval("DB.Units[-0.5].Type"), "UNIT_ZERO");
    EXPECT_EQ(Eval("DB.Units[99]"), "nil");
    EXPECT_EQ(Eval("DB.Units[0/0]"), "nil");
    EXPECT_EQ(Eval("DB.Units[1e300]"), "nil");
}

TEST_F(LuaTableIndex, RowsAreCachedByIdAndTypeAndKeepTheirValues) {
    CreateUnits();
    EXPECT_EQ(Script("T = DB.Units\n"
                     "local a = T.UNIT_A\n"
                     "assert(a.ID == 1 and a.Cost == 5 and T['UNIT_A'] == a and T[1] == a)\n"
                     "assert(T.NO_SUCH_TYPE == nil)"),
              "");
    Run("update Units set Cost = 99 where ID = 1");
    EXPECT_EQ(Script("assert(T[1] == T.UNIT_A and T.UNIT_A.Cost == 5)"), "");
    // A fresh table object has a cache of its own and sees the change.
    PushDatabaseTableAsGlobal("Fresh", "Units");
    EXPECT_EQ(Eval("Fresh.UNIT_A.Cost"), "99");
}

TEST_F(LuaTableIndex, IdsBeyondThirtyTwoBitsFindAndCacheTheirRow) {
    Run("create table Big (ID integer primary key, Type text);"
        "insert into Big values (3000000000, 'FAR'), (-1294967296, 'WRAPPED');");
    EXPECT_EQ(Script("local far = DB.Big[3000000000]\n"
                     "assert(far.Type == 'FAR' and far.ID == 3000000000)\n"
                     "assert(DB.Big.FAR == far and DB.Big[-1294967296].Type == 'WRAPPED')"),
              "");
}

TEST_F(LuaTableIndex, ATableWithoutTypeIsIndexedByNumberOnly) {
    Run("create table Plain (ID integer primary key, Amount integer); insert into Plain values (1, 10);");
    EXPECT_EQ(Eval("DB.Plain[1].Amount"), "10");
    // The first string index, through the stub, and a later one both raise with the position.
    PushDatabaseTableAsGlobal("Fresh", "Plain");
    ExpectPositioned(Script("local x = Fresh.SOMETHING"), 1, "Indexing by type is not available for this table.");
    ExpectPositioned(Script("\nlocal x = Fresh.SOMETHING"), 2, "Indexing by type is not available for this table.");
    EXPECT_EQ(Eval("Fresh[1].Amount"), "10");
}

// The Type statement is only prepared for a table that has the column: preparing it anyway wrote
// "no such column: Type" into the connection's log on the first index of every such table.
TEST_F(LuaTableIndex, ATableWithoutTypeLogsNothingOnItsFirstIndex) {
    Run("create table Plain (ID integer primary key, Amount integer); insert into Plain values (1, 10);"
        "create table Lower (ID integer primary key, type text); insert into Lower values (1, 'ONE');");
    EXPECT_EQ(Eval("DB.Plain[1].Amount"), "10");
    ExpectPositioned(Script("local x = DB.Plain.SOMETHING"), 1, "Indexing by type is not available for this table.");
    EXPECT_EQ(log, std::vector<LogLine>{});
    // SQLite finds the column whatever its letter case, and so does the lookup by Type.
    EXPECT_EQ(Eval("DB.Lower.ONE.ID"), "1");
}

TEST_F(LuaTableIndex, KeysOfOtherTypesRaiseTheArgumentError) {
    CreateUnits();
    for (const char* key : {"true", "{}", "DB.Units"}) {
        const std::string message = Script(std::string("local x = DB.Units[") + key + "]");
        EXPECT_NE(message.find(":1: bad argument #2"), std::string::npos) << message;
        EXPECT_NE(message.find("(Key must be of type 'number' or 'string'.)"), std::string::npos) << message;
    }
}

TEST_F(LuaTableIndex, StatementsThatDoNotPrepareRaiseOnEveryUse) {
    Run("create table \"My Units\" (ID integer primary key, Type text); insert into \"My Units\" values (1, 'A');");
    EXPECT_EQ(Eval("type(DB['My Units'])"), "userdata");
    // The name is inserted unquoted, so SQLite reads a table My with the alias Units.
    ExpectPositioned(Script("local x = DB['My Units'][1]"), 1, "Failed to generate id query - no such table: My");
    ExpectPositioned(Script("local x = DB['My Units'].A"), 1, "Failed to generate id query - no such table: My");
    ExpectPositioned(Script("local x = #DB['My Units']"), 1, "SQL Length query up-value is missing!");
    ExpectPositioned(Script("local x = #DB['My Units']"), 1, "SQL Length query up-value is missing!");
    EXPECT_FALSE(log.empty());  // the reasons went to the connection's log
}

TEST_F(LuaTableIndex, NamesTooLongForTheStatementBufferRaiseWithPosition) {
    const std::string name(230, 'N');  // count(*) statement fits 256 bytes, the ROWID one does not
    Run(("create table " + name + " (ID integer primary key, Type text)").c_str());
    PushDatabaseTableAsGlobal("Long", name.c_str());
    ExpectPositioned(Script("local x = Long[1]"), 1, "Table name too long: its statement does not fit in 256 bytes.");
    EXPECT_EQ(Eval("#Long"), "0");
    const std::string longer(240, 'M');
    PushDatabaseTableAsGlobal("Longer", longer.c_str());
    ExpectPositioned(Script("local x = #Longer"), 1, "Table name too long: its statement does not fit in 256 bytes.");
}

TEST_F(LuaTableIndex, TablesAndRowsAreReadOnly) {
    CreateUnits();
    ExpectPositioned(Script("DB.Units.UNIT_A = 1"), 1, "Database table is read-only from Lua.");
    ExpectPositioned(Script("\n\nDB.Units[1] = {}"), 3, "Database table is read-only from Lua.");
    ExpectPositioned(Script("DB.Units.UNIT_A.Costs = 1"), 1, "Database row is read-only from Lua.");
    ExpectPositioned(Script("DB.Units.UNIT_D.Cost = 1"), 1, "Database row is read-only from Lua.");
    // A raw set is the script's own business.
    EXPECT_EQ(Script("local row = DB.Units.UNIT_A rawset(row, 'Costs', 1) assert(row.Costs == 1)"), "");
}

using LuaTableLength = LuaFixture;

TEST_F(LuaTableLength, CountsTheCurrentRows) {
    CreateUnits();
    EXPECT_EQ(Eval("#DB.Units"), "5");
    Run("insert into Units (Type) values ('UNIT_NEW')");
    EXPECT_EQ(Eval("#DB.Units"), "6");
    Run("delete from Units where ID < 3");
    EXPECT_EQ(Eval("#DB.Units"), "3");
}

TEST_F(LuaTableLength, AMissingTableRaisesOnLengthAndIndex) {
    PushDatabaseTableAsGlobal("Ghost", "Ghost");
    ExpectPositioned(Script("local n = #Ghost"), 1, "SQL Length query up-value is missing!");
    ExpectPositioned(Script("local n = Ghost[1]"), 1, "Failed to generate id query - no such table: Ghost");
}

TEST_F(LuaTableLength, ACountThatFailsRaisesAndRecovers) {
    Run("create table Gone (ID integer primary key, Type text)");
    EXPECT_EQ(Eval("#DB.Gone"), "0");
    Run("drop table Gone");
    ExpectPositioned(Script("local n = #DB.Gone"), 1, "An error occurred calculating the table length.");
    Run("create table Gone (ID integer primary key, Type text); insert into Gone values (1, 'A')");
    EXPECT_EQ(Eval("#DB.Gone"), "1");
}

using LuaTampering = LuaFixture;

// A script rewrites what it can reach of the objects: the metatable fields in plain Lua, the
// closures' upvalues with the debug library (Lua 5.1's refuses those of C closures, LuaJIT's
// writes them). The objects go on reading the Units table of their own connection, or refuse.
TEST_F(LuaTampering, NothingAScriptWritesRedirectsTheObjects) {
    CreateUnits();
    Run("create table Secret (ID integer primary key, Type text, Cost integer);"
        "insert into Secret values (1, 'S', 5);");
    EXPECT_EQ(Script(R"lua(
local bogus  -- a light userdata that is no connection
for key in pairs(debug.getregistry()) do if type(key) == 'userdata' then bogus = key end end
assert(bogus)
getmetatable(DB).__db = bogus
local function fresh() rawset(DB, 'Units', nil) return DB.Units end
local function count(T) local n = 0 for row in T{Cost = 5} do n = n + 1 end return n end
for _, field in ipairs{'__db', '__tablename', '__rowdata'} do
  for _, value in ipairs{bogus, 'Secret', 5, false} do
    local T = fresh()
    getmetatable(T)[field] = value
    assert(T[1].Type == 'UNIT_A' and T.UNIT_B.ID == 2 and #T == 5 and count(T) == 2, field)
  end
end
-- Each result is the genuine one or an error, never a crash or another table's rows.
local function genuine(expected, f) local ok, value = pcall(f) assert(not ok or value == expected) end
local function uses(T)
  genuine('UNIT_A', function() return T[1].Type end)
  genuine(5, function() return #T end)
  genuine(2, function() return count(T) end)
end
for _, warm in ipairs{false, true} do
  for _, method in ipairs{'__index', '__len', '__call'} do
    for upvalue = 1, 3 do
      local T = fresh()
      if warm then uses(T) end
      debug.setupvalue(getmetatable(T)[method], upvalue, bogus)
      uses(T)
    end
  end
end
local iterator, row = fresh()(), fresh()[1]
debug.setupvalue(iterator, 1, bogus) debug.setupvalue(iterator, 2, bogus) iterator()
debug.setupvalue(getmetatable(row).__index, 1, bogus) local x = row.NotAColumn
debug.setupvalue(getmetatable(DB).__index, 1, bogus)
genuine(5, function() return #fresh() end)
)lua"),
              "");
}

}  // namespace
}  // namespace Database::Testing
