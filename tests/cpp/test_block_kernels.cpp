// The inner loops of the block decoders and of the time axis: every kernel
// this CPU runs against a reference written from the rules, over random
// words, masks, lengths (vector tails), misaligned sources and time runs that
// wrap at 65536, with a guard past the end of every output.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "parsing/block_kernels.hpp"

namespace {

namespace k = vexoacq::parsing::kernels;
namespace cpu = vexoacq::runtime::cpu;

std::vector<cpu::Kernel> runnable() {
    std::vector<cpu::Kernel> out;
    for (const cpu::Kernel kernel : cpu::kAllKernels)
        if (cpu::available(kernel)) out.push_back(kernel);
    return out;
}

// Value written past the end of an output; no kernel may change it.
constexpr std::uint32_t kGuardBits = 0x7FC0DEAD;  // a NaN no sample can be
constexpr std::uint16_t kGuardWord = 0xD00D;
constexpr std::size_t kGuard = 40;

TEST(BlockKernels, BestIsTheWidestRunnable) {
    const std::vector<cpu::Kernel> kernels = runnable();
    ASSERT_FALSE(kernels.empty());
    EXPECT_EQ(kernels.front(), cpu::Kernel::Scalar);
    EXPECT_TRUE(cpu::available(cpu::best()));
    EXPECT_EQ(cpu::best(), kernels.back());
}

TEST(BlockKernels, InvertedSamplesMatchTheRule) {
    std::mt19937_64 rng(0x5A4D);
    const std::size_t lengths[] = {0, 1, 7, 8, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 100, 4095, 4096, 4099};
    const std::uint16_t masks[] = {0x03FF, 0xFFFF, 0x0000, 0x8001, 0x7FFF, 0x1234};
    for (const cpu::Kernel kernel : runnable()) {
        SCOPED_TRACE(cpu::name(kernel));
        for (const std::size_t n : lengths)
            for (const std::uint16_t mask : masks)
                for (std::size_t offset = 0; offset < 3; ++offset) {  // the source at any byte alignment
                    std::vector<std::uint8_t> src(offset + 2 * n);
                    for (auto& b : src) b = static_cast<std::uint8_t>(rng());
                    std::vector<float> want(n + kGuard);
                    std::vector<float> got(n + kGuard);
                    for (std::size_t i = 0; i < n; ++i) {
                        const unsigned w = src[offset + 2 * i] | (unsigned{src[offset + 2 * i + 1]} << 8);
                        want[i] = static_cast<float>(~w & mask & 0xFFFFu);
                    }
                    for (std::size_t i = n; i < n + kGuard; ++i) {
                        std::memcpy(&want[i], &kGuardBits, 4);
                        std::memcpy(&got[i], &kGuardBits, 4);
                    }
                    k::inverted_samples(kernel, src.data() + offset, n, mask, got.data());
                    ASSERT_EQ(std::memcmp(got.data(), want.data(), 4 * got.size()), 0)
                        << "n=" << n << " mask=" << mask << " offset=" << offset;
                }
    }
}

struct AxisCase {
    std::vector<std::uint16_t> labels;
    std::size_t windows;
    std::size_t samples;
};

// (rel * samples + s) mod 65536, rel being the label's distance after the
// first around the ring, in full-width arithmetic.
std::vector<std::uint16_t> reference_axis(const AxisCase& c) {
    std::vector<std::uint16_t> out;
    if (c.labels.empty()) return out;
    const std::uint64_t first = c.labels.front();
    for (const std::uint16_t w : c.labels) {
        const std::uint64_t rel = w >= first ? w - first : w + c.windows - first;
        for (std::uint64_t s = 0; s < c.samples; ++s) out.push_back(static_cast<std::uint16_t>((rel * c.samples + s) % 65536));
    }
    return out;
}

TEST(BlockKernels, TimeAxisMatchesTheRule) {
    std::vector<AxisCase> cases = {
        {{510, 511, 0, 1}, 512, 4},
        {{7, 5}, 512, 4},
        {{0, 300}, 512, 256},           // 300 * 256 wraps to 11264
        {{0, 1023}, 1024, 64},          // the last run starts at 65472 and wraps inside a vector
        {{3, 2, 1}, 4, 4096},           // runs of 4096 that wrap at 65536
        {{9}, 16, 0},                   // no samples: nothing written
        {{}, 64, 64},                   // no labels
        {{65535, 0, 65534}, 65536, 3},  // the widest ring
        {{5, 4}, 70000, 33},            // a ring wider than 16 bits
    };
    std::mt19937_64 rng(0x7153);
    for (const std::size_t samples : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 100u, 257u}) {
        AxisCase c{{}, 1 + rng() % 600, samples};
        for (std::size_t n = rng() % 40; n > 0; --n) c.labels.push_back(static_cast<std::uint16_t>(rng() % c.windows));
        cases.push_back(c);
    }
    for (const cpu::Kernel kernel : runnable()) {
        SCOPED_TRACE(cpu::name(kernel));
        for (const AxisCase& c : cases) {
            std::vector<std::uint16_t> want = reference_axis(c);
            const std::size_t n = want.size();
            want.insert(want.end(), kGuard, kGuardWord);
            std::vector<std::uint16_t> got(n + kGuard, kGuardWord);
            k::time_axis(kernel, c.labels.data(), c.labels.size(), c.windows, c.samples, got.data());
            ASSERT_EQ(got, want) << "labels=" << c.labels.size() << " windows=" << c.windows
                                 << " samples=" << c.samples;
        }
    }
}

}  // namespace
