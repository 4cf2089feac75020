// Decoding of one full event of the quopoc and skarnv1 families under their
// default tuning keys, 64 windows of 64 samples per channel.  Each decoder is
// set beside a plain memcpy of the same raw bytes, measured in the same run:
// "per_sample" is the decode time per sample, "x_memcpy" the decode time over
// the memcpy time, "faults" the minor page faults per decode.
//
// Each record is a fresh ~0.3 MB of lists, freed at the end of the iteration.
// glibc hands that memory back to the system (trim threshold 128 KiB), so
// under the default heap settings every decode pays page faults on new
// memory, which outweigh the decoding itself many times over.  Run with
//   GLIBC_TUNABLES=glibc.malloc.trim_threshold=268435456:glibc.malloc.top_pad=67108864
// to measure the decoders on a heap that keeps its pages.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench_support.hpp"
#include "parsing/quopoc.hpp"
#include "parsing/skarnv1.hpp"

namespace {

using vexoacq::bench::Bytes;
using vexoacq::bench::Params;

constexpr std::size_t kWindows = 64;
constexpr std::size_t kSamples = 64;

void put(Bytes& out, std::uint16_t w) { vexoacq::bench::put_be16(out, w); }

Params params(const char* model, std::size_t channels) {
    return vexoacq::bench::params(model, channels, kWindows, kSamples);
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

template <class Event>
void decode(benchmark::State& state, const Bytes& raw, const Params& p, std::size_t channels) {
    const double faults = vexoacq::bench::minor_faults();
    if (!vexoacq::bench::decode_loop<Event>(state, raw, p)) return;
    vexoacq::bench::set_faults(state, faults);
    vexoacq::bench::set_bytes_processed(state, raw);
    vexoacq::bench::set_per_sample(state, static_cast<double>(channels * kWindows * kSamples));
    // Decode time per event over memcpy time per event, both from this run.
    const double decode_ns = vexoacq::bench::decode_ns<Event>(raw, p, 50);
    state.counters["x_memcpy"] = decode_ns / vexoacq::bench::memcpy_ns(raw, 200);
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
    vexoacq::bench::memcpy_loop(state, raw);
    state.SetLabel(state.range(0) == 0 ? "quopoc event" : "skarn event");
}
BENCHMARK(BM_Memcpy)->Arg(0)->Arg(1);

}  // namespace
