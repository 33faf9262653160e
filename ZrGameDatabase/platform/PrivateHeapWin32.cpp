// PrivateHeapWin32.cpp: the private heap as a Win32 private heap.
//
// The heap handle itself stands for the PrivateHeap pointer. The heap is growable (no maximum) and
// serialised (no HEAP_NO_SERIALIZE), so HeapLock and HeapUnlock are the heap lock the walk needs.
#include "platform/PrivateHeap.h"

#include <windows.h>

#include <cstring>

namespace Database::Platform {
namespace {

HANDLE ToHandle(PrivateHeap* heap) {
    return reinterpret_cast<HANDLE>(heap);
}

// The walk's record goes back to HeapWalk unchanged, so it is kept whole inside the entry.
static_assert(sizeof(PROCESS_HEAP_ENTRY) <= sizeof(HeapWalkEntry::native),
              "the walk entry has no room for the system's walk record");

// The flags the walk reports, which keep the values of the system's own.
static_assert(HeapEntryRegion == PROCESS_HEAP_REGION && HeapEntryUncommitted == PROCESS_HEAP_UNCOMMITTED_RANGE &&
              HeapEntryBusy == PROCESS_HEAP_ENTRY_BUSY, "walk flags differ from the system's");

}  // namespace

// The system heap keeps its own lock whatever the caller offers, so that HeapLock still excludes
// every allocation from a walk.
PrivateHeap* CreatePrivateHeap(std::size_t initialSize, const HeapLock*) noexcept {
    HANDLE heap = ::HeapCreate(0, initialSize, 0);
    if (heap == nullptr)
        return nullptr;
    // The low-fragmentation front end suits SQLite's many small blocks. Enabling it fails under a
    // debugger, among other cases; the heap works without it, so that is no reason to give up.
    ULONG lowFragmentation = 2;
    ::HeapSetInformation(heap, HeapCompatibilityInformation, &lowFragmentation, sizeof lowFragmentation);
    return reinterpret_cast<PrivateHeap*>(heap);
}

void DestroyPrivateHeap(PrivateHeap* heap) noexcept {
    if (heap != nullptr)
        ::HeapDestroy(ToHandle(heap));
}

void* PrivateHeapAllocate(PrivateHeap* heap, std::size_t size) noexcept {
    if (heap == nullptr)
        return nullptr;
    return ::HeapAlloc(ToHandle(heap), 0, size);
}

void* PrivateHeapReallocate(PrivateHeap* heap, void* block, std::size_t size) noexcept {
    if (heap == nullptr)
        return nullptr;
    // HeapReAlloc refuses a null block; allocating is what a caller asking for it means.
    if (block == nullptr)
        return ::HeapAlloc(ToHandle(heap), 0, size);
    return ::HeapReAlloc(ToHandle(heap), 0, block, size);
}

void PrivateHeapFree(PrivateHeap* heap, void* block) noexcept {
    if (heap != nullptr && block != nullptr)
        ::HeapFree(ToHandle(heap), 0, block);
}

std::size_t PrivateHeapSize(PrivateHeap* heap, const void* block) noexcept {
    if (heap == nullptr || block == nullptr)
        return 0;
    const SIZE_T size = ::HeapSize(ToHandle(heap), 0, block);
    // HeapSize reports failure as (SIZE_T)-1, which no caller should take for a size.
    return size == static_cast<SIZE_T>(-1) ? 0 : size;
}

bool PrivateHeapLock(PrivateHeap* heap) noexcept {
    return heap != nullptr && ::HeapLock(ToHandle(heap)) != FALSE;
}

void PrivateHeapUnlock(PrivateHeap* heap) noexcept {
    if (heap != nullptr)
        ::HeapUnlock(ToHandle(heap));
}

bool PrivateHeapWalk(PrivateHeap* heap, HeapWalkEntry& entry) noexcept {
    if (heap == nullptr)
        return false;
    PROCESS_HEAP_ENTRY native;
    if (entry.data == nullptr) {
        std::memset(&native, 0, sizeof native);
    } else {
        std::memcpy(&native, entry.native, sizeof native);
    }
    if (!::HeapWalk(ToHandle(heap), &native))
        return false;
    std::memcpy(entry.native, &native, sizeof native);
    entry.data = native.lpData;
    entry.overhead = native.cbOverhead;
    entry.flags = native.wFlags & (PROCESS_HEAP_REGION | PROCESS_HEAP_UNCOMMITTED_RANGE | PROCESS_HEAP_ENTRY_BUSY);
    const bool region = (native.wFlags & PROCESS_HEAP_REGION) != 0;
    entry.committedSize = region ? native.Region.dwCommittedSize : 0;
    entry.uncommittedSize = region ? native.Region.dwUnCommittedSize : 0;
    // A region's cbData is the size of its header, not of the region; its whole size is what it
    // has committed and reserved.
    entry.dataSize = region ? entry.committedSize + entry.uncommittedSize : native.cbData;
    entry.cursor = native.lpData;
    return true;
}

}  // namespace Database::Platform
