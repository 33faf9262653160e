// Select helpers and row counts: the statement each select form builds and the rows it finds,
// refusal of statements too long for their buffer, and when a cached count may be reused.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ZrGameDatabase/DatabaseResults.h"
#include "support/ConnectionFixture.h"

namespace Database::Testing {
namespace {

// A Results (or SingleResult) that shows the SQL of the statement it holds.
template <class Base>
struct Probe : Base {
    using Base::Base;
    std::string Sql() const { return this->HasStatement() ? sqlite3_sql(this->Statement()) : "(none)"; }
};

// Records the SQL of every statement the connection starts, so that a count answered from the
// cache can be told from one that ran.
class StatementTrace {
public:
    explicit StatementTrace(sqlite3* handle) : m_handle(handle) {
        sqlite3_trace_v2(handle, SQLITE_TRACE_STMT, &Record, this);
    }
    ~StatementTrace() { sqlite3_trace_v2(m_handle, 0, nullptr, nullptr); }
    int Runs(const std::string& sql) const { return static_cast<int>(std::count(m_started.begin(), m_started.end(), sql)); }

private:
    static int Record(unsigned, void* context, void* statement, void*) {
        static_cast<StatementTrace*>(context)->m_started.emplace_back(sqlite3_sql(static_cast<sqlite3_stmt*>(statement)));
        return 0;
    }
    sqlite3* m_handle;
    std::vector<std::string> m_started;
};

class QueryFixture : public ConnectionFixture {
protected:
    QueryFixture() {
        Run("create table Units (ID integer primary key, Type text, Name text, Cost integer, Strength real);"
            "insert into Units values (1, 'UNIT_A', 'Archer', 40, 2.5), (2, 'UNIT_B', 'O''Brien', 60, 0.1),"
            "                         (3, 'UNIT_C', NULL, 60, 5.0);"
            "create table Empty (a);");
    }

    // The first column of every remaining row of results, joined with commas.
    static std::string Rows(Results& results) {
        std::string rows;
        while (results.Step())
            rows += (rows.empty() ? "" : ",") + std::string(results.GetText(0) != nullptr ? results.GetText(0) : "NULL");
        return rows;
    }
};

using SelectHelpers = QueryFixture;

TEST_F(SelectHelpers, SelectAllTakesTheColumnListAndTheSingleRowFlag) {
    Probe<Results> all;
    ASSERT_TRUE(connection.SelectAll(all, "Units"));
    EXPECT_EQ(all.Sql(), "select * from Units ");
    EXPECT_EQ(Rows(all), "1,2,3");

    Probe<Results> some("Type, Cost");
    ASSERT_TRUE(connection.SelectAll(some, "Units"));
    EXPECT_EQ(some.Sql(), "select Type, Cost from Units ");
    EXPECT_EQ(Rows(some), "UNIT_A,UNIT_B,UNIT_C");

    Probe<Results> empty;
    EXPECT_TRUE(connection.SelectAll(empty, "Empty"));
    EXPECT_EQ(Rows(empty), "");

    // A single-row query that finds nothing fails, although its statement was prepared.
    Probe<SingleResult> single;
    EXPECT_FALSE(connection.SelectAll(single, "Empty"));
    EXPECT_EQ(single.Sql(), "select * from Empty LIMIT 1");
    Probe<SingleResult> first("Type");
    EXPECT_TRUE(connection.SelectAll(first, "Units"));
    EXPECT_STREQ(first.GetText(0), "UNIT_A");
    EXPECT_TRUE(log.empty());
}

TEST_F(SelectHelpers, SelectAtQuotesTextValuesAndComparesNullAsNull) {
    Probe<Results> quoted("ID");
    ASSERT_TRUE(connection.SelectAt(quoted, "Units", "Name", "O'Brien"));
    EXPECT_EQ(quoted.Sql(), "select ID from Units where Name = 'O''Brien' ");
    EXPECT_EQ(Rows(quoted), "2");

    Probe<SingleResult> null("ID");
    EXPECT_FALSE(connection.SelectAt(null, "Units", "Name", static_cast<const char*>(nullptr)));
    EXPECT_EQ(null.Sql(), "select ID from Units where Name = NULL LIMIT 1");
    EXPECT_TRUE(log.empty());
}

TEST_F(SelectHelpers, SelectAtNumbersMatchWhatIsStored) {
    Probe<Results> byInt("ID");
    ASSERT_TRUE(connection.SelectAt(byInt, "Units", "Cost", 60));
    EXPECT_EQ(byInt.Sql(), "select ID from Units where Cost = 60 ");
    EXPECT_EQ(Rows(byInt), "2,3");

    // 0.1 has no exact decimal form: it must be written with enough digits to read back equal.
    Probe<Results> byReal("ID");
    ASSERT_TRUE(connection.SelectAt(byReal, "Units", "Strength", 0.1));
    EXPECT_EQ(byReal.Sql(), "select ID from Units where Strength = 0.1 ");
    EXPECT_EQ(Rows(byReal), "2");
    ASSERT_TRUE(connection.SelectAt(byReal, "Units", "Strength", 5.0));
    EXPECT_EQ(byReal.Sql(), "select ID from Units where Strength = 5.0 ");
    EXPECT_EQ(Rows(byReal), "3");

    // A whole number stays a real literal, so it compares as a real with a text column too.
    Run("create table Labels (v text); insert into Labels values ('5.0'), ('5');");
    Probe<Results> label("v");
    ASSERT_TRUE(connection.SelectAt(label, "Labels", "v", 5.0));
    EXPECT_EQ(Rows(label), "5.0");
}

TEST_F(SelectHelpers, SelectByRowIdAlwaysLimitsToOneRow) {
    Probe<Results> byId("Type");
    ASSERT_TRUE(connection.SelectAt(byId, "Units", 2));
    EXPECT_EQ(byId.Sql(), "select Type from Units where ROWID = 2 LIMIT 1");
    EXPECT_EQ(Rows(byId), "UNIT_B");

    Probe<SingleResult> missing;
    EXPECT_FALSE(connection.SelectAt(missing, "Units", 99));
    EXPECT_EQ(missing.Sql(), "select * from Units where ROWID = 99 LIMIT 1");
}

TEST_F(SelectHelpers, SelectWhereInsertsTheConditionVerbatim) {
    Probe<Results> costly("Type");
    ASSERT_TRUE(connection.SelectWhere(costly, "Units", "Cost > 50 and Name is not null"));
    EXPECT_EQ(costly.Sql(), "select Type from Units where Cost > 50 and Name is not null ");
    EXPECT_EQ(Rows(costly), "UNIT_B");

    Probe<SingleResult> single("Type");
    EXPECT_TRUE(connection.SelectWhere(single, "Units", "Cost > 50"));
    EXPECT_EQ(single.Sql(), "select Type from Units where Cost > 50 LIMIT 1");
    EXPECT_STREQ(single.GetText(0), "UNIT_B");
}

TEST_F(SelectHelpers, AFailedPrepareLeavesTheResultsAsItWas) {
    Probe<Results> results;
    ASSERT_TRUE(connection.SelectAll(results, "Units"));
    EXPECT_FALSE(connection.SelectAt(results, "Missing", "a", 1));
    EXPECT_FALSE(connection.SelectWhere(results, "Units", "Cost >"));
    EXPECT_EQ(log, (std::vector<LogLine>{{"no such table: Missing", 2},
                                         {"In Query - select * from Missing where a = 1 ", 0},
                                         {"incomplete input", 2},
                                         {"In Query - select * from Units where Cost > ", 0}}));
    EXPECT_EQ(results.Sql(), "select * from Units ");
    EXPECT_EQ(Rows(results), "1,2,3");
}

TEST_F(SelectHelpers, AStatementTooLongForItsBufferIsRefusedNotCut) {
    // "select ID from Units where Name = '" + value + "' " is 37 bytes plus the value's; the
    // buffer holds 1023 and its terminating zero.
    const std::string fits(1023 - 37, 'x');
    Run(("insert into Units (ID, Name) values (10, '" + fits + "');").c_str());
    Probe<Results> results("ID");
    ASSERT_TRUE(connection.SelectAt(results, "Units", "Name", fits.c_str()));
    EXPECT_EQ(results.Sql().size(), 1023u);
    EXPECT_EQ(Rows(results), "10");

    // One more byte, or one quote, which the statement doubles: the statement would be cut.
    const std::string refusal = "Select statement on table Units would not fit 1024 bytes; nothing was run.";
    EXPECT_FALSE(connection.SelectAt(results, "Units", "Name", (fits + "x").c_str()));
    EXPECT_FALSE(connection.SelectAt(results, "Units", "Name", ("'" + fits.substr(1)).c_str()));
    EXPECT_EQ(log, (std::vector<LogLine>{{refusal, 2}, {refusal, 2}}));
    log.clear();

    const std::string longTable(1100, 'T');
    EXPECT_FALSE(connection.SelectAll(results, longTable.c_str()));
    EXPECT_EQ(log, (std::vector<LogLine>{
                       {"Select statement on table " + std::string(64, 'T') + "... would not fit 1024 bytes; nothing was run.", 2}}));
    // Nothing was prepared and the Results still holds its statement.
    EXPECT_EQ(connection.StatementCount(), 1);
    EXPECT_EQ(results.Sql().size(), 1023u);
}

class RowCounts : public QueryFixture {
protected:
    StatementTrace trace{connection.Handle()};
    int Runs() const { return trace.Runs("select count(*) from Units"); }
};

TEST_F(RowCounts, WhileNothingChangesTheCountRunsOnce) {
    EXPECT_EQ(connection.Count("Units", false), 3);
    EXPECT_EQ(connection.Count("Units", false), 3);
    EXPECT_EQ(connection.Count("Units", true), 3);
    EXPECT_EQ(Runs(), 1);
    // Without the keep flag the statement was not kept: the next count that runs prepares again.
    EXPECT_EQ(connection.StatementCount(), 0);

    connection.ClearCountCache();
    connection.ClearCountCache();
    EXPECT_EQ(connection.Count("Units", false), 3);
    EXPECT_EQ(Runs(), 2);
    EXPECT_TRUE(log.empty());
}

TEST_F(RowCounts, ACountIsNeverStaleAfterChangesThroughTheConnection) {
    ASSERT_EQ(connection.Count("Units", false), 3);
    Run("insert into Units (Type) values ('UNIT_D');");
    // A later statement that changes nothing must not make the cache forget the insert.
    Run("update Units set Cost = 0 where ID = 999;");
    ASSERT_EQ(connection.TotalChanges(), 0);
    EXPECT_EQ(connection.Count("Units", false), 4);
    Run("delete from Units where Type = 'UNIT_D'; delete from Empty;");
    EXPECT_EQ(connection.Count("Units", false), 3);

    // Dropped and made again by a statement that counts no changed rows.
    Run("drop table Units; create table Units as select 1 as a union select 2;");
    EXPECT_EQ(connection.Count("Units", false), 2);
    EXPECT_EQ(connection.Count("Units", false), 2);
    EXPECT_EQ(Runs(), 4);

    // The same with a temporary table, whose commits do not move the data version of "main".
    Run("create temp table Scratch as select 1 as a;");
    ASSERT_EQ(connection.Count("Scratch", false), 1);
    Run("drop table Scratch; create temp table Scratch as select 1 as a union select 2;");
    EXPECT_EQ(connection.Count("Scratch", false), 2);
}

TEST_F(RowCounts, RollbacksAndSavepointsUndoWhatTheCountSaw) {
    ASSERT_EQ(connection.Count("Units", false), 3);
    Run("begin; insert into Units (Type) values ('UNIT_D');");
    EXPECT_EQ(connection.Count("Units", false), 4);
    Run("rollback;");
    EXPECT_EQ(connection.Count("Units", false), 3);

    Run("begin; savepoint sp; insert into Units (Type) values ('UNIT_D');");
    EXPECT_EQ(connection.Count("Units", false), 4);
    Run("rollback to sp;");
    EXPECT_EQ(connection.Count("Units", false), 3);
    Run("drop table Units; create table Units as select 1 as a;");
    EXPECT_EQ(connection.Count("Units", false), 1);
    Run("rollback;");
    EXPECT_EQ(connection.Count("Units", false), 3);
    EXPECT_EQ(connection.Count("Units", false), 3);
}

TEST_F(RowCounts, AKeptStatementServesEveryLaterCountUntilCleared) {
    ASSERT_EQ(connection.Count("Units", true), 3);
    ASSERT_EQ(connection.StatementCount(), 1);
    EXPECT_STREQ(connection.StatementSQL(0), "select count(*) from Units");
    EXPECT_FALSE(connection.StatementBusy(0));
    Run("insert into Units (Type) values ('UNIT_D');");
    EXPECT_EQ(connection.Count("Units", false), 4);
    EXPECT_EQ(connection.StatementCount(), 1);
    EXPECT_EQ(Runs(), 2);

    connection.ClearCountCache();
    EXPECT_EQ(connection.StatementCount(), 0);
    EXPECT_EQ(connection.Count("Units", false), 4);
    EXPECT_EQ(Runs(), 3);
    EXPECT_TRUE(log.empty());
}

TEST_F(RowCounts, FailuresGiveMinusOneAndCacheNothing) {
    EXPECT_EQ(connection.Count("Missing", true), -1);
    EXPECT_EQ(connection.Count("Missing", true), -1);
    EXPECT_EQ(log, (std::vector<LogLine>{{"no such table: Missing", 2}, {"no such table: Missing", 2}}));
    EXPECT_EQ(connection.StatementCount(), 0);
    log.clear();

    // A kept statement whose table went away gives no row, quietly.
    ASSERT_EQ(connection.Count("Empty", true), 0);
    Run("drop table Empty;");
    EXPECT_EQ(connection.Count("Empty", true), -1);
    EXPECT_TRUE(log.empty());

    EXPECT_EQ(connection.Count(nullptr, false), -1);
    EXPECT_EQ(log, (std::vector<LogLine>{{"Count needs a table name.", 2}}));
}

TEST_F(RowCounts, ANameTooLongForTheCountBufferIsRefused) {
    // 21 bytes of "select count(*) from " leave 234 for the name in 256 bytes.
    const std::string longest(234, 'n');
    Run(("create table " + longest + " (a); insert into " + longest + " values (1);").c_str());
    EXPECT_EQ(connection.Count(longest.c_str(), false), 1);

    const std::string tooLong = longest + "n";
    EXPECT_EQ(connection.Count(tooLong.c_str(), false), -1);
    EXPECT_EQ(log, (std::vector<LogLine>{
                       {"Count statement on table " + std::string(64, 'n') + "... would not fit 256 bytes; nothing was run.", 2}}));
    EXPECT_EQ(trace.Runs("select count(*) from " + tooLong.substr(0, 234)), 1);
}

TEST(RowCountsClosed, WithoutAHandleNothingReachesSqlite) {
    std::vector<LogLine> log;
    Connection connection;
    connection.SetLogger(new RecordingLogger(log));
    EXPECT_EQ(connection.Count("Units", true), -1);
    connection.ClearCountCache();
    Results results;
    EXPECT_FALSE(connection.SelectAll(results, "Units"));
    EXPECT_EQ(log, (std::vector<LogLine>{{"(null)", 2}, {"(null)", 2}, {"In Query - select * from Units ", 0}}));
}

}  // namespace
}  // namespace Database::Testing
