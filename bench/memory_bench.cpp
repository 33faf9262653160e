// memory_bench.cpp: the library's memory routines against the C library's.
//
// Each comparison runs the same recorded work on both sides in one run of this program, so the
// figures to compare are the two lines of a pair: their ratio is the cost of our allocator.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "base/Memory.h"
#include "platform/PrivateHeap.h"

namespace {

// ==== The private heap against malloc ========================================================
//
// A sequence of allocations shaped like SQLite's while it inserts rows: mostly small blocks of 8
// to 512 bytes (sizes rounded to 8, as SQLite's memory methods round them), some up to 4 KiB (pages
// and their headers), a few up to 64 KiB, freed mostly soon after and in reverse order, with some
// blocks living long and a few growing. Both allocators replay exactly this sequence; each replay
// ends with every block freed, so every iteration starts from the same state.

struct HeapStep {
    enum Kind : std::uint8_t { Allocate, Reallocate, Free };
    Kind kind;           // what to do
    std::uint32_t slot;  // the block it concerns, by its slot in the replay's table
    std::uint32_t size;  // Allocate, Reallocate: the block's new size
};

constexpr std::size_t kHeapSlots = 4096;
constexpr std::size_t kHeapSteps = 1'000'000;
constexpr std::size_t kInitialHeapSize = 5 * 1024 * 1024;

std::uint32_t SqliteLikeSize(std::mt19937& random) {
    const unsigned roll = random() % 1000;
    std::uint32_t size;
    if (roll < 700)
        size = 8 + random() % 120;
    else if (roll < 900)
        size = 128 + random() % 384;
    else if (roll < 985)
        size = 512 + random() % 3584;
    else
        size = 4096 + random() % (60 * 1024);
    return (size + 7) & ~7u;
}

std::vector<HeapStep> RecordHeapSequence() {
    std::mt19937 random(1234);
    std::vector<HeapStep> steps;
    steps.reserve(kHeapSteps + kHeapSlots);
    std::vector<std::uint32_t> live;  // slots in use, most recent last
    std::vector<std::uint32_t> sizes(kHeapSlots);
    std::vector<std::uint32_t> idle;
    for (std::uint32_t slot = kHeapSlots; slot-- > 0;)
        idle.push_back(slot);
    while (steps.size() < kHeapSteps) {
        const unsigned roll = random() % 100;
        // The working set drifts between empty and full, so frees come in runs now and then.
        const bool allocate = live.empty() || (!idle.empty() && roll < 52);
        if (allocate) {
            const std::uint32_t slot = idle.back();
            idle.pop_back();
            sizes[slot] = SqliteLikeSize(random);
            steps.push_back({HeapStep::Allocate, slot, sizes[slot]});
            live.push_back(slot);
        } else if (roll < 54) {
            // A string or an array grown by half again, as SQLite grows its buffers.
            const std::uint32_t slot = live[random() % live.size()];
            sizes[slot] = std::min<std::uint32_t>((sizes[slot] + sizes[slot] / 2 + 7) & ~7u, 64 * 1024);
            steps.push_back({HeapStep::Reallocate, slot, sizes[slot]});
        } else {
            // Mostly the newest block (temporaries), otherwise any.
            const std::size_t index = roll < 85 ? live.size() - 1 : random() % live.size();
            const std::uint32_t slot = live[index];
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(index));
            steps.push_back({HeapStep::Free, slot, 0});
            idle.push_back(slot);
        }
    }
    for (std::uint32_t slot : live)
        steps.push_back({HeapStep::Free, slot, 0});
    return steps;
}

const std::vector<HeapStep>& HeapSequence() {
    static const std::vector<HeapStep> steps = RecordHeapSequence();
    return steps;
}

struct PrivateHeapAllocator {
    Database::Platform::PrivateHeap* heap;
    void* Allocate(std::size_t size) { return Database::Platform::PrivateHeapAllocate(heap, size); }
    void* Reallocate(void* block, std::size_t size) { return Database::Platform::PrivateHeapReallocate(heap, block, size); }
    void Free(void* block) { Database::Platform::PrivateHeapFree(heap, block); }
};

struct MallocAllocator {
    void* Allocate(std::size_t size) { return std::malloc(size); }
    void* Reallocate(void* block, std::size_t size) { return std::realloc(block, size); }
    void Free(void* block) { std::free(block); }
};

// Replays the sequence once, writing the first byte of each new block as its first user would.
template <class Allocator>
void ReplayHeapSequence(Allocator& allocator, std::vector<void*>& slots) {
    for (const HeapStep& step : HeapSequence()) {
        switch (step.kind) {
        case HeapStep::Allocate:
            slots[step.slot] = allocator.Allocate(step.size);
            static_cast<char*>(slots[step.slot])[0] = 1;
            break;
        case HeapStep::Reallocate:
            slots[step.slot] = allocator.Reallocate(slots[step.slot], step.size);
            break;
        case HeapStep::Free:
            allocator.Free(slots[step.slot]);
            break;
        }
        benchmark::DoNotOptimize(slots[step.slot]);
    }
}

template <class Allocator>
void RunHeapSequence(benchmark::State& state, Allocator& allocator) {
    std::vector<void*> slots(kHeapSlots);
    HeapSequence();  // recorded before the clock runs
    for (auto _ : state)
        ReplayHeapSequence(allocator, slots);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * HeapSequence().size()));
}

// SQLite calls its heap under its memory mutex, as it calls malloc under the same mutex when it
// runs on the system allocator: the heap is measured the way SQLite uses it, serialised by its
// caller (here there is one thread), and once more with its own lock for comparison.
void NoLock(void*) noexcept {}
const Database::Platform::HeapLock kOneThread = {NoLock, NoLock, nullptr};

void BM_HeapSequence_PrivateHeap(benchmark::State& state) {
    PrivateHeapAllocator allocator = {Database::Platform::CreatePrivateHeap(kInitialHeapSize, &kOneThread)};
    if (allocator.heap == nullptr) {
        state.SkipWithError("the private heap could not be created");
        return;
    }
    RunHeapSequence(state, allocator);
    Database::Platform::DestroyPrivateHeap(allocator.heap);
}
BENCHMARK(BM_HeapSequence_PrivateHeap)->Unit(benchmark::kMillisecond);

void BM_HeapSequence_PrivateHeapOwnLock(benchmark::State& state) {
    PrivateHeapAllocator allocator = {Database::Platform::CreatePrivateHeap(kInitialHeapSize)};
    if (allocator.heap == nullptr) {
        state.SkipWithError("the private heap could not be created");
        return;
    }
    RunHeapSequence(state, allocator);
    Database::Platform::DestroyPrivateHeap(allocator.heap);
}
BENCHMARK(BM_HeapSequence_PrivateHeapOwnLock)->Unit(benchmark::kMillisecond);

void BM_HeapSequence_Malloc(benchmark::State& state) {
    MallocAllocator allocator;
    RunHeapSequence(state, allocator);
}
BENCHMARK(BM_HeapSequence_Malloc)->Unit(benchmark::kMillisecond);

// ==== The module allocation routine against aligned system memory ============================
//
// The library's own objects, strings and containers: blocks of 16 to 512 bytes, taken in runs and
// given back newest first, as a statement's text and a row's value list are. The pair shows what
// the module routine adds over the system memory it falls back to.

constexpr std::size_t kModuleBlocks = 4096;

const std::vector<std::uint32_t>& ModuleSizes() {
    static const std::vector<std::uint32_t> sizes = [] {
        std::mt19937 random(4321);
        std::vector<std::uint32_t> recorded(kModuleBlocks);
        for (std::uint32_t& size : recorded)
            size = 16 + random() % 496;
        return recorded;
    }();
    return sizes;
}

template <class AllocateBlock, class FreeBlock>
void RunModuleSequence(benchmark::State& state, AllocateBlock allocate, FreeBlock free) {
    std::vector<void*> blocks(kModuleBlocks);
    const std::vector<std::uint32_t>& sizes = ModuleSizes();
    for (auto _ : state) {
        for (std::size_t index = 0; index < kModuleBlocks; ++index) {
            blocks[index] = allocate(sizes[index]);
            static_cast<char*>(blocks[index])[0] = 1;
        }
        for (std::size_t index = kModuleBlocks; index-- > 0;)
            free(blocks[index]);
        benchmark::DoNotOptimize(blocks.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kModuleBlocks));
}

void BM_ModuleBlocks_Allocate(benchmark::State& state) {
    RunModuleSequence(state, Database::Memory::Allocate, Database::Memory::Deallocate);
}
BENCHMARK(BM_ModuleBlocks_Allocate)->Unit(benchmark::kMicrosecond);

void BM_ModuleBlocks_AlignedAlloc(benchmark::State& state) {
    RunModuleSequence(
        state, [](std::size_t size) { return std::aligned_alloc(16, (size + 15) & ~std::size_t(15)); },
        [](void* block) { std::free(block); });
}
BENCHMARK(BM_ModuleBlocks_AlignedAlloc)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
