// PrivateHeapTest.cpp: the private heap on its own, under long random sequences, growth, the
// regions it keeps for reuse, two threads, a caller's lock and absurd requests. Every live block carries a slice of one random reference buffer, so
// a block handed out twice, a bad merge or a bad copy shows as a content mismatch; every walk is
// checked against the blocks the test knows to be live.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "platform/PrivateHeap.h"

namespace Database::Platform {
namespace {

constexpr std::size_t kInitialSize = 5 * 1024 * 1024;

// On Windows the heap is the system's own: where a block goes and how regions are laid out, grown
// and given back (blocks past a threshold live outside every region) is the system's business,
// not the library's. There only what the library takes from the walk is checked: the busy blocks,
// their sizes, and each region's committed and reserved bytes adding up to its size.
#if defined(_WIN32)
constexpr bool kLayoutIsOurs = false;
constexpr std::size_t kPromisedAlignment = 8;
#else
constexpr bool kLayoutIsOurs = true;
constexpr std::size_t kPromisedAlignment = 16;
#endif
constexpr std::size_t kMiB = 1024 * 1024;
// The heap's usual region.
constexpr std::size_t kRegionSize = kInitialSize;
constexpr std::size_t kLargestBlock = kMiB;
constexpr std::size_t kPatternSpread = 4096;

constexpr std::size_t kReferenceSize = kLargestBlock + kPatternSpread;

// Random bytes that live blocks copy their contents from, each at an offset of its own: byte i of
// a block is byte (pattern + i) of the reference, which repeats for blocks longer than it.
const unsigned char* Reference() {
    static const std::vector<unsigned char> reference = [] {
        std::vector<unsigned char> bytes(kReferenceSize);
        std::mt19937 random(7);
        for (unsigned char& byte : bytes)
            byte = static_cast<unsigned char>(random());
        return bytes;
    }();
    return reference.data();
}

struct LiveBlock {
    unsigned char* data;  // the block
    std::size_t size;     // its size as requested
    std::size_t pattern;  // the offset in Reference() its contents start from
};

// Calls visit(offset in the block, reference bytes, length) for the bytes [from, to) of a block.
template <class Visit>
bool ForEachSlice(const LiveBlock& block, std::size_t from, std::size_t to, Visit visit) {
    while (from < to) {
        const std::size_t start = (block.pattern + from) % kReferenceSize;
        const std::size_t length = std::min(to - from, kReferenceSize - start);
        if (!visit(from, Reference() + start, length))
            return false;
        from += length;
    }
    return true;
}

void Fill(const LiveBlock& block, std::size_t from = 0) {
    ForEachSlice(block, from, block.size, [&](std::size_t offset, const unsigned char* bytes, std::size_t length) {
        std::memcpy(block.data + offset, bytes, length);
        return true;
    });
}

bool Intact(const LiveBlock& block, std::size_t length) {
    return ForEachSlice(block, 0, length, [&](std::size_t offset, const unsigned char* bytes, std::size_t length) {
        return std::memcmp(block.data + offset, bytes, length) == 0;
    });
}

// What a walk found.
struct WalkReport {
    std::size_t regions = 0;
    std::size_t regionBytes = 0;
    std::size_t busyBytes = 0;
    std::map<const void*, std::size_t> busy;  // data address -> size
    bool balanced = true;     // each region's overhead and entries add up to its size
    bool contained = true;    // every block lies inside the region reported before it
    bool committedSum = true; // committed and uncommitted bytes add up to each region's size
};

WalkReport WalkHeap(PrivateHeap* heap) {
    WalkReport report;
    EXPECT_TRUE(PrivateHeapLock(heap));
    HeapWalkEntry entry = {};
    const char* regionStart = nullptr;
    const char* regionEnd = nullptr;
    std::size_t regionLeft = 0;
    std::size_t steps = 0;
    while (PrivateHeapWalk(heap, entry)) {
        if (++steps > 50'000'000) {
            ADD_FAILURE() << "the walk does not end";
            break;
        }
        if ((entry.flags & HeapEntryRegion) != 0) {
            report.balanced = report.balanced && (report.regions == 0 || regionLeft == 0);
            report.committedSum =
                report.committedSum && entry.committedSize + entry.uncommittedSize == entry.dataSize;
            ++report.regions;
            report.regionBytes += entry.dataSize;
            regionStart = static_cast<const char*>(entry.data);
            regionEnd = regionStart + entry.dataSize;
            regionLeft = entry.dataSize - entry.overhead;
            continue;
        }
        const char* data = static_cast<const char*>(entry.data);
        const std::size_t bytes = entry.dataSize + entry.overhead;
        report.contained = report.contained && regionStart != nullptr && data > regionStart &&
                           data + entry.dataSize <= regionEnd;
        if (bytes > regionLeft)
            report.balanced = false;
        else
            regionLeft -= bytes;
        if ((entry.flags & HeapEntryBusy) != 0) {
            report.busyBytes += entry.dataSize;
            report.busy[entry.data] = entry.dataSize;
        }
    }
    report.balanced = report.balanced && regionLeft == 0;
    PrivateHeapUnlock(heap);
    return report;
}

// Checks a walk against the blocks known to be live: same blocks, same sizes, every byte of every
// region accounted for.
void ExpectWalkAgrees(PrivateHeap* heap, const std::vector<LiveBlock>& live) {
    std::map<const void*, std::size_t> expected;
    std::size_t expectedBytes = 0;
    for (const LiveBlock& block : live) {
        expected[block.data] = block.size;
        expectedBytes += block.size;
    }
    const WalkReport report = WalkHeap(heap);
    EXPECT_GE(report.regions, 1u);
    EXPECT_TRUE(report.committedSum);
    if (kLayoutIsOurs) {
        EXPECT_GE(report.regionBytes, expectedBytes);
        EXPECT_TRUE(report.balanced);
        EXPECT_TRUE(report.contained);
    }
    EXPECT_EQ(report.busy.size(), live.size());
    EXPECT_EQ(report.busyBytes, expectedBytes);
    EXPECT_TRUE(report.busy == expected);
}

// Every live block still holds its contents, and the walk finds exactly those blocks.
void ExpectIntactAndWalked(PrivateHeap* heap, const std::vector<LiveBlock>& live) {
    for (const LiveBlock& block : live)
        EXPECT_TRUE(Intact(block, block.size));
    ExpectWalkAgrees(heap, live);
}

class PrivateHeapTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_heap = CreatePrivateHeap(kInitialSize);
        ASSERT_NE(m_heap, nullptr);
    }
    void TearDown() override { DestroyPrivateHeap(m_heap); }

    LiveBlock Allocate(std::size_t size, std::size_t pattern = 0) {
        LiveBlock block = {static_cast<unsigned char*>(PrivateHeapAllocate(m_heap, size)), size, pattern};
        if (block.data != nullptr)
            Fill(block);
        return block;
    }

    PrivateHeap* m_heap = nullptr;
};

// Mostly small blocks, as SQLite asks for, some up to 64 KiB and a few up to 1 MiB, with the
// edges of the size classes now and then.
std::size_t RandomSize(std::mt19937_64& random) {
    static constexpr std::size_t kEdges[] = {1, 15, 16, 17, 31, 32, 1008, 1009, 1024, 1025, 65536, kLargestBlock};
    const unsigned roll = static_cast<unsigned>(random() % 1000);
    if (roll < 10)
        return kEdges[random() % std::size(kEdges)];
    if (roll < 850)
        return 1 + random() % 512;
    if (roll < 990)
        return 513 + random() % (65536 - 512);
    return 65537 + random() % (kLargestBlock - 65536);
}

TEST_F(PrivateHeapTest, RandomSequencesKeepEveryBlockAndItsSize) {
    std::mt19937_64 random(20240611);
    std::vector<LiveBlock> live;
    std::size_t mostRegions = 0;
    constexpr int kOperations = 120'000;
    for (int operation = 0; operation < kOperations; ++operation) {
        const unsigned roll = static_cast<unsigned>(random() % 100);
        if (live.empty() || (roll < 45 && live.size() < 1500)) {
            const LiveBlock block = Allocate(RandomSize(random), random() % kPatternSpread);
            ASSERT_NE(block.data, nullptr);
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(block.data) % kPromisedAlignment, 0u);
            live.push_back(block);
            continue;
        }
        const std::size_t index = random() % live.size();
        LiveBlock& block = live[index];
        ASSERT_EQ(PrivateHeapSize(m_heap, block.data), block.size);
        ASSERT_TRUE(Intact(block, block.size)) << "operation " << operation;
        if (roll < 75) {
            PrivateHeapFree(m_heap, block.data);
            block = live.back();
            live.pop_back();
        } else {
            const std::size_t size = RandomSize(random);
            void* moved = PrivateHeapReallocate(m_heap, block.data, size);
            ASSERT_NE(moved, nullptr);
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(moved) % kPromisedAlignment, 0u);
            const std::size_t kept = std::min(size, block.size);
            const std::size_t oldSize = block.size;
            block.data = static_cast<unsigned char*>(moved);
            block.size = size;
            ASSERT_TRUE(Intact(block, kept)) << "operation " << operation;
            ASSERT_EQ(PrivateHeapSize(m_heap, block.data), size);
            Fill(block, oldSize);
        }
        if (operation % 10'000 == 0) {
            for (const LiveBlock& each : live)
                ASSERT_TRUE(Intact(each, each.size));
            ExpectWalkAgrees(m_heap, live);
            mostRegions = std::max(mostRegions, WalkHeap(m_heap).regions);
        }
    }
    for (const LiveBlock& block : live)
        ASSERT_TRUE(Intact(block, block.size));
    ExpectWalkAgrees(m_heap, live);
    if (kLayoutIsOurs) {
        EXPECT_GT(mostRegions, 1u);
    }
    for (const LiveBlock& block : live)
        PrivateHeapFree(m_heap, block.data);
    const WalkReport empty = WalkHeap(m_heap);
    EXPECT_TRUE(empty.busy.empty());
    // Beside the first region and the one carved last, only the kept ones remain.
    if (kLayoutIsOurs) {
        EXPECT_LE(empty.regionBytes, kPrivateHeapKeptEmptyBytes + 2 * kRegionSize);
    }
}

TEST_F(PrivateHeapTest, GrowsPastTheFirstRegionAndKeepsEmptiedRegions) {
    std::vector<LiveBlock> live;
    for (std::size_t total = 0; total < 4 * kInitialSize; total += 64 * 1024)
        live.push_back(Allocate(64 * 1024, live.size() % kPatternSpread));
    for (const LiveBlock& block : live)
        ASSERT_NE(block.data, nullptr);
    ExpectWalkAgrees(m_heap, live);
    const std::size_t grownRegions = WalkHeap(m_heap).regions;
    if (kLayoutIsOurs) {
        EXPECT_GE(grownRegions, 4u);
    }

    // Larger than a whole region: it gets a region of its own.
    const LiveBlock huge = Allocate(3 * kInitialSize, 5);
    ASSERT_NE(huge.data, nullptr);
    live.push_back(huge);
    ExpectWalkAgrees(m_heap, live);
    if (kLayoutIsOurs) {
        EXPECT_EQ(WalkHeap(m_heap).regions, grownRegions + 1);
    }
    for (const LiveBlock& block : live)
        ASSERT_TRUE(Intact(block, block.size));

    PrivateHeapFree(m_heap, huge.data);
    live.pop_back();
    if (kLayoutIsOurs) {
        EXPECT_EQ(WalkHeap(m_heap).regions, grownRegions);
    }
    for (const LiveBlock& block : live)
        PrivateHeapFree(m_heap, block.data);
    // The region of the large block went back; those of the usual size stay, well within the bound.
    const WalkReport empty = WalkHeap(m_heap);
    EXPECT_TRUE(empty.busy.empty());
    if (kLayoutIsOurs) {
        EXPECT_EQ(empty.regions, grownRegions);
        EXPECT_TRUE(empty.balanced);
    }

    // What was given back can be had again.
    live.clear();
    for (std::size_t total = 0; total < 2 * kInitialSize; total += 256 * 1024)
        live.push_back(Allocate(256 * 1024, 9));
    for (const LiveBlock& block : live)
        ASSERT_TRUE(block.data != nullptr && Intact(block, block.size));
    ExpectWalkAgrees(m_heap, live);
}

// Emptied regions are kept up to the bound and the rest returned; a second fill reuses the kept
// ones instead of mapping more, and the walk still adds up.
TEST_F(PrivateHeapTest, KeepsEmptiedRegionsUpToTheBoundAndReusesThem) {
    if (!kLayoutIsOurs)
        GTEST_SKIP() << "the system heap keeps or returns its regions as it chooses";
    constexpr std::size_t kBlock = 256 * 1024;
    const std::size_t filled = kPrivateHeapKeptEmptyBytes + 4 * kRegionSize;
    std::vector<void*> blocks;
    for (std::size_t total = 0; total < filled; total += kBlock)
        blocks.push_back(PrivateHeapAllocate(m_heap, kBlock));
    const WalkReport full = WalkHeap(m_heap);
    for (void* block : blocks)
        PrivateHeapFree(m_heap, block);
    const WalkReport empty = WalkHeap(m_heap);
    EXPECT_TRUE(empty.busy.empty() && empty.balanced);
    EXPECT_LE(empty.regionBytes, kPrivateHeapKeptEmptyBytes + 2 * kRegionSize);
    EXPECT_GE(empty.regionBytes, kPrivateHeapKeptEmptyBytes - kRegionSize);

    std::vector<LiveBlock> live;
    for (std::size_t total = 0; total < filled; total += kBlock)
        live.push_back({static_cast<unsigned char*>(PrivateHeapAllocate(m_heap, kBlock)), kBlock, 0});
    for (const LiveBlock& block : live)
        ASSERT_NE(block.data, nullptr);
    ExpectWalkAgrees(m_heap, live);
    EXPECT_EQ(WalkHeap(m_heap).regions, full.regions);
    for (const LiveBlock& block : live)
        PrivateHeapFree(m_heap, block.data);
}

TEST_F(PrivateHeapTest, ReallocateKeepsContentsAndStaysInPlaceWhenItCan) {
    LiveBlock first = Allocate(100, 1);
    const LiveBlock second = Allocate(100, 2);
    const LiveBlock third = Allocate(100, 3);
    ASSERT_TRUE(first.data && second.data && third.data);

    // Grows into the free neighbour.
    PrivateHeapFree(m_heap, second.data);
    void* grown = PrivateHeapReallocate(m_heap, first.data, 200);
    ASSERT_NE(grown, nullptr);
    if (kLayoutIsOurs) {
        EXPECT_EQ(grown, first.data);
    }
    first.data = static_cast<unsigned char*>(grown);
    EXPECT_EQ(PrivateHeapSize(m_heap, first.data), 200u);
    EXPECT_TRUE(Intact(first, 100));
    first.size = 200;
    Fill(first, 100);

    // Shrinks where it is; the freed tail is reused.
    void* shrunk = PrivateHeapReallocate(m_heap, first.data, 10);
    ASSERT_NE(shrunk, nullptr);
    if (kLayoutIsOurs) {
        EXPECT_EQ(shrunk, first.data);
    }
    first.data = static_cast<unsigned char*>(shrunk);
    EXPECT_EQ(PrivateHeapSize(m_heap, first.data), 10u);
    first.size = 10;
    EXPECT_TRUE(Intact(first, 10));

    // A block larger than any free one is carved from the region's uncarved end, and grows into it.
    LiveBlock last = Allocate(4096, 4);
    void* extended = PrivateHeapReallocate(m_heap, last.data, 300'000);
    ASSERT_NE(extended, nullptr);
    if (kLayoutIsOurs) {
        EXPECT_EQ(extended, last.data);
    }
    last.data = static_cast<unsigned char*>(extended);
    EXPECT_TRUE(Intact(last, 4096));
    last.size = 300'000;
    Fill(last, 4096);

    // With busy neighbours on both sides it has to move, and takes its contents along.
    LiveBlock boxed = Allocate(48, 5);
    const LiveBlock after = Allocate(48, 6);
    void* moved = PrivateHeapReallocate(m_heap, boxed.data, 5000);
    ASSERT_NE(moved, nullptr);
    if (kLayoutIsOurs) {
        EXPECT_NE(moved, boxed.data);
    }
    boxed.data = static_cast<unsigned char*>(moved);
    EXPECT_TRUE(Intact(boxed, 48));
    boxed.size = 5000;
    Fill(boxed, 48);

    // A null block is allocated; a size of 0 still gets a block of its own.
    LiveBlock fresh = {static_cast<unsigned char*>(PrivateHeapReallocate(m_heap, nullptr, 40)), 40, 7};
    ASSERT_NE(fresh.data, nullptr);
    Fill(fresh);
    LiveBlock empty = {static_cast<unsigned char*>(PrivateHeapReallocate(m_heap, third.data, 0)), 0, 3};
    ASSERT_NE(empty.data, nullptr);
    EXPECT_EQ(PrivateHeapSize(m_heap, empty.data), 0u);

    const std::vector<LiveBlock> live = {first, last, boxed, after, fresh, empty};
    ExpectIntactAndWalked(m_heap, live);
}

// A freed small block waits for the next request of its size without being merged: it is handed
// out again, walks as free, and a second free of it is ignored rather than putting it in twice.
TEST_F(PrivateHeapTest, FreedSmallBlocksAreReusedAndWalkAsFree) {
    if (!kLayoutIsOurs)
        GTEST_SKIP() << "the system heap reuses blocks as it chooses, and a second free is undefined there";
    const LiveBlock small = Allocate(100, 1);
    const LiveBlock kept = Allocate(100, 2);
    const LiveBlock larger = Allocate(300, 3);
    const LiveBlock guard = Allocate(40, 4);
    PrivateHeapFree(m_heap, small.data);
    PrivateHeapFree(m_heap, larger.data);
    ExpectWalkAgrees(m_heap, {kept, guard});
    PrivateHeapFree(m_heap, small.data);
    EXPECT_EQ(PrivateHeapReallocate(m_heap, small.data, 200), nullptr);

    const LiveBlock again = Allocate(112, 5);
    const LiveBlock other = Allocate(100, 6);
    const LiveBlock largerAgain = Allocate(290, 7);
    EXPECT_EQ(again.data, small.data);
    EXPECT_NE(other.data, small.data);
    EXPECT_EQ(largerAgain.data, larger.data);
    const std::vector<LiveBlock> live = {kept, guard, again, other, largerAgain};
    ExpectIntactAndWalked(m_heap, live);
}

// Small blocks freed while their region is the current one wait in the cache; once the heap has
// moved on to another region, freeing the rest of that region's blocks must empty it all the same.
TEST(PrivateHeap, CachedBlocksLetTheirRegionEmpty) {
    if (!kLayoutIsOurs)
        GTEST_SKIP() << "the regions are the system heap's on Windows";
    PrivateHeap* heap = CreatePrivateHeap(0);
    ASSERT_NE(heap, nullptr);
    std::vector<void*> blocks;
    const auto allocateUntilRegions = [&](std::size_t size, std::size_t regions) {
        while (WalkHeap(heap).regions < regions)
            blocks.push_back(PrivateHeapAllocate(heap, size));
    };
    allocateUntilRegions(100, 2);
    const std::size_t secondStart = blocks.size() - 1;
    for (int index = 0; index < 20; ++index)
        blocks.push_back(PrivateHeapAllocate(heap, 100));
    // The second region is the current one: freed, these wait in the cache. Blocks of another size
    // then fill the region up and move the heap on to a third.
    for (std::size_t index = blocks.size() - 10; index < blocks.size(); ++index)
        PrivateHeapFree(heap, blocks[index]);
    blocks.resize(blocks.size() - 10);
    allocateUntilRegions(400, 3);
    for (std::size_t index = secondStart; index + 1 < blocks.size(); ++index)
        PrivateHeapFree(heap, blocks[index]);

    // The second region emptied: the walk finds one block in it, its top (a region always has one).
    std::size_t regions = 0;
    std::size_t secondEntries = 0;
    EXPECT_TRUE(PrivateHeapLock(heap));
    for (HeapWalkEntry entry = {}; PrivateHeapWalk(heap, entry);) {
        if ((entry.flags & HeapEntryRegion) != 0)
            ++regions;
        else if (regions == 2)
            ++secondEntries;
    }
    PrivateHeapUnlock(heap);
    EXPECT_EQ(regions, 3u);
    EXPECT_EQ(secondEntries, 1u);
    DestroyPrivateHeap(heap);
}

// A block growing 16 bytes at a time fills its region up to the last byte the region can give, then
// moves to a new region; the region's end must stay intact all along.
TEST(PrivateHeap, GrowingUpToTheEndOfARegionKeepsItIntact) {
    if (!kLayoutIsOurs)
        GTEST_SKIP() << "the regions are the system heap's on Windows; their ends are not the library's";
    PrivateHeap* heap = CreatePrivateHeap(0);
    ASSERT_NE(heap, nullptr);
    LiveBlock block = {static_cast<unsigned char*>(PrivateHeapAllocate(heap, 16)), 16, 21};
    ASSERT_NE(block.data, nullptr);
    Fill(block);
    const WalkReport before = WalkHeap(heap);
    bool moved = false;
    for (std::size_t size = 32; !moved && size <= before.regionBytes + 4096; size += 16) {
        void* resized = PrivateHeapReallocate(heap, block.data, size);
        ASSERT_NE(resized, nullptr);
        moved = resized != block.data;
        block.data = static_cast<unsigned char*>(resized);
        ASSERT_TRUE(Intact(block, block.size));
        const std::size_t oldSize = block.size;
        block.size = size;
        Fill(block, oldSize);
        ExpectWalkAgrees(heap, {block});
    }
    EXPECT_TRUE(moved);
    DestroyPrivateHeap(heap);
}

TEST_F(PrivateHeapTest, RefusesAbsurdSizesAndStaysUsable) {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(PrivateHeapAllocate(m_heap, kMax), nullptr);
    EXPECT_EQ(PrivateHeapAllocate(m_heap, kMax - 15), nullptr);
    EXPECT_EQ(PrivateHeapAllocate(m_heap, kMax / 2), nullptr);
    // Past any address space the system has: the mapping itself is refused. A 32-bit process has
    // 2 GiB of it (its size_t cannot count to 2^60).
    constexpr std::size_t kPastAddressSpace = std::size_t(1) << (sizeof(std::size_t) == 8 ? 60 : 31);
    EXPECT_EQ(PrivateHeapAllocate(m_heap, kPastAddressSpace), nullptr);

    const LiveBlock block = Allocate(1000, 11);
    ASSERT_NE(block.data, nullptr);
    EXPECT_EQ(PrivateHeapReallocate(m_heap, block.data, kMax), nullptr);
    EXPECT_EQ(PrivateHeapReallocate(m_heap, block.data, kPastAddressSpace), nullptr);
    EXPECT_EQ(PrivateHeapSize(m_heap, block.data), 1000u);
    EXPECT_TRUE(Intact(block, block.size));

    void* zero = PrivateHeapAllocate(m_heap, 0);
    void* otherZero = PrivateHeapAllocate(m_heap, 0);
    ASSERT_TRUE(zero != nullptr && otherZero != nullptr);
    EXPECT_NE(zero, otherZero);
    PrivateHeapFree(m_heap, nullptr);
    EXPECT_EQ(PrivateHeapSize(m_heap, nullptr), 0u);
    ExpectWalkAgrees(m_heap, {block, {static_cast<unsigned char*>(zero), 0, 0},
                              {static_cast<unsigned char*>(otherZero), 0, 0}});

    EXPECT_EQ(CreatePrivateHeap(kMax), nullptr);
    EXPECT_EQ(PrivateHeapAllocate(nullptr, 10), nullptr);
    EXPECT_FALSE(PrivateHeapLock(nullptr));
}

// A heap serialised by its caller takes the caller's lock for a walk, and only then.
TEST(PrivateHeap, ACallerLockStandsInForTheHeapsOwn) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system heap serialises itself and takes no lock of its caller's";
#endif
    static int held = 0;
    static int taken = 0;
    const HeapLock lock = {[](void*) noexcept { ++held, ++taken; }, [](void*) noexcept { --held; }, nullptr};
    PrivateHeap* heap = CreatePrivateHeap(0, &lock);
    ASSERT_NE(heap, nullptr);
    void* block = PrivateHeapAllocate(heap, 100);
    block = PrivateHeapReallocate(heap, block, 5000);
    PrivateHeapFree(heap, block);
    EXPECT_EQ(taken, 0);
    const WalkReport report = WalkHeap(heap);
    EXPECT_TRUE(report.busy.empty() && report.balanced);
    EXPECT_EQ(taken, 1);
    EXPECT_EQ(held, 0);
    DestroyPrivateHeap(heap);
}

TEST(PrivateHeap, SmallInitialSizeStillGrows) {
    PrivateHeap* heap = CreatePrivateHeap(0);
    ASSERT_NE(heap, nullptr);
    std::vector<LiveBlock> live;
    for (int index = 0; index < 2000; ++index) {
        LiveBlock block = {static_cast<unsigned char*>(PrivateHeapAllocate(heap, 700)), 700,
                           static_cast<std::size_t>(index)};
        ASSERT_NE(block.data, nullptr);
        Fill(block);
        live.push_back(block);
    }
    ExpectIntactAndWalked(heap, live);
    if (kLayoutIsOurs) {
        EXPECT_GT(WalkHeap(heap).regions, 1u);
    }
    DestroyPrivateHeap(heap);
}

// Two threads allocate, fill, check and free at once while the main thread walks the heap under
// its lock; no block may be handed to both, and the walks must always add up. The threads start
// together and keep to small blocks, so that their calls overlap as much as they can.
TEST_F(PrivateHeapTest, TwoThreadsAllocateAtOnce) {
    std::atomic<int> damaged{0};
    std::atomic<int> waiting{2};
    std::atomic<int> running{2};
    auto work = [&](std::uint64_t seed) {
        std::mt19937_64 random(seed);
        std::vector<LiveBlock> live;
        --waiting;
        while (waiting.load() > 0) {
        }
        for (int operation = 0; operation < 200'000; ++operation) {
            if (live.empty() || (random() % 100 < 55 && live.size() < 400)) {
                const std::size_t size = random() % 100 == 0 ? 1 + random() % (128 * 1024) : 1 + random() % 256;
                LiveBlock block = {static_cast<unsigned char*>(PrivateHeapAllocate(m_heap, size)), size,
                                   static_cast<std::size_t>(random() % kPatternSpread)};
                if (block.data == nullptr) {
                    ++damaged;
                    continue;
                }
                Fill(block);
                live.push_back(block);
                continue;
            }
            const std::size_t index = random() % live.size();
            if (!Intact(live[index], live[index].size) || PrivateHeapSize(m_heap, live[index].data) != live[index].size)
                ++damaged;
            PrivateHeapFree(m_heap, live[index].data);
            live[index] = live.back();
            live.pop_back();
        }
        for (const LiveBlock& block : live) {
            if (!Intact(block, block.size))
                ++damaged;
            PrivateHeapFree(m_heap, block.data);
        }
        --running;
    };
    std::thread one(work, 1);
    std::thread two(work, 2);
    int walks = 0;
    bool walksAddUp = true;
    while (running.load() > 0 || walks == 0) {
        const WalkReport report = WalkHeap(m_heap);
        walksAddUp = walksAddUp && report.committedSum && (!kLayoutIsOurs || (report.balanced && report.contained));
        ++walks;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    one.join();
    two.join();
    EXPECT_EQ(damaged.load(), 0);
    EXPECT_TRUE(walksAddUp);
    EXPECT_TRUE(WalkHeap(m_heap).busy.empty());
}

}  // namespace
}  // namespace Database::Platform
