// Decoding of one full event of the ryk16, tolv96 and mervyv1 families under
// their default tuning keys, beside a plain memcpy of the 786842 bytes of a
// full tolv96 event in the same run.  "per_sample" is the decode time per
// sample; "x_memcpy" (tolv96) is the decode time of the event over the
// memcpy time of its bytes, both measured in this process.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "parsing/mervyv1.hpp"
#include "parsing/ryk16.hpp"
#include "parsing/tolv96.hpp"

namespace {

using vexoacq::acquisition::Params;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kWindows = 64;
constexpr std::size_t kSamples = 64;

void put_le(Bytes& out, std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
    out.push_back(static_cast<std::uint8_t>(w >> 8));
}
void put_be(Bytes& out, std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

Params params(const char* model, std::size_t channels, std::size_t windows, std::size_t samples) {
    Params p;
    p.model = model;
    p.channels = channels;
    p.windows = windows;
    p.samples = samples;
    return p;
}

// One chip of `channels` blocks: header byte, blocks (start byte, channel
// byte, S inverted 10-bit samples, footer word), `footer` bytes.
void chip(Bytes& out, std::uint8_t chip_byte, std::size_t channels, std::size_t footer, std::mt19937& rng) {
    out.push_back(chip_byte);
    for (std::size_t c = 0; c < channels; ++c) {
        put_le(out, static_cast<std::uint16_t>(c << 8 | (rng() % kWindows)));
        for (std::size_t s = 0; s < kWindows * kSamples; ++s)
            put_le(out, static_cast<std::uint16_t>(~(rng() & 0x3FF)));
        put_le(out, 0);
    }
    out.insert(out.end(), footer, 0);
}

constexpr std::size_t kRykChannels = 16;
Bytes ryk16_event() {
    std::mt19937 rng(16);
    Bytes out;
    chip(out, 0xAA, kRykChannels, 2, rng);
    return out;
}

constexpr std::size_t kTolvChannels = 96;
Bytes tolv96_event() {
    std::mt19937 rng(96);
    Bytes out;
    for (std::uint8_t k = 0; k < 6; ++k) chip(out, k, 16, 3, rng);
    out.insert(out.end(), 2, 0);
    return out;  // 786842 bytes
}

// mervyv1: 16 channels, 64 packets each of 4 header words, 32 samples and
// the stop word (the default 37-word packet), channels interleaved.
constexpr std::size_t kMervyChannels = 16;
constexpr std::size_t kMervySamples = 32;
Bytes mervy_event() {
    std::mt19937 rng(1);
    Bytes out;
    for (std::uint16_t w = 0; w < kWindows; ++w)
        for (std::uint16_t c = 0; c < kMervyChannels; ++c) {
            put_be(out, c);
            put_be(out, 0);
            put_be(out, w);
            put_be(out, w);
            for (std::size_t s = 0; s < kMervySamples; ++s) put_be(out, static_cast<std::uint16_t>(1 + rng() % 4095));
            put_be(out, 0xFA5A);
        }
    return out;
}

double memcpy_ns(const Bytes& raw) {
    Bytes dst(raw.size());
    constexpr int kReps = 400;
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < kReps; ++r) {
        std::memcpy(dst.data(), raw.data(), raw.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / kReps;
}

template <class Event>
double decode_ns(const Bytes& raw, const Params& p) {
    constexpr int kReps = 100;
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < kReps; ++r) benchmark::DoNotOptimize(vexoacq::parsing::parse_into<Event>(raw, p));
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / kReps;
}

template <class Event>
void decode(benchmark::State& state, const Bytes& raw, const Params& p, std::size_t samples) {
    for (auto _ : state) {
        auto r = vexoacq::parsing::parse_into<Event>(raw, p);
        if (!r.ok()) {
            state.SkipWithError("decode failed");
            return;
        }
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(raw.size()));
    state.counters["per_sample"] = benchmark::Counter(static_cast<double>(samples),
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}

// Full ryk16 event (16 channels x 4096 samples): length test, block walk,
// inverted masked sample copy, ring labels, time axis.
void BM_Ryk16Decode(benchmark::State& state) {
    static const Bytes raw = ryk16_event();
    static const Params p = params("ryk16", kRykChannels, kWindows, kSamples);
    decode<vexoacq::parsing::ryk16::Ryk16Event>(state, raw, p, kRykChannels * kWindows * kSamples);
}
BENCHMARK(BM_Ryk16Decode);

// Full tolv96 event (6 chips, 96 channels x 4096 samples, 786842 bytes): the
// same block path over chip blocks, plus the 96-slot record.
void BM_Tolv96Decode(benchmark::State& state) {
    static const Bytes raw = tolv96_event();
    static const Params p = params("tolv96", kTolvChannels, kWindows, kSamples);
    using Event = vexoacq::parsing::tolv96::Tolv96Event;
    decode<Event>(state, raw, p, kTolvChannels * kWindows * kSamples);
    // Decode time over memcpy time of the same bytes, measured back to back.
    state.counters["x_memcpy"] = decode_ns<Event>(raw, p) / memcpy_ns(raw);
}
BENCHMARK(BM_Tolv96Decode);

// Full mervyv1 event (16 channels x 64 packets of 32 samples): packet split
// on the stop word, whole-word sample copy, timing-based time axis.
void BM_Mervyv1Decode(benchmark::State& state) {
    static const Bytes raw = mervy_event();
    static const Params p = params("mervyv2_eval", kMervyChannels, kWindows, kMervySamples);
    decode<vexoacq::parsing::mervyv1::Mervyv1Event>(state, raw, p, kMervyChannels * kWindows * kMervySamples);
}
BENCHMARK(BM_Mervyv1Decode);

// The yardstick: a plain copy of the 786842 bytes of the full tolv96 event.
void BM_Memcpy786842(benchmark::State& state) {
    static const Bytes raw = tolv96_event();
    Bytes dst(raw.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), raw.data(), raw.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(raw.size()));
}
BENCHMARK(BM_Memcpy786842);

}  // namespace
