// TextBuffer.h: a text being composed, in one of two forms: growing (memory from the module
// allocation routine) or bounded (a fixed buffer of the caller's, typically on the stack).
//
// Appending never throws and never overflows. The first append that fails (no memory to grow, or
// no room left in the bounded form) is kept, and every later append does nothing, so a caller
// composes the whole text and checks once, at the end. A failed text is never to be used: a cut
// statement could still run, and do something else than was asked.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace Database {

class TextBuffer {
public:
    enum class State { Ok, TooLong, OutOfMemory };

    // Growing; holds "" until something is appended.
    TextBuffer() noexcept;
    // Bounded to size bytes of buffer, terminator included.
    TextBuffer(char* buffer, std::size_t size) noexcept;
    template <std::size_t Size>
    explicit TextBuffer(char (&buffer)[Size]) noexcept : TextBuffer(buffer, Size) {}
    ~TextBuffer();
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    // The room is checked inline: statements are composed a few bytes at a time, once per row.
    TextBuffer& Append(std::string_view text) noexcept {
        if (!HasRoomFor(text.size()))
            return AppendGrowing(text);
        if (!text.empty())
            std::memcpy(m_text + m_length, text.data(), text.size());
        m_length += text.size();
        m_text[m_length] = '\0';
        return *this;
    }
    // Up to its first zero byte; null appends nothing.
    TextBuffer& Append(const char* text) noexcept { return text != nullptr ? Append(std::string_view(text)) : *this; }
    TextBuffer& Append(char byte) noexcept {
        if (!HasRoomFor(1))
            return AppendGrowing(std::string_view(&byte, 1));
        m_text[m_length++] = byte;
        m_text[m_length] = '\0';
        return *this;
    }
    // Room for extra more bytes at the end, for the caller to write at the pointer returned; null,
    // the text failed as an append would fail it, when there is none.
    char* Extend(std::size_t extra) noexcept {
        if (!HasRoomFor(extra) && !MakeRoom(extra))
            return nullptr;
        char* end = m_text + m_length;
        m_length += extra;
        m_text[m_length] = '\0';
        return end;
    }
    // The decimal digits of value.
    TextBuffer& AppendInteger(long long value) noexcept;
    // Cuts the text back to length bytes (no more than it holds) and clears a failure, keeping
    // the memory.
    void Truncate(std::size_t length) noexcept;
    void Clear() noexcept { Truncate(0); }

    // Always terminated; "" while a growing text has no memory yet.
    const char* Text() const noexcept { return m_text; }
    std::size_t Length() const noexcept { return m_length; }
    std::string_view View() const noexcept { return std::string_view(m_text, m_length); }
    bool Empty() const noexcept { return m_length == 0; }
    State GetState() const noexcept { return m_state; }
    bool Ok() const noexcept { return m_state == State::Ok; }

private:
    // Room for extra bytes and the terminator after them, with no failure so far.
    bool HasRoomFor(std::size_t extra) const noexcept {
        return m_state == State::Ok && m_capacity > m_length && extra < m_capacity - m_length;
    }
    TextBuffer& AppendGrowing(std::string_view text) noexcept;
    bool MakeRoom(std::size_t extra) noexcept;

    char* m_text;            // the text, always terminated
    std::size_t m_length;    // bytes of text, terminator excluded
    std::size_t m_capacity;  // bytes of m_text, terminator included; 0 while growing has no memory
    bool m_growing;          // the memory is ours to grow and free
    State m_state;
};

}  // namespace Database
