// Every allocation of a sample load and of a Lua session made to fail in turn: the k-th
// allocation of SQLite's heap, then the k-th of the module allocation routine, for k = 1, 2, ...
// until the work no longer reaches k allocations.
//
// Each run must end either in success or in a clean failure: Load returning false with an error
// text, or a Lua error caught by pcall. Nothing may crash or throw, nothing may leak (LeakSanitizer
// watches the module routine; SQLite's own counter of the bytes it holds must come back to where it
// was once the connection is closed), and a file loaded in its transaction must leave the database
// exactly as it was before the file, or exactly as a load without failures leaves it after the
// file. A success must give the same answers as a run without failures.
#include <gtest/gtest.h>
#include <lua.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "base/AllocationFailures.h"
#include "base/Memory.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "ZrGameDatabase/ScriptingLua.h"
#include "ZrGameDatabase/XMLSerializer.h"
#include "support/RecordingLogger.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

namespace Failures = Memory::AllocationFailures;

const std::string kExampleData = std::string(ZRDB_SOURCE_DIR) + "/examples/data";

constexpr int kReadWriteCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;

// {==== Where the failure goes, and keeping it out of the test's own work

enum class Source { SqliteHeap, Module };

Failures::Countdown& CountdownOf(Source source) {
    return source == Source::SqliteHeap ? Failures::g_sqliteHeap : Failures::g_module;
}

const char* NameOf(Source source) {
    return source == Source::SqliteHeap ? "SQLite heap" : "module routine";
}

// Holds a countdown still while the test reads the database, so that only the library's work under
// test counts allocations and can fail.
class PausedCountdown {
public:
    explicit PausedCountdown(Failures::Countdown& countdown)
        : m_countdown(countdown), m_remaining(countdown.remaining) {
        m_countdown.remaining = 0;
    }
    ~PausedCountdown() { m_countdown.remaining = m_remaining; }
    PausedCountdown(const PausedCountdown&) = delete;
    PausedCountdown& operator=(const PausedCountdown&) = delete;

private:
    Failures::Countdown& m_countdown;
    std::uint64_t m_remaining;
};

// Runs, and how they ended, for the summary line.
struct Tally {
    int runs = 0;
    int succeeded = 0;
    int failedCleanly = 0;
};

void Report(const char* scenario, Source source, const Tally& tally) {
    std::cout << "[ injected ] " << scenario << ", " << NameOf(source) << ": " << tally.runs << " runs, "
              << tally.succeeded << " succeeded, " << tally.failedCleanly << " failed cleanly" << std::endl;
    const std::string key = std::string(scenario) + " / " + NameOf(source);
    ::testing::Test::RecordProperty(key + " runs", tally.runs);
    ::testing::Test::RecordProperty(key + " succeeded", tally.succeeded);
    ::testing::Test::RecordProperty(key + " failed cleanly", tally.failedCleanly);
}

// Checked once the run's connection is closed: SQLite then holds nothing of it.
void ExpectSqliteBytesBackAt(std::uint32_t before, std::uint64_t k) {
    EXPECT_EQ(Memory::SqliteStatistics().currentUserBytes, before)
        << "SQLite still holds memory after the run that failed allocation " << k;
}

// The log lines of a run, one a line, for failure messages.
std::string Joined(const std::vector<LogLine>& log) {
    std::string text;
    for (const LogLine& line : log)
        text += "  [" + std::to_string(line.severity) + "] " + line.text + "\n";
    return text;
}

// }====

// {==== The switch itself

TEST(AllocationFailureSwitch, FailsTheKthAllocationOfItsOwnSourceOnly) {
    Connection setUp(nullptr, kReadWriteCreate);
    Failures::Arm(Failures::g_module, 3);
    void* first = Memory::Allocate(16);
    void* sqliteBlock = sqlite3_malloc(16);  // another source: not counted
    void* second = Memory::Allocate(16);
    void* third = Memory::Allocate(16);
    void* fourth = Memory::Allocate(16);
    const bool reached = Failures::Reached(Failures::g_module);
    Failures::Disarm(Failures::g_module);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(sqliteBlock, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    EXPECT_TRUE(reached);
    for (void* block : {first, second, fourth})
        Memory::Deallocate(block);
    sqlite3_free(sqliteBlock);

    Failures::Arm(Failures::g_module, 1000);
    Memory::Deallocate(Memory::Allocate(16));
    EXPECT_FALSE(Failures::Reached(Failures::g_module));
    Failures::Disarm(Failures::g_module);
}

TEST(AllocationFailureSwitch, AFailedSqliteReallocationKeepsTheBlockAndItsCount) {
    Connection setUp(nullptr, kReadWriteCreate);
    const Memory::Statistics& statistics = Memory::SqliteStatistics();
    char* block = static_cast<char*>(sqlite3_malloc(10));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "012345678", 10);
    const std::uint32_t held = statistics.currentUserBytes;
    // Persistent: the resize and every allocation after it fail, until disarmed.
    Failures::Arm(Failures::g_sqliteHeap, 1, true);
    void* resized = sqlite3_realloc(block, 5000);
    void* later = sqlite3_malloc(8);
    const std::uint64_t failures = Failures::g_sqliteHeap.failures;
    Failures::Disarm(Failures::g_sqliteHeap);
    EXPECT_EQ(resized, nullptr);
    EXPECT_EQ(later, nullptr);
    EXPECT_EQ(failures, 2u);
    EXPECT_EQ(statistics.currentUserBytes, held);
    EXPECT_STREQ(block, "012345678");
    sqlite3_free(block);
}

// }====

// {==== Database dumps

void AppendRows(sqlite3* handle, const std::string& sql, std::string& out) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        out += "(cannot read: " + sql + ": " + sqlite3_errmsg(handle) + ")\n";
        return;
    }
    int resultCode;
    while ((resultCode = sqlite3_step(statement)) == SQLITE_ROW) {
        for (int column = 0; column < sqlite3_column_count(statement); ++column) {
            const unsigned char* text = sqlite3_column_text(statement, column);
            out += std::to_string(sqlite3_column_type(statement, column)) + ":";
            out += text != nullptr ? reinterpret_cast<const char*>(text) : "";
            out += '|';
        }
        out += '\n';
    }
    if (resultCode != SQLITE_DONE)
        out += std::string("(read stopped: ") + sqlite3_errmsg(handle) + ")\n";
    sqlite3_finalize(statement);
}

// The schema and every row of every table, in an order that depends on the contents alone.
std::string Dump(const Connection& connection) {
    sqlite3* handle = connection.Handle();
    if (handle == nullptr)
        return "(no database)";
    std::string out;
    AppendRows(handle, "select type, name, tbl_name, sql from sqlite_master order by type, name", out);
    std::vector<std::string> tables;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(handle, "select name from sqlite_master where type = 'table' order by name", -1, &statement,
                       nullptr);
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW)
        tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    sqlite3_finalize(statement);
    for (const std::string& table : tables) {
        out += "== " + table + "\n";
        AppendRows(handle, "select * from \"" + table + "\" order by rowid", out);
    }
    return out;
}

// }====

// {==== The sample load

std::vector<std::string> DataFiles(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == ".xml")
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// What a load without failures does with the files not in a set of skipped files (bit i: file i).
struct LoadReference {
    std::string before;               // the fresh database
    std::vector<bool> loaded;         // per file: whether its Load succeeded (false when skipped)
    std::vector<std::string> after;   // per file: the dump after it
};

// A folder in memory when the system has one: a file database's journal and syncs then cost no
// disk time, and the thousands of runs stay quick; SQLite goes through the same file calls.
std::string FastTemporaryFolder() {
    std::error_code error;
    return std::filesystem::is_directory("/dev/shm", error) ? "/dev/shm"
                                                            : std::filesystem::temp_directory_path().string();
}

class SampleLoad : public ::testing::Test {
protected:
    void SetUp() override {
        files = DataFiles(kExampleData);
        ASSERT_GE(files.size(), 6u);
        // The whole sample makes some 6,800 SQLite allocations against some 280 of the module
        // routine, and failing each SQLite one in turn would take minutes under the sanitizers: the
        // SQLite heap is driven through the first two files (two transactions, three tables, an
        // index, 19 rows; some 2,100 allocations), the module routine through all six.
        firstFiles.assign(files.begin(), files.begin() + 2);
        // SQLite keeps some memory for the process from the first connection on; it is taken before
        // any count starts.
        Connection warmUp(nullptr, kReadWriteCreate);
    }

    // Where each run keeps its database: a new file, or memory.
    std::string DatabasePath(bool onDisk) {
        if (!onDisk)
            return ":memory:";
        const std::string path = folder.File("load.db");
        std::filesystem::remove(path);
        std::filesystem::remove(path + "-journal");
        return path;
    }

    const LoadReference& Reference(const std::vector<std::string>& loadFiles, unsigned skipped) {
        auto found = references.find(skipped);
        if (found != references.end())
            return found->second;
        LoadReference reference;
        Connection connection(nullptr, kReadWriteCreate);
        XMLSerializer serializer(connection);
        ResultsCache cache(connection);
        reference.before = Dump(connection);
        for (std::size_t file = 0; file < loadFiles.size(); ++file) {
            const bool skip = (skipped >> file) & 1;
            reference.loaded.push_back(!skip && serializer.Load(loadFiles[file].c_str(), cache));
            reference.after.push_back(Dump(connection));
        }
        return references.emplace(skipped, std::move(reference)).first->second;
    }

    // Loads loadFiles in order, one transaction each, into a fresh connection on path with the k-th
    // allocation of source failing, and checks every file's outcome against the references. True
    // when the run reached its k-th allocation.
    bool LoadFailingAllocation(const std::vector<std::string>& loadFiles, bool onDisk, Source source,
                               std::uint64_t k, Tally& tally) {
        Failures::Countdown& countdown = CountdownOf(source);
        const std::string path = DatabasePath(onDisk);
        const std::uint32_t sqliteBytes = Memory::SqliteStatistics().currentUserBytes;
        bool allLoaded = true;
        std::vector<LogLine> log;
        Failures::Arm(countdown, k, persistent);
        try {
            Connection connection(path.c_str(), kReadWriteCreate);
            connection.SetLogger(new RecordingLogger(log));
            XMLSerializer serializer(connection);
            ResultsCache cache(connection);
            unsigned skipped = 0;
            for (std::size_t file = 0; file < loadFiles.size(); ++file) {
                const bool reachedBefore = Failures::Reached(countdown);
                const bool loaded = serializer.Load(loadFiles[file].c_str(), cache);
                PausedCountdown paused(countdown);
                const bool failedHere = !reachedBefore && Failures::Reached(countdown);
                if (!loaded) {
                    allLoaded = false;
                    skipped |= 1u << file;
                    // The text must be this file's: an earlier failure's text would say nothing of it.
                    const std::string error = serializer.ErrorMessage();
                    const std::string head = "Database::XMLSerializer (" + loadFiles[file] + "): ";
                    EXPECT_TRUE(error.size() > head.size() && error.compare(0, head.size(), head) == 0)
                        << loadFiles[file] << " failed without an error text of its own (\"" << error
                        << "\"), allocation " << k << " of the " << NameOf(source) << " failing; the log:\n"
                        << Joined(log);
                }
                if (connection.Handle() == nullptr)
                    continue;  // the connection did not open: every load fails, nothing to compare
                EXPECT_NE(sqlite3_get_autocommit(connection.Handle()), 0)
                    << "a transaction left open by " << loadFiles[file] << ", k = " << k;
                const LoadReference& reference = Reference(loadFiles, skipped);
                EXPECT_TRUE(!loaded || reference.loaded[file])
                    << loadFiles[file] << " loaded where it fails without injected failures, k = " << k;
                // Files before the failure ran as in the reference, and every later file shows up
                // in the last dump, so the database is compared where the failure struck, where a
                // file failed, and at the end. Only the first mismatch of a run is shown: later
                // files follow from it.
                if (!failedHere && loaded && file + 1 < loadFiles.size())
                    continue;
                const std::string dump = Dump(connection);
                if (dump != reference.after[file]) {
                    ADD_FAILURE() << "after " << loadFiles[file] << " (" << (loaded ? "loaded" : "failed")
                                  << ") with allocation " << k << " of the " << NameOf(source)
                                  << " failing, the database is neither as before nor as after the file\n"
                                  << "got:\n" << dump << "\nexpected:\n" << reference.after[file];
                    break;
                }
            }
        } catch (...) {
            ADD_FAILURE() << "an exception left the library, allocation " << k << " of the " << NameOf(source);
        }
        const bool reached = Failures::Reached(countdown);
        Failures::Disarm(countdown);
        ExpectSqliteBytesBackAt(sqliteBytes, k);
        ++tally.runs;
        ++(allLoaded ? tally.succeeded : tally.failedCleanly);
        if (onDisk)
            std::filesystem::remove(path);
        return reached;
    }

    // Fails every allocation in turn; ends with the first run that makes fewer allocations than k.
    Tally LoadFailingEachAllocation(const std::vector<std::string>& loadFiles, bool onDisk, Source source) {
        references.clear();
        Tally tally;
        for (std::uint64_t k = 1; LoadFailingAllocation(loadFiles, onDisk, source, k, tally); ++k) {
            if (HasFailure())
                break;  // one broken run tells the story; the rest would repeat it
        }
        return tally;
    }

    TemporaryDirectory folder{FastTemporaryFolder()};
    std::vector<std::string> files;       // examples/data, in load order
    std::vector<std::string> firstFiles;  // its first two files
    std::map<unsigned, LoadReference> references;
    bool persistent = false;  // every allocation after the k-th fails too
};

TEST_F(SampleLoad, EveryFailedSqliteAllocationEndsCleanlyAndKeepsFilesWhole) {
    const Tally memory = LoadFailingEachAllocation(firstFiles, false, Source::SqliteHeap);
    Report("first two sample files into memory", Source::SqliteHeap, memory);
    const Tally file = LoadFailingEachAllocation(firstFiles, true, Source::SqliteHeap);
    Report("first two sample files into a file", Source::SqliteHeap, file);
    EXPECT_GT(memory.failedCleanly, 0);
    EXPECT_GT(file.failedCleanly, 0);
}

TEST_F(SampleLoad, EveryFailedModuleAllocationEndsCleanlyAndKeepsFilesWhole) {
    const Tally memory = LoadFailingEachAllocation(files, false, Source::Module);
    Report("whole sample into memory", Source::Module, memory);
    const Tally file = LoadFailingEachAllocation(files, true, Source::Module);
    Report("whole sample into a file", Source::Module, file);
    EXPECT_GT(memory.failedCleanly, 0);
    EXPECT_GT(file.failedCleanly, 0);
}

// Memory that does not come back: from the k-th allocation on every one fails, so every file from
// the one that met the failure on must fail and leave the database as it was.
TEST_F(SampleLoad, ModuleMemoryThatStaysExhaustedFailsEveryLaterFileCleanly) {
    persistent = true;
    const Tally module = LoadFailingEachAllocation(files, true, Source::Module);
    Report("whole sample into a file, failing from k on", Source::Module, module);
    EXPECT_GT(module.failedCleanly, 0);
}

// }====

// {==== The Lua session

// Reads the sample ruleset the ways scripts do; returns its findings as one line of text.
constexpr char kSessionScript[] = R"lua(
local found = {}
local function note(value) found[#found + 1] = tostring(value) end

-- Written the way careful scripts are, taking nil for "not there", so that a lookup that failed
-- but answered nil shows up as a wrong answer rather than as an error further on.
local units = DB.Units
note(units ~= nil)
if units then
    note(#units)
    local scout = units.UNIT_SCOUT
    note(scout and scout.Name)
    note(scout and scout.Cost)
    note(scout and scout.IgnoresTerrainCost)
    local first = units[1]
    note(first and first.Type)
    note(units[1] == first)
    note(units.UNIT_NO_SUCH_UNIT)
    local expensive = 0
    for row in units("Cost > 60") do expensive = expensive + 1 end
    note(expensive)
end
local stoneCost = 0
for row in DB.Units{Era = "ERA_STONE"} do stoneCost = stoneCost + row.Cost end
note(stoneCost)
local technologies = DB.Technologies
if technologies then
    local names = {}
    for row in technologies() do names[#names + 1] = row.Type end
    table.sort(names)
    note(table.concat(names, ","))
end
local buildings = DB.Buildings
note(buildings and #buildings)
note(DB.NoSuchTable)

CollectDatabaseMemoryUsage()
local usage = DatabaseMemoryUsage()
note(usage.NumRegions >= 1 and usage.CurrentUserAllocatedBytes > 0 and usage.CurrentAllocatedBytes > 0)
return table.concat(found, " ")
)lua";

// Run by lua_cpcall: the database object and the memory report become globals. PushDatabase may
// raise (out of memory), so it runs protected as a careful host runs it.
int PushDatabaseAsGlobals(lua_State* state) {
    auto* connection = static_cast<Connection*>(lua_touserdata(state, 1));
    Scripting::Lua::PushDatabase(state, *connection);
    lua_setglobal(state, "DB");
    lua_register(state, "DatabaseMemoryUsage", Scripting::Lua::lGetMemoryUsage);
    lua_register(state, "CollectDatabaseMemoryUsage", Scripting::Lua::lCollectMemoryUsage);
    return 0;
}

struct SessionOutcome {
    bool succeeded = false;
    std::string text;          // the script's findings, or the error
    std::vector<LogLine> log;  // what the connection logged
};

// The text of the error on top of state; empty when it is no string.
std::string ErrorText(lua_State* state) {
    std::size_t length = 0;
    const char* text = lua_type(state, -1) == LUA_TSTRING ? lua_tolstring(state, -1, &length) : nullptr;
    return text != nullptr ? std::string(text, length) : std::string();
}

class LuaSession : public ::testing::Test {
protected:
    void SetUp() override {
        database = folder.File("rules.db");
        Connection connection(database.c_str(), kReadWriteCreate);
        XMLSerializer serializer(connection);
        for (const std::string& file : DataFiles(kExampleData))
            ASSERT_TRUE(serializer.Load(file.c_str())) << serializer.ErrorMessage();
    }

    // Opens the sample database, runs the script on it and closes both.
    SessionOutcome RunSession() {
        SessionOutcome outcome;
        Connection connection(database.c_str(), SQLITE_OPEN_READONLY);
        connection.SetLogger(new RecordingLogger(outcome.log));
        lua_State* state = luaL_newstate();
        if (state == nullptr) {
            ADD_FAILURE() << "no Lua state";
            return outcome;
        }
        luaL_openlibs(state);
        if (lua_cpcall(state, PushDatabaseAsGlobals, &connection) != 0
            || luaL_loadstring(state, kSessionScript) != 0 || lua_pcall(state, 0, 1, 0) != 0) {
            outcome.text = ErrorText(state);
        } else {
            outcome.succeeded = true;
            outcome.text = lua_tostring(state, -1);
        }
        lua_close(state);
        return outcome;
    }

    Tally RunFailingEachAllocation(Source source) {
        const SessionOutcome reference = RunSession();
        EXPECT_TRUE(reference.succeeded) << reference.text;
        Failures::Countdown& countdown = CountdownOf(source);
        Tally tally;
        for (std::uint64_t k = 1; !HasFailure(); ++k) {
            const std::uint32_t sqliteBytes = Memory::SqliteStatistics().currentUserBytes;
            Failures::Arm(countdown, k);
            SessionOutcome outcome;
            try {
                outcome = RunSession();
            } catch (...) {
                ADD_FAILURE() << "an exception left the library, allocation " << k << " of the " << NameOf(source);
            }
            const bool reached = Failures::Reached(countdown);
            Failures::Disarm(countdown);
            ExpectSqliteBytesBackAt(sqliteBytes, k);
            ++tally.runs;
            if (outcome.succeeded) {
                ++tally.succeeded;
                EXPECT_EQ(outcome.text, reference.text)
                    << "a session with allocation " << k << " of the " << NameOf(source) << " failing; the log:\n"
                    << Joined(outcome.log);
            } else {
                ++tally.failedCleanly;
                EXPECT_FALSE(outcome.text.empty()) << "a Lua error without a text, allocation " << k;
            }
            if (!reached)
                break;
        }
        return tally;
    }

    TemporaryDirectory folder{FastTemporaryFolder()};
    std::string database;
};

TEST_F(LuaSession, EveryFailedSqliteAllocationIsAnErrorOrTheRightAnswer) {
    const Tally tally = RunFailingEachAllocation(Source::SqliteHeap);
    Report("Lua session", Source::SqliteHeap, tally);
    EXPECT_GT(tally.failedCleanly, 0);
}

TEST_F(LuaSession, EveryFailedModuleAllocationIsAnErrorOrTheRightAnswer) {
    const Tally tally = RunFailingEachAllocation(Source::Module);
    Report("Lua session", Source::Module, tally);
    EXPECT_GT(tally.failedCleanly, 0);
}

// }====

}  // namespace
}  // namespace Database::Testing
