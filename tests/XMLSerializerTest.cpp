// The load driver: entry points, the transaction per file, dispatch, error texts and lines, file
// reading, package tag list, value rules.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <string>

#include "loader/XMLSerializerInternal.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "support/LoaderFixture.h"
#include "support/TemporaryDirectory.h"
#include "support/WideText.h"

namespace Database::Testing {
namespace {

const char* const kUnits = "<Table name=\"Units\"><Column name=\"Type\" type=\"text\" unique=\"true\"/>"
                           "<Column name=\"Cost\"/></Table>";

using LoaderDriver = LoaderFixture;

TEST_F(LoaderDriver, EmptyFilesAndEmptyRootsLoad) {
    EXPECT_STREQ(serializer.ErrorMessage(), "");
    EXPECT_TRUE(Load(""));
    EXPECT_TRUE(Load("<Empty/>"));
    EXPECT_TRUE(Load("<?xml version=\"1.0\"?>\n<!-- nothing -->\n<Root>  </Root>"));
    EXPECT_FALSE(InTransaction());
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(serializer.ErrorLine(), 0);
}

TEST_F(LoaderDriver, AnyRootNameWorks) {
    ASSERT_TRUE(Load(std::string("<Whatever>") + kUnits + "</Whatever>"));
    EXPECT_NE(Schema("Units"), "");
}

TEST_F(LoaderDriver, AMisspeltKeywordIsATableWhoseChildrenAreNoRowOperations) {
    EXPECT_FALSE(Load(File("<Tables name=\"X\"><Column name=\"a\"/></Tables>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("'Row' or 'Delete' expected, got 'Column'.").c_str());
    EXPECT_EQ(log, (std::vector<LogLine>{{Error("'Row' or 'Delete' expected, got 'Column'."), 2},
                                         {"In XMLSerializer while updating table Tables from file test.xml.", 0}}));
    EXPECT_EQ(serializer.ErrorLine(), 2);
}

TEST_F(LoaderDriver, WithTransactionsAFailureLeavesNoTraceOfTheFile) {
    const std::string file = File(std::string(kUnits) + "\n<Units><Row Type=\"A\" Cost=\"1\"/></Units>\n"
                                  "<Units><Row Type=\"A\" Cost=\"2\"/></Units>");
    EXPECT_FALSE(Load(file));
    EXPECT_EQ(Schema("Units"), "");
    EXPECT_FALSE(InTransaction());
    EXPECT_STREQ(serializer.ErrorMessage(), Error("UNIQUE constraint failed: Units.Type").c_str());
    EXPECT_EQ(serializer.ErrorLine(), 4);

    serializer.UseTransactions(false);
    EXPECT_FALSE(serializer.UseTransactions());
    EXPECT_FALSE(Load(file));
    EXPECT_EQ(Scalar("select group_concat(Type || Cost) from Units"), "A1");
}

TEST_F(LoaderDriver, AFailedCommitIsAFailedLoad) {
    TemporaryDirectory folder;
    const std::string path = folder.File("shared.db");
    Connection writer(path.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    writer.SetLogger(new RecordingLogger(log));
    ASSERT_TRUE(writer.SetBusyTimeout(0));
    Connection reader(path.c_str(), SQLITE_OPEN_READWRITE);
    ASSERT_TRUE(reader.Execute("create table Held (a)"));
    ASSERT_TRUE(reader.Execute("insert into Held values (1)"));
    // A reader in the middle of a statement holds a shared lock: the writer cannot commit.
    Results held;
    ASSERT_TRUE(reader.Execute(held, "select a from Held"));
    ASSERT_TRUE(held.Step());

    XMLSerializer fileLoader(writer);
    std::string xml = File(kUnits);
    std::vector<char> text(xml.begin(), xml.end());
    text.push_back('\0');
    EXPECT_FALSE(fileLoader.LoadFromMemory("test.xml", text.data(), static_cast<unsigned int>(text.size())));
    EXPECT_STREQ(fileLoader.ErrorMessage(), Error("database is locked").c_str());
    EXPECT_EQ(sqlite3_get_autocommit(writer.Handle()), 1);
    held.Release();
    EXPECT_FALSE(writer.Execute("select * from Units"));
}

TEST_F(LoaderDriver, ACacheOfAnotherConnectionIsRefusedBeforeAnythingRuns) {
    Connection other(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ResultsCache foreign(other);
    std::string xml = File(kUnits);
    std::vector<char> text(xml.begin(), xml.end());
    text.push_back('\0');
    EXPECT_FALSE(serializer.LoadFromMemory("test.xml", text.data(), static_cast<unsigned int>(text.size()), foreign));
    EXPECT_EQ(log, (std::vector<LogLine>{
                       {Error("ResultsCache uses different database connection than XMLSerializer."), 2}}));
    EXPECT_EQ(Schema("Units"), "");
}

TEST_F(LoaderDriver, TextOutsideTheRootCannotBeParsed) {
    EXPECT_FALSE(Load("<A/>\n\nstray text"));
    EXPECT_EQ(log, (std::vector<LogLine>{{Error("Cannot parse file."), 2}}));
    EXPECT_EQ(serializer.ErrorLine(), 3);
    EXPECT_FALSE(InTransaction());
}

TEST_F(LoaderDriver, ABufferWithoutItsZeroIsRefused) {
    char text[] = {'<', 'A', '/', '>'};
    EXPECT_FALSE(serializer.LoadFromMemory("test.xml", text, sizeof text));
    EXPECT_FALSE(serializer.LoadFromMemory("test.xml", nullptr, 0));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("Cannot parse file.").c_str());
}

TEST_F(LoaderDriver, ErrorLinesPointAtTheFailingElement) {
    EXPECT_FALSE(Load(File(std::string(kUnits) + "\n<Units>\n  <Row Type=\"A\"/>\n  <Row Type=\"A\"/>\n</Units>")));
    EXPECT_EQ(serializer.ErrorLine(), 5);
    EXPECT_FALSE(Load(File("<Table name=\"Broken\">\n\n<Row/>\n</Table>")));
    EXPECT_EQ(serializer.ErrorLine(), 4);
    EXPECT_TRUE(Load(File("")));
    EXPECT_EQ(serializer.ErrorLine(), 0);
}

TEST_F(LoaderDriver, LongFileNamesAreCutAtACharacterInTheirField) {
    std::string name(300, 'x');
    name.replace(250, 3, "\xe2\x82\xac");  // a three-byte character across the field's end
    ASSERT_FALSE(Load("junk", name.c_str()));
    const std::string message = serializer.ErrorMessage();
    EXPECT_EQ(message, "Database::XMLSerializer (" + std::string(250, 'x') + "\xe2\x82\xac" + std::string(2, 'x')
                           + "): Cannot parse file.");
}

TEST_F(LoaderDriver, ACallersCacheKeepsItsStatementsAcrossLoads) {
    ResultsCache cache(connection);
    ASSERT_TRUE(Load(File(kUnits)));
    std::string rows = File("<Units><Row Type=\"A\" Cost=\"1\"/></Units>");
    std::vector<char> text(rows.begin(), rows.end());
    text.push_back('\0');
    ASSERT_TRUE(serializer.LoadFromMemory("a.xml", text.data(), static_cast<unsigned int>(text.size()), cache));
    Results* statement = cache.Get("insert into Units('Type', 'Cost')");
    ASSERT_NE(statement, nullptr);
    rows = File("<Units><Row Type=\"B\" Cost=\"2\"/></Units>");
    text.assign(rows.begin(), rows.end());
    text.push_back('\0');
    ASSERT_TRUE(serializer.LoadFromMemory("b.xml", text.data(), static_cast<unsigned int>(text.size()), cache));
    EXPECT_EQ(cache.Get("insert into Units('Type', 'Cost')"), statement);
    EXPECT_EQ(Scalar("select group_concat(Type) from Units"), "A,B");
}

using LoaderFiles = LoaderFixture;

TEST_F(LoaderFiles, FilesAreReadWholeByTheirUtf8OrUtf16Path) {
    TemporaryDirectory folder;
    const std::string path = folder.Write("units.xml", File(kUnits));
    ASSERT_TRUE(serializer.Load(path.c_str()));
    EXPECT_NE(Schema("Units"), "");
    const std::string rows = folder.Write("rows.xml", File("<Units><Row Type=\"A\"/></Units>"));
    const WideString widePath(rows.begin(), rows.end());
    ASSERT_TRUE(serializer.Load(widePath.c_str()));
    EXPECT_EQ(Scalar("select Type from Units"), "A");
}

TEST_F(LoaderFiles, UnreadableFilesFailWithoutAnElement) {
    TemporaryDirectory folder;
    const std::string missing = folder.File("missing.xml");
    EXPECT_FALSE(serializer.Load(missing.c_str()));
    EXPECT_EQ(serializer.ErrorMessage(), "Database::XMLSerializer (" + missing + "): Cannot load file into memory.");
    EXPECT_EQ(serializer.ErrorLine(), 0);
    EXPECT_FALSE(serializer.Load(folder.Path().c_str()));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].severity, 2);
}

TEST_F(LoaderFiles, TheBufferIsReusedForSmallerFiles) {
    TemporaryDirectory folder;
    const std::string big = folder.Write("big.xml", File(std::string(kUnits) + "<!--" + std::string(10000, '-') + "-->"));
    const std::string small = folder.Write("small.xml", File("<Units><Row Type=\"S\"/></Units>"));
    ASSERT_TRUE(serializer.Load(big.c_str()));
    ASSERT_TRUE(serializer.Load(small.c_str()));
    EXPECT_EQ(Scalar("select Type from Units"), "S");
}

using LoaderPackageTags = LoaderFixture;

TEST_F(LoaderPackageTags, RemovingOneOfTwoEntriesKeepsTheTableTagged) {
    ASSERT_TRUE(Load(File("<Table name=\"Units\"><Column name=\"Type\" type=\"text\"/>"
                          "<Column name=\"PackageID\" type=\"text\"/></Table>")));
    serializer.SetPackageTag("MOD");
    serializer.AddTableToPackageTagList("Units");
    serializer.AddTableToPackageTagList("Units");
    serializer.AddTableToPackageTagList(nullptr);
    serializer.RemoveTableFromPackageTagList("Units");
    serializer.RemoveTableFromPackageTagList("units");
    ASSERT_TRUE(Load(File("<Units><Row><Type>A</Type></Row></Units>")));
    serializer.ClearPackageTagList();
    ASSERT_TRUE(Load(File("<Units><Row><Type>B</Type></Row></Units>")));
    EXPECT_EQ(Typed("select PackageID as v from Units order by Type"), "MOD:text NULL:null");
}

TEST(LoaderValues, ClassificationFollowsTheCharactersOfTheValue) {
    // Checked through the statements' storage classes in the row tests; here the rule itself.
    using Loader::DetermineValueType;
    using Loader::ValueType;
    const auto type = [](const char* text) { return DetermineValueType(text, static_cast<std::uint32_t>(std::strlen(text))); };
    EXPECT_EQ(type("12"), ValueType::Integer);
    EXPECT_EQ(type("007"), ValueType::Integer);
    EXPECT_EQ(type("1.5"), ValueType::Real);
    EXPECT_EQ(type(".5"), ValueType::Real);
    EXPECT_EQ(type("1."), ValueType::Text);
    EXPECT_EQ(type("1.2.3"), ValueType::Text);
    EXPECT_EQ(type("-3"), ValueType::Text);
    EXPECT_EQ(type("1e5"), ValueType::Text);
    EXPECT_EQ(type("abc"), ValueType::Text);
    EXPECT_EQ(type("NULL"), ValueType::Null);
    EXPECT_EQ(type("NULLIFY"), ValueType::Null);
    EXPECT_EQ(type("Null"), ValueType::Text);
    EXPECT_EQ(type(""), ValueType::Null);
    EXPECT_EQ(DetermineValueType(nullptr, 3), ValueType::Null);
    EXPECT_EQ(DetermineValueType("12345", 2), ValueType::Integer);
}

TEST(LoaderValues, OnlyTrueAndFalseInAnyCaseAreNormalised) {
    using Loader::NormalizeValue;
    using Loader::Span;
    const auto normal = [](const char* text) {
        return std::string(NormalizeValue(Span{text, static_cast<std::uint32_t>(std::strlen(text))}).View());
    };
    EXPECT_EQ(normal("True"), "1");
    EXPECT_EQ(normal("TRUE"), "1");
    EXPECT_EQ(normal("False"), "0");
    EXPECT_EQ(normal("truex"), "truex");
    EXPECT_EQ(normal("tru"), "tru");
    EXPECT_EQ(normal("Don't"), "Don't");
}

}  // namespace
}  // namespace Database::Testing
