// BlockArray.h: a growing array of plain values in blocks of a fixed count that never move. It
// grows without copying what it holds, so a long array touches its memory once: a doubling array
// touches it about twice, and fresh memory is what a large load pays for most.
#pragma once

#include <cstddef>
#include <type_traits>

#include "base/Array.h"
#include "base/Memory.h"

namespace Database::Memory {

template <class T, std::size_t kPerBlock = 4096>
class BlockArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "BlockArray holds plain values only");

public:
    BlockArray() noexcept = default;
    ~BlockArray() {
        for (T* block : m_blocks)
            Deallocate(block);
    }
    BlockArray(const BlockArray&) = delete;
    BlockArray& operator=(const BlockArray&) = delete;

    // Appends value; false, with the array unchanged, when no block could be had for it.
    [[nodiscard]] bool Push(const T& value) noexcept {
        const std::size_t block = m_size / kPerBlock;
        if (block == m_blocks.Size() && !AddBlock())
            return false;
        m_blocks[block][m_size % kPerBlock] = value;
        ++m_size;
        return true;
    }
    // Forgets the values and keeps the blocks.
    void Clear() noexcept { m_size = 0; }

    std::size_t Size() const noexcept { return m_size; }
    bool Empty() const noexcept { return m_size == 0; }
    const T& operator[](std::size_t index) const noexcept { return m_blocks[index / kPerBlock][index % kPerBlock]; }

private:
    bool AddBlock() noexcept {
        if (!m_blocks.Reserve(m_blocks.Size() + 1))
            return false;
        T* block = static_cast<T*>(Allocate(kPerBlock * sizeof(T)));
        return block != nullptr && m_blocks.Push(block);
    }

    Array<T*> m_blocks;
    std::size_t m_size = 0;
};

}  // namespace Database::Memory
