// The module allocation routine without a host allocator, and the counters of SQLite's memory.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base/Memory.h"
#include "base/StringMap.h"
#include "platform/PrivateHeap.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"

namespace Database::Testing {
namespace {

TEST(ModuleAllocation, WithoutAHostAllocatorBlocksAreAlignedSystemMemory) {
    void* small = Memory::Allocate(1);
    void* none = Memory::Allocate(0);
    void* large = Memory::Allocate(100000);
    ASSERT_NE(small, nullptr);
    ASSERT_NE(none, nullptr);
    ASSERT_NE(large, nullptr);
    for (void* block : {small, none, large})
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
    // A one-byte request is rounded to 16: all 16 bytes are usable (ASan would object otherwise).
    std::memset(small, 0xab, 16);
    std::memset(large, 0xcd, 100000);
    // This program exports no small-object allocator: looked up once, never again.
    EXPECT_EQ(Memory::CurrentHostAllocatorState(), Memory::HostAllocatorState::Unavailable);
    Memory::Deallocate(small);
    Memory::Deallocate(none);
    Memory::Deallocate(large);
    Memory::Deallocate(nullptr);
    EXPECT_EQ(Memory::CurrentHostAllocatorState(), Memory::HostAllocatorState::Unavailable);
}

TEST(ModuleAllocation, ImpossibleSizesAreRefused) {
    EXPECT_EQ(Memory::Allocate(static_cast<std::size_t>(-1)), nullptr);
    EXPECT_EQ(Memory::Allocate(static_cast<std::size_t>(-1) - 8), nullptr);
}

TEST(ModuleAllocation, ContainersUseIt) {
    Memory::StringMap<int> map;
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(map.Set("key number " + std::to_string(i), i));
    EXPECT_EQ(map.Size(), 1000u);
    ASSERT_NE(map.Find("key number 999"), nullptr);
    EXPECT_EQ(*map.Find("key number 999"), 999);
}

class SqliteMemoryCounters : public ::testing::Test {
protected:
    // The first connection installs the methods and initialises SQLite.
    Connection connection{nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE};
    const Memory::Statistics& statistics = Memory::SqliteStatistics();
};

TEST_F(SqliteMemoryCounters, RequestsAreCountedInUnitsOfEightBytes) {
    const std::uint32_t before = statistics.currentUserBytes;
    void* one = sqlite3_malloc(1);
    void* nine = sqlite3_malloc(9);
    EXPECT_EQ(statistics.currentUserBytes, before + 8 + 16);
    EXPECT_EQ(sqlite3_msize(nine), 16u);
    sqlite3_free(one);
    sqlite3_free(nine);
    EXPECT_EQ(statistics.currentUserBytes, before);
}

TEST_F(SqliteMemoryCounters, ReallocationMovesTheCountAndKeepsTheContents) {
    const std::uint32_t before = statistics.currentUserBytes;
    char* block = static_cast<char*>(sqlite3_malloc(10));
    std::memcpy(block, "0123456789", 10);
    block = static_cast<char*>(sqlite3_realloc(block, 1000));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::memcmp(block, "0123456789", 10), 0);
    EXPECT_EQ(statistics.currentUserBytes, before + 1000);
    block = static_cast<char*>(sqlite3_realloc(block, 3));
    EXPECT_EQ(statistics.currentUserBytes, before + 8);
    EXPECT_EQ(std::memcmp(block, "012", 3), 0);
    sqlite3_free(block);
    EXPECT_EQ(statistics.currentUserBytes, before);
}

TEST_F(SqliteMemoryCounters, ThePeakStaysAtTheHighestUse) {
    void* big = sqlite3_malloc(1 << 20);
    ASSERT_NE(big, nullptr);
    const std::uint32_t peak = statistics.peakUserBytes;
    EXPECT_GE(peak, statistics.currentUserBytes);
    sqlite3_free(big);
    EXPECT_EQ(statistics.peakUserBytes, peak);
    EXPECT_LE(statistics.currentUserBytes + (1u << 20), peak);
}

TEST_F(SqliteMemoryCounters, RefusedRequestsCountNothing) {
    const std::uint32_t before = statistics.currentUserBytes;
    // SQLite refuses sizes this large itself; the heap must not be asked for them either way.
    EXPECT_EQ(sqlite3_malloc64(std::uint64_t(1) << 40), nullptr);
    void* block = sqlite3_malloc(64);
    EXPECT_EQ(sqlite3_realloc64(block, std::uint64_t(1) << 40), nullptr);
    EXPECT_EQ(statistics.currentUserBytes, before + 64);
    sqlite3_free(block);
    EXPECT_EQ(statistics.currentUserBytes, before);
    EXPECT_NE(Memory::SqliteHeap(), nullptr);
}

// Sums the data of the heap's busy blocks, as the memory report's walk does.
std::uint64_t BusyHeapBytes() {
    Platform::PrivateHeap* heap = Memory::SqliteHeap();
    std::uint64_t bytes = 0;
    EXPECT_TRUE(Platform::PrivateHeapLock(heap));
    Platform::HeapWalkEntry entry = {};
    while (Platform::PrivateHeapWalk(heap, entry)) {
        if ((entry.flags & Platform::HeapEntryBusy) != 0)
            bytes += entry.dataSize;
    }
    Platform::PrivateHeapUnlock(heap);
    return bytes;
}

// Fills an in-memory database of about 12 MB: more than the page-cache buffer holds.
void FillPastThePageCache(Connection& database) {
    ASSERT_TRUE(database.ExecuteMultiple(
        "create table Units (ID integer primary key, Type text);"
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < 12000)"
        "insert into Units select i, hex(randomblob(500)) from n;"));
}

TEST_F(SqliteMemoryCounters, PagesFitThePageCacheSlots) {
    Results pageSize;
    ASSERT_TRUE(connection.Execute(pageSize, "pragma page_size") && pageSize.Step());
    // A page and its header: no more than a few hundred bytes beyond the page.
    EXPECT_GT(Memory::PageCacheSlotSize(), pageSize.GetInt(0));
    EXPECT_LT(Memory::PageCacheSlotSize(), pageSize.GetInt(0) + 1024);
    int used = 0;
    int most = 0;
    ASSERT_TRUE(connection.Execute("create table Small (a); insert into Small values (1)"));
    sqlite3_status(SQLITE_STATUS_PAGECACHE_USED, &used, &most, 0);
    EXPECT_GT(used, 0);
    // The largest page-cache request SQLite made fits a slot.
    sqlite3_status(SQLITE_STATUS_PAGECACHE_SIZE, &used, &most, 0);
    EXPECT_LE(most, Memory::PageCacheSlotSize());
}

TEST_F(SqliteMemoryCounters, TheCountersStayRightWhenRegionsAreReused) {
    const std::uint32_t before = statistics.currentUserBytes;
    for (int round = 0; round < 2; ++round) {
        {
            Connection database(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            FillPastThePageCache(database);
            EXPECT_GT(statistics.currentUserBytes, before + 4'000'000);
            // Every busy block of the heap is SQLite's, counted at its rounded size.
            EXPECT_EQ(BusyHeapBytes(), statistics.currentUserBytes);
        }
        EXPECT_EQ(statistics.currentUserBytes, before);
        EXPECT_EQ(BusyHeapBytes(), before);
    }
}

}  // namespace
}  // namespace Database::Testing
