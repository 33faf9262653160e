// PrivateHeap.h: a growable heap of the library's own, used for SQLite's memory alone.
//
// On Windows it is a Win32 private heap (HeapCreate and friends). Elsewhere it is a region
// allocator: regions are mapped from the operating system (the first of the initial size, more as
// needed), blocks are carved from them with boundary tags and size-segregated free lists, and a
// mutex of its own or the caller's lock serves as the heap lock. Both report a block's size
// exactly as requested and can walk their regions and busy blocks, so that the memory report can
// sum them.
#pragma once

#include <cstddef>

namespace Database::Platform {

struct PrivateHeap;

// Flags of a walk entry, with the values the Win32 heap walk gives them.
enum HeapEntryFlags : unsigned {
    HeapEntryRegion = 1,       // a region: committedSize and uncommittedSize are set
    HeapEntryUncommitted = 2,  // a reserved, uncommitted range
    HeapEntryBusy = 4,         // a block in use: dataSize and overhead are set
};

// One entry of a heap walk. Start a walk with a zeroed entry; each PrivateHeapWalk call moves it on.
// A walk gives each region first and then the blocks inside it, in address order. Free blocks are
// given too, with flags 0; on POSIX their dataSize and overhead add up, with the busy blocks' and
// the region's own overhead, to the region's whole size.
struct HeapWalkEntry {
    const void* data;            // the entry's address; null starts a walk
    std::size_t dataSize;        // busy block: its size as requested; region: its whole size
    std::size_t overhead;        // bookkeeping bytes of the entry
    unsigned flags;              // HeapEntryFlags
    std::size_t committedSize;   // region: bytes committed
    std::size_t uncommittedSize; // region: bytes reserved but not committed
    const void* cursor;          // the walk's own position; not for the caller
    // The Win32 walk keeps its state in the system's own entry record, which must come back
    // unchanged on the next call; it is kept here. Not for the caller.
    alignas(void*) unsigned char native[48];
};

// A lock the heap's user already holds around every allocation, reallocation and free.
struct HeapLock {
    void (*enter)(void* context) noexcept;  // takes the lock
    void (*leave)(void* context) noexcept;  // gives it back
    void* context;                          // handed to both
};

// On POSIX, regions of the usual size that become wholly free are kept for reuse while the kept
// ones add up to this many bytes at most; the others go back to the system. (The Win32 heap keeps
// what it decides to keep.)
constexpr std::size_t kPrivateHeapKeptEmptyBytes = 64 * 1024 * 1024;

// Creates a heap whose first region holds initialSize bytes and that grows without limit.
// Null when the operating system refuses the memory. With a callerLock the caller promises to
// hold it around every call that allocates, reallocates or frees; a heap that is serialised that
// way need not pay for a lock of its own, and PrivateHeapLock takes the caller's. The lock must
// outlive the heap.
PrivateHeap* CreatePrivateHeap(std::size_t initialSize, const HeapLock* callerLock = nullptr) noexcept;
// Returns every region to the operating system; every block of the heap is gone.
void DestroyPrivateHeap(PrivateHeap* heap) noexcept;

// A block of size bytes, 8-byte aligned at least (16 on POSIX); null when no memory can be had.
// A size of 0 gets a block of its own.
void* PrivateHeapAllocate(PrivateHeap* heap, std::size_t size) noexcept;
// Resizes block to size bytes, keeping its contents; null on failure, block untouched. The block
// stays where it is when it shrinks or its neighbour has room. A null block is allocated afresh.
void* PrivateHeapReallocate(PrivateHeap* heap, void* block, std::size_t size) noexcept;
// Frees block; null is ignored.
void PrivateHeapFree(PrivateHeap* heap, void* block) noexcept;
// The size block was allocated or reallocated with; 0 for null.
std::size_t PrivateHeapSize(PrivateHeap* heap, const void* block) noexcept;

// Holds the heap's lock (the caller's, for a heap created with one), so that a walk sees no
// allocation in the middle; false if it cannot.
bool PrivateHeapLock(PrivateHeap* heap) noexcept;
void PrivateHeapUnlock(PrivateHeap* heap) noexcept;
// Moves entry to the next region or block; false when the walk is over. Call between Lock and
// Unlock.
bool PrivateHeapWalk(PrivateHeap* heap, HeapWalkEntry& entry) noexcept;

}  // namespace Database::Platform
