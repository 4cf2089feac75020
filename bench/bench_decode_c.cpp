// Decoding of one full event of the quopoc and skarnv1 families under their
// default tuning keys, 64 windows of 64 samples per channel.  Each decoder is
// set beside a plain memcpy of the same raw bytes, measured in the same run:
// "per_sample" is the decode time per sample, "x_memcpy" the decode time over
// the memcpy time.
//
// Each record is a fresh ~0.3 MB of lists, freed at the end of the iteration.
// glibc hands that memory back to the system (trim threshold 128 KiB), so
// under the default heap settings every decode pays page faults on new
// memory, which outweigh the decoding itself many times over.  Run with
//   GLIBC_TUNABLES=glibc.malloc.trim_threshold=268435456:glibc.malloc.top_pad=67108864
// to measure the decoders on a heap that keeps its pages.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "parsing/quopoc.hpp"
#include "parsing/skarnv1.hpp"

namespace {

using vexoacq::acquisition::Params;
using vexoacq::acquisition::YamlValue;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kWindows = 64;
constexpr std::size_t kSamples = 64;

void put(Bytes& out, std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

Params params(const char* model, std::size_t channels) {
    Params p;
    p.model = model;
    p.channels = channels;
    p.windows = kWindows;
    p.samples = kSamples;
    return p;
}

// quopoc: 2 chips of 4 channels (the default 2-bit channel field), every
// channel 64 one-window blocks, 12-bit samples (never the 0xFFFF stop word).
constexpr std::size_t kQuopocChannels = 8;
Bytes quopoc_event() {
    std::mt19937 rng(1);
    Bytes out;
    for (std::uint16_t chip = 0; chip < 2; ++chip) {
        if (chip != 0) put(out, 0xFFFF);
        put(out, static_cast<std::uint16_t>(chip << 12));
        put(out, 0);
        put(out, 0);
        for (std::uint16_t w = 0; w < kWindows; ++w)
            for (std::uint16_t c = 0; c < 4; ++c) {
                put(out, static_cast<std::uint16_t>(c << 8 | ((w + 17) % kWindows)));
                for (std::size_t s = 0; s < kSamples; ++s) put(out, static_cast<std::uint16_t>(rng() & 0x0FFF));
            }
    }
    put(out, 0);  // closing word, not data
    return out;
}

// skarnv1: 16 channels, one chunk per group of four and window.
constexpr std::size_t kSkarnChannels = 16;
Bytes skarn_event() {
    std::mt19937 rng(2);
    Bytes out;
    for (std::uint16_t w = 0; w < kWindows; ++w)
        for (std::uint16_t g = 0; g < kSkarnChannels / 4; ++g) {
            put(out, g);
            for (int h = 1; h < 7; ++h) put(out, 0);
            for (std::uint16_t c = 0; c < 4; ++c) {
                put(out, static_cast<std::uint16_t>((w + 5) % kWindows));
                put(out, c);
                for (std::size_t s = 0; s < kSamples; ++s) put(out, static_cast<std::uint16_t>(rng()));
            }
            put(out, 0);
            put(out, 0);
        }
    for (int t = 0; t < 4; ++t) out.push_back(0);
    return out;
}

double memcpy_ns(const Bytes& raw) {
    Bytes dst(raw.size());
    constexpr int kReps = 200;
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < kReps; ++r) {
        std::memcpy(dst.data(), raw.data(), raw.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / kReps;
}

template <class Event>
void decode(benchmark::State& state, const Bytes& raw, const Params& p, std::size_t channels) {
    for (auto _ : state) {
        auto r = vexoacq::parsing::parse_into<Event>(raw, p);
        if (!r.ok()) {
            state.SkipWithError("decode failed");
            return;
        }
        benchmark::DoNotOptimize(r);
    }
    const double samples = static_cast<double>(channels * kWindows * kSamples);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(raw.size()));
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    // Decode time per event over memcpy time per event, both from this run.
    const auto t0 = std::chrono::steady_clock::now();
    constexpr int kReps = 50;
    for (int r = 0; r < kReps; ++r) benchmark::DoNotOptimize(vexoacq::parsing::parse_into<Event>(raw, p));
    const double decode_ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / kReps;
    state.counters["x_memcpy"] = decode_ns / memcpy_ns(raw);
}

// Full quopoc event: segment split, block checks, masked sample copy, time axis.
void BM_QuopocDecode(benchmark::State& state) {
    static const Bytes raw = quopoc_event();
    static const Params p = params("quopoc_quop", kQuopocChannels);
    decode<vexoacq::parsing::quopoc::QuopocEvent>(state, raw, p, kQuopocChannels);
}
BENCHMARK(BM_QuopocDecode);

// Full skarnv1 event: chunk and block checks, whole-word sample copy, time axis.
void BM_SkarnDecode(benchmark::State& state) {
    static const Bytes raw = skarn_event();
    static const Params p = params("skarn", kSkarnChannels);
    decode<vexoacq::parsing::skarnv1::Skarnv1Event>(state, raw, p, kSkarnChannels);
}
BENCHMARK(BM_SkarnDecode);

// The yardstick: copying the raw bytes of each event.
void BM_Memcpy(benchmark::State& state) {
    static const Bytes quopoc = quopoc_event();
    static const Bytes skarn = skarn_event();
    const Bytes& raw = state.range(0) == 0 ? quopoc : skarn;
    Bytes dst(raw.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), raw.data(), raw.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(raw.size()));
    state.SetLabel(state.range(0) == 0 ? "quopoc event" : "skarn event");
}
BENCHMARK(BM_Memcpy)->Arg(0)->Arg(1);

}  // namespace
