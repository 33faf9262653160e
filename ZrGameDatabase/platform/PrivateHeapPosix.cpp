// PrivateHeapPosix.cpp: the private heap as a region allocator of our own.
//
// Memory comes from the system in regions mapped with mmap: the first of the initial size, then
// regions of that same size as the heap grows, or one sized for a request that would not fit in
// such a region. A region of the usual size whose blocks are all free is kept for reuse while the
// regions kept that way add up to kKeptEmptyRegionBytes at most: a database that is loaded,
// closed and loaded again then finds its pages still mapped, instead of paying a page fault for
// each of them again. Beyond that bound, and for the regions sized for one request, an emptied
// region goes back to the system (unless new blocks are being carved from it).
//
// Inside a region, blocks lie end to end, each with a 16-byte header: the size the caller asked for
// and the block's own size with flag bits. A free block also keeps its size in its last word (the
// boundary tag), so that freeing its upper neighbour can find it and merge with it: no two free
// blocks ever lie side by side. The end of each region is still uncarved; that "top" block is cut
// from whenever no free block fits. A sentinel header closes each region and points back at it.
//
// Free blocks wait in bins: one per exact size up to 1 KiB, so a small request is served in
// constant time by the head of its bin, then four bins per power of two above that. A bitmap of
// the bins that hold blocks finds the smallest fitting bin in a few instructions.
//
// In front of the bins sits a cache of small blocks (up to kLargestCachedSize bytes). SQLite frees
// most of its blocks soon after taking them and asks for the same sizes again; merging each freed
// block with its neighbours only to split the merged block again at the next request cost more
// than the system allocator spends on the same calls (a load of 300,000 rows makes 1.4 million of
// each). A freed small block is pushed on a list of its exact size instead, up to kCachedPerSize
// of them, and handed out again first. It keeps the busy flag its neighbours see, so that they
// neither merge with it nor look for its boundary tag, and gets the kCached flag, which makes it
// free to the walk and to a second free. A short list keeps the blocks handed out again the ones
// still in the processor's cache. Only blocks of the first and of the current region, neither of
// which is given back, are cached; the cache goes back into the bins (merged) whenever the current
// region changes and when a request finds no room before a new region would be mapped: so it
// never keeps a region from emptying, nor makes the heap grow. A block that grows into a
// cached neighbour takes it out of the cache first.
//
// One mutex guards the whole heap, unless its creator holds a lock of its own around every call
// (SQLite's memory mutex, for SQLite's heap): then taking a second lock would only cost time. The
// heap's own record lives at the start of its first region.
#include "platform/PrivateHeap.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

namespace Database::Platform {
namespace {

struct Region;

// A block's header; free blocks also use the first word of their payload (previousFree) and their
// last word (the boundary tag, their size).
struct Block {
    union {
        std::size_t requested;  // busy: the size the caller asked for
        Block* nextFree;        // free: the next block in its bin
        Region* region;         // sentinel: the region it closes
    };
    std::size_t sizeAndFlags;   // the block's size in bytes (a multiple of 16), flags in the low bits
    Block* previousFree;        // free: the previous block in its bin (in the payload's first word)
};

// Flags in the low bits of Block::sizeAndFlags.
constexpr std::size_t kBusy = 1;          // the block is in use (sentinels count as busy)
constexpr std::size_t kPreviousBusy = 2;  // the block below is in use, so it has no boundary tag
constexpr std::size_t kTop = 4;           // the uncarved end of a region, kept out of the bins
constexpr std::size_t kSentinel = 8;      // the end of a region
// In the small-block cache; set together with kBusy. The top bit, as sizes stay far below it.
constexpr std::size_t kCached = std::size_t(1) << (std::numeric_limits<std::size_t>::digits - 1);
constexpr std::size_t kFlagMask = 15 | kCached;

constexpr std::size_t kAlignment = 16;
constexpr std::size_t kHeaderSize = 16;
// Room for the header, the free-list link in the payload and the boundary tag.
constexpr std::size_t kMinimumBlockSize = 32;
// Sizes up to this one have an exact bin each.
constexpr std::size_t kLargestExactSize = 1024;
constexpr std::size_t kExactBinCount = (kLargestExactSize - kMinimumBlockSize) / kAlignment + 1;
constexpr std::size_t kBinCount = 256;
constexpr std::size_t kBitmapWords = kBinCount / 64;
// Block sizes up to this one are cached when freed, each size in a list of its own.
constexpr std::size_t kLargestCachedSize = 512;
constexpr std::size_t kCachedSizeCount = (kLargestCachedSize - kMinimumBlockSize) / kAlignment + 1;
// The most blocks a list of the cache holds; a block freed beyond that goes to the bins.
constexpr std::uint32_t kCachedPerSize = 8;
// How many blocks of a wider bin are tried before moving on to the next bin.
constexpr int kBinScanLimit = 16;
// Larger requests are refused at once, so that no size computation below can overflow.
constexpr std::size_t kLargestRequest = std::numeric_limits<std::size_t>::max() / 4;
// The smallest region the heap makes, whatever its initial size says.
constexpr std::size_t kSmallestRegionSize = 64 * 1024;

// The most bytes of emptied regions that are kept mapped for reuse.
constexpr std::size_t kKeptEmptyRegionBytes = kPrivateHeapKeptEmptyBytes;

// The head of every mapped region.
struct alignas(kAlignment) Region {
    Region* next;           // the next region of the heap, in order of creation
    Region* previous;       // the previous one; null for the first
    std::size_t size;       // bytes mapped, this header included
    std::size_t highWater;  // bytes from the region's start that carving has ever reached
    Block* first;           // the region's first block
    Block* top;             // its uncarved end, at least kMinimumBlockSize bytes
    bool keptEmpty;         // emptied and kept for reuse; counted in PrivateHeap::keptEmptyBytes
};

constexpr std::size_t RoundUp(std::size_t value, std::size_t unit) {
    return (value + unit - 1) / unit * unit;
}

std::size_t SizeOf(const Block* block) {
    return block->sizeAndFlags & ~kFlagMask;
}

Block* BlockAt(void* address, std::size_t offset) {
    return reinterpret_cast<Block*>(static_cast<char*>(address) + offset);
}

Block* NextBlock(Block* block) {
    return BlockAt(block, SizeOf(block));
}

void* Payload(Block* block) {
    return reinterpret_cast<char*>(block) + kHeaderSize;
}

Block* BlockOf(const void* payload) {
    return reinterpret_cast<Block*>(const_cast<char*>(static_cast<const char*>(payload)) - kHeaderSize);
}

void WriteBoundaryTag(Block* block) {
    std::size_t* tag = reinterpret_cast<std::size_t*>(reinterpret_cast<char*>(block) + SizeOf(block)) - 1;
    *tag = SizeOf(block);
}

Block* PreviousFreeBlock(Block* block) {
    const std::size_t size = *(reinterpret_cast<std::size_t*>(block) - 1);
    return reinterpret_cast<Block*>(reinterpret_cast<char*>(block) - size);
}

// The block size that holds a request: header and payload, rounded to the alignment.
std::size_t BlockSizeFor(std::size_t requested) {
    return std::max(kMinimumBlockSize, RoundUp(requested + kHeaderSize, kAlignment));
}

// The bin helpers run on every allocation and free; they are forced inline, which the compiler
// would not do on its own for functions called from this many places.
#define ZRDB_HOT [[gnu::always_inline]] inline

ZRDB_HOT std::size_t BinIndex(std::size_t size) {
    if (size <= kLargestExactSize)
        return (size - kMinimumBlockSize) / kAlignment;
    // Four bins per power of two: the two bits below the highest pick the quarter.
    const std::size_t power = static_cast<std::size_t>(std::bit_width(size)) - 1;
    const std::size_t quarter = (size >> (power - 2)) & 3;
    return std::min(kExactBinCount + (power - 10) * 4 + quarter, kBinCount - 1);
}

Region* RegionOfTop(Block* top) {
    return NextBlock(top)->region;
}

bool InRegion(const Region* region, const Block* block) {
    return static_cast<std::size_t>(reinterpret_cast<const char*>(block) - reinterpret_cast<const char*>(region)) <
           region->size;
}

}  // namespace

struct PrivateHeap {
    std::mutex mutex;                          // the heap lock, unless the caller serialises
    HeapLock callerLock;                       // the caller's lock; enter is null when there is none
    std::size_t keptEmptyBytes;                // bytes of the regions kept empty for reuse
    Region* regions;                           // the first region, which holds this record
    Region* current;                           // the region carved from first
    std::size_t regionSize;                    // size of the regions the heap grows by
    std::size_t pageSize;                      // the system's page size
    std::uint64_t nonEmptyBins[kBitmapWords];  // bit b set when bins[b] holds a block
    Block* bins[kBinCount];                    // free blocks by size class
    Block* cached[kCachedSizeCount];              // the small-block cache: a list per exact size
    std::uint32_t cachedCount[kCachedSizeCount];  // the length of each list in cached
};

namespace {

ZRDB_HOT void InsertFree(PrivateHeap* heap, Block* block) {
    const std::size_t index = BinIndex(SizeOf(block));
    Block* head = heap->bins[index];
    block->nextFree = head;
    block->previousFree = nullptr;
    if (head != nullptr)
        head->previousFree = block;
    heap->bins[index] = block;
    heap->nonEmptyBins[index / 64] |= std::uint64_t(1) << (index % 64);
}

ZRDB_HOT void RemoveFree(PrivateHeap* heap, Block* block) {
    const std::size_t index = BinIndex(SizeOf(block));
    if (block->previousFree != nullptr)
        block->previousFree->nextFree = block->nextFree;
    else
        heap->bins[index] = block->nextFree;
    if (block->nextFree != nullptr)
        block->nextFree->previousFree = block->previousFree;
    if (heap->bins[index] == nullptr)
        heap->nonEmptyBins[index / 64] &= ~(std::uint64_t(1) << (index % 64));
}

// Whether a freed block may wait in the cache: only when it lies in the current or the first
// region, which are never given back.
ZRDB_HOT bool Cacheable(const PrivateHeap* heap, const Block* block) {
    return InRegion(heap->current, block) || InRegion(heap->regions, block);
}

// A cached block of exactly size bytes, busy again; null when its list is empty or the size is not
// cached.
ZRDB_HOT Block* PopCached(PrivateHeap* heap, std::size_t size) {
    if (size > kLargestCachedSize)
        return nullptr;
    const std::size_t index = (size - kMinimumBlockSize) / kAlignment;
    Block* block = heap->cached[index];
    if (block == nullptr)
        return nullptr;
    heap->cached[index] = block->nextFree;
    --heap->cachedCount[index];
    block->sizeAndFlags &= ~kCached;
    return block;
}

// Puts a busy block in the cache; false when it is too large, in a region that may be given back,
// or its list is full.
ZRDB_HOT bool PushCached(PrivateHeap* heap, Block* block) {
    const std::size_t size = SizeOf(block);
    if (size > kLargestCachedSize)
        return false;
    const std::size_t index = (size - kMinimumBlockSize) / kAlignment;
    if (heap->cachedCount[index] == kCachedPerSize || !Cacheable(heap, block))
        return false;
    block->nextFree = heap->cached[index];
    block->sizeAndFlags |= kCached;
    heap->cached[index] = block;
    ++heap->cachedCount[index];
    return true;
}

// Takes one cached block out of its list, leaving it busy.
void UnlinkCached(PrivateHeap* heap, Block* block) {
    const std::size_t index = (SizeOf(block) - kMinimumBlockSize) / kAlignment;
    Block** link = &heap->cached[index];
    while (*link != block)
        link = &(*link)->nextFree;
    *link = block->nextFree;
    --heap->cachedCount[index];
    block->sizeAndFlags &= ~kCached;
}

void FreeLocked(PrivateHeap* heap, Block* block);

// Frees every cached block into the bins; false when the cache was empty.
bool FlushCache(PrivateHeap* heap) {
    bool flushed = false;
    for (std::size_t index = 0; index < kCachedSizeCount; ++index) {
        while (Block* block = heap->cached[index]) {
            heap->cached[index] = block->nextFree;
            block->sizeAndFlags &= ~kCached;
            FreeLocked(heap, block);
            flushed = true;
        }
        heap->cachedCount[index] = 0;
    }
    return flushed;
}

// Makes region the one carved from first. The region left may now be given back once it empties,
// so the cache, which may hold blocks of it, goes back into the bins.
void MakeCurrent(PrivateHeap* heap, Region* region) {
    heap->current = region;
    FlushCache(heap);
}

// The first bin at or after index that holds a block; kBinCount when there is none.
std::size_t FirstNonEmptyBin(const PrivateHeap* heap, std::size_t index) {
    if (index >= kBinCount)
        return kBinCount;
    std::size_t word = index / 64;
    std::uint64_t bits = heap->nonEmptyBins[word] & (~std::uint64_t(0) << (index % 64));
    while (bits == 0) {
        if (++word == kBitmapWords)
            return kBinCount;
        bits = heap->nonEmptyBins[word];
    }
    return word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
}

// A free block of at least size bytes, still in its bin; null when the bins have none.
Block* FindFree(PrivateHeap* heap, std::size_t size) {
    std::size_t index = BinIndex(size);
    if (size <= kLargestExactSize) {
        if (heap->bins[index] != nullptr)
            return heap->bins[index];
    } else {
        // A wider bin mixes sizes; its first few blocks may still fit.
        int scanned = 0;
        for (Block* block = heap->bins[index]; block != nullptr && scanned < kBinScanLimit;
             block = block->nextFree, ++scanned) {
            if (SizeOf(block) >= size)
                return block;
        }
    }
    // Every block of a higher bin is larger than any size that maps to this one.
    index = FirstNonEmptyBin(heap, index + 1);
    return index < kBinCount ? heap->bins[index] : nullptr;
}

// Makes block, free and out of its bin, a busy block of size bytes; the rest, if it can stand as a
// block, becomes a free block of its own.
void CarveFree(PrivateHeap* heap, Block* block, std::size_t size) {
    const std::size_t available = SizeOf(block);
    if (available - size >= kMinimumBlockSize) {
        Block* rest = BlockAt(block, size);
        rest->sizeAndFlags = (available - size) | kPreviousBusy;
        WriteBoundaryTag(rest);
        InsertFree(heap, rest);
        block->sizeAndFlags = size | kBusy | kPreviousBusy;
    } else {
        block->sizeAndFlags = available | kBusy | kPreviousBusy;
        NextBlock(block)->sizeAndFlags |= kPreviousBusy;
    }
}

// Moves the top of region up to newTop, which lies inside the old top and leaves it
// kMinimumBlockSize bytes at least.
void MoveTop(Region* region, Block* newTop, std::size_t newTopSize) {
    newTop->sizeAndFlags = newTopSize | kTop | kPreviousBusy;
    region->top = newTop;
    const std::size_t reached =
        static_cast<std::size_t>(reinterpret_cast<char*>(newTop) - reinterpret_cast<char*>(region)) + kHeaderSize;
    region->highWater = std::max(region->highWater, reached);
}

// A busy block of size bytes cut from the bottom of region's top; null when the top is too small.
Block* CarveTop(PrivateHeap* heap, Region* region, std::size_t size) {
    Block* top = region->top;
    const std::size_t available = SizeOf(top);
    if (available < size + kMinimumBlockSize)
        return nullptr;
    if (region->keptEmpty) {
        region->keptEmpty = false;
        heap->keptEmptyBytes -= region->size;
    }
    MoveTop(region, BlockAt(top, size), available - size);
    top->sizeAndFlags = size | kBusy | kPreviousBusy;
    return top;
}

// Carves from the current region, else from the first region whose top has room, which then
// becomes the current one: the next requests are likely to fit there too.
Block* CarveAnyTop(PrivateHeap* heap, std::size_t size) {
    if (Block* block = CarveTop(heap, heap->current, size))
        return block;
    for (Region* region = heap->regions; region != nullptr; region = region->next) {
        if (region == heap->current)
            continue;
        if (Block* block = CarveTop(heap, region, size)) {
            if (region->size == heap->regionSize)
                MakeCurrent(heap, region);
            return block;
        }
    }
    return nullptr;
}

// Maps a region of size bytes whose blocks start firstOffset bytes in; null when the system
// refuses. Its blocks are one top and the sentinel.
Region* MapRegion(std::size_t size, std::size_t firstOffset) {
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED)
        return nullptr;
    Region* region = new (address) Region{};
    region->size = size;
    region->first = BlockAt(region, firstOffset);
    Block* sentinel = BlockAt(region, size - kHeaderSize);
    sentinel->region = region;
    sentinel->sizeAndFlags = kBusy | kSentinel;
    region->first->sizeAndFlags = (size - kHeaderSize - firstOffset) | kTop | kPreviousBusy;
    region->top = region->first;
    region->highWater = firstOffset + kHeaderSize;
    return region;
}

constexpr std::size_t kRegionHeaderSize = RoundUp(sizeof(Region), kAlignment);

// Adds a region that holds a block of size bytes: one of the usual size when it fits, which then
// becomes the region carved from first, else one sized for the block alone.
Region* AddRegion(PrivateHeap* heap, std::size_t size) {
    const std::size_t needed = kRegionHeaderSize + size + kMinimumBlockSize + kHeaderSize;
    const bool usual = needed <= heap->regionSize;
    Region* region = MapRegion(usual ? heap->regionSize : RoundUp(needed, heap->pageSize), kRegionHeaderSize);
    if (region == nullptr)
        return nullptr;
    Region* last = heap->regions;
    while (last->next != nullptr)
        last = last->next;
    last->next = region;
    region->previous = last;
    if (usual)
        MakeCurrent(heap, region);
    return region;
}

// Keeps a region that has become wholly free for reuse, or gives it back to the system once the
// kept ones reach their bound. The first region holds the heap itself, and the current one is
// kept so that a heap that shrinks and grows around a region's worth of blocks does not map and
// unmap it every time.
void ReleaseIfEmpty(PrivateHeap* heap, Region* region) {
    if (region->top != region->first || region == heap->regions || region == heap->current)
        return;
    if (region->size == heap->regionSize && heap->keptEmptyBytes + region->size <= kKeptEmptyRegionBytes) {
        region->keptEmpty = true;
        heap->keptEmptyBytes += region->size;
        return;
    }
    region->previous->next = region->next;
    if (region->next != nullptr)
        region->next->previous = region->previous;
    munmap(region, region->size);
}

// A busy block of size bytes from the bins or a region's top; null when neither has room.
Block* CarveFromRoom(PrivateHeap* heap, std::size_t size) {
    if (Block* block = FindFree(heap, size)) {
        RemoveFree(heap, block);
        CarveFree(heap, block, size);
        return block;
    }
    return CarveAnyTop(heap, size);
}

// A busy block of size bytes that is not in the cache: from the room the heap has, then from
// what the cache gives back, and only then from a new region.
Block* AllocateUncached(PrivateHeap* heap, std::size_t size) {
    if (Block* block = CarveFromRoom(heap, size))
        return block;
    if (FlushCache(heap)) {
        if (Block* block = CarveFromRoom(heap, size))
            return block;
    }
    Region* region = AddRegion(heap, size);
    return region != nullptr ? CarveTop(heap, region, size) : nullptr;
}

ZRDB_HOT void* AllocateLocked(PrivateHeap* heap, std::size_t requested) {
    const std::size_t size = BlockSizeFor(requested);
    Block* block = PopCached(heap, size);
    if (block == nullptr) {
        block = AllocateUncached(heap, size);
        if (block == nullptr)
            return nullptr;
    }
    block->requested = requested;
    return Payload(block);
}

// Frees a busy block, merging it with the free blocks beside it.
void FreeLocked(PrivateHeap* heap, Block* block) {
    std::size_t size = SizeOf(block);
    Block* next = NextBlock(block);
    if ((block->sizeAndFlags & kPreviousBusy) == 0) {
        Block* previous = PreviousFreeBlock(block);
        RemoveFree(heap, previous);
        size += SizeOf(previous);
        block = previous;
    }
    if ((next->sizeAndFlags & kTop) != 0) {
        Region* region = RegionOfTop(next);
        block->sizeAndFlags = (size + SizeOf(next)) | kTop | kPreviousBusy;
        region->top = block;
        ReleaseIfEmpty(heap, region);
        return;
    }
    if ((next->sizeAndFlags & kBusy) == 0) {
        RemoveFree(heap, next);
        size += SizeOf(next);
        next = BlockAt(block, size);
    }
    block->sizeAndFlags = size | kPreviousBusy;
    WriteBoundaryTag(block);
    next->sizeAndFlags &= ~kPreviousBusy;
    InsertFree(heap, block);
}

// Sets the size of a busy block, keeping its flags.
void SetBusySize(Block* block, std::size_t size) {
    block->sizeAndFlags = size | kBusy | (block->sizeAndFlags & kPreviousBusy);
}

// Cuts a busy block down to size bytes; the rest, when it can stand as a block, is freed.
void ShrinkInPlace(PrivateHeap* heap, Block* block, std::size_t size) {
    const std::size_t available = SizeOf(block);
    if (available - size < kMinimumBlockSize)
        return;
    SetBusySize(block, size);
    Block* rest = BlockAt(block, size);
    rest->sizeAndFlags = (available - size) | kBusy | kPreviousBusy;
    FreeLocked(heap, rest);
}

// Grows a busy block to size bytes into the free block or top above it; false when they lack room.
// A cached block above is freed first, so that it counts as the free room it is.
bool GrowInPlace(PrivateHeap* heap, Block* block, std::size_t size) {
    const std::size_t available = SizeOf(block);
    Block* next = NextBlock(block);
    if ((next->sizeAndFlags & kCached) != 0) {
        UnlinkCached(heap, next);
        FreeLocked(heap, next);
        next = NextBlock(block);
    }
    const std::size_t combined = available + SizeOf(next);
    if ((next->sizeAndFlags & kTop) != 0) {
        if (combined < size + kMinimumBlockSize)
            return false;
        MoveTop(RegionOfTop(next), BlockAt(block, size), combined - size);
        SetBusySize(block, size);
        return true;
    }
    if ((next->sizeAndFlags & kBusy) != 0 || combined < size)
        return false;
    RemoveFree(heap, next);
    if (combined - size >= kMinimumBlockSize) {
        SetBusySize(block, size);
        Block* rest = BlockAt(block, size);
        rest->sizeAndFlags = (combined - size) | kPreviousBusy;
        WriteBoundaryTag(rest);
        InsertFree(heap, rest);
    } else {
        SetBusySize(block, combined);
        NextBlock(block)->sizeAndFlags |= kPreviousBusy;
    }
    return true;
}

// Frees a busy block into the cache when it takes it, else into the bins.
ZRDB_HOT void ReleaseBlock(PrivateHeap* heap, Block* block) {
    if (!PushCached(heap, block))
        FreeLocked(heap, block);
}

void* ReallocateLocked(PrivateHeap* heap, Block* block, std::size_t requested) {
    const std::size_t size = BlockSizeFor(requested);
    if (size <= SizeOf(block))
        ShrinkInPlace(heap, block, size);
    else if (!GrowInPlace(heap, block, size)) {
        void* moved = AllocateLocked(heap, requested);
        if (moved == nullptr)
            return nullptr;
        std::memcpy(moved, Payload(block), block->requested);
        ReleaseBlock(heap, block);
        return moved;
    }
    block->requested = requested;
    return Payload(block);
}

// Holds the heap's own mutex for a scope, unless the caller's lock serialises the heap already.
class HeapGuard {
public:
    explicit HeapGuard(PrivateHeap* heap) : m_mutex(heap->callerLock.enter == nullptr ? &heap->mutex : nullptr) {
        // std::mutex::lock throws only for a mutex that is not one (or on a deadlock it cannot
        // see here), so the terminate that noexcept callers would turn that into is never reached.
        if (m_mutex != nullptr)
            m_mutex->lock();
    }
    ~HeapGuard() {
        if (m_mutex != nullptr)
            m_mutex->unlock();
    }
    HeapGuard(const HeapGuard&) = delete;
    HeapGuard& operator=(const HeapGuard&) = delete;

private:
    std::mutex* m_mutex;  // the mutex held; null when the caller serialises
};

void DescribeRegion(const PrivateHeap* heap, Region* region, HeapWalkEntry& entry) {
    entry.data = region;
    entry.dataSize = region->size;
    entry.overhead = static_cast<std::size_t>(reinterpret_cast<char*>(region->first) - reinterpret_cast<char*>(region)) +
                     kHeaderSize;
    entry.flags = HeapEntryRegion;
    // Mapped pages cost nothing until they are touched, so only the part carving has reached
    // counts as committed.
    entry.committedSize = std::min(RoundUp(region->highWater, heap->pageSize), region->size);
    entry.uncommittedSize = region->size - entry.committedSize;
    entry.cursor = region->first;
}

void DescribeBlock(Block* block, HeapWalkEntry& entry) {
    entry.data = Payload(block);
    const bool busy = (block->sizeAndFlags & (kBusy | kCached)) == kBusy;
    entry.dataSize = busy ? block->requested : SizeOf(block) - kHeaderSize;
    entry.overhead = SizeOf(block) - entry.dataSize;
    entry.flags = busy ? static_cast<unsigned>(HeapEntryBusy) : 0u;
    entry.committedSize = 0;
    entry.uncommittedSize = 0;
    entry.cursor = NextBlock(block);
}

}  // namespace

PrivateHeap* CreatePrivateHeap(std::size_t initialSize, const HeapLock* callerLock) noexcept {
    const long systemPage = sysconf(_SC_PAGESIZE);
    const std::size_t pageSize = systemPage > 0 ? static_cast<std::size_t>(systemPage) : 4096;
    if (initialSize > kLargestRequest)
        return nullptr;
    const std::size_t size = RoundUp(std::max(initialSize, kSmallestRegionSize), pageSize);
    const std::size_t firstOffset = kRegionHeaderSize + RoundUp(sizeof(PrivateHeap), kAlignment);
    Region* region = MapRegion(size, firstOffset);
    if (region == nullptr)
        return nullptr;
    PrivateHeap* heap = new (reinterpret_cast<char*>(region) + kRegionHeaderSize) PrivateHeap();
    heap->regions = region;
    heap->current = region;
    heap->regionSize = size;
    heap->pageSize = pageSize;
    if (callerLock != nullptr && callerLock->enter != nullptr && callerLock->leave != nullptr)
        heap->callerLock = *callerLock;
    return heap;
}

void DestroyPrivateHeap(PrivateHeap* heap) noexcept {
    if (heap == nullptr)
        return;
    Region* first = heap->regions;
    for (Region* region = first->next; region != nullptr;) {
        Region* next = region->next;
        munmap(region, region->size);
        region = next;
    }
    heap->~PrivateHeap();
    munmap(first, first->size);
}

void* PrivateHeapAllocate(PrivateHeap* heap, std::size_t size) noexcept {
    if (heap == nullptr || size > kLargestRequest)
        return nullptr;
    HeapGuard guard(heap);
    return AllocateLocked(heap, size);
}

void* PrivateHeapReallocate(PrivateHeap* heap, void* block, std::size_t size) noexcept {
    if (block == nullptr)
        return PrivateHeapAllocate(heap, size);
    if (heap == nullptr || size > kLargestRequest)
        return nullptr;
    HeapGuard guard(heap);
    Block* header = BlockOf(block);
    // A block that is not busy was freed already or never came from here; leave it alone.
    if ((header->sizeAndFlags & (kBusy | kSentinel | kCached)) != kBusy)
        return nullptr;
    return ReallocateLocked(heap, header, size);
}

void PrivateHeapFree(PrivateHeap* heap, void* block) noexcept {
    if (heap == nullptr || block == nullptr)
        return;
    HeapGuard guard(heap);
    Block* header = BlockOf(block);
    // A block freed twice whose header still stands is left alone, rather than being put in a
    // bin or the cache twice and handed out twice; a block merged into a neighbour meanwhile
    // cannot be told.
    if ((header->sizeAndFlags & (kBusy | kSentinel | kCached)) != kBusy)
        return;
    ReleaseBlock(heap, header);
}

std::size_t PrivateHeapSize(PrivateHeap*, const void* block) noexcept {
    // The caller owns the block, so its header cannot change under us: no lock needed.
    return block != nullptr ? BlockOf(block)->requested : 0;
}

bool PrivateHeapLock(PrivateHeap* heap) noexcept {
    if (heap == nullptr)
        return false;
    if (heap->callerLock.enter != nullptr) {
        heap->callerLock.enter(heap->callerLock.context);
        return true;
    }
    try {
        heap->mutex.lock();
        return true;
    } catch (...) {
        return false;
    }
}

void PrivateHeapUnlock(PrivateHeap* heap) noexcept {
    if (heap == nullptr)
        return;
    if (heap->callerLock.leave != nullptr)
        heap->callerLock.leave(heap->callerLock.context);
    else
        heap->mutex.unlock();
}

bool PrivateHeapWalk(PrivateHeap* heap, HeapWalkEntry& entry) noexcept {
    if (heap == nullptr)
        return false;
    if (entry.data == nullptr) {
        DescribeRegion(heap, heap->regions, entry);
        return true;
    }
    Block* block = static_cast<Block*>(const_cast<void*>(entry.cursor));
    if ((block->sizeAndFlags & kSentinel) != 0) {
        Region* next = block->region->next;
        if (next == nullptr)
            return false;
        DescribeRegion(heap, next, entry);
        return true;
    }
    DescribeBlock(block, entry);
    return true;
}

}  // namespace Database::Platform

#undef ZRDB_HOT
