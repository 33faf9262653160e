// ScriptingLuaMemory.cpp: the script memory report, how much SQLite holds in the library's
// private heap.
//
// lCollectMemoryUsage walks the heap under its lock and refreshes the five walk counters of the
// statistics record; lGetMemoryUsage only reads the record, so a script decides when to pay for a
// walk. The two user-byte counters are kept current by SQLite's memory methods themselves.
#include <cstdint>

#include "base/Memory.h"
#include "ZrGameDatabase/ScriptingLua.h"
#include "platform/PrivateHeap.h"
#include "scripting/LuaRuntime.h"

namespace Database::Scripting {

using namespace Runtime;

namespace {

// Sums the heap's busy blocks and regions into the walk counters, from 0. Nothing here calls the
// runtime, and the heap lock is never held across anything that could raise.
void WalkSqliteHeap() noexcept {
    Memory::Statistics& statistics = Memory::SqliteStatistics();
    statistics.allocatedBytes = 0;
    statistics.committedBytes = 0;
    statistics.overheadBytes = 0;
    statistics.uncommittedBytes = 0;
    statistics.regionCount = 0;

    Platform::PrivateHeap* heap = Memory::SqliteHeap();
    if (heap == nullptr || !Platform::PrivateHeapLock(heap))
        return;
    Platform::HeapWalkEntry entry = {};
    while (Platform::PrivateHeapWalk(heap, entry)) {
        // The counters are 32 bits wide on purpose: scripts are shown signed 32-bit figures.
        if ((entry.flags & Platform::HeapEntryBusy) != 0) {
            statistics.allocatedBytes += static_cast<std::uint32_t>(entry.dataSize);
            statistics.overheadBytes += static_cast<std::uint32_t>(entry.overhead);
        } else if ((entry.flags & Platform::HeapEntryRegion) != 0) {
            statistics.committedBytes += static_cast<std::uint32_t>(entry.committedSize);
            statistics.regionCount += 1;
            statistics.uncommittedBytes += static_cast<std::uint32_t>(entry.uncommittedSize);
            statistics.overheadBytes += static_cast<std::uint32_t>(entry.overhead);
        }
    }
    Platform::PrivateHeapUnlock(heap);
}

// Sets key of the table on top to counter, read as a signed 32-bit figure.
void SetCounter(lua_State* state, const char* key, std::uint32_t counter) {
    PushString(state, key);
    PushNumber(state, static_cast<double>(static_cast<std::int32_t>(counter)));
    RawSet(state, -3);
}

}  // namespace

int Lua::lCollectMemoryUsage(lua_State* state) {
    (void)state;
    WalkSqliteHeap();
    return 0;
}

int Lua::lGetMemoryUsage(lua_State* state) {
    // A copy taken before anything is pushed, so that the report is one moment's figures.
    const Memory::Statistics statistics = Memory::SqliteStatistics();
    CreateTable(state, 0, 7);
    SetCounter(state, "NumRegions", statistics.regionCount);
    SetCounter(state, "MaxUserAllocatedBytes", statistics.peakUserBytes);
    SetCounter(state, "CurrentUserAllocatedBytes", statistics.currentUserBytes);
    SetCounter(state, "CurrentAllocatedBytes", statistics.allocatedBytes);
    SetCounter(state, "CurrentReservedBytes", statistics.committedBytes);
    SetCounter(state, "CurrentOverheadBytes", statistics.overheadBytes);
    SetCounter(state, "CurrentUncommitedBytes", statistics.uncommittedBytes);
    return 1;
}

}  // namespace Database::Scripting
