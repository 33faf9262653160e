// Utf16.h: conversions between UTF-16 (wide paths) and UTF-8.
//
// Two flavours. The plain conversions always produce something: they stop before a character that
// does not fit and put U+FFFD in place of what cannot be carried over, which suits texts meant for
// people (a file name in an error message). The exact conversions are all or nothing, for texts
// that must reach the system unchanged (a path to open): a path that was cut or had a character
// replaced would name another file.
#pragma once

#include <cstddef>

#include "ZrGameDatabase/Platform.h"

namespace Database::Platform {

// Converts the NUL-terminated UTF-16 text to UTF-8 into output, which holds outputSize bytes.
// Never writes past outputSize, never cuts a character in half (a character that does not fit
// ends the output), always NUL-terminates when outputSize > 0. An unpaired surrogate becomes
// U+FFFD. Returns the bytes written, the terminating NUL not counted. A null text converts as an
// empty one; a null output is taken as outputSize 0.
std::size_t Utf16ToUtf8(const WideChar* text, char* output, std::size_t outputSize) noexcept;

// The reverse, with the same guarantees; outputSize counts UTF-16 units. Invalid UTF-8 bytes
// become U+FFFD each: a malformed sequence gives one U+FFFD for its first byte, and conversion
// goes on at the byte after it.
std::size_t Utf8ToUtf16(const char* text, WideChar* output, std::size_t outputSize) noexcept;

// Utf16ToUtf8, all or nothing: true when the whole text, NUL included, fitted into output with no
// character replaced. False when it does not fit or holds an unpaired surrogate (which UTF-8
// cannot carry); output is then the empty text (when outputSize > 0).
bool Utf16ToUtf8Exact(const WideChar* text, char* output, std::size_t outputSize) noexcept;

// Utf8ToUtf16, all or nothing: false when the text does not fit or holds a byte that is not valid
// UTF-8; output is then the empty text (when outputSize > 0).
bool Utf8ToUtf16Exact(const char* text, WideChar* output, std::size_t outputSize) noexcept;

}  // namespace Database::Platform
