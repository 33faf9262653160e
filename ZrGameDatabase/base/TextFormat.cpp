// TextFormat.cpp: bounded formatting that cuts at a character boundary.
#include "base/TextFormat.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Database {

namespace {

// The length of the first length bytes of text without the character the end cut short, if it cut
// one: the lead byte of the last character says how long that character is.
std::size_t WithoutCutCharacter(const char* text, std::size_t length) noexcept {
    std::size_t start = length;
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start == 0)
        return length;
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    const std::size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return expected > 1 && length - (start - 1) < expected ? start - 1 : length;
}

}  // namespace

std::size_t Utf8PrefixLength(std::string_view text, std::size_t limit) noexcept {
    return text.size() <= limit ? text.size() : WithoutCutCharacter(text.data(), limit);
}

bool EqualLengthsEqualIgnoringCase(std::string_view left, std::string_view right) noexcept {
    const auto lower = [](char byte) { return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte; };
    for (std::size_t index = 0; index < left.size(); ++index) {
        if (lower(left[index]) != lower(right[index]))
            return false;
    }
    return true;
}

void CopyUtf8(char* field, std::size_t fieldSize, const char* text) noexcept {
    if (fieldSize == 0)
        return;
    const std::string_view whole = text != nullptr ? text : "";
    const std::size_t length = Utf8PrefixLength(whole, fieldSize - 1);
    if (length > 0)
        std::memcpy(field, whole.data(), length);
    field[length] = '\0';
}

bool FormatText(char* buffer, std::size_t size, const char* format, ...) {
    if (size == 0)
        return false;
    va_list arguments;
    va_start(arguments, format);
    const int wanted = std::vsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    if (wanted < 0) {
        buffer[0] = '\0';
        return false;
    }
    if (static_cast<std::size_t>(wanted) < size)
        return true;
    // The formatter cut the text at the end of the buffer, perhaps inside a character.
    buffer[WithoutCutCharacter(buffer, size - 1)] = '\0';
    return false;
}

}  // namespace Database
