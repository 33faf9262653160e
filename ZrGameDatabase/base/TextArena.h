// TextArena.h: terminated copies of many small texts, in blocks that never move. A text kept
// stays where it is until Clear, so it is named by its pointer, and growing never copies what is
// kept: a buffer that doubled would touch every byte twice, and fresh memory is what a large
// load pays for most.
#pragma once

#include <cstddef>
#include <string_view>

namespace Database {

class TextArena {
public:
    TextArena() noexcept = default;
    ~TextArena();
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;

    // A terminated copy of text; null when no memory was left for it.
    const char* Keep(std::string_view text) noexcept;
    // Forgets every text and keeps the blocks for the next ones.
    void Clear() noexcept;

private:
    struct Block {
        Block* next;
        std::size_t size;  // usable bytes after the header
    };
    static constexpr std::size_t kBlockBytes = 256 * 1024;

    bool NextBlock(std::size_t needed) noexcept;

    Block* m_first = nullptr;    // the chain, in the order the blocks were obtained
    Block* m_current = nullptr;  // the block being filled; null before the first
    char* m_cursor = nullptr;
    char* m_limit = nullptr;
};

}  // namespace Database
