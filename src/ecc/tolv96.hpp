// The single-error-correcting, double-error-detecting code of tolv96 data
// words.
//
// A data word is 16 bits, d0 the least significant.  d0-d9 carry the ADC
// sample, d10-d13 are the four Hamming check bits, and d15 holds the parity
// of d0-d14, so that a clean word has an even number of set bits.  The four
// syndrome bits are parities over fixed masks; the syndrome value
// S = s0 + 2 s1 + 4 s2 + 8 s3 names the single inverted bit through
// SYNDROME_BITS, and the sixteen-bit global parity tells one inversion (odd)
// from two (even).
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>

namespace vexoacq::ecc::tolv96 {

// Data bits entering each syndrome bit (s0 .. s3).
inline constexpr std::array<std::uint16_t, 4> kSyndromeMasks = {
    0x055B,  // d0 d1 d3 d4 d6 d8 d10
    0x0A6D,  // d0 d2 d3 d5 d6 d9 d11
    0x138E,  // d1 d2 d3 d7 d8 d9 d12
    0x23F0,  // d4 d5 d6 d7 d8 d9 d13
};

// Bit to invert for syndrome value S, at index S - 1.  S = 15 names no single
// inversion; it points at d15.
inline constexpr std::array<std::uint8_t, 15> SYNDROME_BITS = {10, 11, 0, 12, 1, 2, 3, 13,
                                                                4,  5,  6, 7,  8, 9, 15};

// Bit inverted by the correction of a word whose syndrome is 0 and whose
// parity is odd: d15, the parity bit itself.  It is the only bit besides d14
// whose inversion leaves the syndrome at 0, and it touches no sample bit.
inline constexpr std::uint8_t kParityBit = 15;

constexpr std::uint8_t parity16(std::uint16_t w) noexcept {
    return static_cast<std::uint8_t>(std::popcount(w) & 1);
}

// [s0, s1, s2, s3], each 0 or 1.
constexpr std::array<std::uint8_t, 4> syndrome(std::uint16_t data) noexcept {
    std::array<std::uint8_t, 4> s{};
    for (std::size_t i = 0; i < 4; ++i) s[i] = parity16(static_cast<std::uint16_t>(data & kSyndromeMasks[i]));
    return s;
}

// S from 0 to 15.
constexpr unsigned syndrome_value(std::uint16_t data) noexcept {
    unsigned s = 0;
    for (unsigned i = 0; i < 4; ++i) s |= unsigned{parity16(static_cast<std::uint16_t>(data & kSyndromeMasks[i]))} << i;
    return s;
}

// Parity of all sixteen bits, d15 included: 1 when the word has an odd
// number of set bits.
constexpr std::uint8_t global_parity(std::uint16_t data) noexcept { return parity16(data); }

// The bit that syndrome [s0, s1, s2, s3] names.  S is summed from the byte
// values as they are (no wrapping, no masking to one bit): none for S = 0
// and for S of 16 or more.
constexpr std::optional<std::uint8_t> syndrome_to_index(const std::array<std::uint8_t, 4>& s) noexcept {
    const unsigned value = unsigned{s[0]} + 2u * s[1] + 4u * s[2] + 8u * s[3];
    if (value == 0 || value > SYNDROME_BITS.size()) return std::nullopt;
    return SYNDROME_BITS[value - 1];
}

}  // namespace vexoacq::ecc::tolv96
