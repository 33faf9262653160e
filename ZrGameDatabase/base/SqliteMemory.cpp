// SqliteMemory.cpp: SQLite's memory set-up: the memory methods it runs on, the counters of what it
// holds, and the static buffer its page cache takes its pages from.
//
// Every byte SQLite asks for comes from a private heap of the library's own, so that the memory
// report shown to scripts sees SQLite's use alone. Requests are rounded up to 8 bytes, the unit in
// which the counters are kept; the heap reports a block's size exactly as requested, so a free
// subtracts exactly what the allocation added. Pages come first from the page-cache buffer, whose
// slots are sized for SQLite's default page size with its page-cache header, and only once it is
// full from the heap; the buffer is fixed, so the counters do not see it.
//
// THREAD SAFETY. The set-up turns SQLite's memory statistics on, and with them on SQLite calls
// xMalloc, xRealloc and xFree only while it holds its memory mutex (SQLITE_MUTEX_STATIC_MEM); a
// build or configuration without mutexes is one SQLite itself allows to be used by one thread
// at a time. So the plain counters below are updated by one thread at a time, and the heap is
// created with that mutex as its lock instead of a second one of its own: the walk of the memory
// report takes the same mutex. xSize runs without it, but reads only the header of a block its
// caller owns, which nothing else writes.
#include <sqlite3.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/AllocationFailures.h"
#include "base/Memory.h"
#include "platform/PrivateHeap.h"

namespace Database::Memory {
namespace {

constexpr std::size_t kInitialHeapSize = 5 * 1024 * 1024;
// The page-cache buffer's size in bytes, as many slots as fit. Every slot is written when SQLite
// initialises (it threads them on its free list), so the whole buffer costs page faults in every
// process, used or not: it is kept at the size it has always had.
constexpr std::size_t kPageCacheBytes = 5'840'000;
// SQLite's page size when its build does not say otherwise.
constexpr int kSqliteDefaultPageSize = 4096;

Platform::PrivateHeap* g_heap = nullptr;
Statistics g_statistics = {};
alignas(16) unsigned char g_pageCache[kPageCacheBytes];
constexpr int kScratchSlotSize = 7008;
alignas(16) unsigned char g_scratch[kScratchSlotSize];
int g_pageCacheSlotSize = 0;

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

void EnterSqliteMemoryMutex(void*) noexcept {
    sqlite3_mutex_enter(sqlite3_mutex_alloc(SQLITE_MUTEX_STATIC_MEM));
}

void LeaveSqliteMemoryMutex(void*) noexcept {
    sqlite3_mutex_leave(sqlite3_mutex_alloc(SQLITE_MUTEX_STATIC_MEM));
}

const Platform::HeapLock kSqliteMemoryMutex = {EnterSqliteMemoryMutex, LeaveSqliteMemoryMutex, nullptr};

int SqliteInit(void*) {
    g_heap = Platform::CreatePrivateHeap(kInitialHeapSize, &kSqliteMemoryMutex);
    return g_heap != nullptr ? SQLITE_OK : SQLITE_ERROR;
}

void SqliteShutdown(void*) {
    Platform::DestroyPrivateHeap(g_heap);
    g_heap = nullptr;
}

const sqlite3_mem_methods kMethods = {
    SqliteMalloc, SqliteFree, SqliteRealloc, SqliteSize, SqliteRoundup, SqliteInit, SqliteShutdown, nullptr,
};

// The page size new databases get: the DEFAULT_PAGE_SIZE of SQLite's build, else SQLite's own
// default.
int SqliteDefaultPageSize() {
    constexpr char kOption[] = "DEFAULT_PAGE_SIZE=";
    for (int index = 0; const char* option = sqlite3_compileoption_get(index); ++index) {
        if (std::strncmp(option, kOption, sizeof kOption - 1) == 0) {
            const int size = std::atoi(option + sizeof kOption - 1);
            if (size >= 512 && size <= 65536)
                return size;
        }
    }
    return kSqliteDefaultPageSize;
}

}  // namespace

int PageCacheSlotSize(int pageSize, int headerSize) noexcept {
    return (pageSize + headerSize + 7) & ~7;
}

void ConfigureSqlite() noexcept {
    // Every option is refused once SQLite is initialised (by the host, say); that changes nothing.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 1);
    sqlite3_config(SQLITE_CONFIG_MALLOC, &kMethods);
    int headerSize = 0;
    if (sqlite3_config(SQLITE_CONFIG_PCACHE_HDRSZ, &headerSize) == SQLITE_OK && headerSize > 0) {
        const int slotSize = PageCacheSlotSize(SqliteDefaultPageSize(), headerSize);
        if (sqlite3_config(SQLITE_CONFIG_PAGECACHE, g_pageCache, slotSize,
                           static_cast<int>(kPageCacheBytes / static_cast<std::size_t>(slotSize))) == SQLITE_OK)
            g_pageCacheSlotSize = slotSize;
    }
    // Scratch memory is gone from recent SQLite; the request is refused and harmless.
    sqlite3_config(6 /* SQLITE_CONFIG_SCRATCH */, g_scratch, kScratchSlotSize, 1);
    sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
}

int PageCacheSlotSize() noexcept {
    return g_pageCacheSlotSize;
}

// Disarmed unless a test arms it (AllocationFailures.h).
AllocationFailures::Countdown AllocationFailures::g_sqliteHeap = {};

Platform::PrivateHeap* SqliteHeap() noexcept {
    return g_heap;
}

Statistics& SqliteStatistics() noexcept {
    return g_statistics;
}

}  // namespace Database::Memory
