// The script memory report: its seven keys, what a collection walks, and how the counters read.
#include <gtest/gtest.h>
#include <lua.hpp>

#include <cstdint>
#include <string>

#include "base/Memory.h"
#include "ZrGameDatabase/ScriptingLua.h"
#include "support/LuaFixture.h"

namespace Database::Testing {
namespace {

using Scripting::Lua;

// Whether any test of this program has walked the heap: the walk counters are process-wide.
bool g_walked = false;

class LuaMemoryReport : public LuaFixture {
protected:
    LuaMemoryReport() {
        lua_pushcfunction(state, Lua::lGetMemoryUsage);
        lua_setglobal(state, "DatabaseMemoryUsage");
        lua_pushcfunction(state, CollectAndNote);
        lua_setglobal(state, "CollectDatabaseMemoryUsage");
    }

private:
    static int CollectAndNote(lua_State* state) {
        g_walked = true;
        return Lua::lCollectMemoryUsage(state);
    }
};

TEST_F(LuaMemoryReport, BeforeAnyCollectionOnlyTheUserBytesAreFilledIn) {
    if (g_walked)
        GTEST_SKIP() << "another test of this program walked the heap first";
    CreateUnits();
    EXPECT_EQ(Script("local report = DatabaseMemoryUsage()\n"
                     "assert(report.NumRegions == 0 and report.CurrentAllocatedBytes == 0)\n"
                     "assert(report.CurrentReservedBytes == 0 and report.CurrentOverheadBytes == 0)\n"
                     "assert(report.CurrentUncommitedBytes == 0)\n"
                     "assert(report.CurrentUserAllocatedBytes > 0)\n"
                     "assert(report.CurrentUserAllocatedBytes <= report.MaxUserAllocatedBytes)"),
              "");
}

TEST_F(LuaMemoryReport, HasTheSevenCountersAsNumbers) {
    EXPECT_EQ(Script("assert(select('#', CollectDatabaseMemoryUsage()) == 0)\n"
                     "assert(select('#', DatabaseMemoryUsage()) == 1)\n"
                     "local report, count = DatabaseMemoryUsage(), 0\n"
                     "for key, value in pairs(report) do count = count + 1 assert(type(value) == 'number', key) end\n"
                     "assert(count == 7)\n"
                     "for _, key in ipairs{'NumRegions', 'MaxUserAllocatedBytes', 'CurrentUserAllocatedBytes',\n"
                     "    'CurrentAllocatedBytes', 'CurrentReservedBytes', 'CurrentOverheadBytes',\n"
                     "    'CurrentUncommitedBytes'} do assert(report[key], key) end"),
              "");
}

TEST_F(LuaMemoryReport, ACollectionWalksTheHeapAfreshAndAReportWalksNothing) {
    CreateUnits();
    EXPECT_EQ(Script("CollectDatabaseMemoryUsage()\n"
                     "local first = DatabaseMemoryUsage()\n"
                     "CollectDatabaseMemoryUsage()\n"
                     "local second = DatabaseMemoryUsage()\n"
                     "for key, value in pairs(first) do assert(second[key] == value, key) end\n"
                     // Only SQLite allocates from the heap, so its busy blocks are what SQLite holds.
                     "assert(first.CurrentAllocatedBytes == first.CurrentUserAllocatedBytes)\n"
                     "assert(first.NumRegions >= 1 and first.CurrentOverheadBytes > 0)\n"
                     "assert(first.CurrentReservedBytes + first.CurrentUncommitedBytes >= 5 * 1024 * 1024)\n"
                     "assert(first.CurrentUserAllocatedBytes <= first.MaxUserAllocatedBytes)\n"
                     "Walked = first"),
              "");
    Run("create table More (Text text); insert into More values (zeroblob(100000));");
    EXPECT_EQ(Script("local now = DatabaseMemoryUsage()\n"
                     "assert(now.CurrentAllocatedBytes == Walked.CurrentAllocatedBytes)\n"
                     "assert(now.NumRegions == Walked.NumRegions)\n"
                     "assert(now.CurrentUserAllocatedBytes > Walked.CurrentUserAllocatedBytes)\n"
                     "CollectDatabaseMemoryUsage()\n"
                     "local after = DatabaseMemoryUsage()\n"
                     "assert(after.CurrentAllocatedBytes == after.CurrentUserAllocatedBytes)"),
              "");
}

TEST_F(LuaMemoryReport, CountersAboveTheSignedRangeReadNegative) {
    Memory::Statistics& statistics = Memory::SqliteStatistics();
    const Memory::Statistics saved = statistics;
    statistics.regionCount = 0x80000001u;
    statistics.overheadBytes = 0xFFFFFFFFu;
    const std::string regions = Eval("DatabaseMemoryUsage().NumRegions");
    const std::string overhead = Eval("DatabaseMemoryUsage().CurrentOverheadBytes");
    statistics = saved;
    EXPECT_EQ(regions, "-2147483647");
    EXPECT_EQ(overhead, "-1");
}

}  // namespace
}  // namespace Database::Testing
