// Decoding of one full default-geometry event per family (zelkv3, quopv2,
// brindlexv3, zelkv3s), beside a plain memcpy of the same bytes as the
// reference: the ratio decode / memcpy is what to watch.  Items are samples;
// "faults" is the minor page faults per decode.
//
// Geometry (default keys, 64 samples per window):
//   zelkv3 / quopv2: 4 channels, ring of 256 windows, every window read
//                    (1024 windows of 65 words);
//   brindlexv3:      4 channels, ring of 512, 511 window chunks;
//   zelkv3s:         4 channels, ring of 256, 255 window chunks.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench_support.hpp"
#include "parsing/brindlexv3.hpp"
#include "parsing/quopv2.hpp"
#include "parsing/zelkv3.hpp"
#include "parsing/zelkv3s.hpp"

namespace {

using namespace vexoacq;
using acquisition::Params;

constexpr std::size_t kChannels = 4;
constexpr std::size_t kSamples = 64;

struct Event {
    Params params;
    std::vector<std::uint8_t> raw;
    std::size_t samples = 0;
};

void put(std::vector<std::uint8_t>& out, std::uint32_t w) { bench::put_be16(out, static_cast<std::uint16_t>(w)); }

Params params(const char* model, std::size_t windows) { return bench::params(model, kChannels, windows, kSamples); }

// Windows of one header word and 64 samples, channels in turn.
Event zelkv3_event(const char* model) {
    std::mt19937 rng(1);
    Event e{params(model, 256), {}, 0};
    for (int i = 0; i < 3; ++i) put(e.raw, rng());
    for (std::uint32_t w = 0; w < 256; ++w)
        for (std::uint32_t c = 0; c < kChannels; ++c) {
            put(e.raw, (c << 9) | (w << 1));
            for (std::size_t s = 0; s < kSamples; ++s) put(e.raw, rng() & 0x1FFE);
            e.samples += kSamples;
        }
    put(e.raw, 0xFFFF);
    return e;
}

// Window chunks of `channels` blocks (header + samples) and `trailing` words.
Event chunked_event(const char* model, std::size_t windows, unsigned chan_shift, unsigned label_shift,
                    std::size_t trailing, std::size_t footer_words) {
    std::mt19937 rng(2);
    Event e{params(model, windows), {}, 0};
    for (int i = 0; i < 3; ++i) put(e.raw, rng());
    for (std::uint32_t w = 0; w + 1 < windows; ++w) {
        for (std::uint32_t c = 0; c < kChannels; ++c) {
            put(e.raw, (c << chan_shift) | (w << label_shift));
            for (std::size_t s = 0; s < kSamples; ++s) put(e.raw, rng() & 0x1FFE);
            e.samples += kSamples;
        }
        for (std::size_t t = 0; t < trailing; ++t) put(e.raw, 0);
    }
    for (std::size_t f = 0; f < footer_words; ++f) put(e.raw, 0xFFFF);
    return e;
}

template <class E>
void decode(benchmark::State& state, const Event& e) {
    const double faults = bench::minor_faults();
    if (!bench::decode_loop<E>(state, e.raw, e.params, "event does not decode")) return;
    bench::set_faults(state, faults);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * e.raw.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * e.samples));
}

void copy(benchmark::State& state, const Event& e) {
    bench::memcpy_loop(state, e.raw);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * e.samples));
}

const Event& zelkv3() {
    static const Event e = zelkv3_event("zelkv3");
    return e;
}
const Event& brindlexv3() {
    static const Event e = chunked_event("brindlexv3", 512, 10, 1, 1, 1);
    return e;
}
const Event& zelkv3s() {
    static const Event e = chunked_event("zelkv3s", 256, 8, 0, 0, 1);
    return e;
}

// parse_into<Zelkv3Event>: channel list, strided window walk, time axis.
void BM_Zelkv3(benchmark::State& s) { decode<parsing::zelkv3::Zelkv3Event>(s, zelkv3()); }
// parse_into<Quopv2Event>: the zelkv3 decode plus a move of its lists.
void BM_Quopv2(benchmark::State& s) { decode<parsing::quopv2::Quopv2Event>(s, zelkv3()); }
void BM_Zelkv3Memcpy(benchmark::State& s) { copy(s, zelkv3()); }
// parse_into<Brindlexv3Event>: length-table choice, block walk, time axis.
void BM_Brindlexv3(benchmark::State& s) { decode<parsing::brindlexv3::Brindlexv3Event>(s, brindlexv3()); }
void BM_Brindlexv3Memcpy(benchmark::State& s) { copy(s, brindlexv3()); }
// parse_into<Zelkv3SEvent>: length-table choice, block walk, footers, time axis.
void BM_Zelkv3s(benchmark::State& s) { decode<parsing::zelkv3s::Zelkv3SEvent>(s, zelkv3s()); }
void BM_Zelkv3sMemcpy(benchmark::State& s) { copy(s, zelkv3s()); }

BENCHMARK(BM_Zelkv3);
BENCHMARK(BM_Quopv2);
BENCHMARK(BM_Zelkv3Memcpy);
BENCHMARK(BM_Brindlexv3);
BENCHMARK(BM_Brindlexv3Memcpy);
BENCHMARK(BM_Zelkv3s);
BENCHMARK(BM_Zelkv3sMemcpy);

}  // namespace
