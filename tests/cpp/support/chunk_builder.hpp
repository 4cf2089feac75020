// Builds the two files of one chunk: the data file holds the events back to
// back, the index file one record per event of two 32-bit little-endian
// numbers, its offset in the data file and its length.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vexoacq::testing {

struct ChunkBuilder {
    std::vector<std::uint8_t> bin;
    std::vector<std::uint8_t> idx;

    void add(std::span<const std::uint8_t> ev) {
        const auto offset = static_cast<std::uint32_t>(bin.size());
        const auto length = static_cast<std::uint32_t>(ev.size());
        for (int b = 0; b < 4; ++b) idx.push_back(static_cast<std::uint8_t>(offset >> (8 * b)));
        for (int b = 0; b < 4; ++b) idx.push_back(static_cast<std::uint8_t>(length >> (8 * b)));
        bin.insert(bin.end(), ev.begin(), ev.end());
    }
};

}  // namespace vexoacq::testing
