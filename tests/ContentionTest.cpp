// Lock contention: a data file loaded into a database file that another connection, thread or
// process holds locked. The loader's connection waits through its busy callback, logging each
// attempt; a lock held through the whole wait fails the load cleanly, with nothing applied and
// nothing of the other side's lost, and a lock released during the wait lets the load finish.
//
// Every hand-over between the two sides goes through a pipe or a future, never a sleep: the side
// that loads asks for the release from its logger, at a given busy attempt, and waits until the
// lock is gone, so the runs do not depend on how fast a loaded machine schedules them.
#include <gtest/gtest.h>
#include <sqlite3.h>
#if !defined(_WIN32)
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "ZrGameDatabase/XMLSerializer.h"
#include "support/DatabaseDump.h"
#include "support/RecordingLogger.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

constexpr int kOpenFlags = SQLITE_OPEN_READWRITE;
// How long either side waits for the other before it gives up: only a broken run gets near it.
constexpr int kHandOverMilliseconds = 30000;
// The busy attempt at which the loader asks for the lock to be released.
constexpr int kReleaseAttempt = 3;

std::string BusyWarning(int attempt) {
    return "Database is busy. Sleeping for 2 ms... (" + std::to_string(attempt) + ") attempt(s).";
}

// The attempt numbers of the busy warnings in lines, in order. Any other line at warning
// severity is reported as -1, so that a stray warning cannot pass unseen.
std::vector<int> BusyAttempts(const std::vector<LogLine>& lines) {
    std::vector<int> attempts;
    for (const LogLine& line : lines) {
        if (line.severity != 1)
            continue;
        int found = -1;
        for (int attempt = 0; attempt <= 30 && found < 0; ++attempt) {
            if (line.text == BusyWarning(attempt))
                found = attempt;
        }
        attempts.push_back(found);
    }
    return attempts;
}

std::vector<int> AttemptsUpTo(int last) {
    std::vector<int> attempts;
    for (int attempt = 0; attempt <= last; ++attempt)
        attempts.push_back(attempt);
    return attempts;
}

bool HasError(const std::vector<LogLine>& lines, const std::string& text) {
    for (const LogLine& line : lines) {
        if (line.severity == 2 && line.text == text)
            return true;
    }
    return false;
}

// Records every line and, at the busy warning of one attempt, runs an action once: the action
// releases the lock and returns when it is gone, while the busy callback waits for it.
class ReleasingLogger : public RecordingLogger {
public:
    ReleasingLogger(std::vector<LogLine>& lines, std::function<void()> release)
        : RecordingLogger(lines), m_release(std::move(release)) {}
    void Log(const char* text, int severity) override {
        RecordingLogger::Log(text, severity);
        if (m_release && severity == 1 && text != nullptr && text == BusyWarning(kReleaseAttempt)) {
            std::function<void()> release = std::move(m_release);
            m_release = nullptr;
            release();
        }
    }

private:
    std::function<void()> m_release;
};

#if !defined(_WIN32)
// {==== Pipes between two processes

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int ends[2];
        if (pipe(ends) == 0) {
            read = ends[0];
            write = ends[1];
        }
    }
    ~Pipe() {
        Close(read);
        Close(write);
    }
    static void Close(int& fd) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    bool Send(char byte) const { return ::write(write, &byte, 1) == 1; }
    // The next byte, or 0 when the other end closed or nothing came in time.
    char Receive() const {
        pollfd ready{read, POLLIN, 0};
        int polled;
        while ((polled = poll(&ready, 1, kHandOverMilliseconds)) < 0 && errno == EINTR) {
        }
        char byte = 0;
        if (polled != 1 || ::read(read, &byte, 1) != 1)
            return 0;
        return byte;
    }
};

// }====
#endif


class Contention : public ::testing::Test {
protected:
    // The database every run starts from, made and closed before the other side opens it, so
    // that no connection is carried across a fork.
    Contention() : path(folder.File("rules.db")) {
        Connection setup(path.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        const bool created = setup.ExecuteMultiple(
            "create table Units (ID integer primary key, Type text unique, Cost integer);"
            "insert into Units (Type, Cost) values ('UNIT_A', 1), ('UNIT_B', 2);");
        EXPECT_TRUE(created);
        before = DumpDatabase(setup.Handle());
    }

    // A connection of the loading side, with the logger that records its lines.
    void OpenLoader(IDatabaseLogger* logger) {
        loader.Open(path.c_str(), kOpenFlags);
        loader.SetLogger(logger);
    }

    bool LoadFile(const std::string& xml) {
        XMLSerializer serializer(loader);
        text.assign(xml.begin(), xml.end());
        text.push_back('\0');
        const bool loaded = serializer.LoadFromMemory("units.xml", text.data(), static_cast<unsigned int>(text.size()));
        error = serializer.ErrorMessage();
        errorLine = serializer.ErrorLine();
        return loaded;
    }

    std::string Units() {
        Results rows;
        std::string joined;
        if (!loader.Execute(rows, "select Type || ':' || Cost from Units order by ID"))
            return "(cannot read Units)";
        while (rows.Step())
            joined += std::string(joined.empty() ? "" : " ") + rows.GetText(0);
        return joined;
    }

    // A failed load: false, the database's reason, the failing element's line, no transaction
    // left open, the busy attempts 0 to 30 logged before the failure was reported.
    void ExpectLockedOut(bool loaded, int line) {
        EXPECT_FALSE(loaded);
        EXPECT_EQ(error, "Database::XMLSerializer (units.xml): database is locked");
        EXPECT_EQ(errorLine, line);
        EXPECT_EQ(sqlite3_get_autocommit(loader.Handle()), 1);
        EXPECT_EQ(BusyAttempts(log), AttemptsUpTo(30));
        EXPECT_TRUE(HasError(log, "database is locked"));
    }

    TemporaryDirectory folder;
    std::string path;
    std::string before;
    std::vector<LogLine> log;
    Connection loader;
    std::vector<char> text;
    std::string error;
    int errorLine = 0;
};

// A table first: its statement is compiled before it runs, so an exclusive lock is met while the
// schema is read, a reserved one when the table is written.
const char* const kSchemaFile = "<GameData>\n<Table name=\"Eras\"><Column name=\"Type\" type=\"text\"/></Table>\n"
                                "<Units><Row Type=\"UNIT_LOADED\" Cost=\"5\"/></Units>\n</GameData>\n";
// Rows only: the lock is met when the first row is written.
const char* const kRowsFile = "<GameData>\n<Units>\n<Row Type=\"UNIT_C\" Cost=\"3\"/>\n"
                              "<Row Type=\"UNIT_D\" Cost=\"4\"/>\n"
                              "</Units>\n</GameData>\n";

TEST_F(Contention, AWriteLockHeldThroughTheBusyWaitFailsTheLoadWithNothingApplied) {
    OpenLoader(new RecordingLogger(log));
    Connection holder(path.c_str(), kOpenFlags);
    for (const char* begin : {"BEGIN EXCLUSIVE TRANSACTION", "BEGIN IMMEDIATE TRANSACTION"}) {
        SCOPED_TRACE(begin);
        ASSERT_TRUE(holder.Execute(begin));
        ASSERT_TRUE(holder.Execute("insert into Units (Type, Cost) values ('UNIT_HELD', 9)"));
        log.clear();
        ExpectLockedOut(LoadFile(kSchemaFile), 2);
        log.clear();
        ExpectLockedOut(LoadFile(kRowsFile), 3);
        ASSERT_TRUE(holder.Execute("ROLLBACK"));
        EXPECT_EQ(DumpDatabase(loader.Handle()), before);
    }
    // Once the lock is gone the same connection loads the same files.
    log.clear();
    EXPECT_TRUE(LoadFile(kSchemaFile)) << error;
    EXPECT_TRUE(LoadFile(kRowsFile)) << error;
    EXPECT_EQ(Units(), "UNIT_A:1 UNIT_B:2 UNIT_LOADED:5 UNIT_C:3 UNIT_D:4");
    EXPECT_TRUE(log.empty());
}

TEST_F(Contention, ACallersCacheOutlivesALockedOutLoad) {
    OpenLoader(new RecordingLogger(log));
    ResultsCache cache(loader);
    XMLSerializer serializer(loader);
    std::string xml = kRowsFile;
    std::vector<char> buffer(xml.begin(), xml.end());
    buffer.push_back('\0');
    std::vector<char> copy = buffer;
    Connection holder(path.c_str(), kOpenFlags);
    ASSERT_TRUE(holder.Execute("BEGIN IMMEDIATE TRANSACTION"));
    EXPECT_FALSE(
        serializer.LoadFromMemory("units.xml", buffer.data(), static_cast<unsigned int>(buffer.size()), cache));
    ASSERT_TRUE(holder.Execute("ROLLBACK"));
    // The statements the cache kept from the failed load serve the next one as if nothing happened.
    log.clear();
    EXPECT_TRUE(serializer.LoadFromMemory("units.xml", copy.data(), static_cast<unsigned int>(copy.size()), cache))
        << serializer.ErrorMessage();
    EXPECT_TRUE(log.empty()) << log.front().text;
    EXPECT_EQ(Units(), "UNIT_A:1 UNIT_B:2 UNIT_C:3 UNIT_D:4");
}

TEST_F(Contention, AWriteLockReleasedDuringTheBusyWaitLetsTheLoadFinish) {
    for (const char* begin : {"BEGIN EXCLUSIVE TRANSACTION", "BEGIN IMMEDIATE TRANSACTION"}) {
        SCOPED_TRACE(begin);
        std::promise<void> locked;
        std::promise<void> release;
        std::promise<bool> released;
        std::future<bool> releasedFuture = released.get_future();
        // The other thread takes the lock, writes a row of its own, and commits it when asked.
        std::thread holderThread([&] {
            Connection holder(path.c_str(), kOpenFlags);
            const bool holding = holder.Execute(begin)
                                 && holder.Execute("insert into Units (Type, Cost) values ('UNIT_HELD', 9)");
            locked.set_value();
            release.get_future().wait();
            holder.CommitTransaction();
            released.set_value(holding && sqlite3_get_autocommit(holder.Handle()) == 1);
        });
        locked.get_future().wait();
        log.clear();
        bool releasedInTime = false;
        OpenLoader(new ReleasingLogger(log, [&] {
            release.set_value();
            releasedInTime = releasedFuture.wait_for(std::chrono::milliseconds(kHandOverMilliseconds))
                             == std::future_status::ready;
        }));
        const bool loaded = LoadFile(kSchemaFile);
        if (!releasedInTime)
            release.set_value();  // the load never met the lock: let the thread go all the same
        holderThread.join();
        ASSERT_TRUE(releasedInTime) << "the load never waited for the lock";
        EXPECT_TRUE(releasedFuture.get()) << "the holder did not hold and commit its row";
        EXPECT_TRUE(loaded) << error;
        EXPECT_EQ(BusyAttempts(log), AttemptsUpTo(kReleaseAttempt));
        EXPECT_EQ(Units(), "UNIT_A:1 UNIT_B:2 UNIT_HELD:9 UNIT_LOADED:5");
        EXPECT_EQ(sqlite3_get_autocommit(loader.Handle()), 1);
        ASSERT_TRUE(loader.ExecuteMultiple("drop table Eras; delete from Units where ID > 2;"));
    }
}

TEST_F(Contention, AReaderAtCommitTimeFailsTheLoadUnlessItStopsDuringTheWait) {
    Connection reader(path.c_str(), kOpenFlags);
    Results reading;
    ASSERT_TRUE(reader.Execute(reading, "select Type from Units"));
    ASSERT_TRUE(reading.Step());  // a statement in the middle of its rows holds a shared lock

    OpenLoader(new RecordingLogger(log));
    // The rows are written; the commit cannot get the exclusive lock it needs.
    ExpectLockedOut(LoadFile(kRowsFile), 0);
    reading.Release();
    EXPECT_EQ(DumpDatabase(loader.Handle()), before);

    ASSERT_TRUE(reader.Execute(reading, "select Type from Units"));
    ASSERT_TRUE(reading.Step());
    log.clear();
    loader.SetLogger(new ReleasingLogger(log, [&] { reading.Release(); }));
    EXPECT_TRUE(LoadFile(kRowsFile)) << error;
    EXPECT_EQ(BusyAttempts(log), AttemptsUpTo(kReleaseAttempt));
    EXPECT_EQ(Units(), "UNIT_A:1 UNIT_B:2 UNIT_C:3 UNIT_D:4");
}

#if !defined(_WIN32)
// {==== Another process

// The child's side: takes an exclusive lock, writes a row, says so, and ends its transaction the
// way the parent asks ('C' commit, anything else roll back), then says it is done. Its exit
// status tells whether every step worked. It never returns into the test framework.
[[noreturn]] void HoldLockInChild(const std::string& path, const Pipe& toParent, const Pipe& fromParent) {
    bool worked = false;
    {
        Connection holder(path.c_str(), kOpenFlags);
        worked = holder.Execute("BEGIN EXCLUSIVE TRANSACTION")
                 && holder.Execute("insert into Units (Type, Cost) values ('UNIT_CHILD', 8)");
        toParent.Send(worked ? 'L' : 'F');
        const char order = fromParent.Receive();
        worked = holder.Execute(order == 'C' ? "COMMIT" : "ROLLBACK") && worked;
    }
    toParent.Send('D');
    _exit(worked ? 0 : 1);
}

class ContentionWithAProcess : public Contention {
protected:
    // Forks the child that holds the lock and waits until it holds it.
    bool StartHolder() {
        child = fork();
        if (child == 0)
            HoldLockInChild(path, toParent, fromParent);
        return child > 0 && toParent.Receive() == 'L';
    }
    // Tells the child how to end its transaction and waits until it did.
    bool Release(char order) { return fromParent.Send(order) && toParent.Receive() == 'D'; }
    int WaitForChild() {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        child = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~ContentionWithAProcess() override {
        if (child > 0) {
            fromParent.Send('R');
            WaitForChild();
        }
    }

    Pipe toParent;
    Pipe fromParent;
    pid_t child = -1;
};

TEST_F(ContentionWithAProcess, ALockHeldByAnotherProcessFailsTheLoadCleanly) {
    ASSERT_TRUE(StartHolder());
    OpenLoader(new RecordingLogger(log));
    ExpectLockedOut(LoadFile(kSchemaFile), 2);
    ASSERT_TRUE(Release('C'));
    EXPECT_EQ(WaitForChild(), 0);
    // The other process's row is there; nothing of the failed file is.
    EXPECT_EQ(Units(), "UNIT_A:1 UNIT_B:2 UNIT_CHILD:8");
    Results eras;
    EXPECT_FALSE(loader.Execute(eras, "select * from Eras"));
}

TEST_F(ContentionWithAProcess, ALockReleasedByAnotherProcessDuringTheWaitLetsTheLoadFinish) {
    ASSERT_TRUE(StartHolder());
    bool released = false;
    OpenLoader(new ReleasingLogger(log, [&] { released = Release('C'); }));
    EXPECT_TRUE(LoadFile(kSchemaFile)) << error;
    ASSERT_TRUE(released) << "the load never waited for the lock";
    EXPECT_EQ(WaitForChild(), 0);
    EXPECT_EQ(BusyAttempts(log), AttemptsUpTo(kReleaseAttempt));
    EXPECT_EQ(Units(), "UNIT_A:1 UNIT_B:2 UNIT_CHILD:8 UNIT_LOADED:5");
}

#else
// The other process is a fork of this one, which Windows cannot make; the threads above hold the
// same locks through the same SQLite.
TEST(ContentionWithAProcess, ALockHeldByAnotherProcessFailsTheLoadCleanly) {
    GTEST_SKIP() << "needs fork()";
}

TEST(ContentionWithAProcess, ALockReleasedByAnotherProcessDuringTheWaitLetsTheLoadFinish) {
    GTEST_SKIP() << "needs fork()";
}
#endif
// }====

}  // namespace
}  // namespace Database::Testing
