// Array.h: a growing array of plain values in the module's memory, which reports a failed growth
// instead of throwing: the library's containers never throw.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "base/Memory.h"

namespace Database::Memory {

template <class T>
class Array {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "Array holds plain values only: it moves them with memcpy");

public:
    Array() noexcept = default;
    ~Array() { Deallocate(m_items); }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;

    // Appends value; false, with the array unchanged, when it could not grow.
    [[nodiscard]] bool Push(const T& value) noexcept {
        if (m_size == m_capacity && !Grow(m_size + 1))
            return false;
        m_items[m_size++] = value;
        return true;
    }
    // Makes room for count values in all, so that that many pushes cannot fail.
    [[nodiscard]] bool Reserve(std::size_t count) noexcept { return count <= m_capacity || Grow(count); }
    void Erase(std::size_t index) noexcept {
        std::memmove(m_items + index, m_items + index + 1, (m_size - index - 1) * sizeof(T));
        --m_size;
    }
    // Forgets the values and keeps the memory, so that refilling costs nothing.
    void Clear() noexcept { m_size = 0; }

    std::size_t Size() const noexcept { return m_size; }
    bool Empty() const noexcept { return m_size == 0; }
    T& operator[](std::size_t index) noexcept { return m_items[index]; }
    const T& operator[](std::size_t index) const noexcept { return m_items[index]; }
    T* begin() noexcept { return m_items; }
    T* end() noexcept { return m_items + m_size; }
    const T* begin() const noexcept { return m_items; }
    const T* end() const noexcept { return m_items + m_size; }

private:
    bool Grow(std::size_t needed) noexcept {
        std::size_t capacity = m_capacity != 0 ? m_capacity : 8;
        while (capacity < needed) {
            if (capacity > static_cast<std::size_t>(-1) / 2 / sizeof(T))
                return false;
            capacity *= 2;
        }
        T* items = static_cast<T*>(Allocate(capacity * sizeof(T)));
        if (items == nullptr)
            return false;
        if (m_size != 0)
            std::memcpy(static_cast<void*>(items), m_items, m_size * sizeof(T));
        Deallocate(m_items);
        m_items = items;
        m_capacity = capacity;
        return true;
    }

    T* m_items = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

}  // namespace Database::Memory
