// SqliteMemory.cpp: the memory methods SQLite runs on, and the counters of what it holds.
//
// Every byte SQLite asks for comes from a private heap of the library's own, so that the memory
// report shown to scripts sees SQLite's use alone. Requests are rounded up to 8 bytes, the unit in
// which the counters are kept; the heap reports a block's size exactly as requested, so a free
// subtracts exactly what the allocation added.
//
// SQLite calls these methods under its own memory mutex (memory statistics are on by default), so
// the plain counters below are updated by one thread at a time.
#include <sqlite3.h>

#include <climits>

#include "base/AllocationFailures.h"
#include "base/Memory.h"
#include "platform/PrivateHeap.h"

namespace Database::Memory {
namespace {

constexpr std::size_t kInitialHeapSize = 5 * 1024 * 1024;

Platform::PrivateHeap* g_heap = nullptr;
Statistics g_statistics = {};

// SQLite never asks for blocks near 2 GiB, but a size that cannot be rounded is refused all the same.
bool Roundable(int size) {
    return size >= 0 && size <= INT_MAX - 7;
}

int RoundUp(int size) {
    return (size + 7) & ~7;
}

// The counters wrap at 32 bits on purpose: scripts are shown them as signed 32-bit figures.
void AddUserBytes(std::uint32_t bytes) {
    g_statistics.currentUserBytes += bytes;
    if (g_statistics.currentUserBytes > g_statistics.peakUserBytes)
        g_statistics.peakUserBytes = g_statistics.currentUserBytes;
}

void* SqliteMalloc(int size) {
    if (size <= 0 || !Roundable(size))
        return nullptr;
    if (AllocationFailures::FailThisAllocation(AllocationFailures::g_sqliteHeap))
        return nullptr;
    const int rounded = RoundUp(size);
    void* block = Platform::PrivateHeapAllocate(g_heap, static_cast<std::size_t>(rounded));
    // Counted only when the block exists: a refused request holds no memory.
    if (block != nullptr)
        AddUserBytes(static_cast<std::uint32_t>(rounded));
    return block;
}

void SqliteFree(void* block) {
    if (block == nullptr)
        return;
    g_statistics.currentUserBytes -= static_cast<std::uint32_t>(Platform::PrivateHeapSize(g_heap, block));
    Platform::PrivateHeapFree(g_heap, block);
}

void* SqliteRealloc(void* block, int size) {
    if (!Roundable(size))
        return nullptr;
    if (AllocationFailures::FailThisAllocation(AllocationFailures::g_sqliteHeap))
        return nullptr;
    const int rounded = RoundUp(size);
    const std::size_t oldSize = Platform::PrivateHeapSize(g_heap, block);
    void* resized = Platform::PrivateHeapReallocate(g_heap, block, static_cast<std::size_t>(rounded));
    // A refused resize leaves the old block, and its count, as they were.
    if (resized != nullptr) {
        g_statistics.currentUserBytes -= static_cast<std::uint32_t>(oldSize);
        AddUserBytes(static_cast<std::uint32_t>(rounded));
    }
    return resized;
}

int SqliteSize(void* block) {
    if (block == nullptr)
        return 0;
    return static_cast<int>(Platform::PrivateHeapSize(g_heap, block));
}

int SqliteRoundup(int size) {
    return Roundable(size) ? RoundUp(size) : size;
}

int SqliteInit(void*) {
    g_heap = Platform::CreatePrivateHeap(kInitialHeapSize);
    return g_heap != nullptr ? SQLITE_OK : SQLITE_ERROR;
}

void SqliteShutdown(void*) {
    Platform::DestroyPrivateHeap(g_heap);
    g_heap = nullptr;
}

const sqlite3_mem_methods kMethods = {
    SqliteMalloc, SqliteFree, SqliteRealloc, SqliteSize, SqliteRoundup, SqliteInit, SqliteShutdown, nullptr,
};

}  // namespace

// Disarmed unless a test arms it (AllocationFailures.h).
AllocationFailures::Countdown AllocationFailures::g_sqliteHeap = {};

const sqlite3_mem_methods* SqliteMethods() noexcept {
    return &kMethods;
}

Platform::PrivateHeap* SqliteHeap() noexcept {
    return g_heap;
}

Statistics& SqliteStatistics() noexcept {
    return g_statistics;
}

}  // namespace Database::Memory
