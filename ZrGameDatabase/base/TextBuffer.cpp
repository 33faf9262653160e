// TextBuffer.cpp: composing texts without throwing and without overflowing.
#include "base/TextBuffer.h"

#include <charconv>
#include <cstring>

#include "base/Memory.h"

namespace Database {

namespace {
char g_empty[1] = {'\0'};
}

TextBuffer::TextBuffer() noexcept
    : m_text(g_empty), m_length(0), m_capacity(0), m_growing(true), m_state(State::Ok) {}

TextBuffer::TextBuffer(char* buffer, std::size_t size) noexcept
    : m_text(size != 0 ? buffer : g_empty), m_length(0), m_capacity(size), m_growing(false), m_state(State::Ok) {
    if (size != 0)
        buffer[0] = '\0';
}

TextBuffer::~TextBuffer() {
    if (m_growing && m_capacity != 0)
        Memory::Deallocate(m_text);
}

bool TextBuffer::MakeRoom(std::size_t extra) noexcept {
    if (m_state != State::Ok)
        return false;
    if (HasRoomFor(extra))
        return true;
    if (!m_growing) {
        m_state = State::TooLong;
        return false;
    }
    if (extra > static_cast<std::size_t>(-1) / 4 - m_length) {
        m_state = State::OutOfMemory;
        return false;
    }
    const std::size_t needed = m_length + extra + 1;
    std::size_t capacity = m_capacity != 0 ? m_capacity : 64;
    while (capacity < needed)
        capacity *= 2;
    char* text = static_cast<char*>(Memory::Allocate(capacity));
    if (text == nullptr) {
        m_state = State::OutOfMemory;
        return false;
    }
    std::memcpy(text, m_text, m_length + 1);
    if (m_capacity != 0)
        Memory::Deallocate(m_text);
    m_text = text;
    m_capacity = capacity;
    return true;
}

TextBuffer& TextBuffer::AppendGrowing(std::string_view text) noexcept {
    if (!MakeRoom(text.size()))
        return *this;
    if (!text.empty())
        std::memcpy(m_text + m_length, text.data(), text.size());
    m_length += text.size();
    m_text[m_length] = '\0';
    return *this;
}

TextBuffer& TextBuffer::AppendInteger(long long value) noexcept {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return Append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void TextBuffer::Truncate(std::size_t length) noexcept {
    m_state = State::Ok;
    if (length < m_length) {
        m_length = length;
        m_text[m_length] = '\0';
    }
}

}  // namespace Database
