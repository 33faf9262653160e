// Memory.h: where the library's memory comes from.
//
// Two sources, kept apart from the host's own heap:
//  - the module allocation routine (Allocate, Deallocate) serves the library's own objects,
//    texts and containers (Array.h, StringMap.h, TextBuffer.h), none of which throws: the host's small-object allocator when the main program exports one,
//    16-byte-aligned system memory otherwise;
//  - SQLite's memory methods serve everything SQLite allocates, from a private heap whose use is
//    counted in the statistics record, so that scripts can be shown what the database holds.
// Nothing here replaces the global operator new: a shared library must not change its host's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Database {

namespace Platform {
struct PrivateHeap;
}

namespace Memory {

// Returns a 16-byte-aligned block of at least size bytes, or null when none can be had.
void* Allocate(std::size_t size) noexcept;
// Returns a block from Allocate; null is ignored.
void Deallocate(void* block) noexcept;

// Where the host's small-object allocator stands; looked up once, on the first allocation.
enum class HostAllocatorState : int {
    NotLookedUp = 0,  // no allocation yet
    Found = 1,        // every entry point exists; the allocator is not created yet
    Ready = 2,        // allocations go to the host
    Unavailable = 3,  // an entry point is missing: system memory for the rest of the process
};
HostAllocatorState CurrentHostAllocatorState() noexcept;

// The process-wide counters of SQLite's memory, in the order scripts are shown them.
struct Statistics {
    std::uint32_t peakUserBytes;         // highest value currentUserBytes has reached
    std::uint32_t currentUserBytes;      // bytes SQLite holds now, each request rounded up to 8
    std::uint32_t allocatedBytes;        // heap walk: data bytes of busy blocks
    std::uint32_t committedBytes;        // heap walk: committed bytes of the heap's regions
    std::uint32_t overheadBytes;         // heap walk: bookkeeping bytes of blocks and regions
    std::uint32_t uncommittedBytes;      // heap walk: reserved but uncommitted bytes of regions
    std::uint32_t regionCount;           // heap walk: number of regions
};
Statistics& SqliteStatistics() noexcept;

// Hands SQLite the library's memory set-up: memory statistics on, the memory methods on the private
// heap, the static page-cache buffer with slots sized for the default page size plus SQLite's
// page-cache header, no lookaside. Call before SQLite is initialised; once it is, SQLite refuses
// every option and nothing changes.
void ConfigureSqlite() noexcept;
// The page-cache slot that holds a page of pageSize bytes and its headerSize-byte header.
int PageCacheSlotSize(int pageSize, int headerSize) noexcept;
// The slot size ConfigureSqlite gave SQLite; 0 when SQLite refused the buffer.
int PageCacheSlotSize() noexcept;
// The private heap behind SQLite's memory methods; null until SQLite initialised it.
Platform::PrivateHeap* SqliteHeap() noexcept;

// Base of the library's internal classes: their instances come from the module allocation routine.
// The operators return null instead of throwing, so a new-expression of such a class yields null
// when memory runs out.
struct Allocated {
    static void* operator new(std::size_t size) noexcept { return Allocate(size); }
    static void operator delete(void* block) noexcept { Deallocate(block); }
};

}  // namespace Memory
}  // namespace Database
