// Faults the fuzz targets found, each kept as the script that shows it. Their inputs are in the
// seed corpora under fuzz/corpus/, named finding-*.
#include <gtest/gtest.h>
#include <lua.hpp>

#include <string>

#include "support/LoaderFixture.h"
#include "support/LuaFixture.h"
#include "support/LuaStackGuard.h"

namespace Database::Testing {
namespace {

constexpr char kQueryError[] = "Failed to iterate table due to query error.  Check Database.log for more details.";

using LuaFuzzFindings = LuaFixture;

// The call of a table object read rows until a step gave none, and a step that failed gave none
// as well: the loop ran over the rows before the failure as if they were the whole selection.
TEST_F(LuaFuzzFindings, AConditionFailingOnALaterRowRaisesRatherThanEndingTheLoopEarly) {
    Run("create table Texts (ID integer primary key, Type text, Json text);"
        "insert into Texts values (1, 'A', '1'), (2, 'B', '[2]'), (3, 'C', 'not json');");
    ExpectPositioned(Script("local n = 0\n"
                            "for row in DB.Texts('json(Json) is not null') do n = n + 1 end\n"
                            "error('the loop ran over ' .. n .. ' rows')"),
                     2, kQueryError);
    // The same table object still iterates, and the rows it read before are cached as usual.
    EXPECT_EQ(Eval("(function() local n = 0 for row in DB.Texts('ID < 3 and json(Json) is not null') do"
                   " n = n + 1 end return n end)()"),
              "2");
    EXPECT_EQ(Eval("DB.Texts[1] == DB.Texts.A"), "true");
    lua_gc(state, LUA_GCCOLLECT, 0);
    EXPECT_EQ(Scalar("select count(*) from Texts"), "3");
}

// The __index functions of the database object and of a row object read and write argument 1
// raw; called from their metatables on something that is no table, they crashed the process.
TEST_F(LuaFuzzFindings, MetatableFunctionsCalledOnOtherValuesRaiseArgumentErrors) {
    CreateUnits();
    {
        LuaStackGuard guard(state);
        for (const char* self : {"5", "nil", "'Units'", "DB.Units", "print"}) {
            const std::string database = Script(std::string("getmetatable(DB).__index(") + self + ", 'Units')");
            EXPECT_NE(database.find("bad argument #1"), std::string::npos) << self << ": " << database;
            EXPECT_NE(database.find("Database must be of type 'table'."), std::string::npos) << database;

            const std::string row = Script(std::string("getmetatable(DB.Units[1]).__index(") + self + ", 'Cost')");
            EXPECT_NE(row.find("bad argument #1"), std::string::npos) << self << ": " << row;
            EXPECT_NE(row.find("Row must be of type 'table'."), std::string::npos) << row;
        }
    }
    // On the tables they belong to they work as before: a table is found and stored raw, a
    // missing column reads nil with its warning.
    EXPECT_EQ(Script("local found = getmetatable(DB).__index(DB, 'Units')\n"
                     "assert(type(found) == 'userdata' and rawget(DB, 'Units') == found)\n"
                     "local row = DB.Units[1]\n"
                     "assert(getmetatable(row).__index(row, 'Costs') == nil)"),
              "");
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_NE(printed[0].find("Cannot find key - Costs"), std::string::npos) << printed[0];
}

// The error line was counted in the parsed text, where each reference had become its character
// and the bytes left over behind it still stood: line breaks written as &#10; counted twice, and
// the line could lie past the end of the file.
using LoaderFuzzFindings = LoaderFixture;

TEST_F(LoaderFuzzFindings, ErrorLinesCountTheFileAsWrittenNotAsParsed) {
    EXPECT_FALSE(Load("<GameData>\n"
                      "  <Table name=\"Notes\"><Column name=\"Type\" type=\"text\" unique=\"true\"/>"
                      "<Column name=\"Text\" type=\"text\"/></Table>\n"
                      "  <Notes>\n"
                      "    <Row Type=\"A\" Text=\"one&#10;two&#10;three&#10;four\"/>\n"
                      "    <Row Type=\"A\"/>\n"
                      "  </Notes>\n"
                      "</GameData>\n"));
    EXPECT_EQ(serializer.ErrorLine(), 5) << serializer.ErrorMessage();

    EXPECT_FALSE(Load("<GameData>\n"
                      "  <Units Text=\"&amp;&amp;&amp;&#10;&#10;&#10;&#10;\"/>\n"
                      "</GameData>\n"
                      "&#10;stray text\n"));
    EXPECT_EQ(serializer.ErrorMessage(), Error("Cannot parse file."));
    EXPECT_EQ(serializer.ErrorLine(), 4);

    // A later load counts its own lines, not those of the file before.
    EXPECT_FALSE(Load("<GameData><Units><Row Type=\"&#10;&#10;\"/></Units></GameData>"));
    EXPECT_EQ(serializer.ErrorLine(), 1);
}

}  // namespace
}  // namespace Database::Testing
