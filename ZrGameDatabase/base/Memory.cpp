// Memory.cpp: the module allocation routine.
//
// The host may export a small-object allocator; the library then takes its own small blocks from
// it, so that they sit with the host's and not in the general heap. The entry points are looked up
// by name once, on the first allocation. Creating the allocator may fail while the host is still
// starting up, so creation is retried on every allocation until it succeeds. Without a host
// allocator, blocks come from 16-byte-aligned system memory.
#include "base/Memory.h"

#include <cstdlib>
#if defined(_WIN32)
#include <malloc.h>  // _aligned_malloc
#endif

#include "base/AllocationFailures.h"
#include "platform/HostSymbols.h"

namespace Database::Memory {
namespace {

using GetSmallObjectAllocatorFunction = void* (*)(unsigned int);
using AllocateFunction = void* (*)(std::size_t);
using DeallocateFunction = bool (*)(void*);

// The ten names the host exports; the last is looked up but not required.
enum HostEntry {
    GetSmallObjectAllocatorEntry,
    AllocateEntry,
    DeallocateEntry,
    ValidateEntry,
    DisableEntry,
    IsDisabledEntry,
    IsSmallBlockEntry,
    HasAllocatorForSizeEntry,
    GetMaxAllocatorSizeEntry,
    PreventCreationEntry,
    HostEntryCount
};

constexpr const char* kHostEntryNames[HostEntryCount] = {
    "GetSmallObjectAllocator", "FSBAAllocate",        "FSBADeallocate",
    "FSBAValidate",            "FSBADisable",         "FSBAIsDisabled",
    "FSBAIsSmallBlock",        "FSBAHasAllocatorForSize", "FSBAGetMaxAllocatorSize",
    "FSBAPreventCreation",
};

constexpr std::size_t kAlignment = 16;

// Process-wide and unlocked, as the allocator itself is: the first allocation happens while the
// host's first connection is built, on one thread.
HostAllocatorState g_state = HostAllocatorState::NotLookedUp;
void* g_entries[HostEntryCount];

void LookUpHostEntries() {
    for (int entry = 0; entry < HostEntryCount; ++entry)
        g_entries[entry] = Platform::FindHostSymbol(kHostEntryNames[entry]);
    for (int entry = 0; entry < PreventCreationEntry; ++entry) {
        if (g_entries[entry] == nullptr) {
            g_state = HostAllocatorState::Unavailable;
            return;
        }
    }
    g_state = HostAllocatorState::Found;
}

// The C runtime of Windows has no aligned_alloc (its free could not release such a block); its
// own aligned pair stands in. Its malloc aligns to 8 bytes only in a 32-bit program, so plain
// malloc would not do either.
void* AlignedSystemAllocate(std::size_t size) {
#if defined(_WIN32)
    return _aligned_malloc(size, kAlignment);
#else
    return std::aligned_alloc(kAlignment, size);
#endif
}

void AlignedSystemFree(void* block) {
#if defined(_WIN32)
    _aligned_free(block);
#else
    std::free(block);
#endif
}

bool HostAllocatorReady() {
    if (g_state == HostAllocatorState::NotLookedUp)
        LookUpHostEntries();
    if (g_state == HostAllocatorState::Found) {
        auto create = reinterpret_cast<GetSmallObjectAllocatorFunction>(g_entries[GetSmallObjectAllocatorEntry]);
        if (create(0) != nullptr)
            g_state = HostAllocatorState::Ready;
    }
    return g_state == HostAllocatorState::Ready;
}

}  // namespace

void* Allocate(std::size_t size) noexcept {
    if (size > static_cast<std::size_t>(-1) - (kAlignment - 1))
        return nullptr;
    if (AllocationFailures::FailThisAllocation(AllocationFailures::g_module))
        return nullptr;
    const std::size_t rounded = (size + kAlignment - 1) & ~(kAlignment - 1);
    if (HostAllocatorReady()) {
        auto allocate = reinterpret_cast<AllocateFunction>(g_entries[AllocateEntry]);
        if (void* block = allocate(rounded))
            return block;
    }
    // aligned_alloc wants a size that is a multiple of the alignment, which rounded is; a request
    // of 0 still gets a block of its own.
    return AlignedSystemAllocate(rounded == 0 ? kAlignment : rounded);
}

void Deallocate(void* block) noexcept {
    if (block == nullptr)
        return;
    if (HostAllocatorReady()) {
        auto deallocate = reinterpret_cast<DeallocateFunction>(g_entries[DeallocateEntry]);
        if (deallocate(block))
            return;
    }
    AlignedSystemFree(block);
}

// Disarmed unless a test arms it (AllocationFailures.h).
AllocationFailures::Countdown AllocationFailures::g_module = {};

HostAllocatorState CurrentHostAllocatorState() noexcept {
    return g_state;
}

}  // namespace Database::Memory
