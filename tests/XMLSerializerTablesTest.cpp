// Table definitions, added columns and indexes: the exact statements built, as SQLite keeps
// them, and every refusal with its text.
#include <gtest/gtest.h>

#include <string>

#include "support/LoaderFixture.h"

namespace Database::Testing {
namespace {

using LoaderTables = LoaderFixture;

TEST_F(LoaderTables, TheStatementIsBuiltBlankForBlank) {
    ASSERT_TRUE(Load(File("<Table name=\"Classes\"><Column name=\"Type\" type=\"text\" primarykey=\"true\"/></Table>"
                          "<Table name=\"Units\">"
                          "<Column name=\"ID\" primarykey=\"true\" autoincrement=\"true\"/>"
                          "<Column name=\"Type\" type=\"text\" notnull=\"true\" unique=\"true\"/>"
                          "<Column name=\"Class\" type=\"text\" reference=\"Classes(Type)\"/>"
                          "</Table>")));
    EXPECT_EQ(Schema("Units"), "CREATE TABLE Units ('ID' integer primary key autoincrement , "
                               "'Type' text  not null unique , 'Class' text , "
                               "foreign key (Class) references Classes(Type))");
}

TEST_F(LoaderTables, FlagsTypesAndReferences) {
    ASSERT_TRUE(Load(File("<Table name=\"T\">"
                          "<Column name=\"a\" autoincrement=\"true\" unique=\"yes\" notnull=\"1\"/>"
                          "<Column name=\"b\" type=\"text\" unique=\"TRUE\" reference=\"X(a)\"/>"
                          "<Column name=\"c\" reference=\"Y(b)\"/>"
                          "</Table>")));
    EXPECT_EQ(Schema("T"), "CREATE TABLE T ('a' integer  not null , 'b' text unique , 'c' integer , "
                           "foreign key (b) references X(a), foreign key (c) references Y(b))");
}

TEST_F(LoaderTables, DefaultsAreWrittenByTheirKind) {
    ASSERT_TRUE(Load(File("<Table name=\"D\">"
                          "<Column name=\"i\" default=\"5\"/><Column name=\"r\" type=\"real\" default=\"2.5\"/>"
                          "<Column name=\"t\" type=\"text\" default=\"abc\"/><Column name=\"n\" default=\"NULL\"/>"
                          "<Column name=\"m\" default=\"-1\"/><Column name=\"q\" type=\"text\" default=\"Don't\"/>"
                          "<Column name=\"e\" default=\"\"/>"
                          "<Column name=\"b1\" type=\"boolean\" default=\"true\"/>"
                          "<Column name=\"b2\" type=\"boolean\" default=\"false\"/>"
                          "<Column name=\"b3\" type=\"boolean\" default=\"1\"/>"
                          "<Column name=\"b4\" type=\"boolean\" default=\"NULL\"/>"
                          "</Table>")));
    EXPECT_EQ(Schema("D"), "CREATE TABLE D ('i' integer default 5 , 'r' real default 2.5 , "
                           "'t' text default 'abc' , 'n' integer default NULL , 'm' integer default '-1' , "
                           "'q' text default 'Don''t' , 'e' integer , "
                           "'b1' boolean default 1 , 'b2' boolean default 0 , 'b3' boolean default 1 , "
                           "'b4' boolean default 0 )");
    ASSERT_TRUE(Load(File("<D><Row/></D>")));
    EXPECT_EQ(Scalar("select q || '|' || b3 || '|' || m || '|' || typeof(n) from D"), "Don't|1|-1|null");
}

TEST_F(LoaderTables, RefusalsAndTheirTexts) {
    EXPECT_FALSE(Load(File("<Table name=\"T\"/>")));
    EXPECT_EQ(log, (std::vector<LogLine>{{Error("Table contains no 'Column' elements."), 2}}));
    log.clear();

    EXPECT_FALSE(Load(File("<Table name=\"T\"><Column name=\"a\"/><Row name=\"b\"/></Table>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("'Column' expected, got 'Row'.").c_str());
    EXPECT_TRUE(log.empty());

    EXPECT_FALSE(Load(File("<Table><Column name=\"a\"/></Table>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("'name' is a required attribute of 'Table'.").c_str());
    EXPECT_FALSE(Load(File("<Table name=\"T\"><Column type=\"text\"/></Table>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("'Column' element inside of 'Table' requires 'name' attribute.").c_str());
    EXPECT_FALSE(Load(File("<Table name=\"T\xc3\xa9\"><Column name=\"a\"/></Table>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("'name' is a required attribute of 'Table'.").c_str());
    EXPECT_EQ(Schema("T"), "");
}

TEST_F(LoaderTables, ATableThatExistsStopsTheLoad) {
    ASSERT_TRUE(Load(File("<Table name=\"T\"><Column name=\"a\"/></Table>")));
    EXPECT_FALSE(Load(File("<Table name=\"T\"><Column name=\"a\"/></Table>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("table T already exists").c_str());
    EXPECT_EQ(log, (std::vector<LogLine>{{"table T already exists", 2},
                                         {"In XMLSerializer while building table T from file test.xml.", 0}}));
}

using LoaderAlterTable = LoaderFixture;

TEST_F(LoaderAlterTable, AddsColumnsWithDefaultsAndReferences) {
    ASSERT_TRUE(Load(File("<Table name=\"Eras\"><Column name=\"Type\" type=\"text\" primarykey=\"true\"/></Table>"
                          "<Table name=\"Units\"><Column name=\"Type\" type=\"text\"/></Table>"
                          "<Units><Row Type=\"A\"/></Units>"
                          "<AlterTable name=\"Units\">"
                          "<AddColumn name=\"Cost\" default=\"10\"/>"
                          "<AddColumn name=\"Era\" type=\"text\" reference=\"Eras(Type)\"/>"
                          "</AlterTable>")));
    EXPECT_EQ(Scalar("select Cost from Units"), "10");
    EXPECT_EQ(Scalar("select \"table\" || '.' || \"to\" || '<-' || \"from\" from pragma_foreign_key_list('Units')"),
              "Eras.Type<-Era");
}

TEST_F(LoaderAlterTable, OnlyAddColumnIsKnown) {
    ASSERT_TRUE(Load(File("<Table name=\"T\"><Column name=\"a\"/></Table>")));
    EXPECT_FALSE(Load(File("<AlterTable name=\"T\"><DropColumn name=\"a\"/></AlterTable>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("'In AlterTable, got unknown command 'DropColumn'.").c_str());
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(Load(File("<AlterTable name=\"T\"/>")));
    EXPECT_EQ(log, (std::vector<LogLine>{{Error("Table contains no 'Add/Drop/ModifyColumn' elements."), 2}}));
    log.clear();
    EXPECT_FALSE(Load(File("<AlterTable name=\"T\"><AddColumn name=\"a\"/></AlterTable>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("duplicate column name: a").c_str());
    EXPECT_EQ(log.back(), (LogLine{"In XMLSerializer while building table T from file test.xml.", 0}));
}

using LoaderIndexes = LoaderFixture;

TEST_F(LoaderIndexes, TheStatementAndItsRepetition) {
    const std::string index = "<Index name=\"IX_UnitsClass\" table=\"Units\"><Column name=\"Class\"/>"
                              "<Skipped/><Column name=\"Cost\" sort=\"DESC\"/></Index>";
    ASSERT_TRUE(Load(File("<Table name=\"Units\"><Column name=\"Class\"/><Column name=\"Cost\"/></Table>" + index)));
    EXPECT_EQ(Schema("IX_UnitsClass"), "CREATE INDEX 'IX_UnitsClass' on Units (Class, Cost DESC)");
    EXPECT_TRUE(Load(File(index)));
}

TEST_F(LoaderIndexes, RefusalsAreStoredNotLogged) {
    const auto refused = [&](const std::string& element, const std::string& message) {
        EXPECT_FALSE(Load(File(element))) << element;
        EXPECT_STREQ(serializer.ErrorMessage(), Error(message).c_str()) << element;
    };
    refused("<Index table=\"T\"><Column name=\"a\"/></Index>", "'name' is a required attribute of 'Index'.");
    refused("<Index name=\"I\"><Column name=\"a\"/></Index>", "'table' is a required attribute of 'Index'.");
    refused("<Index name=\"I\" table=\"T\"><Other/></Index>", "'Index' requires at least 1 child 'Column' element.");
    refused("<Index name=\"I\" table=\"T\"><Column sort=\"ASC\"/></Index>",
            "'Column' element inside of 'Index' requires 'name' attribute.");
    EXPECT_TRUE(log.empty());
    refused("<Index name=\"I\" table=\"Missing\"><Column name=\"a\"/></Index>", "no such table: main.Missing");
}

}  // namespace
}  // namespace Database::Testing
