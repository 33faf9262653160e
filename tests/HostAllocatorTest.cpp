// The module allocation routine with a host small-object allocator. This program plays the host:
// it exports the allocator's entry points, and the library finds them in the main program.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "base/Memory.h"

namespace {

// A host allocator that can only be created on its third attempt, serves blocks from a small
// arena, and can be told to run dry.
int g_createCalls = 0;
int g_allocateCalls = 0;
std::size_t g_lastRequest = 0;
bool g_dry = false;
alignas(16) unsigned char g_arena[4096];
std::size_t g_arenaUsed = 0;

bool InArena(const void* block) {
    auto* byte = static_cast<const unsigned char*>(block);
    return byte >= g_arena && byte < g_arena + sizeof g_arena;
}

}  // namespace

// A Windows program exports only what it marks; a game marks its allocator's entry points the
// same way, so that GetProcAddress finds them.
#if defined(_WIN32)
#define HOST_EXPORT __declspec(dllexport)
#else
#define HOST_EXPORT
#endif

extern "C" {
HOST_EXPORT void* GetSmallObjectAllocator(unsigned int) {
    ++g_createCalls;
    return g_createCalls >= 3 ? g_arena : nullptr;
}
HOST_EXPORT void* FSBAAllocate(std::size_t size) {
    ++g_allocateCalls;
    g_lastRequest = size;
    if (g_dry || g_arenaUsed + size > sizeof g_arena)
        return nullptr;
    void* block = g_arena + g_arenaUsed;
    g_arenaUsed += size;
    return block;
}
HOST_EXPORT bool FSBADeallocate(void* block) { return InArena(block); }
HOST_EXPORT bool FSBAValidate(void*) { return true; }
HOST_EXPORT void FSBADisable() {}
HOST_EXPORT bool FSBAIsDisabled() { return false; }
HOST_EXPORT bool FSBAIsSmallBlock(void* block) { return InArena(block); }
HOST_EXPORT bool FSBAHasAllocatorForSize(std::size_t) { return true; }
HOST_EXPORT std::size_t FSBAGetMaxAllocatorSize() { return 256; }
}

namespace Database::Testing {
namespace {

// One scenario: the state is process-wide and moves one way only.
TEST(HostAllocator, CreationIsRetriedUntilItSucceedsThenBlocksComeFromTheHost) {
    EXPECT_EQ(Memory::CurrentHostAllocatorState(), Memory::HostAllocatorState::NotLookedUp);

    void* first = Memory::Allocate(24);
    EXPECT_EQ(Memory::CurrentHostAllocatorState(), Memory::HostAllocatorState::Found);
    EXPECT_EQ(g_createCalls, 1);
    EXPECT_FALSE(InArena(first));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % 16, 0u);

    void* second = Memory::Allocate(24);
    EXPECT_EQ(g_createCalls, 2);
    EXPECT_FALSE(InArena(second));
    EXPECT_EQ(g_allocateCalls, 0);

    void* hosted = Memory::Allocate(1);
    EXPECT_EQ(Memory::CurrentHostAllocatorState(), Memory::HostAllocatorState::Ready);
    EXPECT_EQ(g_createCalls, 3);
    EXPECT_TRUE(InArena(hosted));
    EXPECT_EQ(g_lastRequest, 16u);

    Memory::Allocate(17);
    EXPECT_EQ(g_lastRequest, 32u);
    EXPECT_EQ(g_createCalls, 3);

    // A host that runs dry hands the request back to system memory.
    g_dry = true;
    void* fallback = Memory::Allocate(8);
    EXPECT_FALSE(InArena(fallback));
    g_dry = false;

    // Blocks the host does not own (made before it was ready) go back to system memory; a
    // wrong free would be reported by the sanitizers.
    Memory::Deallocate(first);
    Memory::Deallocate(second);
    Memory::Deallocate(fallback);
    Memory::Deallocate(hosted);
}

}  // namespace
}  // namespace Database::Testing
