// Utf16.cpp: UTF-16 <-> UTF-8 conversion into bounded buffers.
//
// Both directions decode one character at a time and write it only when it fits whole together
// with the terminating NUL, so an output is always valid text of its encoding, however small the
// buffer. Decoding is strict: surrogates must pair in UTF-16, and UTF-8 must use the shortest form,
// stay below U+110000 and never encode a surrogate. Whatever fails those rules is replaced with
// U+FFFD, and the conversion notes that it was not faithful, for the exact variants.
#include "platform/Utf16.h"

#include <cstdint>

namespace Database::Platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// One decoded character.
struct Decoded {
    char32_t character;  // the code point, or U+FFFD for what could not be decoded
    std::size_t length;  // code units of the input it took
    bool valid;          // false when character stands in for malformed input
};

// What a conversion did.
struct Outcome {
    std::size_t written;  // code units written, the NUL not counted
    bool complete;        // the whole input fitted
    bool faithful;        // no character was replaced
};

bool IsHighSurrogate(std::uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(std::uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Decodes the character at text, which is not at its terminating NUL. Reading text[1] after a
// high surrogate is safe: that unit is either the text's next unit or its NUL.
Decoded DecodeUtf16(const WideChar* text) {
    const std::uint32_t unit = static_cast<std::uint16_t>(text[0]);
    if (!IsHighSurrogate(unit) && !IsLowSurrogate(unit))
        return {unit, 1, true};
    if (IsHighSurrogate(unit)) {
        const std::uint32_t low = static_cast<std::uint16_t>(text[1]);
        if (IsLowSurrogate(low))
            return {0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), 2, true};
    }
    return {kReplacement, 1, false};
}

// Decodes the character at text, which is not at its terminating NUL. A continuation byte is
// never NUL, so the scan of a sequence stops at the text's end before reading past it.
Decoded DecodeUtf8(const unsigned char* text) {
    const Decoded invalid = {kReplacement, 1, false};
    const std::uint32_t lead = text[0];
    if (lead < 0x80)
        return {lead, 1, true};
    std::size_t continuations;
    std::uint32_t character;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
        character = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
        character = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuations = 3;
        character = lead & 0x07;
    } else {
        return invalid;  // a stray continuation byte, an overlong two-byte lead, or beyond U+10FFFF
    }
    for (std::size_t index = 1; index <= continuations; ++index) {
        if ((text[index] & 0xC0) != 0x80)
            return invalid;
        character = (character << 6) | (text[index] & 0x3F);
    }
    const bool overlong = (continuations == 2 && character < 0x800) ||
                          (continuations == 3 && character < 0x10000);
    const bool surrogate = character >= 0xD800 && character <= 0xDFFF;
    if (overlong || surrogate || character > 0x10FFFF)
        return invalid;
    return {character, continuations + 1, true};
}

std::size_t Utf8Length(char32_t character) {
    if (character < 0x80)
        return 1;
    if (character < 0x800)
        return 2;
    if (character < 0x10000)
        return 3;
    return 4;
}

void EncodeUtf8(char32_t character, char* output) {
    const std::size_t length = Utf8Length(character);
    if (length == 1) {
        output[0] = static_cast<char>(character);
        return;
    }
    static constexpr unsigned char kLeadMarks[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (std::size_t index = length - 1; index > 0; --index) {
        output[index] = static_cast<char>(0x80 | (character & 0x3F));
        character >>= 6;
    }
    output[0] = static_cast<char>(kLeadMarks[length] | character);
}

std::size_t Utf16Length(char32_t character) {
    return character < 0x10000 ? 1 : 2;
}

void EncodeUtf16(char32_t character, WideChar* output) {
    if (character < 0x10000) {
        output[0] = static_cast<WideChar>(character);
        return;
    }
    character -= 0x10000;
    output[0] = static_cast<WideChar>(0xD800 + (character >> 10));
    output[1] = static_cast<WideChar>(0xDC00 + (character & 0x3FF));
}

Outcome ConvertToUtf8(const WideChar* text, char* output, std::size_t outputSize) {
    Outcome outcome = {0, true, true};
    if (output == nullptr)
        outputSize = 0;
    while (text != nullptr && *text != 0) {
        const Decoded decoded = DecodeUtf16(text);
        const std::size_t length = Utf8Length(decoded.character);
        // Room is needed for the character and the NUL after it; written < outputSize holds
        // whenever outputSize > 0, and with outputSize 0 nothing fits.
        if (outputSize - outcome.written <= length) {
            outcome.complete = false;
            break;
        }
        EncodeUtf8(decoded.character, output + outcome.written);
        outcome.written += length;
        outcome.faithful = outcome.faithful && decoded.valid;
        text += decoded.length;
    }
    if (outputSize > 0)
        output[outcome.written] = 0;
    return outcome;
}

Outcome ConvertToUtf16(const char* text, WideChar* output, std::size_t outputSize) {
    Outcome outcome = {0, true, true};
    if (output == nullptr)
        outputSize = 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    while (bytes != nullptr && *bytes != 0) {
        const Decoded decoded = DecodeUtf8(bytes);
        const std::size_t length = Utf16Length(decoded.character);
        if (outputSize - outcome.written <= length) {
            outcome.complete = false;
            break;
        }
        EncodeUtf16(decoded.character, output + outcome.written);
        outcome.written += length;
        outcome.faithful = outcome.faithful && decoded.valid;
        bytes += decoded.length;
    }
    if (outputSize > 0)
        output[outcome.written] = 0;
    return outcome;
}

}  // namespace

std::size_t Utf16ToUtf8(const WideChar* text, char* output, std::size_t outputSize) noexcept {
    return ConvertToUtf8(text, output, outputSize).written;
}

std::size_t Utf8ToUtf16(const char* text, WideChar* output, std::size_t outputSize) noexcept {
    return ConvertToUtf16(text, output, outputSize).written;
}

bool Utf16ToUtf8Exact(const WideChar* text, char* output, std::size_t outputSize) noexcept {
    const Outcome outcome = ConvertToUtf8(text, output, outputSize);
    if (outcome.complete && outcome.faithful && outputSize > 0 && output != nullptr)
        return true;
    if (outputSize > 0 && output != nullptr)
        output[0] = 0;
    return false;
}

bool Utf8ToUtf16Exact(const char* text, WideChar* output, std::size_t outputSize) noexcept {
    const Outcome outcome = ConvertToUtf16(text, output, outputSize);
    if (outcome.complete && outcome.faithful && outputSize > 0 && output != nullptr)
        return true;
    if (outputSize > 0 && output != nullptr)
        output[0] = 0;
    return false;
}

}  // namespace Database::Platform
