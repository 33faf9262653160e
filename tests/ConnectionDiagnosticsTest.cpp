// Maintenance and diagnostics: ANALYZE and VACUUM, the integrity check, foreign-key validation
// and its exact lines, the memory report line by line, statement inspection and TotalChanges.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ZrGameDatabase/DatabaseResults.h"
#include "support/ConnectionFixture.h"
#include "support/TextLines.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

constexpr int kReadWriteCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;

using Maintenance = ConnectionFixture;

TEST_F(Maintenance, AnalyzeGathersStatisticsAndVacuumReportsRefusals) {
    Run("create table t (a); create index t_a on t (a); insert into t values (1), (2);");
    connection.Analyze();
    EXPECT_EQ(Scalar("select count(*) from sqlite_stat1 where idx = 't_a'"), "1");
    connection.Vacuum();
    EXPECT_TRUE(log.empty());

    Run("begin;");
    connection.Vacuum();
    EXPECT_EQ(log, (std::vector<LogLine>{{"cannot VACUUM from within a transaction", 2}}));

    Connection closed;
    closed.SetLogger(new RecordingLogger(log));
    closed.Analyze();
    closed.Vacuum();
    EXPECT_EQ(log.size(), 1u);
}

TEST_F(Maintenance, IntegrityCheckPassesAFreshDatabaseAndFailsADamagedOne) {
    EXPECT_TRUE(connection.CheckIntegrity());
    EXPECT_TRUE(log.empty());

    TemporaryDirectory folder;
    const std::string path = folder.File("damaged.db");
    {
        Connection writer(path.c_str(), kReadWriteCreate);
        ASSERT_TRUE(writer.ExecuteMultiple("create table t (a text); create index t_a on t (a);"
                                           "with recursive n(i) as (select 1 union all select i + 1 from n where i < 300)"
                                           "insert into t select printf('%0500d', i) from n;"));
    }
    // Overwrite the third page, a page of the table's tree, with bytes no page can hold.
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(2 * 4096);
    file << std::string(4096, '\xff');
    file.close();

    Connection damaged(path.c_str(), SQLITE_OPEN_READWRITE);
    EXPECT_FALSE(damaged.CheckIntegrity());
}

class ForeignKeys : public ConnectionFixture {
protected:
    std::vector<LogLine> Validate(bool expected, bool flag = false) {
        log.clear();
        EXPECT_EQ(connection.ValidateFKConstraints(flag), expected);
        return log;
    }
};

const LogLine kOpening{"Validating Foreign Key Constraints...", 0};
const LogLine kPassed{"Passed Validation.", 0};
const LogLine kFailed{"Failed Validation.", 0};

TEST_F(ForeignKeys, ADatabaseWithoutReferencesPasses) {
    Run("create table Units (Type text);");
    EXPECT_EQ(Validate(true), (std::vector<LogLine>{kOpening, kPassed}));
}

TEST_F(ForeignKeys, EachDanglingValueIsLoggedAndNullsAreNotChecked) {
    Run("create table Eras (Type text primary key);"
        "create table Units (Type text, Era text references Eras (Type));"
        "insert into Eras values ('ERA_ANCIENT');"
        "insert into Units values ('UNIT_A', 'ERA_ANCIENT'), ('UNIT_B', 'ERA_FUTURE'), ('UNIT_C', NULL),"
        "                         ('UNIT_D', 'ERA_\"Q\"');");
    const std::vector<LogLine> expected{kOpening,
                                        {"Invalid Reference on Units.Era - \"ERA_FUTURE\" does not exist in Eras", 2},
                                        {"Invalid Reference on Units.Era - \"ERA_\"Q\"\" does not exist in Eras", 2},
                                        kFailed};
    EXPECT_EQ(Validate(false, false), expected);
    EXPECT_EQ(Validate(false, true), expected);

    Run("delete from Units where Type in ('UNIT_B', 'UNIT_D');");
    EXPECT_EQ(Validate(true), (std::vector<LogLine>{kOpening, kPassed}));
}

TEST_F(ForeignKeys, AKeyWithoutAColumnRefersToThePrimaryKey) {
    Run("create table Eras (ID integer primary key, Type text);"
        "create table Units (Era integer references Eras);"
        "create table Pairs (A, B, foreign key (A, B) references Grid);"
        "create table Grid (X, Y, primary key (X, Y));"
        "insert into Eras values (1, 'ERA_ANCIENT');"
        "insert into Units values (1), (7);"
        "insert into Grid values (1, 2);"
        "insert into Pairs values (1, 2), (3, 4);");
    EXPECT_EQ(Validate(false), (std::vector<LogLine>{kOpening,
                                                     {"Invalid Reference on Units.Era - \"7\" does not exist in Eras", 2},
                                                     {"Invalid Reference on Pairs.A - \"3\" does not exist in Grid", 2},
                                                     {"Invalid Reference on Pairs.B - \"4\" does not exist in Grid", 2},
                                                     kFailed}));
}

TEST_F(ForeignKeys, AKeyThatCannotBeCheckedStopsTheWalk) {
    const std::string failure = "Failure to check references for foreign key Units(Era).";
    for (const char* reference : {"Missing (Type)", "Missing"}) {
        Run(("drop table if exists Units; create table Units (Era text references " + std::string(reference) + ");"
             "insert into Units values ('ERA_ANCIENT');").c_str());
        EXPECT_EQ(Validate(false), (std::vector<LogLine>{kOpening, {failure, 2}, {"no such table: Missing", 2}, kFailed}))
            << reference;
    }

    // A referenced table without a primary key: SQLite itself calls that a mismatch.
    Run("drop table Units; create table Plain (x); create table Units (Era references Plain);");
    const std::string mismatch = "foreign key mismatch - \"Units\" referencing \"Plain\"";
    EXPECT_EQ(Validate(false), (std::vector<LogLine>{kOpening, {failure, 2}, {mismatch, 2}, kFailed}));
    Run("pragma foreign_keys = on;");
    EXPECT_FALSE(connection.Execute("insert into Units values (1)"));
    EXPECT_EQ(log, (std::vector<LogLine>{{mismatch, 2}}));
}

// Table names are bound to the key listing, so a name of any length or content is checked.
TEST_F(ForeignKeys, TablesOfLongAndOddNamesAreChecked) {
    const std::string name(300, 'T');
    Run("create table Eras (ID integer primary key);");
    Run(("create table " + name + " (Era references Eras(ID)); insert into " + name + " values ('ERA_X');").c_str());
    Run("create table \"Odd Name\" (Era references Eras(ID)); insert into \"Odd Name\" values ('ERA_Y');");
    EXPECT_EQ(Validate(false),
              (std::vector<LogLine>{kOpening,
                                    {"Invalid Reference on " + name + ".Era - \"ERA_X\" does not exist in Eras", 2},
                                    {"Invalid Reference on Odd Name.Era - \"ERA_Y\" does not exist in Eras", 2},
                                    kFailed}));
}

using MemoryReport = ConnectionFixture;

TEST_F(MemoryReport, ReportsEveryLineAndIsLoggedAsAMessage) {
    const std::string report = connection.CalculateMemoryStats();
    ASSERT_EQ(log, (std::vector<LogLine>{{report, 0}}));
    EXPECT_NE(report.back(), '\n');
    const std::vector<std::string> lines = Lines(report);
    ASSERT_EQ(lines.size(), 22u) << report;
    const std::regex twoNumbers("(Malloc:\t\t|PageCache:\t)(-?[0-9]+)\t\t(-?[0-9]+)");
    const std::regex oneNumber("(Malloc:\t\t|PageCache:\t)-?[0-9]+");
    std::smatch malloc;
    ASSERT_TRUE(std::regex_match(lines[4], malloc, twoNumbers)) << lines[4];
    EXPECT_EQ(malloc[1], "Malloc:\t\t");
    EXPECT_GT(std::stoi(malloc[2]), 0);
    EXPECT_LE(std::stoi(malloc[2]), std::stoi(malloc[3]));
    EXPECT_TRUE(std::regex_match(lines[5], twoNumbers)) << lines[5];
    EXPECT_TRUE(std::regex_match(lines[11], twoNumbers)) << lines[11];
    EXPECT_TRUE(std::regex_match(lines[15], oneNumber)) << lines[15];
    EXPECT_TRUE(std::regex_match(lines[16], oneNumber)) << lines[16];
    EXPECT_EQ(lines[15].substr(0, 8), "Malloc:\t");
    EXPECT_EQ(lines[16].substr(0, 11), "PageCache:\t");
    const std::vector<std::pair<int, std::string>> fixed{
        {0, ""}, {1, "-- SQLite Memory Statistics --"}, {2, "Memory Usage:"}, {3, "\t\t[Cur]\t\t[Max]"},
        {6, "LookAside:\t0\t\t0"}, {7, "Scratch:\t0\t\t0"}, {8, ""}, {9, "Static Buffer Overflows:"},
        {10, "\t\t[TooLarge]\t[NoSpace]"}, {12, "Scratch:\t0\t\t0"}, {13, ""}, {14, "Largest Allocations:"},
        {17, "Scratch:\t0"}, {18, ""}, {19, "Prepared Statements:"}, {20, "Current:\t\t0"},
        {21, "------------------------------"}};
    for (const auto& [index, text] : fixed)
        EXPECT_EQ(lines[index], text) << "line " << index + 1;
}

TEST_F(MemoryReport, TheLatestReportIsTheOneKept) {
    connection.CalculateMemoryStats();
    Results first;
    Results second;
    ASSERT_TRUE(connection.Execute(first, "select 1"));
    ASSERT_TRUE(connection.Execute(second, "select 2"));
    const char* report = connection.CalculateMemoryStats();
    EXPECT_EQ(Lines(report).at(20), "Current:\t\t2");
    EXPECT_EQ(log.back().text, report);

    Connection closed;
    EXPECT_EQ(Lines(closed.CalculateMemoryStats()).at(20), "Current:\t\t0");
}

using StatementInspection = ConnectionFixture;

TEST_F(StatementInspection, IndexesFollowSqlitesWalk) {
    Run("create table t (a); insert into t values (1), (2);");
    EXPECT_EQ(connection.StatementCount(), 0);
    EXPECT_EQ(connection.StatementSQL(0), nullptr);

    Results select;
    ASSERT_TRUE(connection.Execute(select, "select a from t"));
    EXPECT_STREQ(connection.StatementSQL(0), "select a from t");
    EXPECT_EQ(connection.StatementSQL(1), nullptr);
    EXPECT_EQ(connection.StatementSQL(-1), nullptr);
    EXPECT_TRUE(connection.StatementReadOnly(0));
    EXPECT_FALSE(connection.StatementBusy(0));
    ASSERT_TRUE(select.Step());
    EXPECT_TRUE(connection.StatementBusy(0));
    ASSERT_TRUE(select.Reset());
    EXPECT_FALSE(connection.StatementBusy(0));

    Results insert;
    ASSERT_TRUE(connection.Execute(insert, "insert into t values (3)"));
    ASSERT_EQ(connection.StatementCount(), 2);
    int index = 0;
    for (sqlite3_stmt* statement = sqlite3_next_stmt(connection.Handle(), nullptr); statement != nullptr;
         statement = sqlite3_next_stmt(connection.Handle(), statement), ++index) {
        EXPECT_STREQ(connection.StatementSQL(index), sqlite3_sql(statement));
        EXPECT_EQ(connection.StatementReadOnly(index), sqlite3_sql(statement)[0] == 's');
    }
    EXPECT_FALSE(connection.StatementBusy(2));
    EXPECT_FALSE(connection.StatementReadOnly(-1));
}

TEST_F(StatementInspection, TotalChangesIsTheMostRecentStatementsCount) {
    Run("create table t (a); insert into t values (1), (2), (3);");
    Run("update t set a = a + 10;");
    EXPECT_EQ(connection.TotalChanges(), 3);
    Run("select * from t;");
    EXPECT_EQ(connection.TotalChanges(), 3);
    Run("update t set a = 0 where a = 99;");
    EXPECT_EQ(connection.TotalChanges(), 0);

    Connection closed;
    EXPECT_EQ(closed.TotalChanges(), 0);
    EXPECT_EQ(closed.StatementCount(), 0);
    EXPECT_EQ(closed.StatementSQL(0), nullptr);
    EXPECT_FALSE(closed.StatementBusy(0));
    EXPECT_FALSE(closed.CheckIntegrity());
}

}  // namespace
}  // namespace Database::Testing
