// Row objects of table objects, which share one metatable and one column set per table object and
// are read through a shape worked out once: what the sharing could break (values or warnings
// leaking between rows and between tables, refused writes, a schema that changes under the
// shape), and iterations that stream rows into that sharing.
#include <gtest/gtest.h>
#include <lua.hpp>

#include <string>

#include "support/LuaFixture.h"

namespace Database::Testing {
namespace {

using LuaSharedRows = LuaFixture;

TEST_F(LuaSharedRows, RowsShareTheirTableObjectsMetatableAndNothingElse) {
    CreateUnits();
    Run("create table Techs (ID integer primary key, Type text, Era text); insert into Techs values (1, 'TECH_A', 'E');");
    EXPECT_EQ(Script("local a, b, t = DB.Units.UNIT_A, DB.Units[2], DB.Techs.TECH_A\n"
                     "assert(getmetatable(a) == getmetatable(b) and getmetatable(a) ~= getmetatable(t))\n"
                     "rawset(a, 'Mine', 1) assert(rawget(b, 'Mine') == nil and b.Cost == 7)\n"
                     "local n = 0 for row in DB.Units() do n = n + 1 assert(getmetatable(row) == getmetatable(a)) end\n"
                     "assert(n == 5)\n"
                     "local x, y = a.Era, t.Cost"),
              "");
    // Each row warns by its own table's column set: Era is no Units column, Cost no Techs column.
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_NE(printed[0].find("Cannot find key - Era"), std::string::npos);
    EXPECT_NE(printed[1].find("Cannot find key - Cost"), std::string::npos);
    for (const char* write : {"DB.Units.UNIT_B.Costs = 1", "DB.Units[3].Name = 1", "DB.Techs.TECH_A.Name = 1"})
        ExpectPositioned(Script(write), 1, "Database row is read-only from Lua.");
}

TEST_F(LuaSharedRows, ASchemaChangeGivesLaterRowsTheirOwnColumnsAndLeavesEarlierOnes) {
    CreateUnits();
    EXPECT_EQ(Script("T = DB.Units Old = T.UNIT_A assert(T[2].Cost == 7)"), "");
    Run("alter table Units add column Moves integer default 2");
    // The ROWID and Type statements are prepared again by SQLite; the iteration one is new.
    EXPECT_EQ(Script("local byId, byType = T[3], T.UNIT_D\n"
                     "assert(byId.Moves == 2 and byType.Moves == 2 and getmetatable(byId) ~= getmetatable(Old))\n"
                     "for row in T() do assert(row == Old or row.ID == 2 or row.Moves == 2) end\n"
                     "assert(Old.Cost == 5 and rawget(Old, 'Moves') == nil)\n"
                     "local x = Old.Moves"),
              "");
    ASSERT_EQ(printed.size(), 1u);  // only the row made before knows no Moves
    EXPECT_NE(printed[0].find("Cannot find key - Moves"), std::string::npos);
}

TEST_F(LuaSharedRows, RowsOfOneTypeWithTwoIdsAreTwoRows) {
    Run("create table Twins (ID integer primary key, Type text, Cost integer);"
        "insert into Twins values (1, 'T', 10), (2, 'T', 20);");
    EXPECT_EQ(Script("local costs = {} for row in DB.Twins() do costs[#costs + 1] = row.Cost end\n"
                     "assert(table.concat(costs, ',') == '10,20', table.concat(costs, ','))\n"
                     "assert(DB.Twins[1].Cost == 10 and DB.Twins[2].Cost == 20)"),
              "");
}

TEST_F(LuaSharedRows, AnIterationLeftEarlyResumesWhereItStopped) {
    CreateUnits();
    const int before = LiveStatements();
    EXPECT_EQ(Script("T = DB.Units It = T()\n"
                     "for row in It do if row.ID == 1 then break end end\n"
                     "local inner = {} for row in T{Cost = 5} do inner[#inner + 1] = row.ID end\n"
                     "assert(table.concat(inner, ',') == '1,3')\n"
                     "local rest = {} for row in It do rest[#rest + 1] = row.ID end\n"
                     "assert(table.concat(rest, ',') == '2,3,4', table.concat(rest, ','))\n"
                     "assert(It() == nil and T[2] == T.UNIT_B)"),
              "");
    EXPECT_EQ(LiveStatements(), before + 2);  // the table's ROWID and Type statements
    // The selection was read at the call: a loop left for good holds no statement open.
    EXPECT_EQ(Script("Left = T() Left()"), "");
    EXPECT_EQ(LiveStatements(), before + 2);
}

TEST_F(LuaSharedRows, EachIterationSeesTheTableAsItIsWhenItStarts) {
    CreateUnits();
    EXPECT_EQ(Script("T = DB.Units Before = T.UNIT_A for row in T() do end"), "");
    Run("update Units set Cost = 99 where ID = 1; insert into Units values (9, 'UNIT_NEW', 1, 'N');");
    EXPECT_EQ(Script("local ids = {} for row in T() do ids[#ids + 1] = row.ID end\n"
                     "assert(table.concat(ids, ',') == '0,1,2,3,4,9')\n"
                     "assert(T.UNIT_A == Before and Before.Cost == 5 and T[9].Type == 'UNIT_NEW')"),
              "");
}

// A row's values are read in runs of columns: a row wider than one run keeps every value in its
// place, its ID and Type are found in a later run, and a later column of an earlier name removes
// that name's value across the runs.
TEST_F(LuaSharedRows, RowsWiderThanOneReadingOfValuesKeepEveryColumn) {
    std::string create = "create table Broad (";
    std::string insert = "insert into Broad values (";
    for (int column = 1; column <= 38; ++column) {
        create += "C" + std::to_string(column) + " integer, ";
        insert += column % 5 == 0 ? "NULL, " : std::to_string(column * 10) + ", ";
    }
    Run((create + "ID integer primary key, Type text); " + insert + "7, 'WIDE');"
         + "create table Extra (ID integer primary key, C1 integer, C35 integer);"
         + "insert into Extra values (7, NULL, 99);")
            .c_str());
    // Its statement gives Broad's columns, then C1 and C35 once more.
    PushDatabaseTableAsGlobal("Joined", "Broad join Extra using (ID)");
    EXPECT_EQ(Script("local T = DB.Broad local row = T.WIDE\n"
                     "local fields = 0 for _ in pairs(row) do fields = fields + 1 end\n"
                     "assert(fields == 38 - 7 + 2 and row.ID == 7 and T[7] == row and T() () == row)\n"
                     "for column = 1, 38 do\n"
                     "  assert(rawget(row, 'C' .. column) == (column % 5 ~= 0 and column * 10 or nil), column)\n"
                     "end\n"
                     "local joined = Joined() ()\n"
                     "assert(rawget(joined, 'C1') == nil and joined.C35 == 99 and joined.C38 == 380)"),
              "");
    EXPECT_TRUE(printed.empty());
}

// Rows are cached under their ID and Type as SQLite converts them, while the row itself keeps the
// values as they are: a text ID, an integer Type, and a Type found by a key that only collates
// equal to it.
TEST_F(LuaSharedRows, KeysAreConvertedForTheCacheOnlyAndARowKeepsItsOwnType) {
    Run("create table Odd (ID text, Type integer, Label text); insert into Odd values ('7', 5, 'a');"
        "create table Folded (ID integer primary key, Type text collate nocase);"
        "insert into Folded values (1, 'UNIT_A');");
    EXPECT_EQ(Script("local T = DB.Odd local row = T() ()\n"
                     "assert(row.ID == '7' and row.Type == 5 and row.Label == 'a')\n"
                     "local cache = getmetatable(T).__rowdata\n"
                     "assert(cache[7] == row and cache['5'] == row and T['5'] == row)\n"
                     "local folded = DB.Folded.unit_a\n"
                     "assert(folded.Type == 'UNIT_A' and DB.Folded[1] == folded and DB.Folded.UNIT_A == folded)"),
              "");
}

// LuaJIT's debug library can write the upvalues of C closures, and read the kit the rows of a table
// object share; Lua 5.1's refuses, and the script below then changes nothing. Whatever is swapped
// in, each answer is the genuine one or an error.
TEST_F(LuaSharedRows, ATamperedRowKitGivesTheGenuineRowOrAnError) {
    CreateUnits();
    Run("create table Techs (ID integer primary key, Type text, Era text); insert into Techs values (1, 'TECH_A', 'E');");
    EXPECT_EQ(Script(R"lua(
local function fresh(name) rawset(DB, name, nil) return DB[name] end
local function genuine(expected, f) local ok, value = pcall(f) assert(not ok or value == expected, tostring(value)) end
local function kitOf(T) local _, kit = debug.getupvalue(getmetatable(T).__call, 3) return kit end
local techs = fresh('Techs') assert(techs[1].Era == 'E')
local foreign = kitOf(techs)
for _, value in ipairs{{}, {5, 6, 7}, 'x', techs, foreign} do
  local T = fresh('Units')
  debug.setupvalue(getmetatable(T).__call, 3, value)
  debug.setupvalue(getmetatable(T).__index, 4, value)
  genuine(5, function() return T.UNIT_A.Cost end)
  genuine('UNIT_B', function() for row in T() do if row.ID == 2 then return row.Type end end end)
end
if type(foreign) == 'table' then
  for slot = 1, 3 do
    local T = fresh('Units') assert(T[1].Cost == 5)
    local kit = kitOf(T)
    kit[slot] = foreign[slot]
    genuine(7, function() return T[2].Cost end)
    kit[slot] = 'bogus'
    genuine('D', function() return T.UNIT_D.Name end)
  end
end
assert(techs[1].Era == 'E')
)lua"),
              "");
}

}  // namespace
}  // namespace Database::Testing
