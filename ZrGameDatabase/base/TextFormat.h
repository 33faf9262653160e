// TextFormat.h: composing log lines and messages into fixed buffers.
#pragma once

#include <cstddef>

namespace Database {

// printf into buffer of size bytes. A text that does not fit is cut, never in the middle of a
// UTF-8 character, and always terminated. Returns whether the whole text fit.
bool FormatText(char* buffer, std::size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

}  // namespace Database
