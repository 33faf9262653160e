// Snapshots: a save and load round trip, the refusal to load under a running statement, loads
// from missing or foreign files that must change nothing, saving over a snapshot, and the
// connection's cached counts after a load.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ZrGameDatabase/BinaryIO.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "support/ConnectionFixture.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

constexpr int kReadWriteCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;

class Snapshot : public ConnectionFixture {
protected:
    Snapshot() {
        Run("create table Eras (ID integer primary key, Type text unique);"
            "create table Units (Type text, Era integer references Eras, Cost real, Icon blob);"
            "create index Units_Era on Units (Era);"
            "create view Costly as select Type from Units where Cost > 50;"
            "insert into Eras values (1, 'ERA_ANCIENT'), (2, 'ERA_\"MODERN\"');"
            "insert into Units values ('UNIT_A', 1, 40.5, x'00ff'), ('UNIT_B', 2, 60, NULL), ('O''Brien', NULL, NULL, x'');");
    }

    // Every schema entry and every row of every table of connection, as one text.
    static std::string Dump(Connection& target) {
        std::string dump;
        Results schema;
        if (!target.Execute(schema, "select type, name, ifnull(sql, '') from sqlite_master order by name"))
            return "(no schema)";
        while (schema.Step()) {
            dump += std::string(schema.GetText(0)) + " " + schema.GetText(1) + ": " + schema.GetText(2) + "\n";
            if (std::string(schema.GetText(0)) != "table")
                continue;
            Results rows;
            const std::string sql = std::string("select quote(rowid), * from \"") + schema.GetText(1) + "\"";
            if (!target.Execute(rows, sql.c_str()))
                return "(no rows)";
            while (rows.Step()) {
                for (int column = 0; column < rows.ColumnCount(); ++column) {
                    const char* text = rows.GetText(column);
                    dump += std::string(text != nullptr ? text : "NULL") + (column + 1 < rows.ColumnCount() ? "|" : "\n");
                }
            }
        }
        return dump;
    }

    TemporaryDirectory folder;
    const std::string path = folder.File("rules.db");
};

TEST_F(Snapshot, EveryTableAndRowComeBackInAFreshConnection) {
    const std::string before = Dump(connection);
    ASSERT_NE(before.find("O'Brien"), std::string::npos);
    BinaryIO snapshot(path.c_str());
    ASSERT_TRUE(snapshot << connection);

    // The file is a plain database that SQLite opens by itself.
    Connection reader(path.c_str(), SQLITE_OPEN_READONLY);
    EXPECT_EQ(Dump(reader), before);

    std::vector<LogLine> freshLog;
    Connection fresh(nullptr, kReadWriteCreate);
    fresh.SetLogger(new RecordingLogger(freshLog));
    ASSERT_TRUE(fresh.Execute("create table Leftover (a)"));
    ASSERT_TRUE(snapshot >> fresh);
    EXPECT_EQ(Dump(fresh), before);
    EXPECT_TRUE(fresh.CheckIntegrity());
    EXPECT_TRUE(freshLog.empty());
    EXPECT_TRUE(log.empty());
}

TEST_F(Snapshot, SavingOverASnapshotReplacesIt) {
    BinaryIO snapshot(path.c_str());
    ASSERT_TRUE(snapshot.Save(connection));
    Run("delete from Units; drop view Costly; create table Added (a); insert into Added values (1);");
    ASSERT_TRUE(snapshot.Save(connection));

    Connection fresh(nullptr, kReadWriteCreate);
    ASSERT_TRUE(snapshot.Load(fresh));
    EXPECT_EQ(Dump(fresh), Dump(connection));
}

TEST_F(Snapshot, ALoadUnderASteppingStatementIsRefusedAndCopiesNothing) {
    Connection source(nullptr, kReadWriteCreate);
    ASSERT_TRUE(source.Execute("create table Other (a)"));
    BinaryIO snapshot(path.c_str());
    ASSERT_TRUE(snapshot.Save(source));

    const std::string before = Dump(connection);
    Results idle;
    Results stepping;
    ASSERT_TRUE(connection.Execute(idle, "select ID from Eras"));
    ASSERT_TRUE(connection.Execute(stepping, "select Type from Units"));
    ASSERT_TRUE(stepping.Step());
    EXPECT_FALSE(snapshot.Load(connection));
    EXPECT_EQ(log, (std::vector<LogLine>{{"Attempting to Save/Load database while the connection is busy!", 1},
                                         {"Busy Statements:", 1},
                                         {"select Type from Units", 1}}));
    EXPECT_EQ(Dump(connection), before);
    log.clear();

    // A save is not checked: it reads under the running statement.
    EXPECT_TRUE(BinaryIO(folder.File("copy.db").c_str()).Save(connection));

    // Statements that are prepared but not stepping do not hold the load up.
    ASSERT_TRUE(stepping.Reset());
    EXPECT_TRUE(snapshot.Load(connection));
    EXPECT_EQ(Dump(connection), Dump(source));
    EXPECT_TRUE(log.empty());
}

TEST_F(Snapshot, ALoadFromAMissingFileFailsAndCreatesNothing) {
    const std::string before = Dump(connection);
    const std::string missing = folder.File("mistyped.db");
    EXPECT_FALSE(BinaryIO(missing.c_str()).Load(connection));
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_FALSE(BinaryIO(folder.File("no-folder/x.db").c_str()).Load(connection));
    EXPECT_EQ(Dump(connection), before);
    EXPECT_EQ(log, (std::vector<LogLine>(2, LogLine{"Failed to Load database.", 2})));
}

TEST_F(Snapshot, ANameThatIsNoFileIsRefusedBothWays) {
    const std::string before = Dump(connection);
    for (const char* name : {"", ":memory:", "file::memory:"}) {
        log.clear();
        EXPECT_FALSE(BinaryIO(name).Load(connection)) << name;
        EXPECT_FALSE(BinaryIO(name).Save(connection)) << name;
        EXPECT_EQ(log, (std::vector<LogLine>{{"Failed to Load database.", 2}, {"Failed to Save database.", 2}})) << name;
    }
    EXPECT_EQ(Dump(connection), before);
}

TEST_F(Snapshot, AFileThatIsNotADatabaseIsNeitherLoadedNorOverwritten) {
    const std::string before = Dump(connection);
    const std::string text(8192, 'x');
    const std::string notes = folder.Write("notes.txt", text);
    EXPECT_FALSE(BinaryIO(notes.c_str()).Load(connection));
    EXPECT_STREQ(connection.ErrorMessage(), "file is not a database");
    EXPECT_EQ(Dump(connection), before);
    EXPECT_FALSE(BinaryIO(notes.c_str()).Save(connection));
    EXPECT_FALSE(BinaryIO(folder.File("no-folder/x.db").c_str()).Save(connection));
    EXPECT_EQ(log, (std::vector<LogLine>{{"Failed to Load database.", 2},
                                         {"Failed to Save database.", 2},
                                         {"Failed to Save database.", 2}}));
    EXPECT_EQ(std::filesystem::file_size(notes), text.size());
}

TEST_F(Snapshot, CountsCachedBeforeALoadAreForgotten) {
    Connection source(nullptr, kReadWriteCreate);
    ASSERT_TRUE(source.ExecuteMultiple("create table Units (Type text); insert into Units values ('ONLY');"));
    BinaryIO snapshot(path.c_str());
    ASSERT_TRUE(snapshot.Save(source));

    ASSERT_EQ(connection.Count("Units", true), 3);
    ASSERT_EQ(connection.Count("Eras", false), 2);
    ASSERT_TRUE(snapshot.Load(connection));
    EXPECT_EQ(connection.StatementCount(), 0);
    EXPECT_EQ(connection.Count("Units", true), 1);
    EXPECT_EQ(connection.Count("Eras", false), -1);
    EXPECT_EQ(log, (std::vector<LogLine>{{"no such table: Eras", 2}}));
}

TEST(SnapshotClosed, AClosedConnectionIsNeitherSavedNorLoaded) {
    std::vector<LogLine> log;
    Connection closed;
    closed.SetLogger(new RecordingLogger(log));
    TemporaryDirectory folder;
    const std::string path = folder.File("never.db");
    EXPECT_FALSE(BinaryIO(path.c_str()).Save(closed));
    EXPECT_FALSE(BinaryIO(path.c_str()).Load(closed));
    EXPECT_EQ(log, (std::vector<LogLine>{{"Failed to Save database.", 2}, {"Failed to Load database.", 2}}));
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace Database::Testing
