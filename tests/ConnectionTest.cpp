// Connection core: set-up, opening and closing, logging, running SQL text, the busy wait and the
// Command pair.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Memory.h"
#include "core/Command.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "support/ConnectionFixture.h"
#include "support/RecordingLogger.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

constexpr int kReadWriteCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;

// A Results that lets the tests look at the statement it holds.
struct ProbeResults : Results {
    using Results::HasStatement;
    using Results::Statement;
};

TEST(ConnectionSetUp, SqliteRunsOnTheLibraryMemoryMethods) {
    Connection first(nullptr, kReadWriteCreate);
    Connection second(nullptr, kReadWriteCreate);
    // Configuration is refused once SQLite is initialised: the second construction changed nothing.
    EXPECT_EQ(sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0), SQLITE_MISUSE);
    const std::uint32_t before = Memory::SqliteStatistics().currentUserBytes;
    void* block = sqlite3_malloc(1);
    EXPECT_EQ(Memory::SqliteStatistics().currentUserBytes, before + 8);
    EXPECT_EQ(sqlite3_msize(block), 8u);
    sqlite3_free(block);
    EXPECT_EQ(Memory::SqliteStatistics().currentUserBytes, before);
    EXPECT_GE(Memory::SqliteStatistics().peakUserBytes, before + 8);
}

TEST(ConnectionOpen, NullPathOpensAPrivateInMemoryDatabase) {
    Connection first(nullptr, kReadWriteCreate);
    Connection second;
    ASSERT_TRUE(second.Open(nullptr, kReadWriteCreate));
    ASSERT_TRUE(first.Execute("create table only_here (a)"));
    EXPECT_TRUE(first.Execute("select * from only_here"));
    EXPECT_FALSE(second.Execute("select * from only_here"));
}

TEST(ConnectionOpen, FailureKeepsTheHandleForInspectionAndIsLoggedOutsideTheConstructor) {
    std::vector<LogLine> log;
    Connection quiet("/nonexistent-folder/x.db", SQLITE_OPEN_READWRITE);
    EXPECT_EQ(quiet.ErrorCode(), SQLITE_CANTOPEN);
    EXPECT_STREQ(quiet.ErrorMessage(), "unable to open database file");

    Connection connection;
    connection.SetLogger(new RecordingLogger(log));
    EXPECT_FALSE(connection.Open("/nonexistent-folder/x.db", SQLITE_OPEN_READWRITE));
    EXPECT_EQ(log, (std::vector<LogLine>{{"unable to open database file", 2}}));
    EXPECT_NE(connection.Handle(), nullptr);
}

TEST(ConnectionOpen, ReopeningClosesTheHandleHeldFirst) {
    TemporaryDirectory folder;
    const std::string path = folder.File("game.db");
    Connection holder(path.c_str(), kReadWriteCreate);
    ASSERT_TRUE(holder.Execute("create table t (a)"));
    ASSERT_TRUE(holder.Execute("begin exclusive"));
    ProbeResults live;
    ASSERT_TRUE(holder.Execute(live, "select * from t"));

    ASSERT_TRUE(holder.Open(nullptr, kReadWriteCreate));
    EXPECT_FALSE(live.HasStatement());
    // The exclusive lock went with the old handle: another connection writes at once.
    Connection other(path.c_str(), kReadWriteCreate);
    ASSERT_TRUE(other.SetBusyTimeout(0));
    EXPECT_TRUE(other.Execute("insert into t values (1)"));
}

TEST(ConnectionErrors, WithoutAHandleNothingReachesSqlite) {
    std::vector<LogLine> log;
    Connection connection;
    connection.SetLogger(new RecordingLogger(log));
    EXPECT_EQ(connection.ErrorCode(), -1);
    EXPECT_EQ(connection.ErrorMessage(), nullptr);
    EXPECT_FALSE(connection.Execute("select 1"));
    EXPECT_FALSE(connection.ExecuteMultiple("select 1; select 2"));
    EXPECT_FALSE(connection.SetBusyTimeout(10));
    ProbeResults results;
    EXPECT_FALSE(connection.Execute(results, "select 1"));
    EXPECT_EQ(log, (std::vector<LogLine>{{"(null)", 2}, {"(null)", 2}, {"(null)", 2},
                                         {"(null)", 2}, {"In Query - select 1", 0}}));
}

TEST(ConnectionLogger, EachLoggerIsDestroyedExactlyOnce) {
    std::vector<LogLine> log;
    int firstDestroyed = 0;
    int secondDestroyed = 0;
    {
        Connection connection;
        connection.SetLogger(new RecordingLogger(log, &firstDestroyed));
        connection.LogMessage("one");
        connection.SetLogger(new RecordingLogger(log, &secondDestroyed));
        EXPECT_EQ(firstDestroyed, 1);
        connection.LogWarning("two");
        connection.LogError("three");
        EXPECT_EQ(secondDestroyed, 0);
    }
    EXPECT_EQ(firstDestroyed, 1);
    EXPECT_EQ(secondDestroyed, 1);
    EXPECT_EQ(log, (std::vector<LogLine>{{"one", 0}, {"two", 1}, {"three", 2}}));

    Connection silent;
    silent.SetLogger(new RecordingLogger(log, &firstDestroyed));
    silent.SetLogger(nullptr);
    EXPECT_EQ(firstDestroyed, 2);
    silent.LogError("dropped");
    EXPECT_EQ(log.size(), 3u);
}

using ConnectionExecute = ConnectionFixture;

TEST_F(ConnectionExecute, TextWithoutAStatementFailsSilently) {
    EXPECT_FALSE(connection.Execute(""));
    EXPECT_FALSE(connection.Execute("   \n\t "));
    EXPECT_FALSE(connection.Execute("-- only a comment"));
    EXPECT_TRUE(log.empty());
}

TEST_F(ConnectionExecute, RunsOnlyTheFirstStatementAndDiscardsRows) {
    Run("create table t (a); insert into t values (1), (2);");
    EXPECT_TRUE(connection.Execute("select * from t"));
    EXPECT_TRUE(connection.Execute("insert into t values (3); insert into t values (4);"));
    EXPECT_EQ(Scalar("select group_concat(a) from t"), "1,2,3");
    EXPECT_TRUE(log.empty());
}

TEST_F(ConnectionExecute, LengthLimitsTheText) {
    Run("create table t (a);");
    const char sql[] = "insert into t values (1) and what follows is not read";
    EXPECT_TRUE(connection.Execute(sql, 24));
    EXPECT_EQ(Scalar("select group_concat(a) from t"), "1");
    EXPECT_FALSE(connection.Execute(sql, 23));
    EXPECT_EQ(log, (std::vector<LogLine>{{"incomplete input", 2}}));
}

TEST_F(ConnectionExecute, FailuresLogSqliteText) {
    Run("create table t (a unique); insert into t values (1);");
    EXPECT_FALSE(connection.Execute("selec 1"));
    EXPECT_FALSE(connection.Execute("insert into t values (1)"));
    EXPECT_EQ(log, (std::vector<LogLine>{{"near \"selec\": syntax error", 2},
                                         {"UNIQUE constraint failed: t.a", 2},
                                         {"UNIQUE constraint failed: t.a", 2}}));
}

TEST_F(ConnectionExecute, MultipleRunsEveryStatementAndStopsAtTheFirstFailure) {
    EXPECT_TRUE(connection.ExecuteMultiple("create table t (a unique); insert into t values (1); "
                                           "insert into t values (2); -- trailing comment\n  "));
    EXPECT_EQ(Scalar("select count(*) from t"), "2");

    EXPECT_FALSE(connection.ExecuteMultiple("insert into t values (3); insert into t values (1); "
                                            "insert into t values (4);"));
    EXPECT_EQ(Scalar("select group_concat(a) from t"), "1,2,3");
    EXPECT_EQ(log, (std::vector<LogLine>{{"UNIQUE constraint failed: t.a", 2},
                                         {"UNIQUE constraint failed: t.a", 2}}));
    log.clear();

    EXPECT_FALSE(connection.ExecuteMultiple("insert into t values (5); bogus;"));
    EXPECT_EQ(Scalar("select max(a) from t"), "5");
    EXPECT_EQ(log, (std::vector<LogLine>{{"near \"bogus\": syntax error", 2}}));
}

TEST_F(ConnectionExecute, MultipleHonoursTheLength) {
    Run("create table t (a);");
    const std::string sql = "insert into t values (1); insert into t values (2);";
    EXPECT_TRUE(connection.ExecuteMultiple(sql.c_str(), 25));
    EXPECT_EQ(Scalar("select group_concat(a) from t"), "1");
}

using ConnectionCommand = ConnectionFixture;

TEST_F(ConnectionCommand, PrepareReportsFailuresWithTheSql) {
    Command command(&connection);
    EXPECT_EQ(command.Prepare("select * from missing", -1), Status::Refused);
    EXPECT_EQ(command.Prepare("   ", -1), Status::Refused);
    EXPECT_EQ(log, (std::vector<LogLine>{{"no such table: missing", 2},
                                         {"In Query - select * from missing", 0},
                                         {"In Query -    ", 0}}));
    EXPECT_EQ(command.Statement(), nullptr);
}

TEST_F(ConnectionCommand, APairHoldingAStatementRefusesAnother) {
    Command command(&connection);
    ASSERT_EQ(command.Prepare("select 1", -1), Status::Ok);
    sqlite3_stmt* held = command.Statement();
    EXPECT_EQ(command.Prepare("select 2", -1), Status::Refused);
    EXPECT_EQ(command.Statement(), held);
    EXPECT_EQ(log, (std::vector<LogLine>{{"Command must be released prior to reuse.", 2}}));
    command.Release();
    EXPECT_EQ(command.Statement(), nullptr);
    EXPECT_EQ(sqlite3_next_stmt(connection.Handle(), nullptr), nullptr);
}

TEST_F(ConnectionCommand, WithoutAConnectionNothingIsPreparedOrLogged) {
    Command command;
    EXPECT_EQ(command.Prepare("select 1", -1), Status::Refused);
    EXPECT_TRUE(log.empty());
}

using ConnectionClose = ConnectionFixture;

TEST_F(ConnectionClose, FinalizesStatementsOfLiveResultsExactlyOnce) {
    Run("create table t (a); insert into t values (1), (2);");
    auto stepping = std::make_unique<ProbeResults>();
    auto prepared = std::make_unique<ProbeResults>();
    ASSERT_TRUE(connection.Execute(*stepping, "select a from t"));
    ASSERT_TRUE(stepping->Step());
    ASSERT_TRUE(connection.Execute(*prepared, "insert into t values (3)"));

    connection.Close();
    EXPECT_EQ(connection.Handle(), nullptr);
    EXPECT_FALSE(stepping->HasStatement());
    EXPECT_FALSE(stepping->Step());
    EXPECT_FALSE(prepared->Execute());
    EXPECT_FALSE(prepared->Reset());

    // Statements of the new handle are the forgotten objects' no longer: destroying them must
    // not finalize anything, or the new statement would go with them.
    ASSERT_TRUE(connection.Open(nullptr, kReadWriteCreate));
    ProbeResults fresh;
    ASSERT_TRUE(connection.Execute(fresh, "select 42"));
    stepping.reset();
    prepared.reset();
    ASSERT_TRUE(fresh.Step());
    EXPECT_EQ(sqlite3_column_int(fresh.Statement(), 0), 42);
    EXPECT_TRUE(log.empty());
}

TEST_F(ConnectionClose, TwiceIsHarmless) {
    connection.Close();
    connection.Close();
    EXPECT_EQ(connection.Handle(), nullptr);
    EXPECT_TRUE(log.empty());
}

// Two connections on one file: the holder takes an exclusive lock, the waiter tries to write.
class ConnectionBusy : public ::testing::Test {
protected:
    void SetUp() override {
        path = folder.File("busy.db");
        holder = std::make_unique<Connection>(path.c_str(), kReadWriteCreate);
        ASSERT_TRUE(holder->Execute("create table t (a)"));
        ASSERT_TRUE(holder->Execute("begin exclusive"));
        waiter = std::make_unique<Connection>(path.c_str(), kReadWriteCreate);
        waiter->SetLogger(new RecordingLogger(log));
    }

    TemporaryDirectory folder;
    std::string path;
    std::vector<LogLine> log;
    std::unique_ptr<Connection> holder;
    std::unique_ptr<Connection> waiter;
};

TEST_F(ConnectionBusy, WaitsThirtyOneTimesThenFails) {
    EXPECT_FALSE(waiter->Execute("insert into t values (1)"));
    ASSERT_EQ(log.size(), 32u);
    for (int attempt = 0; attempt <= 30; ++attempt) {
        EXPECT_EQ(log[attempt], (LogLine{"Database is busy. Sleeping for 2 ms... (" + std::to_string(attempt)
                                             + ") attempt(s).", 1}));
    }
    EXPECT_EQ(log.back(), (LogLine{"database is locked", 2}));
    EXPECT_EQ(waiter->ErrorCode(), SQLITE_BUSY);
}

TEST_F(ConnectionBusy, NoTimeoutFailsAtOnce) {
    ASSERT_TRUE(waiter->SetBusyTimeout(0));
    EXPECT_FALSE(waiter->Execute("insert into t values (1)"));
    EXPECT_EQ(log, (std::vector<LogLine>{{"database is locked", 2}}));
}

TEST_F(ConnectionBusy, SucceedsOnceTheLockIsReleased) {
    ASSERT_TRUE(holder->Execute("commit"));
    EXPECT_TRUE(waiter->Execute("insert into t values (1)"));
    EXPECT_TRUE(log.empty());
}

}  // namespace
}  // namespace Database::Testing
