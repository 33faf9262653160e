// ContentHash.h: 128 bits that tell two byte streams apart, for keying caches by the content of
// files. Fast rather than secure: it guards against files that changed, not against an attacker
// who writes two files on purpose to collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Database {

struct Digest {
    std::uint64_t high = 0;
    std::uint64_t low = 0;

    bool operator==(const Digest& other) const noexcept { return high == other.high && low == other.low; }
    bool operator!=(const Digest& other) const noexcept { return !(*this == other); }
    // 32 lower-case hexadecimal digits and a terminator.
    void ToHex(char (&text)[33]) const noexcept;
    // The reverse; false, digest unchanged, for anything but 32 hexadecimal digits.
    bool FromHex(std::string_view text) noexcept;
};

// Bytes go in 32 at a time, eight to each of four lanes that the processor runs side by side; the
// length and the tail are folded in at the end, so "ab" + "c" and "a" + "bc" hash alike and a
// stream and its prefix do not.
class ContentHash {
public:
    void Add(const void* data, std::size_t size) noexcept;
    // A text and its length, so that a list of texts cannot be cut differently to the same hash.
    void AddText(std::string_view text) noexcept;
    void AddNumber(std::uint64_t number) noexcept;
    Digest Finish() const noexcept;

private:
    void Block(const unsigned char* bytes) noexcept;

    static constexpr std::size_t kBlock = 32;

    std::uint64_t m_lanes[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull,
                                0x082EFA98EC4E6C89ull};
    unsigned char m_pending[kBlock] = {};
    std::size_t m_pendingSize = 0;
    std::uint64_t m_length = 0;
};

}  // namespace Database
