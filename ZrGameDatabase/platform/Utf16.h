// Utf16.h: conversions between UTF-16 (wide paths) and UTF-8.
#pragma once

#include <cstddef>

#include "ZrGameDatabase/Platform.h"

namespace Database::Platform {

// Converts the NUL-terminated UTF-16 text to UTF-8 into output, which holds outputSize bytes.
// Never writes past outputSize, never cuts a character in half (a character that does not fit
// ends the output), always NUL-terminates when outputSize > 0. An unpaired surrogate becomes
// U+FFFD. Returns the bytes written, the terminating NUL not counted.
std::size_t Utf16ToUtf8(const WideChar* text, char* output, std::size_t outputSize) noexcept;

// The reverse, with the same guarantees; outputSize counts UTF-16 units. Invalid UTF-8 bytes
// become U+FFFD each.
std::size_t Utf8ToUtf16(const char* text, WideChar* output, std::size_t outputSize) noexcept;

}  // namespace Database::Platform
