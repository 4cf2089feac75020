// The ECC check of one full tolv96 event (96 channels, 393216 data words,
// 786842 bytes): each kernel single-threaded on the calling thread beside the
// same kernel spread over the process's worker pool, on a clean event and on
// one with 1% of its data words carrying a single inverted bit.  Throughput
// is per event byte; "per_word" is the time per data word.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "ecc/check.hpp"
#include "ecc/pool.hpp"
#include "ecc/tolv96.hpp"

namespace {

using namespace vexoacq::ecc;
using Bytes = std::vector<std::uint8_t>;

// Clean code words everywhere, then `fraction` of the data words with one
// inverted bit among d0-d13.  Fixed seed.
Bytes make_event(double fraction) {
    std::mt19937 rng(1234);
    std::vector<std::uint16_t> clean;
    for (unsigned w = 0; w <= 0xFFFF; ++w) {
        const auto word = static_cast<std::uint16_t>(w);
        if (tolv96::syndrome_value(word) == 0 && tolv96::global_parity(word) == 0) clean.push_back(word);
    }
    std::uniform_int_distribution<std::size_t> pick(0, clean.size() - 1);
    std::uniform_int_distribution<unsigned> bit(0, 13);
    std::bernoulli_distribution flip(fraction);
    Bytes ev(check::kFullEventBytes, 0);
    for (const auto& [start, end] : check::channel_offsets()) {
        for (std::size_t p = start; p < end; p += 2) {
            std::uint16_t w = clean[pick(rng)];
            if (flip(rng)) w = static_cast<std::uint16_t>(w ^ (1u << bit(rng)));
            ev[p] = static_cast<std::uint8_t>(w & 0xFF);
            ev[p + 1] = static_cast<std::uint8_t>(w >> 8);
        }
    }
    return ev;
}

const Bytes& event(int flipped_per_mille) {
    static const Bytes clean = make_event(0.0);
    static const Bytes one_percent = make_event(0.01);
    return flipped_per_mille == 0 ? clean : one_percent;
}

void finish(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(check::kFullEventBytes));
    state.counters["per_word"] = benchmark::Counter(static_cast<double>(state.iterations()) * 393216.0,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// One kernel, all 96 channels in order on the calling thread (an arena of
// one thread runs its work there), findings in per-channel lists.
void BM_SingleThread(benchmark::State& state) {
    const auto kernel = static_cast<check::Kernel>(state.range(0));
    if (!check::kernel_available(kernel)) {
        state.SkipWithError("kernel not supported here");
        return;
    }
    const Bytes& ev = event(static_cast<int>(state.range(1)));
    static tbb::task_arena one(1);
    for (auto _ : state) benchmark::DoNotOptimize(check::check_channels(ev, one, kernel));
    finish(state);
}

// The same kernel with the channels spread over the process's worker pool.
void BM_Pool(benchmark::State& state) {
    const auto kernel = static_cast<check::Kernel>(state.range(0));
    if (!check::kernel_available(kernel)) {
        state.SkipWithError("kernel not supported here");
        return;
    }
    const Bytes& ev = event(static_cast<int>(state.range(1)));
    state.counters["threads"] = static_cast<double>(pool::size());
    for (auto _ : state) benchmark::DoNotOptimize(check::check_channels(ev, pool::arena(), kernel));
    finish(state);
}

void kernels_and_events(benchmark::internal::Benchmark* b) {
    b->ArgNames({"kernel", "flipped_per_mille"});
    for (int k : {0, 1, 2}) {
        for (int f : {0, 10}) b->Args({k, f});
    }
}

BENCHMARK(BM_SingleThread)->Apply(kernels_and_events);
BENCHMARK(BM_Pool)->Apply(kernels_and_events)->UseRealTime();

}  // namespace
