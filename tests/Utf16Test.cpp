// Utf16Test.cpp: the UTF-16 <-> UTF-8 conversions: every plane, malformed input, and outputs too
// small for the text, where nothing may be written past the end and no character may be cut.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Utf16.h"

namespace Database::Platform {
namespace {

constexpr char kGuard = '#';
constexpr WideChar kWideGuard = 0x2323;

// "Aé€😀": one character of each UTF-8 length, the last a surrogate pair in UTF-16.
const char16_t kMixedWide[] = u"A\u00E9\u20AC\U0001F600";
const char kMixedUtf8[] = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";

const WideChar* Wide(const char16_t* text) {
    return reinterpret_cast<const WideChar*>(text);
}

std::string ToUtf8(const std::u16string& text, std::size_t outputSize = 64) {
    std::vector<char> output(outputSize + 1, kGuard);
    const std::size_t written = Utf16ToUtf8(Wide(text.c_str()), output.data(), outputSize);
    EXPECT_EQ(output[outputSize], kGuard);
    return std::string(output.data(), written);
}

std::u16string ToUtf16(const std::string& text, std::size_t outputSize = 64) {
    std::vector<WideChar> output(outputSize + 1, kWideGuard);
    const std::size_t written = Utf8ToUtf16(text.c_str(), output.data(), outputSize);
    EXPECT_EQ(output[outputSize], kWideGuard);
    return std::u16string(reinterpret_cast<const char16_t*>(output.data()), written);
}

TEST(Utf16Conversion, CarriesEveryPlaneBothWays) {
    EXPECT_EQ(ToUtf8(kMixedWide), kMixedUtf8);
    EXPECT_EQ(ToUtf16(kMixedUtf8), kMixedWide);
    // The edges of each encoding length, and the last code point there is.
    const std::u16string edges = u"\u007F\u0080\u07FF\u0800\uD7FF\uE000\uFFFF\U00010000\U0010FFFF";
    const std::string edgesUtf8 =
        "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    EXPECT_EQ(ToUtf8(edges), edgesUtf8);
    EXPECT_EQ(ToUtf16(edgesUtf8), edges);
    EXPECT_EQ(ToUtf8(u""), "");
    EXPECT_EQ(Utf16ToUtf8(nullptr, nullptr, 0), 0u);
}

TEST(Utf16Conversion, ReplacesUnpairedSurrogates) {
    const std::string replacement = "\xEF\xBF\xBD";
    std::u16string lowAlone = u"a";
    lowAlone.push_back(0xDC00);
    lowAlone += u"b";
    std::u16string highThenLetter = u"a";
    highThenLetter.push_back(0xD83D);
    highThenLetter += u"b";
    std::u16string highAtEnd = u"a";
    highAtEnd.push_back(0xDBFF);
    std::u16string twoHighs;
    twoHighs.push_back(0xD800);
    twoHighs.push_back(0xD800);
    twoHighs.push_back(0xDC00);  // the second high pairs with this low
    EXPECT_EQ(ToUtf8(lowAlone), "a" + replacement + "b");
    EXPECT_EQ(ToUtf8(highThenLetter), "a" + replacement + "b");
    EXPECT_EQ(ToUtf8(highAtEnd), "a" + replacement);
    EXPECT_EQ(ToUtf8(twoHighs), replacement + "\xF0\x90\x80\x80");
}

TEST(Utf16Conversion, ReplacesEachInvalidUtf8Byte) {
    const std::u16string r = u"\uFFFD";
    EXPECT_EQ(ToUtf16("a\x80" "b"), u"a" + r + u"b");                   // stray continuation
    EXPECT_EQ(ToUtf16("\xC0\xAF"), r + r);                              // overlong '/'
    EXPECT_EQ(ToUtf16("\xE0\x80\xAF"), r + r + r);                      // overlong, three bytes
    EXPECT_EQ(ToUtf16("\xF0\x8F\xBF\xBF"), r + r + r + r);              // overlong, four bytes
    EXPECT_EQ(ToUtf16("\xED\xA0\x80"), r + r + r);                      // an encoded surrogate
    EXPECT_EQ(ToUtf16("\xF4\x90\x80\x80"), r + r + r + r);              // beyond U+10FFFF
    EXPECT_EQ(ToUtf16("\xF5\xFF"), r + r);                              // bytes that never occur
    EXPECT_EQ(ToUtf16("\xE2\x82" "A"), r + r + u"A");                   // cut short by a letter
    EXPECT_EQ(ToUtf16("x\xF0\x9F\x98"), u"x" + r + r + r);              // cut short by the end
}

// For every output size, the output is a whole-character prefix of the full conversion, NUL
// terminated, and not one unit is written past the size given.
TEST(Utf16Conversion, SmallOutputsEndBeforeACharacterThatDoesNotFit) {
    const std::string fullUtf8 = kMixedUtf8;
    const std::vector<std::size_t> utf8Boundaries = {0, 1, 3, 6, 10};
    for (std::size_t size = 0; size <= fullUtf8.size() + 2; ++size) {
        std::vector<char> output(size + 4, kGuard);
        const std::size_t written = Utf16ToUtf8(Wide(kMixedWide), output.data(), size);
        std::size_t expected = 0;
        for (std::size_t boundary : utf8Boundaries) {
            if (size > boundary)
                expected = boundary;
        }
        EXPECT_EQ(written, expected) << "size " << size;
        EXPECT_EQ(std::string(output.data(), written), fullUtf8.substr(0, expected));
        if (size > 0) {
            EXPECT_EQ(output[written], '\0');
        }
        for (std::size_t index = size; index < output.size(); ++index)
            EXPECT_EQ(output[index], kGuard) << "size " << size << " index " << index;
    }

    const std::u16string fullWide = kMixedWide;
    const std::vector<std::size_t> utf16Boundaries = {0, 1, 2, 3, 5};
    for (std::size_t size = 0; size <= fullWide.size() + 2; ++size) {
        std::vector<WideChar> output(size + 4, kWideGuard);
        const std::size_t written = Utf8ToUtf16(kMixedUtf8, output.data(), size);
        std::size_t expected = 0;
        for (std::size_t boundary : utf16Boundaries) {
            if (size > boundary)
                expected = boundary;
        }
        EXPECT_EQ(written, expected) << "size " << size;
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(output.data()), written),
                  fullWide.substr(0, expected));
        if (size > 0) {
            EXPECT_EQ(output[written], 0);
        }
        for (std::size_t index = size; index < output.size(); ++index)
            EXPECT_EQ(output[index], kWideGuard) << "size " << size << " index " << index;
    }
}

TEST(Utf16Conversion, OutputSizesZeroAndOne) {
    char byte = kGuard;
    EXPECT_EQ(Utf16ToUtf8(Wide(u"abc"), &byte, 0), 0u);
    EXPECT_EQ(byte, kGuard);
    EXPECT_EQ(Utf16ToUtf8(Wide(u"abc"), &byte, 1), 0u);
    EXPECT_EQ(byte, '\0');
    WideChar unit = kWideGuard;
    EXPECT_EQ(Utf8ToUtf16("abc", &unit, 0), 0u);
    EXPECT_EQ(unit, kWideGuard);
    EXPECT_EQ(Utf8ToUtf16("abc", &unit, 1), 0u);
    EXPECT_EQ(unit, 0);
    // A null output holds nothing, whatever size comes with it.
    EXPECT_EQ(Utf8ToUtf16("abc", nullptr, 10), 0u);
}

TEST(Utf16Conversion, ExactConversionsAreAllOrNothing) {
    char utf8[16];
    EXPECT_TRUE(Utf16ToUtf8Exact(Wide(kMixedWide), utf8, 11));
    EXPECT_STREQ(utf8, kMixedUtf8);
    // One byte short: the NUL does not fit, so nothing is kept.
    EXPECT_FALSE(Utf16ToUtf8Exact(Wide(kMixedWide), utf8, 10));
    EXPECT_STREQ(utf8, "");
    std::u16string lone = u"ab";
    lone.push_back(0xDFFF);
    EXPECT_FALSE(Utf16ToUtf8Exact(Wide(lone.c_str()), utf8, sizeof utf8));
    EXPECT_STREQ(utf8, "");
    EXPECT_FALSE(Utf16ToUtf8Exact(Wide(u""), utf8, 0));

    WideChar wide[8];
    EXPECT_TRUE(Utf8ToUtf16Exact(kMixedUtf8, wide, 6));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)), kMixedWide);
    EXPECT_FALSE(Utf8ToUtf16Exact(kMixedUtf8, wide, 5));
    EXPECT_EQ(wide[0], 0);
    EXPECT_FALSE(Utf8ToUtf16Exact("ab\xC3", wide, 8));
    EXPECT_EQ(wide[0], 0);
    // Text that is valid and merely contains U+FFFD is carried over.
    EXPECT_TRUE(Utf8ToUtf16Exact("\xEF\xBF\xBD", wide, 8));
    EXPECT_EQ(wide[0], 0xFFFD);
}

}  // namespace
}  // namespace Database::Platform
