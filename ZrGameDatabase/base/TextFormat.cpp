// TextFormat.cpp: bounded formatting that cuts at a character boundary.
#include "base/TextFormat.h"

#include <cstdarg>
#include <cstdio>

namespace Database {

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
    // Cut: step back over the continuation bytes of a character the cut split.
    std::size_t length = size - 1;
    std::size_t start = length;
    while (start > 0 && (static_cast<unsigned char>(buffer[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start > 0) {
        const unsigned char lead = static_cast<unsigned char>(buffer[start - 1]);
        const std::size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (expected > 1 && length - (start - 1) < expected)
            length = start - 1;
    }
    buffer[length] = '\0';
    return false;
}

}  // namespace Database
