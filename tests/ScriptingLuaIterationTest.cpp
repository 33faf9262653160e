// Calling a table object: the statement each filter form produces and binds, the rows it gives,
// how iteration shares the row cache with indexing, and the errors of bad filters.
#include <gtest/gtest.h>
#include <lua.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/LuaFixture.h"

namespace Database::Testing {
namespace {

constexpr char kQueryError[] = "Failed to iterate table due to query error.  Check Database.log for more details.";

// Records every iteration statement as it starts running, with its bound values filled in.
class LuaTableCall : public LuaFixture {
protected:
    LuaTableCall() {
        CreateUnits();
        sqlite3_trace_v2(connection.Handle(), SQLITE_TRACE_STMT, RecordStatement, &statements);
    }

    // The IDs of the rows the iteration `expression` gives, in order: "0,1,2" (or the error).
    std::string IdsOf(const std::string& call) {
        return Eval("(function() local ids = {} for row in " + call
                    + " do ids[#ids + 1] = tostring(row.ID) end return table.concat(ids, ',') end)()");
    }

    std::vector<std::string> statements;

private:
    static int RecordStatement(unsigned, void* context, void* statement, void*) {
        char* sql = sqlite3_expanded_sql(static_cast<sqlite3_stmt*>(statement));
        if (sql != nullptr && std::strncmp(sql, "select * from", 13) == 0)
            static_cast<std::vector<std::string>*>(context)->push_back(sql);
        sqlite3_free(sql);
        return 0;
    }
};

TEST_F(LuaTableCall, WithoutFilterGivesEveryRowThenNilForever) {
    const int before = LiveStatements();
    EXPECT_EQ(Script("local it = DB.Units()\n"
                     "local ids = {} for row in it do ids[#ids + 1] = row.ID end\n"
                     "assert(table.concat(ids, ',') == '0,1,2,3,4')\n"
                     "assert(it() == nil and it() == nil)"),
              "");
    EXPECT_EQ(statements, std::vector<std::string>{"select * from Units"});
    // The iteration statement is finalized before the iterator is returned, not at collection.
    EXPECT_EQ(LiveStatements(), before);
}

TEST_F(LuaTableCall, AStringIsTheConditionVerbatim) {
    EXPECT_EQ(IdsOf("DB.Units('Cost = 5 order by ID desc')"), "3,1");
    EXPECT_EQ(statements, std::vector<std::string>{"select * from Units where Cost = 5 order by ID desc"});
}

TEST_F(LuaTableCall, ATableBindsEachStringKeyedPairInTraversalOrder) {
    EXPECT_EQ(IdsOf("DB.Units{Cost = 5}"), "1,3");
    EXPECT_EQ(IdsOf("DB.Units{Cost = 5, Name = 'A'}"), "1");
    // Numeric keys and values of other types take no part, in the condition or the bindings.
    EXPECT_EQ(IdsOf("DB.Units{7, Cost = 5, Sub = {}, Fn = print}"), "1,3");
    EXPECT_EQ(IdsOf("DB.Units{Type = 'UNIT_B\\0ignored'}"), "2");
    ASSERT_EQ(statements.size(), 4u);
    EXPECT_EQ(statements[0], "select * from Units where Cost = 5");
    EXPECT_TRUE(statements[1] == "select * from Units where Cost = 5 and Name = 'A'"
                || statements[1] == "select * from Units where Name = 'A' and Cost = 5")
        << statements[1];
    EXPECT_EQ(statements[2], "select * from Units where Cost = 5");
    EXPECT_EQ(statements[3], "select * from Units where Type = 'UNIT_B'");
}

TEST_F(LuaTableCall, BooleansBindAsOneAndZero) {
    Run("create table Flags (ID integer primary key, Type text, Enabled boolean);"
        "insert into Flags values (1, 'ON', 1), (2, 'OFF', 0);");
    EXPECT_EQ(IdsOf("DB.Flags{Enabled = true}"), "1");
    EXPECT_EQ(IdsOf("DB.Flags{Enabled = false}"), "2");
    EXPECT_EQ(statements.back(), "select * from Flags where Enabled = 0");
}

TEST_F(LuaTableCall, FractionalNumbersBindAsDoublesAndIntegralOnesAsIntegers) {
    Run("create table Amounts (ID integer primary key, Amount numeric);"
        "insert into Amounts values (1, 2), (2, 2.5), (3, 3000000000);");
    EXPECT_EQ(IdsOf("DB.Amounts{Amount = 2.5}"), "2");
    EXPECT_EQ(IdsOf("DB.Amounts{Amount = 2}"), "1");
    EXPECT_EQ(IdsOf("DB.Amounts{Amount = 3000000000}"), "3");
    EXPECT_EQ(statements[0], "select * from Amounts where Amount = 2.5");
    EXPECT_EQ(statements[1], "select * from Amounts where Amount = 2");
}

TEST_F(LuaTableCall, FiltersOfOtherTypesRaiseTheFilterErrorWithPosition) {
    for (const char* filter : {"nil", "5", "true", "print"})
        ExpectPositioned(Script(std::string("DB.Units(") + filter + ")"), 1,
                         "Filter must be of type 'string' or 'table'");
}

TEST_F(LuaTableCall, AnEmptyConditionFailsToPrepareAndRaisesTheQueryErrorWithPosition) {
    for (const char* filter : {"{}", "''", "{Sub = {}}", "{[1] = 5}"}) {
        log.clear();
        ExpectPositioned(Script(std::string("DB.Units(") + filter + ")"), 1, kQueryError);
        EXPECT_NE(std::find(log.begin(), log.end(), LogLine{"In Query - select * from Units where ", 0}), log.end())
            << filter;
    }
    ExpectPositioned(Script("DB.Units('no such column = 1')"), 1, kQueryError);
}

// The position is the line of the loop, also for a step that fails after some rows were read.
TEST_F(LuaTableCall, AStepFailingPartWayRaisesAtTheLineOfTheLoop) {
    Run("create table Texts (ID integer primary key, Type text, Json text);"
        "insert into Texts values (1, 'A', '1'), (2, 'B', 'not json');");
    ExpectPositioned(Script("local n = 0\n\nfor row in DB.Texts('json(Json) is not null') do n = n + 1 end"), 3,
                     kQueryError);
}

TEST_F(LuaTableCall, FiltersTooLongForTheStatementBufferRaiseWithPosition) {
    const std::string longText = "DB.Units('" + std::string(500, ' ') + "ID = 1')";
    ExpectPositioned(Script(longText), 1,
                     "Table name or filter too long: the iteration statement does not fit in 512 bytes.");
    // As many pairs as fit take no more Lua stack than one: 30 of them select the row.
    std::string create = "create table Wide (ID integer primary key";
    std::string insert = "insert into Wide values (1";
    std::string filter = "{";
    for (int column = 1; column <= 30; ++column) {
        create += ", c" + std::to_string(column) + " integer";
        insert += ", " + std::to_string(column);
        filter += "c" + std::to_string(column) + " = " + std::to_string(column) + ", ";
    }
    Run((create + "); " + insert + ");").c_str());
    EXPECT_EQ(IdsOf("DB.Wide" + filter + "}"), "1");
    std::string tooMany = "{";
    for (int pair = 1; pair <= 60; ++pair)
        tooMany += "longer_name_" + std::to_string(pair) + " = 1, ";
    ExpectPositioned(Script("local it = DB.Wide" + tooMany + "}"), 1,
                     "Table name or filter too long: the iteration statement does not fit in 512 bytes.");
}

TEST_F(LuaTableCall, RowsAreSharedWithIndexingThroughTheRowCache) {
    EXPECT_EQ(Script("local T = DB.Units\n"
                     "local b = T.UNIT_B\n"
                     "local seen = {} for row in T() do seen[row.ID] = row end\n"
                     "assert(seen[2] == b and seen[1] == T[1] and seen[3] == T.UNIT_C)\n"
                     "local again = {} for row in T{Cost = 5} do again[#again + 1] = row end\n"
                     "assert(again[1] == seen[1] and again[2] == seen[3])"),
              "");
}

TEST_F(LuaTableCall, RowsWithoutIdOrTypeAreNeverCachedOrConfused) {
    Run("create table Loose (ID integer, Type text, Label text);"
        "insert into Loose values (NULL, NULL, 'x'), (NULL, NULL, 'y'), (NULL, 'T', 'z'), (7, NULL, 'w');"
        "create table Tags (Label text); insert into Tags values ('a');");
    EXPECT_EQ(Script("local labels = {} for row in DB.Loose() do labels[#labels + 1] = row.Label end\n"
                     "assert(table.concat(labels, ',') == 'x,y,z,w', table.concat(labels, ','))\n"
                     "local cached = 0 for key in pairs(getmetatable(DB.Loose).__rowdata) do cached = cached + 1 end\n"
                     "assert(cached == 2 and DB.Loose.T.Label == 'z' and DB.Loose[7].Label == 'w')\n"
                     "local a, b = DB.Tags()(), DB.Tags()()\n"
                     "assert(a ~= b and a.Label == 'a' and b.Label == 'a')"),
              "");
}

TEST_F(LuaTableCall, TheSelectionIsReadBeforeTheLoopStarts) {
    EXPECT_EQ(Script("It = DB.Units()"), "");
    Run("insert into Units (Type) values ('UNIT_LATE'); delete from Units where ID = 0;");
    EXPECT_EQ(Eval("(function() local n = 0 for row in It do n = n + 1 end return n end)()"), "5");
    EXPECT_EQ(IdsOf("DB.Units()"), "1,2,3,4,5");
}

}  // namespace
}  // namespace Database::Testing
