// Results and SingleResult: the hand-over of statements, binding, running, stepping, rewinding,
// release and copies, with the exact lines they log.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ZrGameDatabase/DatabaseResults.h"
#include "support/ConnectionFixture.h"
#include "support/WideText.h"

namespace Database::Testing {
namespace {

// A Results that lets the tests look at the statement it holds.
struct ProbeResults : Results {
    explicit ProbeResults(const char* columns = nullptr) : Results(columns) {}
    explicit ProbeResults(const Results& other) : Results(other) {}
    using Results::HasStatement;
    using Results::Statement;
    int IntAt(int column) const { return sqlite3_column_int(Statement(), column); }
};

struct ProbeSingleResult : SingleResult {
    using Results::Statement;
};

class ResultsFixture : public ConnectionFixture {
protected:
    ResultsFixture() { Run("create table t (a unique, b);"); }

    // The rows of t, as "a:b" pairs in rowid order, with storage classes for the b column.
    std::string Rows() { return Scalar("select group_concat(a || ':' || typeof(b) || ':' || ifnull(b, ''), ' ') from t"); }
};

using ResultsBinding = ResultsFixture;

TEST_F(ResultsBinding, ParametersAreNumberedFromOne) {
    ProbeResults insert;
    ASSERT_TRUE(connection.Execute(insert, "insert into t values (?, ?)"));
    EXPECT_FALSE(insert.Bind(0, 1));
    EXPECT_FALSE(insert.Bind(3, 1));
    EXPECT_TRUE(insert.Bind(1, 7));
    EXPECT_TRUE(insert.Bind(2, 3000000000LL));
    EXPECT_TRUE(insert.Execute());
    EXPECT_EQ(Rows(), "7:integer:3000000000");
    EXPECT_TRUE(log.empty());
}

TEST_F(ResultsBinding, EveryKindOfValueIsStoredAsItsOwnClass) {
    ProbeResults insert;
    ASSERT_TRUE(connection.Execute(insert, "insert into t values (?, ?)"));
    const auto insertRow = [&](int key, auto bindSecond) {
        ASSERT_TRUE(insert.Reset());
        ASSERT_TRUE(insert.Bind(1, key));
        ASSERT_TRUE(bindSecond());
        ASSERT_TRUE(insert.Execute());
    };
    insertRow(1, [&] { return insert.Bind(2, 0.5f); });
    insertRow(2, [&] { return insert.Bind(2, 0.1); });
    insertRow(3, [&] { return insert.Bind(2, "Don't", true); });
    insertRow(4, [&] { return insert.Bind(2, "abcdef", 3, true); });
    insertRow(5, [&] { return insert.BindNULL(2); });
    EXPECT_EQ(Rows(), "1:real:0.5 2:real:0.1 3:text:Don't 4:text:abc 5:null:");
}

TEST_F(ResultsBinding, WideTextLengthCountsUtf16Units) {
    ProbeResults insert;
    ASSERT_TRUE(connection.Execute(insert, "insert into t values (?, ?)"));
    const WideChar text[] = ZRDB_WIDE("h\u00e9llo");
    ASSERT_TRUE(insert.Bind(1, 1));
    ASSERT_TRUE(insert.Bind(2, text, 3, true));
    ASSERT_TRUE(insert.Execute());
    ASSERT_TRUE(insert.Reset());
    ASSERT_TRUE(insert.Bind(1, 2));
    ASSERT_TRUE(insert.Bind(2, text, false));
    ASSERT_TRUE(insert.Execute());
    EXPECT_EQ(Rows(), "1:text:h\xc3\xa9l 2:text:h\xc3\xa9llo");
}

TEST_F(ResultsBinding, CopiedTextMayBeFreedAtOnce) {
    ProbeResults insert;
    ASSERT_TRUE(connection.Execute(insert, "insert into t values (1, ?)"));
    auto text = std::make_unique<char[]>(8);
    std::strcpy(text.get(), "copied");
    ASSERT_TRUE(insert.Bind(1, text.get(), true));
    std::strcpy(text.get(), "changed");
    text.reset();
    ASSERT_TRUE(insert.Execute());
    EXPECT_EQ(Rows(), "1:text:copied");
}

TEST_F(ResultsBinding, WithoutAStatementEverythingIsRefused) {
    ProbeResults empty;
    EXPECT_FALSE(empty.Bind(1, 1));
    EXPECT_FALSE(empty.Bind(1, "x", true));
    EXPECT_FALSE(empty.Bind(1, ZRDB_WIDE("x"), true));
    EXPECT_FALSE(empty.BindNULL(1));
    EXPECT_FALSE(empty.Execute());
    EXPECT_FALSE(empty.TryExecute());
    EXPECT_FALSE(empty.Step());
    EXPECT_FALSE(empty.Reset());
    EXPECT_FALSE(empty.TryReset());
    empty.Release();
    EXPECT_TRUE(log.empty());
}

using ResultsRunning = ResultsFixture;

TEST_F(ResultsRunning, ExecuteOfARowReturningStatementWarnsWithTheSql) {
    ProbeResults select;
    ASSERT_TRUE(connection.Execute(select, "select 1"));
    EXPECT_FALSE(select.Execute());
    EXPECT_EQ(log, (std::vector<LogLine>{{"A row was returned during an Execute command.", 1},
                                         {"While executing - 'select 1'", 0}}));
}

TEST_F(ResultsRunning, TryExecuteTakesAConstraintViolationAsSuccess) {
    Run("insert into t values (1, 'x');");
    ProbeResults tryInsert;
    ASSERT_TRUE(connection.Execute(tryInsert, "insert into t values (1, 'y')"));
    EXPECT_TRUE(tryInsert.TryExecute());
    EXPECT_TRUE(log.empty());

    ProbeResults insert;
    ASSERT_TRUE(connection.Execute(insert, "insert into t values (1, 'y')"));
    EXPECT_FALSE(insert.Execute());
    EXPECT_EQ(log, (std::vector<LogLine>{{"UNIQUE constraint failed: t.a", 2},
                                         {"While executing - 'insert into t values (1, 'y')'", 0}}));
    EXPECT_EQ(Rows(), "1:text:x");
}

TEST_F(ResultsRunning, StepWalksRowsAndLogsFailures) {
    Run("insert into t values (1, 1), (2, 2);");
    ProbeResults select;
    ASSERT_TRUE(connection.Execute(select, "select a from t order by a"));
    ASSERT_TRUE(select.Step());
    EXPECT_EQ(select.IntAt(0), 1);
    ASSERT_TRUE(select.Step());
    EXPECT_EQ(select.IntAt(0), 2);
    EXPECT_FALSE(select.Step());
    EXPECT_TRUE(log.empty());

    ProbeResults failing;
    ASSERT_TRUE(connection.Execute(failing, "insert into t values (1, 3)"));
    EXPECT_FALSE(failing.Step());
    EXPECT_EQ(log, (std::vector<LogLine>{{"UNIQUE constraint failed: t.a", 2},
                                         {"While executing - 'insert into t values (1, 3)'", 0}}));
}

TEST_F(ResultsRunning, ResetAfterAFailedStepKeepsTheBindingsTryResetClearsThem) {
    Run("insert into t values (1, 'first');");
    ProbeResults insert;
    ASSERT_TRUE(connection.Execute(insert, "insert into t values (?, 'again')"));
    ASSERT_TRUE(insert.Bind(1, 1));
    ASSERT_FALSE(insert.Execute());
    EXPECT_FALSE(insert.Reset());
    Run("delete from t;");
    ASSERT_TRUE(insert.Execute());  // the value bound before the failure is still there
    EXPECT_EQ(Scalar("select a from t"), "1");

    ProbeResults again;
    ASSERT_TRUE(connection.Execute(again, "insert into t values (?, 'again')"));
    ASSERT_TRUE(again.Bind(1, 1));
    ASSERT_FALSE(again.Execute());
    log.clear();
    EXPECT_TRUE(again.TryReset());
    ASSERT_TRUE(again.Execute());  // the binding was cleared: a NULL key goes in
    EXPECT_EQ(Scalar("select count(*) from t where a is null"), "1");
}

TEST_F(ResultsRunning, ReleaseFinalizesAndTheObjectTakesANewStatement) {
    ProbeResults results("a, b");
    ASSERT_TRUE(connection.Execute(results, "select 1"));
    results.Release();
    EXPECT_FALSE(results.HasStatement());
    EXPECT_STREQ(results.GetColumns(), "*");
    EXPECT_EQ(sqlite3_next_stmt(connection.Handle(), nullptr), nullptr);
    ASSERT_TRUE(connection.Execute(results, "select 2"));
    ASSERT_TRUE(results.Step());
    EXPECT_EQ(results.IntAt(0), 2);
}

TEST_F(ResultsRunning, HandOverReplacesAndFinalizesTheHeldStatement) {
    ProbeResults results;
    ASSERT_TRUE(connection.Execute(results, "select 1"));
    ASSERT_TRUE(connection.Execute(results, "select 2"));
    EXPECT_STREQ(sqlite3_sql(results.Statement()), "select 2");
    EXPECT_EQ(sqlite3_next_stmt(connection.Handle(), results.Statement()), nullptr);
    EXPECT_EQ(sqlite3_next_stmt(connection.Handle(), nullptr), results.Statement());
    // A failed hand-over leaves the Results as it was.
    EXPECT_FALSE(connection.Execute(results, "select nothing from nowhere"));
    EXPECT_STREQ(sqlite3_sql(results.Statement()), "select 2");
}

using SingleResultHandOver = ResultsFixture;

TEST_F(SingleResultHandOver, StepsOnceAndReportsWhetherARowWasFound) {
    Run("insert into t values (5, 'x');");
    ProbeSingleResult found;
    EXPECT_TRUE(found.SingleQuery());
    ASSERT_TRUE(connection.Execute(found, "select a from t"));
    EXPECT_EQ(sqlite3_column_int(found.Statement(), 0), 5);

    ProbeSingleResult none;
    EXPECT_FALSE(connection.Execute(none, "select a from t where a = 6"));
    EXPECT_NE(none.Statement(), nullptr);
    EXPECT_TRUE(log.empty());
}

using ResultsColumns = ResultsFixture;

TEST_F(ResultsColumns, ColumnListIsAnOwnCopyAndStarWhenAbsent) {
    Results results;
    EXPECT_STREQ(results.GetColumns(), "*");
    char columns[] = "a, b";
    results.SetColumns(columns);
    columns[0] = 'z';
    EXPECT_STREQ(results.GetColumns(), "a, b");
    results.SetColumns(nullptr);
    EXPECT_STREQ(results.GetColumns(), "*");
}

TEST_F(ResultsColumns, ACopyStartsBeforeItsFirstRow) {
    Run("insert into t values (1, 'x'), (2, 'y');");
    ProbeSingleResult source;
    source.SetColumns("a");
    ASSERT_TRUE(connection.Execute(source, "select a from t order by a"));
    ASSERT_TRUE(source.Step());  // the hand-over stood on row 1; now on row 2

    ProbeResults copy(source);
    EXPECT_TRUE(copy.SingleQuery());
    EXPECT_STREQ(copy.GetColumns(), "a");
    ASSERT_NE(copy.Statement(), source.Statement());
    ASSERT_TRUE(copy.Step());
    EXPECT_EQ(copy.IntAt(0), 1);
}

TEST_F(ResultsColumns, ACopyStartsUnbound) {
    Run("insert into t values (1, 'x');");
    ProbeResults source;
    ASSERT_TRUE(connection.Execute(source, "select count(*) from t where a = ?"));
    ASSERT_TRUE(source.Bind(1, 1));
    ProbeResults copy(source);
    ASSERT_TRUE(copy.Step());
    EXPECT_EQ(copy.IntAt(0), 0);  // an unbound parameter is NULL and matches nothing
    ASSERT_TRUE(source.Step());
    EXPECT_EQ(source.IntAt(0), 1);
}

TEST_F(ResultsColumns, ACopyOfAStatementThatNoLongerPreparesHoldsNone) {
    Run("create table gone (a);");
    ProbeResults source;
    ASSERT_TRUE(connection.Execute(source, "select a from gone"));
    Run("drop table gone;");
    ProbeResults copy(source);
    EXPECT_FALSE(copy.HasStatement());
    EXPECT_EQ(log, (std::vector<LogLine>{{"no such table: gone", 2}, {"In Query - select a from gone", 0}}));
}

}  // namespace
}  // namespace Database::Testing
