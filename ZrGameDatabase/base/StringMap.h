// StringMap.h: a hash map from names to plain values, in the module's memory, which reports a
// failed growth instead of throwing. Keys are copied in and searched by std::string_view, so a
// lookup builds and allocates nothing.
//
// Open addressing with linear probing: the tables here hold tens of names (columns, statements,
// tables), where one flat array beats a node per entry. An erase shifts the entries that follow
// back, so no tombstones accumulate.
#pragma once

#include <cstddef>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>
#include <type_traits>

#include "base/Memory.h"

namespace Database::Memory {

template <class Value>
class StringMap {
    static_assert(std::is_trivially_copyable_v<Value> && std::is_trivially_destructible_v<Value>,
                  "StringMap holds plain values only");

public:
    StringMap() noexcept = default;
    ~StringMap() { Reset(); }
    StringMap(const StringMap&) = delete;
    StringMap& operator=(const StringMap&) = delete;

    // The value filed under key, or null.
    Value* Find(std::string_view key) noexcept {
        if (m_count == 0)
            return nullptr;
        for (std::size_t slot = Home(key);; slot = Next(slot)) {
            Entry& entry = m_slots[slot];
            if (entry.key == nullptr)
                return nullptr;
            if (Matches(entry, key))
                return &entry.value;
        }
    }
    const Value* Find(std::string_view key) const noexcept { return const_cast<StringMap*>(this)->Find(key); }

    // Files value under key, replacing what was there. False, with the map unchanged, when no
    // memory could be had for the key or for more slots.
    [[nodiscard]] bool Set(std::string_view key, const Value& value) noexcept {
        if (Value* found = Find(key)) {
            *found = value;
            return true;
        }
        if ((m_count + 1) * 4 > m_capacity * 3 && !Rehash(m_capacity != 0 ? m_capacity * 2 : 16))
            return false;
        char* copy = static_cast<char*>(Allocate(key.size() + 1));
        if (copy == nullptr)
            return false;
        if (!key.empty())
            std::memcpy(copy, key.data(), key.size());
        copy[key.size()] = '\0';
        Place(Entry{copy, key.size(), value});
        ++m_count;
        return true;
    }

    // Removes the entry filed under key, if any.
    void Erase(std::string_view key) noexcept {
        if (m_count == 0)
            return;
        std::size_t slot = Home(key);
        while (m_slots[slot].key != nullptr && !Matches(m_slots[slot], key))
            slot = Next(slot);
        if (m_slots[slot].key == nullptr)
            return;
        Deallocate(m_slots[slot].key);
        --m_count;
        // Shift back every entry of the run after the hole that may stand in it.
        std::size_t hole = slot;
        for (std::size_t next = Next(hole); m_slots[next].key != nullptr; next = Next(next)) {
            const std::size_t home = Home(View(m_slots[next]));
            const bool mayMove = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
            if (mayMove) {
                m_slots[hole] = m_slots[next];
                hole = next;
            }
        }
        m_slots[hole] = Entry{};
    }

    // Calls visit(key, value) for every entry, in no particular order.
    template <class Visit>
    void ForEach(Visit visit) noexcept {
        for (std::size_t slot = 0; slot < m_capacity; ++slot) {
            if (m_slots[slot].key != nullptr)
                visit(View(m_slots[slot]), m_slots[slot].value);
        }
    }

    // Empties the map and gives its memory back.
    void Reset() noexcept {
        for (std::size_t slot = 0; slot < m_capacity; ++slot)
            Deallocate(m_slots[slot].key);
        Deallocate(m_slots);
        m_slots = nullptr;
        m_capacity = 0;
        m_count = 0;
    }

    std::size_t Size() const noexcept { return m_count; }
    bool Empty() const noexcept { return m_count == 0; }

private:
    struct Entry {
        char* key = nullptr;  // owned copy, terminated; null marks a free slot
        std::size_t length = 0;
        Value value{};
    };

    static std::string_view View(const Entry& entry) noexcept { return std::string_view(entry.key, entry.length); }
    static bool Matches(const Entry& entry, std::string_view key) noexcept { return View(entry) == key; }
    std::size_t Home(std::string_view key) const noexcept {
        return std::hash<std::string_view>()(key) & (m_capacity - 1);
    }
    std::size_t Next(std::size_t slot) const noexcept { return (slot + 1) & (m_capacity - 1); }

    void Place(const Entry& entry) noexcept {
        std::size_t slot = Home(View(entry));
        while (m_slots[slot].key != nullptr)
            slot = Next(slot);
        m_slots[slot] = entry;
    }

    bool Rehash(std::size_t capacity) noexcept {
        if (capacity > static_cast<std::size_t>(-1) / 2 / sizeof(Entry))
            return false;
        Entry* slots = static_cast<Entry*>(Allocate(capacity * sizeof(Entry)));
        if (slots == nullptr)
            return false;
        for (std::size_t slot = 0; slot < capacity; ++slot)
            new (&slots[slot]) Entry{};
        Entry* old = m_slots;
        const std::size_t oldCapacity = m_capacity;
        m_slots = slots;
        m_capacity = capacity;
        for (std::size_t slot = 0; slot < oldCapacity; ++slot) {
            if (old[slot].key != nullptr)
                Place(old[slot]);
        }
        Deallocate(old);
        return true;
    }

    Entry* m_slots = nullptr;
    std::size_t m_capacity = 0;  // a power of two, or 0 before the first entry
    std::size_t m_count = 0;
};

}  // namespace Database::Memory
