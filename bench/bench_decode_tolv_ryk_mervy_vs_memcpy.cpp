// Decoding of one full event of the ryk16, tolv96 and mervyv1 families under
// their default tuning keys, beside a plain memcpy of the 786842 bytes of a
// full tolv96 event in the same run, on the default heap.  "per_sample" is
// the decode time per sample; "x_memcpy" is the decode time of the event over
// the memcpy time of its bytes, the two measured alternately in this process;
// "faults" is the minor page faults per decode.
//
// ryk16 and tolv96 run two ways: "Fresh" makes a new record per decode
// (parse_into) and frees it, so the heap hands the lists' pages back and the
// next decode faults them in again; "Reused" decodes into one record kept
// across decodes (decode_into), whose lists keep their pages, once per
// sample kernel (the label names it; the run is skipped where the CPU lacks
// it).  The context line "decode_kernel" is the kernel chosen at run time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench_support.hpp"
#include "parsing/mervyv1.hpp"
#include "parsing/ryk16.hpp"
#include "parsing/tolv96.hpp"

namespace {

using vexoacq::bench::Bytes;
using vexoacq::bench::Params;
using vexoacq::bench::params;
using vexoacq::bench::put_be16;
using vexoacq::bench::put_le16;

constexpr std::size_t kWindows = 64;
constexpr std::size_t kSamples = 64;

// One chip of `channels` blocks: header byte, blocks (start byte, channel
// byte, S inverted 10-bit samples, footer word), `footer` bytes.
void chip(Bytes& out, std::uint8_t chip_byte, std::size_t channels, std::size_t footer, std::mt19937& rng) {
    out.push_back(chip_byte);
    for (std::size_t c = 0; c < channels; ++c) {
        put_le16(out, static_cast<std::uint16_t>(c << 8 | (rng() % kWindows)));
        for (std::size_t s = 0; s < kWindows * kSamples; ++s)
            put_le16(out, static_cast<std::uint16_t>(~(rng() & 0x3FF)));
        put_le16(out, 0);
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
            put_be16(out, c);
            put_be16(out, 0);
            put_be16(out, w);
            put_be16(out, w);
            for (std::size_t s = 0; s < kMervySamples; ++s) put_be16(out, static_cast<std::uint16_t>(1 + rng() % 4095));
            put_be16(out, 0xFA5A);
        }
    return out;
}

template <class Event>
void decode(benchmark::State& state, const Bytes& raw, const Params& p, std::size_t samples) {
    const double faults = vexoacq::bench::minor_faults();
    if (!vexoacq::bench::decode_loop<Event>(state, raw, p)) return;
    vexoacq::bench::set_faults(state, faults);
    vexoacq::bench::set_bytes_processed(state, raw);
    vexoacq::bench::set_per_sample(state, static_cast<double>(samples));
    state.counters["x_memcpy"] =
        vexoacq::bench::x_memcpy(raw, [&] { benchmark::DoNotOptimize(vexoacq::parsing::parse_into<Event>(raw, p)); });
}

template <class Event, class DecodeInto>
void decode_reused(benchmark::State& state, const Bytes& raw, const Params& p, std::size_t samples,
                   DecodeInto decode_into) {
    vexoacq::runtime::cpu::Kernel kernel{};
    if (!vexoacq::bench::kernel_arg(state, kernel)) return;
    const double faults = vexoacq::bench::minor_faults();
    if (!vexoacq::bench::reused_decode_loop<Event>(state, raw, p, decode_into, kernel)) return;
    vexoacq::bench::set_faults(state, faults);
    vexoacq::bench::set_bytes_processed(state, raw);
    vexoacq::bench::set_per_sample(state, static_cast<double>(samples));
    Event record;
    state.counters["x_memcpy"] = vexoacq::bench::x_memcpy(raw, [&] {
        benchmark::DoNotOptimize(decode_into(raw, p, record, kernel));
        benchmark::ClobberMemory();
    });
}

const auto ryk16_into = [](const Bytes& raw, const Params& p, vexoacq::parsing::ryk16::Ryk16Event& e,
                           vexoacq::runtime::cpu::Kernel k) {
    return vexoacq::parsing::ryk16::decode_into(raw, p, e, k);
};
const auto tolv96_into = [](const Bytes& raw, const Params& p, vexoacq::parsing::tolv96::Tolv96Event& e,
                            vexoacq::runtime::cpu::Kernel k) {
    return vexoacq::parsing::tolv96::decode_into(raw, p, e, k);
};

const Bytes& ryk16_raw() {
    static const Bytes raw = ryk16_event();
    return raw;
}
const Bytes& tolv96_raw() {
    static const Bytes raw = tolv96_event();
    return raw;
}

// Full ryk16 event (16 channels x 4096 samples): length test, block walk,
// inverted masked sample copy, ring labels, time axis.
void BM_Ryk16DecodeFresh(benchmark::State& state) {
    static const Params p = params("ryk16", kRykChannels, kWindows, kSamples);
    decode<vexoacq::parsing::ryk16::Ryk16Event>(state, ryk16_raw(), p, kRykChannels * kWindows * kSamples);
}
BENCHMARK(BM_Ryk16DecodeFresh);

void BM_Ryk16DecodeReused(benchmark::State& state) {
    static const Params p = params("ryk16", kRykChannels, kWindows, kSamples);
    decode_reused<vexoacq::parsing::ryk16::Ryk16Event>(state, ryk16_raw(), p, kRykChannels * kWindows * kSamples,
                                                       ryk16_into);
}
BENCHMARK(BM_Ryk16DecodeReused)->DenseRange(0, 2);

// Full tolv96 event (6 chips, 96 channels x 4096 samples, 786842 bytes): the
// same block path over chip blocks, plus the 96-slot record.
void BM_Tolv96DecodeFresh(benchmark::State& state) {
    static const Params p = params("tolv96", kTolvChannels, kWindows, kSamples);
    decode<vexoacq::parsing::tolv96::Tolv96Event>(state, tolv96_raw(), p, kTolvChannels * kWindows * kSamples);
}
BENCHMARK(BM_Tolv96DecodeFresh);

void BM_Tolv96DecodeReused(benchmark::State& state) {
    static const Params p = params("tolv96", kTolvChannels, kWindows, kSamples);
    decode_reused<vexoacq::parsing::tolv96::Tolv96Event>(state, tolv96_raw(), p,
                                                         kTolvChannels * kWindows * kSamples, tolv96_into);
}
BENCHMARK(BM_Tolv96DecodeReused)->DenseRange(0, 2);

// Full mervyv1 event (16 channels x 64 packets of 32 samples): packet split
// on the stop word, whole-word sample copy, timing-based time axis.
void BM_Mervyv1Decode(benchmark::State& state) {
    static const Bytes raw = mervy_event();
    static const Params p = params("mervyv2_eval", kMervyChannels, kWindows, kMervySamples);
    decode<vexoacq::parsing::mervyv1::Mervyv1Event>(state, raw, p, kMervyChannels * kWindows * kMervySamples);
}
BENCHMARK(BM_Mervyv1Decode);

// The yardstick: a plain copy of the 786842 bytes of the full tolv96 event.
void BM_Memcpy786842(benchmark::State& state) { vexoacq::bench::memcpy_loop(state, tolv96_raw()); }
BENCHMARK(BM_Memcpy786842);

// The machine facts that move the figures, printed with the run's context.
const bool context = [] {
    benchmark::AddCustomContext("decode_kernel", vexoacq::runtime::cpu::name(vexoacq::runtime::cpu::best()));
    return true;
}();

}  // namespace
