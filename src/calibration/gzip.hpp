// Inflating the first member of a gzip stream (RFC 1952) held in memory.
//
// The calibration files are single gzip members.  zlib checks the member's
// CRC-32 and length trailer when it reaches the end of the member; bytes after
// the first member are never looked at.  The output is bounded: deflate can
// expand about a thousandfold, so a tiny hostile file could otherwise ask for
// gigabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "result.hpp"

namespace vexoacq::calibration::gzip {

enum class GzipErrorKind : std::uint8_t {
    Corrupt = 0,    // not gzip, a bad deflate stream, or a checksum/length mismatch
    Truncated = 1,  // the input ends before the member does
    TooLarge = 2,   // the content is longer than the caller's limit
    NoMemory = 3,   // zlib could not allocate its state
    Internal = 4,   // any other zlib code
};

struct GzipError {
    GzipErrorKind kind = GzipErrorKind::Internal;
    std::string message;  // zlib's own message where it gave one
};

// 64 MiB: a pedestal table of a full tolv96 acquisition (96 x 4096 floats)
// pickles to about 3.5 MB, or about 10 MB under protocol 0; this leaves room
// for several times that and keeps a file of some 64 KB, which deflate can
// expand a thousandfold, from asking for more.
inline constexpr std::size_t kDefaultMaxOutput = std::size_t{64} << 20;

// The content of the first gzip member of `input`, at most `max_output` bytes.
Result<std::vector<std::uint8_t>, GzipError> inflate_member(std::span<const std::uint8_t> input,
                                                            std::size_t max_output = kDefaultMaxOutput);

}  // namespace vexoacq::calibration::gzip
