// A short, seeded random run of every parser entry (support/fuzz_entries.hpp):
// under the ASan + UBSan build this catches out-of-bounds reads and undefined
// behaviour on damaged input; in the plain build it checks that no parser
// throws anything but InternalFault.  The long, coverage-guided hunt over
// the same entries is scripts/fuzz_cpp.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <vector>

#include "support/fuzz_entries.hpp"

namespace vexoacq::fuzz {
// test names and failure messages show the entry by its name
inline void PrintTo(const Entry& entry, std::ostream* os) { *os << entry.name; }
}  // namespace vexoacq::fuzz

namespace {

using vexoacq::fuzz::Entry;
using vexoacq::fuzz::kEntries;

// Random bytes biased towards the values parsers branch on: zeros, all-ones,
// small counts, and the pickle and gzip opcodes and magic numbers.
std::vector<std::uint8_t> random_input(std::mt19937_64& rng, std::string_view entry) {
    std::vector<std::uint8_t> out;
    std::size_t n = rng() % 4 == 0 ? rng() % 2048 : rng() % 96;
    static constexpr std::uint8_t kSpecial[] = {0x00, 0xFF, 0x01, 0x02, 0x80, 0x7F, 0x5A, 0xFA, 0x1F, 0x8B,
                                                0x08, '(', ']', '}', 'N', 'K', 'J', 'G', 'X', 'e', '.', 'u', 's',
                                                'h', 'q', 0x94, 0x95, 0x8C, 0x85, 0x86, 0x87, 'c', 'R', '['};
    if (entry == "pedestals") {  // a pickle of protocol 2 to 5 to be wrapped, or a gzip file
        out = rng() % 4 ? std::vector<std::uint8_t>{1, 0x80, static_cast<std::uint8_t>(2 + rng() % 4)}
                        : std::vector<std::uint8_t>{0, 0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 0xFF};
    } else if (entry == "gzip") {
        out = {0x1F, 0x8B, 0x08, static_cast<std::uint8_t>(rng() % 32), 0, 0, 0, 0, 0, 0xFF};
    }
    for (std::size_t i = 0; i < n; ++i) {
        switch (rng() % 4) {
            case 0: out.push_back(kSpecial[rng() % std::size(kSpecial)]); break;
            case 1: out.push_back(static_cast<std::uint8_t>(rng() % 8)); break;
            default: out.push_back(static_cast<std::uint8_t>(rng())); break;
        }
    }
    return out;
}

class FuzzParsers : public ::testing::TestWithParam<Entry> {};

TEST_P(FuzzParsers, SeededRandomInputsAreRefusedOrAccepted) {
    const Entry entry = GetParam();
    std::mt19937_64 rng(20261210);
    std::size_t rounds = entry.name == "ecc" ? 60 : entry.name == "acquisition" ? 100 : 3000;
    for (std::size_t i = 0; i < rounds; ++i) {
        std::vector<std::uint8_t> in = random_input(rng, entry.name);
        // only InternalFault may leave an entry; anything else fails here
        EXPECT_NO_THROW(entry.run(in)) << entry.name << " input " << i << " of " << in.size() << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(AllEntries, FuzzParsers, ::testing::ValuesIn(kEntries),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
