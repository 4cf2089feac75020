// Test helper: one gzip member of some bytes, as Python's gzip.compress writes it.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace vexoacq::testing {

inline std::vector<std::uint8_t> gzip_member(const std::vector<std::uint8_t>& content) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<std::uint8_t> out(deflateBound(&s, static_cast<uLong>(content.size())) + 32);
    s.next_in = const_cast<Bytef*>(content.data());
    s.avail_in = static_cast<uInt>(content.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

}  // namespace vexoacq::testing
