// Transactions and savepoints: nesting on "_", full rollback, named savepoints, and the errors
// SQLite reports for statements its rules refuse.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "ZrGameDatabase/DatabaseResults.h"
#include "support/ConnectionFixture.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

class TransactionFixture : public ConnectionFixture {
protected:
    TransactionFixture() { Run("create table t (a);"); }
    std::string Values() { return Scalar("select ifnull(group_concat(a), '') from t"); }
    bool InTransaction() { return sqlite3_get_autocommit(connection.Handle()) == 0; }
};

using NestableTransactions = TransactionFixture;

TEST_F(NestableTransactions, OnlyTheOutermostEndCommits) {
    TemporaryDirectory folder;
    const std::string path = folder.File("nested.db");
    Connection writer(path.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ASSERT_TRUE(writer.Execute("create table t (a)"));
    Connection reader(path.c_str(), SQLITE_OPEN_READWRITE);
    const auto committed = [&] {
        Results count;
        return reader.Execute(count, "select count(*) from t") && count.Step() ? count.GetInt(0) : -1;
    };

    writer.BeginTransaction();
    writer.BeginTransaction();
    ASSERT_TRUE(writer.Execute("insert into t values (1)"));
    writer.EndTransaction();
    EXPECT_EQ(committed(), 0);
    writer.EndTransaction();
    EXPECT_EQ(committed(), 1);
}

TEST_F(NestableTransactions, RollbackUndoesEveryLevel) {
    Run("insert into t values (0);");
    connection.BeginTransaction();
    ASSERT_TRUE(connection.Execute("insert into t values (1)"));
    connection.BeginTransaction();
    ASSERT_TRUE(connection.Execute("insert into t values (2)"));
    connection.RollbackTransaction();
    EXPECT_FALSE(InTransaction());
    EXPECT_EQ(Values(), "0");
    EXPECT_TRUE(log.empty());
    // No savepoint named "_" survived the rollback. A failed step is reported by finalize and
    // then by Execute itself, so each refusal shows twice.
    connection.EndTransaction();
    EXPECT_EQ(log, (std::vector<LogLine>{{"no such savepoint: _", 2}, {"no such savepoint: _", 2}}));
}

TEST_F(NestableTransactions, EndWithNothingOpenLogsAndChangesNothing) {
    Run("insert into t values (1);");
    connection.EndTransaction();
    connection.CommitTransaction();
    EXPECT_EQ(log, (std::vector<LogLine>{{"no such savepoint: _", 2},
                                         {"no such savepoint: _", 2},
                                         {"cannot commit - no transaction is active", 2},
                                         {"cannot commit - no transaction is active", 2}}));
    EXPECT_EQ(Values(), "1");
}

using PlainTransactions = TransactionFixture;

TEST_F(PlainTransactions, BeginKindsAndCommit) {
    connection.BeginDeferredTransaction();
    connection.CommitTransaction();
    connection.BeginImmediateTransaction();
    ASSERT_TRUE(connection.Execute("insert into t values (1)"));
    connection.CommitTransaction();
    connection.BeginExclusiveTransaction();
    connection.BeginDeferredTransaction();
    EXPECT_EQ(log, (std::vector<LogLine>{{"cannot start a transaction within a transaction", 2},
                                         {"cannot start a transaction within a transaction", 2}}));
    connection.RollbackTransaction();
    EXPECT_EQ(Values(), "1");
    EXPECT_FALSE(InTransaction());
}

using NamedSavePoints = TransactionFixture;

TEST_F(NamedSavePoints, RollingBackToASavePointKeepsItOpen) {
    ASSERT_TRUE(connection.SetSavePoint("before_mod"));
    ASSERT_TRUE(connection.Execute("insert into t values (1)"));
    ASSERT_TRUE(connection.RollbackToSavePoint("before_mod"));
    EXPECT_EQ(Values(), "");
    EXPECT_TRUE(InTransaction());
    ASSERT_TRUE(connection.Execute("insert into t values (2)"));
    ASSERT_TRUE(connection.RollbackToSavePoint("before_mod"));
    ASSERT_TRUE(connection.Execute("RELEASE before_mod"));
    EXPECT_FALSE(InTransaction());
    EXPECT_TRUE(log.empty());
}

TEST_F(NamedSavePoints, UnknownNamesFail) {
    EXPECT_FALSE(connection.RollbackToSavePoint("never_set"));
    EXPECT_EQ(log, (std::vector<LogLine>{{"no such savepoint: never_set", 2},
                                         {"no such savepoint: never_set", 2}}));
}

TEST_F(NamedSavePoints, NamesThatDoNotFitAreRefusedAndNothingRuns) {
    const std::string longest(256 - sizeof("ROLLBACK TO "), 'n');
    const std::string tooLong(256 - sizeof("SAVEPOINT ") + 1, 'n');
    EXPECT_FALSE(connection.SetSavePoint(tooLong.c_str()));
    EXPECT_FALSE(connection.SetSavePoint(nullptr));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].severity, 2);
    EXPECT_NE(log[0].text.find("does not fit"), std::string::npos);
    EXPECT_EQ(log[1], (LogLine{"A savepoint needs a name.", 2}));
    EXPECT_FALSE(InTransaction());

    log.clear();
    ASSERT_TRUE(connection.SetSavePoint(longest.c_str()));
    EXPECT_TRUE(connection.RollbackToSavePoint(longest.c_str()));
    EXPECT_TRUE(log.empty());
}

}  // namespace
}  // namespace Database::Testing
