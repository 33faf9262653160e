// TextArena.cpp: texts kept in a chain of blocks, filled one after the other.
#include "base/TextArena.h"

#include <cstring>

#include "base/Memory.h"

namespace Database {

TextArena::~TextArena() {
    for (Block* block = m_first; block != nullptr;) {
        Block* next = block->next;
        Memory::Deallocate(block);
        block = next;
    }
}

const char* TextArena::Keep(std::string_view text) noexcept {
    const std::size_t needed = text.size() + 1;
    if (static_cast<std::size_t>(m_limit - m_cursor) < needed && !NextBlock(needed))
        return nullptr;
    char* kept = m_cursor;
    if (!text.empty())
        std::memcpy(kept, text.data(), text.size());
    kept[text.size()] = '\0';
    m_cursor += needed;
    return kept;
}

void TextArena::Clear() noexcept {
    m_current = nullptr;
    m_cursor = m_limit = nullptr;
}

// Moves on to the next block of the chain that holds needed bytes; a block too small for a text
// is passed over for it. The chain grows at its end, a text longer than a block by a block of
// its own size.
bool TextArena::NextBlock(std::size_t needed) noexcept {
    Block* block = m_current != nullptr ? m_current->next : m_first;
    while (block != nullptr && block->size < needed)
        block = block->next;
    if (block == nullptr) {
        const std::size_t size = needed > kBlockBytes ? needed : kBlockBytes;
        if (size > static_cast<std::size_t>(-1) - sizeof(Block))
            return false;
        block = static_cast<Block*>(Memory::Allocate(sizeof(Block) + size));
        if (block == nullptr)
            return false;
        block->next = nullptr;
        block->size = size;
        Block** link = &m_first;
        while (*link != nullptr)
            link = &(*link)->next;
        *link = block;
    }
    m_current = block;
    m_cursor = reinterpret_cast<char*>(block + 1);
    m_limit = m_cursor + block->size;
    return true;
}

}  // namespace Database
