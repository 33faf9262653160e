// ContentHash.cpp: a multiply-and-rotate hash over four lanes. Each lane step multiplies by a large
// odd constant and rotates, so every input bit reaches every lane bit within a few blocks; the
// end mixes the lanes into each other and scrambles the result once more.
#include "base/ContentHash.h"

#include <cstring>

namespace Database {
namespace {

constexpr std::uint64_t kOdd1 = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kOdd2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kOdd3 = 0x165667B19E3779F9ull;

std::uint64_t RotateLeft(std::uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

std::uint64_t Word(const unsigned char* bytes) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

std::uint64_t Step(std::uint64_t lane, std::uint64_t word) {
    return RotateLeft(lane ^ (word * kOdd1), 29) * kOdd2;
}

std::uint64_t Scramble(std::uint64_t value) {
    value ^= value >> 31;
    value *= kOdd3;
    value ^= value >> 29;
    value *= kOdd1;
    return value ^ (value >> 32);
}

int HexValue(char digit) {
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    return -1;
}

}  // namespace

void Digest::ToHex(char (&text)[33]) const noexcept {
    static const char kDigits[] = "0123456789abcdef";
    for (int index = 0; index < 16; ++index) {
        text[index] = kDigits[(high >> (60 - 4 * index)) & 15];
        text[16 + index] = kDigits[(low >> (60 - 4 * index)) & 15];
    }
    text[32] = '\0';
}

bool Digest::FromHex(std::string_view text) noexcept {
    if (text.size() != 32)
        return false;
    Digest read;
    for (std::size_t index = 0; index < 32; ++index) {
        const int value = HexValue(text[index]);
        if (value < 0)
            return false;
        std::uint64_t& half = index < 16 ? read.high : read.low;
        half = (half << 4) | static_cast<std::uint64_t>(value);
    }
    *this = read;
    return true;
}

void ContentHash::Block(const unsigned char* bytes) noexcept {
    for (int lane = 0; lane < 4; ++lane)
        m_lanes[lane] = Step(m_lanes[lane], Word(bytes + 8 * lane));
}

void ContentHash::Add(const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(data);
    m_length += size;
    if (m_pendingSize > 0) {
        const std::size_t taken = size < kBlock - m_pendingSize ? size : kBlock - m_pendingSize;
        std::memcpy(m_pending + m_pendingSize, bytes, taken);
        m_pendingSize += taken;
        bytes += taken;
        size -= taken;
        if (m_pendingSize < kBlock)
            return;
        Block(m_pending);
        m_pendingSize = 0;
    }
    for (; size >= kBlock; bytes += kBlock, size -= kBlock)
        Block(bytes);
    std::memcpy(m_pending, bytes, size);
    m_pendingSize = size;
}

void ContentHash::AddText(std::string_view text) noexcept {
    AddNumber(text.size());
    Add(text.data(), text.size());
}

void ContentHash::AddNumber(std::uint64_t number) noexcept {
    unsigned char bytes[8];
    for (int index = 0; index < 8; ++index)
        bytes[index] = static_cast<unsigned char>(number >> (8 * index));
    Add(bytes, sizeof bytes);
}

Digest ContentHash::Finish() const noexcept {
    unsigned char tail[kBlock] = {};
    std::memcpy(tail, m_pending, m_pendingSize);
    std::uint64_t lanes[4];
    for (int lane = 0; lane < 4; ++lane)
        lanes[lane] = Step(m_lanes[lane], Word(tail + 8 * lane) ^ (m_length * (2 * lane + 1)));
    const std::uint64_t first = lanes[0] + RotateLeft(lanes[2], 17);
    const std::uint64_t second = lanes[1] + RotateLeft(lanes[3], 43);
    return Digest{Scramble(first + second), Scramble(second ^ Scramble(first) ^ kOdd2)};
}

}  // namespace Database
