// Row insertion: values and their storage classes, the four modes, cached statements, package
// tags, empty rows, duplicate columns, failures.
#include <gtest/gtest.h>

#include <string>

#include "ZrGameDatabase/ResultsCache.h"
#include "support/LoaderFixture.h"

namespace Database::Testing {
namespace {

class LoaderRows : public LoaderFixture {
protected:
    LoaderRows() {
        const bool created = Load(File("<Table name=\"Units\">"
                                       "<Column name=\"ID\" primarykey=\"true\" autoincrement=\"true\"/>"
                                       "<Column name=\"Type\" type=\"text\" unique=\"true\"/>"
                                       "<Column name=\"Value\" type=\"\"/>"
                                       "<Column name=\"Cost\" default=\"7\"/>"
                                       "<Column name=\"PackageID\" type=\"text\"/></Table>"));
        EXPECT_TRUE(created) << serializer.ErrorMessage();
    }
    std::string Column(const char* column) {
        return Typed(std::string("select ") + column + " as v from Units order by ID");
    }
};

TEST_F(LoaderRows, ValuesAreBoundByTheirKindAsWritten) {
    ASSERT_TRUE(Load(File("<Units>"
                          "<Row Type=\"a\" Value=\"12\"/><Row Type=\"b\" Value=\"1.5\"/>"
                          "<Row Type=\"c\" Value=\"-3\"/><Row Type=\"d\" Value=\"NULL\"/>"
                          "<Row Type=\"e\"><Value/></Row><Row Type=\"f\" Value=\"TRUE\"/>"
                          "<Row Type=\"g\"><Value>false</Value></Row><Row Type=\"h\" Value=\"Don't\"/>"
                          "<Row Type=\"i\"><Value>Don't</Value></Row><Row Type=\"j\" Value=\"3000000000\"/>"
                          "<Row Type=\"k\" Value=\"99999999999999999999\"/><Row Type=\"l\" Value=\"truex\"/>"
                          "</Units>")));
    EXPECT_EQ(Column("Value"), "12:integer 1.5:real -3:text NULL:null NULL:null 1:integer 0:integer "
                               "Don't:text Don't:text 3000000000:integer 1.0e+20:real truex:text");
}

TEST_F(LoaderRows, EachColumnOrderHasItsOwnStatement) {
    ResultsCache cache(connection);
    std::string xml = File("<Units><Row Type=\"a\" Cost=\"1\"/><Row Cost=\"2\" Type=\"b\"/>"
                           "<Row Type=\"c\"><Cost>3</Cost></Row></Units>");
    std::vector<char> text(xml.begin(), xml.end());
    text.push_back('\0');
    ASSERT_TRUE(serializer.LoadFromMemory("test.xml", text.data(), static_cast<unsigned int>(text.size()), cache));
    Results* first = cache.Get("insert into Units('Type', 'Cost')");
    Results* second = cache.Get("insert into Units('Cost', 'Type')");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(Column("Type || Cost"), "a1:text b2:text c3:text");
}

// A row that repeats the last row's columns reuses its statement; one of another table, mode or
// tag with the same column names must not.
TEST_F(LoaderRows, RowsWithTheSameColumnsGoWhereTheirTableModeAndTagSay) {
    Run("create table Eras (Type text unique, Cost integer, PackageID text);");
    serializer.AddTableToPackageTagList("Units");
    serializer.SetPackageTag("MOD");
    ASSERT_TRUE(Load(File("<Units><Row Type=\"a\" Cost=\"1\"/><Replace Type=\"a\" Cost=\"2\"/></Units>"
                          "<Eras><Row Type=\"a\" Cost=\"3\"/></Eras>"
                          "<Units><InsertOrIgnore Type=\"a\" Cost=\"4\"/><Row Type=\"b\"><Cost>5</Cost></Row>"
                          "<Row><Type>c</Type><Cost>6</Cost></Row><Row Type=\"d\" Cost=\"7\"/></Units>")))
        << serializer.ErrorMessage();
    EXPECT_EQ(Column("Type || Cost || ifnull(PackageID, '-')"), "a2-:text b5MOD:text c6MOD:text d7-:text");
    EXPECT_EQ(Typed("select Type || Cost as v from Eras"), "a3:text");
}

TEST_F(LoaderRows, ChildElementRowsOfTaggedTablesCarryThePackageTag) {
    serializer.AddTableToPackageTagList("Units");
    serializer.SetPackageTag("MyMod");
    ASSERT_TRUE(Load(File("<Units><Row Type=\"attributes\"/><Row><Type>children</Type></Row>"
                          "<Row Type=\"mixed\"><Cost>2</Cost></Row></Units>")));
    serializer.SetPackageTag("");
    ASSERT_TRUE(Load(File("<Units><Row><Type>untagged</Type></Row></Units>")));
    serializer.SetPackageTag(nullptr);
    ASSERT_TRUE(Load(File("<Units><Row><Type>null tag</Type></Row></Units>")));
    EXPECT_EQ(Column("PackageID"), "NULL:null MyMod:text MyMod:text NULL:null NULL:null");
}

TEST_F(LoaderRows, EmptyRowsInsertDefaultsInTheirOwnMode) {
    ResultsCache cache(connection);
    std::string xml = File("<Units><Row/><Row/></Units>");
    std::vector<char> text(xml.begin(), xml.end());
    text.push_back('\0');
    ASSERT_TRUE(serializer.LoadFromMemory("test.xml", text.data(), static_cast<unsigned int>(text.size()), cache));
    EXPECT_NE(cache.Get("insert into Units default values;"), nullptr);
    EXPECT_EQ(Column("Cost"), "7:integer 7:integer");

    // An empty row of another mode runs in that mode, though a plain one of the table came first:
    // the ignored and the aborted rows leave the first alone, the replacing one takes its place.
    Run("create table Single (a default 1 unique);");
    ASSERT_TRUE(Load(File("<Single><Row/><InsertOrIgnore/><InsertOrAbort/><Replace/></Single>")));
    EXPECT_EQ(Scalar("select count(*) || ':' || group_concat(rowid) from Single"), "1:2");
}

TEST_F(LoaderRows, ConflictsAreSettledByTheMode) {
    ASSERT_TRUE(Load(File("<Units><Row Type=\"A\" Cost=\"1\"/></Units>")));
    EXPECT_TRUE(Load(File("<Units><InsertOrIgnore Type=\"A\" Cost=\"2\"/></Units>")));
    EXPECT_EQ(Column("Cost"), "1:integer");
    EXPECT_TRUE(Load(File("<Units><InsertOrAbort Type=\"A\" Cost=\"3\"/><Row Type=\"B\" Cost=\"4\"/></Units>")));
    EXPECT_EQ(Column("Type || Cost"), "A1:text B4:text");
    EXPECT_TRUE(Load(File("<Units><Replace Type=\"A\" Cost=\"5\"/></Units>")));
    EXPECT_EQ(Scalar("select Cost from Units where Type = 'A'"), "5");
    EXPECT_TRUE(log.empty());

    EXPECT_FALSE(Load(File("<Units><Row Type=\"B\" Cost=\"6\"/></Units>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("UNIQUE constraint failed: Units.Type").c_str());
    EXPECT_EQ(log, (std::vector<LogLine>{
                       {"UNIQUE constraint failed: Units.Type", 2},
                       {"While executing - 'insert into Units('Type', 'Cost') values (?, ?);'", 0},
                       {"In XMLSerializer while inserting row into table insert into Units('Type', 'Cost') "
                        "with  values (B, 6).", 0},
                       {"In XMLSerializer while updating table Units from file test.xml.", 0}}));
}

TEST_F(LoaderRows, AColumnNamedTwiceStopsTheLoad) {
    EXPECT_FALSE(Load(File("<Units><Row Type=\"A\"><Type>B</Type></Row></Units>")));
    EXPECT_EQ(log.front(), (LogLine{Error("Duplicate column names detected in <Row>. Name: Type, Value: B"), 2}));
    EXPECT_FALSE(Load(File("<Units><Row Type=\"A\" Cost=\"1\" Type=\"Don't\"/></Units>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("Duplicate column names detected in <Row>. Name: Type, Value: Don't").c_str());
    EXPECT_EQ(Column("Type"), "");
}

TEST_F(LoaderRows, AMissingColumnFailsWithTheDatabasesText) {
    EXPECT_FALSE(Load(File("<Units><Row Type=\"A\" Missing=\"1\"/></Units>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("table Units has no column named Missing").c_str());
    EXPECT_FALSE(Load(File("<Nowhere><Row a=\"1\"/></Nowhere>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("no such table: Nowhere").c_str());
}

}  // namespace
}  // namespace Database::Testing
