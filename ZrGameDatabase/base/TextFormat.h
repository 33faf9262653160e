// TextFormat.h: composing log lines and messages into fixed buffers.
#pragma once

#include <cstddef>
#include <string_view>

namespace Database {

// How many leading bytes of text, at most limit, can be shown or kept without cutting a UTF-8
// character in two.
std::size_t Utf8PrefixLength(std::string_view text, std::size_t limit) noexcept;

// Whether two texts are equal when ASCII letters are compared without regard to case, as SQLite
// compares names (no C library's locale is involved).
// The lengths are compared inline: most calls (is this value "true"?) end there.
bool EqualLengthsEqualIgnoringCase(std::string_view left, std::string_view right) noexcept;
inline bool EqualsIgnoringCase(std::string_view left, std::string_view right) noexcept {
    return left.size() == right.size() && EqualLengthsEqualIgnoringCase(left, right);
}

// Copies text (null: "") into field of fieldSize bytes, cut where Utf8PrefixLength says and
// always terminated.
void CopyUtf8(char* field, std::size_t fieldSize, const char* text) noexcept;

// The printf dialect the compiler checks formats against. On mingw "printf" means the C
// runtime's, which lacks %zu and %lld; the build uses mingw-w64's C99 printf instead
// (__USE_MINGW_ANSI_STDIO), which is "gnu_printf" to the compiler.
#if defined(__MINGW32__)
#  define ZRDB_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#elif defined(__GNUC__)
#  define ZRDB_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#  define ZRDB_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

// printf into buffer of size bytes. A text that does not fit is cut, never in the middle of a
// UTF-8 character, and always terminated. Returns whether the whole text fit.
bool FormatText(char* buffer, std::size_t size, const char* format, ...) ZRDB_PRINTF_FORMAT(3, 4);

}  // namespace Database
