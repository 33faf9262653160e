// Memory.h: where the library's memory comes from.
//
// Two sources, kept apart from the host's own heap:
//  - the module allocation routine (Allocate, Deallocate) serves the library's own objects,
//    strings and containers: the host's small-object allocator when the main program exports one,
//    16-byte-aligned system memory otherwise;
//  - SQLite's memory methods serve everything SQLite allocates, from a private heap whose use is
//    counted in the statistics record, so that scripts can be shown what the database holds.
// Nothing here replaces the global operator new: a shared library must not change its host's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct sqlite3_mem_methods;

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

// The memory methods handed to SQLite before it is initialised.
const sqlite3_mem_methods* SqliteMethods() noexcept;
// The private heap behind SqliteMethods; null until SQLite initialised it.
Platform::PrivateHeap* SqliteHeap() noexcept;

// Standard allocator over the module allocation routine, for the library's containers.
template <class T>
struct Allocator {
    using value_type = T;

    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T))
            throw std::bad_alloc();
        void* block = Allocate(count * sizeof(T));
        if (block == nullptr)
            throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { Deallocate(block); }

    template <class U>
    bool operator==(const Allocator<U>&) const noexcept { return true; }
};

using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

// Hashes any text the same way, so that maps keyed by String can be searched with a
// std::string_view and no temporary key is built (and allocated) for a lookup.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>()(text); }
    std::size_t operator()(const String& text) const noexcept {
        return (*this)(std::string_view(text.data(), text.size()));
    }
};

struct StringEqual {
    using is_transparent = void;
    template <class Left, class Right>
    bool operator()(const Left& left, const Right& right) const noexcept {
        return std::string_view(left.data(), left.size()) == std::string_view(right.data(), right.size());
    }
};

template <class Value>
using StringMap = std::unordered_map<String, Value, StringHash, StringEqual,
                                     Allocator<std::pair<const String, Value>>>;

template <class T>
using Vector = std::vector<T, Allocator<T>>;

// Base of the library's internal classes: their instances come from the module allocation routine.
// The operators return null instead of throwing, so a new-expression of such a class yields null
// when memory runs out.
struct Allocated {
    static void* operator new(std::size_t size) noexcept { return Allocate(size); }
    static void operator delete(void* block) noexcept { Deallocate(block); }
};

}  // namespace Memory
}  // namespace Database
