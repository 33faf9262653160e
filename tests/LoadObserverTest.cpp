// What a load tells its observer: each problem once, at its line, with its code; the rows it
// writes; and the end of each file. A data file goes in, the exact reports come out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZrGameDatabase/LoadObserver.h"
#include "support/LoaderFixture.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

// "LINE code" of a warning, "LINE error code: message" of an error.
struct RecordingObserver : ILoadObserver {
    std::vector<std::string> reports;
    std::vector<std::string> messages;
    std::vector<std::string> rows;
    std::vector<std::string> files;

    void OnDiagnostic(const Diagnostic& diagnostic) noexcept override {
        const bool error = diagnostic.severity == Severity::Error;
        reports.push_back(std::to_string(diagnostic.line) + (error ? " error " : " ") + diagnostic.code);
        messages.push_back(diagnostic.message);
    }
    void OnRowChange(const RowChange& change) noexcept override {
        static const char* const kKinds[] = {"insert", "replace", "update", "delete", "ignored"};
        std::string row = std::to_string(change.line) + " " + kKinds[static_cast<int>(change.kind)] + " "
                          + change.table + " #" + std::to_string(change.rowid) + " "
                          + (change.key != nullptr ? change.key : "-");
        for (int column = 0; column < change.columnCount; ++column)
            row += std::string(" ") + change.columns[column] + "=" + (change.values[column] ? change.values[column] : "NULL");
        rows.push_back(row);
    }
    void OnFileDone(const char* file, bool committed) noexcept override {
        files.push_back(std::string(file) + (committed ? " committed" : " rolled back"));
    }
};

class LoadObserver : public LoaderFixture {
protected:
    LoadObserver() {
        serializer.SetObserver(&observer);
        Run("create table Units (Type text unique, Name text, Cost integer, Armed boolean, Era text);");
    }
    using Reports = std::vector<std::string>;

    RecordingObserver observer;
};

TEST_F(LoadObserver, ValuesTheValueRulesChangeInTextAndBooleanColumns) {
    ASSERT_TRUE(Load(File("<Units>\n"
                          "<Row Type=\"A\" Name=\"007\" Cost=\"007\"/>\n"
                          "<Row Type=\"B\" Name=\"1.10\" Armed=\"yes\"/>\n"
                          "<Row Type=\"C\" Name=\"True\" Armed=\"true\"/>\n"
                          "<Row Type=\"D\"><Name>NULL_ORE</Name><Era>NULL</Era><Armed>0</Armed></Row>\n"
                          "<Row Type=\"E\" Name=\"7\" Era=\"1.5\"/>\n"
                          "</Units>")));
    EXPECT_EQ(observer.reports, (Reports{"3 value-retyped", "4 value-retyped", "4 not-boolean", "5 value-retyped",
                                         "6 value-retyped"}));
    EXPECT_EQ(observer.messages[0], "'007' in the text column Units.Name is stored as '7'");
    EXPECT_EQ(observer.messages[1], "'1.10' in the text column Units.Name is stored as '1.1'");
    EXPECT_EQ(observer.messages[2], "'yes' in the boolean column Units.Armed is not 0, 1, true or false; it is stored as written");
    EXPECT_EQ(observer.messages[3], "'True' in the text column Units.Name is stored as '1'");
    EXPECT_EQ(observer.messages[4], "'NULL_ORE' in the text column Units.Name is stored as NULL");
    EXPECT_EQ(serializer.WarningCount(), 5);
    EXPECT_EQ(serializer.ErrorCount(), 0);
}

TEST_F(LoadObserver, TextThatIsNotUtf8) {
    ASSERT_TRUE(Load(File("<Units>\n<Row Type=\"caf\xE9\"/>\n<Row Type=\"caf\xC3\xA9\" Name=\"\xF0\x9F\x8E\xB2\"/>\n</Units>")));
    EXPECT_EQ(observer.reports, (Reports{"3 invalid-utf8"}));
    EXPECT_EQ(observer.messages[0], "the value of Units.Type is not UTF-8 (byte 0xE9 at 3); it is stored as it is");
}

TEST_F(LoadObserver, UpdatesThatDoOtherThanTheyLookLike) {
    Run("insert into Units (Type, Cost) values ('X', 1), ('Y', 2);");
    ASSERT_TRUE(Load(File("<Units>\n"
                          "<Update Type=\"X\"><Set Cost=\"5\"/></Update>\n"
                          "<Update><Set Cost=\"6\"/><where Type=\"X\"/></Update>\n"
                          "<Update><Set Cost=\"7\"/><Where Type=\"Z\"/></Update>\n"
                          "<Delete Type=\"Z\"/>\n"
                          "</Units>")));
    EXPECT_EQ(observer.reports, (Reports{"3 update-attribute-ignored", "3 update-without-where", "4 update-child-ignored",
                                         "4 update-without-where", "5 matched-no-row", "6 matched-no-row"}));
    EXPECT_EQ(observer.messages[1], "<Update> without <Where> changed every row of Units (2 rows)");
    EXPECT_EQ(observer.messages[2], "<where> inside <Update> in Units is ignored: only <Set> and <Where> are read");
    EXPECT_EQ(observer.messages[5], "Delete in table Units matched no row");
}

TEST_F(LoadObserver, AFailedElementIsOneErrorAtItsLineInTheDatabasesWords) {
    ASSERT_FALSE(Load(File("<Units>\n<Row Type=\"A\"/>\n<Update><Set Cost=\"1\"/><Where Typ=\"A\"/></Update>\n</Units>")));
    EXPECT_EQ(observer.reports, (Reports{"4 error element-failed"}));
    EXPECT_EQ(observer.messages[0], "no such column: Typ");
    EXPECT_EQ(observer.files, (Reports{"test.xml rolled back"}));
    EXPECT_EQ(serializer.ErrorCount(), 1);

    ASSERT_FALSE(Load(File("<Units>\n<Row Type=\"A\" Missing=\"1\"/>\n</Units>")));
    EXPECT_EQ(observer.reports.back(), "3 error element-failed");
    EXPECT_EQ(observer.messages.back(), "table Units has no column named Missing");
}

TEST_F(LoadObserver, FilesThatAreNoDataFiles) {
    TemporaryDirectory folder;
    EXPECT_FALSE(serializer.Load((folder.Path() + "/missing.xml").c_str()));
    EXPECT_FALSE(serializer.Load(folder.Path().c_str()));
    EXPECT_EQ(observer.reports, (Reports{"0 error file-unreadable", "0 error file-unreadable"}));
    EXPECT_EQ(observer.messages[0], "cannot read the file: no such file");
    EXPECT_EQ(observer.messages[1], "cannot read the file: not a regular file (a folder, a device or a pipe)");

    observer.reports.clear();
    observer.messages.clear();
    const std::string utf16("\xFF\xFE<\0G\0/\0>\0", 10);
    const std::string utf16WithoutMark("<\0G\0/\0>\0", 8);
    const std::string utf32("\xFF\xFE\0\0<\0\0\0", 8);
    for (const std::string& text : {utf16, utf16WithoutMark, utf32}) {
        buffer.assign(text.begin(), text.end());
        buffer.push_back('\0');
        EXPECT_FALSE(serializer.LoadFromMemory("test.xml", buffer.data(), static_cast<unsigned int>(buffer.size())));
        EXPECT_EQ(serializer.ErrorMessage(), Error("Cannot parse file."));
    }
    EXPECT_EQ(observer.reports, (Reports{"0 error file-not-utf8", "0 error file-not-utf8", "0 error file-not-utf8"}));
    EXPECT_EQ(observer.messages[0], "file is UTF-16; save it as UTF-8");
    EXPECT_EQ(observer.messages[2], "file is UTF-32; save it as UTF-8");

    observer.reports.clear();
    EXPECT_TRUE(Load(""));
    EXPECT_TRUE(Load("<?xml version=\"1.0\"?>\n"));
    EXPECT_FALSE(Load("<GameData/>\njunk"));
    EXPECT_EQ(observer.reports, (Reports{"0 no-elements", "0 no-elements", "2 error file-not-xml"}));
}

TEST_F(LoadObserver, RowsWrittenAreReportedAndRowsLeftOutAreNot) {
    Run("create table Eras (Type text primary key, Cost integer);");
    serializer.SetPackageTag("MOD");
    serializer.AddTableToPackageTagList("Eras");
    Run("alter table Eras add PackageID text;");
    ASSERT_TRUE(Load(File("<Eras>\n<Row Type=\"ERA_A\" Cost=\"1\"/>\n<InsertOrIgnore Type=\"ERA_A\" Cost=\"2\"/>\n"
                          "<Replace><Type>ERA_B</Type><Cost>NULL</Cost></Replace>\n<Row/>\n</Eras>")));
    EXPECT_EQ(observer.rows, (Reports{"3 insert Eras #1 ERA_A Type=ERA_A Cost=1",
                                      "4 ignored Eras #0 ERA_A Type=ERA_A Cost=2",
                                      "5 replace Eras #2 ERA_B Type=ERA_B Cost=NULL PackageID=MOD",
                                      "6 insert Eras #3 -"}));
    EXPECT_EQ(observer.files, (Reports{"test.xml committed"}));
}

TEST_F(LoadObserver, UpdatesDeletesAndPurgesReportEveryRowTheyTouch) {
    Run("create table Eras (Type text primary key);"
        "create table Ships (Name text, Era text references Eras(Type));"
        "insert into Eras values ('ERA_A'), ('ERA_B');"
        "insert into Ships values ('one', 'ERA_A'), ('two', 'ERA_B'), ('three', 'ERA_B');"
        "insert into Units (Type, Cost) values ('X', 1), ('Y', 1), ('Z', 2);");
    ASSERT_TRUE(Load(File("<Units>\n<Update><Set Cost=\"5\" Name=\"NULL\"/><Where Cost=\"1\"/></Update>\n"
                          "<Delete Type=\"Z\"/>\n</Units>\n<Eras><Delete Type=\"ERA_B\"/></Eras>\n"
                          "<DeleteMissingReferences table=\"Eras\" column=\"Type\"/>")));
    EXPECT_EQ(observer.rows, (Reports{"3 update Units #1 X Cost=5 Name=NULL", "3 update Units #2 Y Cost=5 Name=NULL",
                                      "4 delete Units #3 Z", "6 delete Eras #2 ERA_B", "7 delete Ships #2 two",
                                      "7 delete Ships #3 three"}));
    EXPECT_EQ(Scalar("select group_concat(Name) from Ships"), "one");
}

// Every recovery of the reader reaches the observer under its code, at the line it concerns.
TEST_F(LoadObserver, WhatTheReaderRecoversFromKeepsItsCodeAndLine) {
    ASSERT_TRUE(Load("<GameData>\n<Units>\n<Row Type=\"A\" Cost=1/>\n<Row Type=\"B\" Name/>\n"
                     "<Row Type=\"C\"><Name>x</Name </Row>\n<Row Type=\"D\" Name=\"&#0;\"/>\n"
                     "<!ELEMENT x>\n</Units>\n</GameData>\n<Extra/>\n<!-- cut"));
    EXPECT_EQ(observer.reports, (Reports{"3 dropped-attribute", "4 attribute-without-value",
                                         "5 unterminated-closing-tag", "6 bad-character-reference", "7 unknown-markup",
                                         "10 content-after-root", "11 unclosed-markup"}));

    // A zero byte in a file on disk would cut the rest of it off.
    TemporaryDirectory folder;
    observer.reports.clear();
    EXPECT_FALSE(serializer.Load(folder.Write("zero.xml", std::string("<G/>\n\0\n", 7)).c_str()));
    EXPECT_EQ(observer.reports, (Reports{"2 error zero-byte"}));
}

// An observer that hears no diagnostics spares the load its checks, and still hears every row at

// An observer that wants no rows still hears every problem and every file's end, and the changes
// still run: only the copies of the rows are spared.
TEST_F(LoadObserver, AnObserverWithoutRowsHearsTheProblemsOnly) {
    struct ProblemsOnly : RecordingObserver {
        bool WantsRowChanges() const noexcept override { return false; }
    } problemsOnly;
    serializer.SetObserver(&problemsOnly);
    Run("insert into Units (Type, Cost) values ('X', 1);");
    ASSERT_TRUE(Load(File("<Units>\n<Row Type=\"A\" Name=\"007\"/>\n<Update><Set Cost=\"5\"/></Update>\n"
                          "<Delete Type=\"X\"/>\n</Units>")));
    EXPECT_TRUE(problemsOnly.rows.empty());
    EXPECT_EQ(problemsOnly.reports, (Reports{"3 value-retyped", "4 update-without-where"}));
    EXPECT_EQ(problemsOnly.messages[1], "<Update> without <Where> changed every row of Units (2 rows)");
    EXPECT_EQ(problemsOnly.files, (Reports{"test.xml committed"}));
    EXPECT_EQ(Scalar("select group_concat(Type || Cost) from Units"), "A5");
}
// its line, however far apart the rows are.
TEST_F(LoadObserver, AnObserverWithoutDiagnosticsHearsTheRowsOnly) {
    struct RowsOnly : RecordingObserver {
        bool WantsDiagnostics() const noexcept override { return false; }
    } rowsOnly;
    serializer.SetObserver(&rowsOnly);
    std::string rows;
    for (int row = 0; row < 40; ++row)
        rows += "<Row Type=\"T" + std::to_string(row) + "\" Name=\"007\"/>" + std::string(row % 3 == 0 ? 12 : 1, '\n');
    ASSERT_TRUE(Load(File("<Units>\n" + rows + "<Row Type=\"X\" Cost=1/></Units>")));
    EXPECT_TRUE(rowsOnly.reports.empty());
    ASSERT_EQ(rowsOnly.rows.size(), 40u);
    int line = 3;
    for (int row = 0; row < 40; ++row) {
        EXPECT_EQ(rowsOnly.rows[row].substr(0, rowsOnly.rows[row].find(' ')), std::to_string(line));
        line += row % 3 == 0 ? 12 : 1;
    }
    serializer.SetObserver(&observer);
    ASSERT_TRUE(Load(File("<Units>\n<Row Type=\"A\" Name=\"007\"/>\n</Units>")));
    EXPECT_EQ(observer.reports, (Reports{"3 value-retyped"}));
}

TEST_F(LoadObserver, APurgeOfATableThatDoesNotExistSaysSo) {
    ASSERT_TRUE(Load(File("<DeleteMissingReferences table=\"Eraz\" column=\"Type\"/>")));
    EXPECT_EQ(observer.reports, (Reports{"2 purge-missing-table"}));
}

}  // namespace
}  // namespace Database::Testing
