// The ECC check of one full tolv96 event (96 channels, 393216 data words,
// 786842 bytes) on clean events and on events with 0.1 %, 1 % and 10 % of
// their data words carrying a single inverted bit:
//   - BM_SingleThread: one kernel, every channel on the calling thread;
//   - BM_Pool: the same kernel through check_channels on the process's
//     worker pool (the caller starts, helpers are woken when worth it);
//   - BM_PoolAllAtOnce: the scheme the pool replaced, measured beside it:
//     one task per pool thread handed out at once, the caller joining the
//     arena and waiting for all of them, findings in one list per channel.
// Throughput is per event byte; "per_word" is the time per data word,
// "helper_channels" the channels that pool threads checked per call, and
// "faults" the page faults per call (all threads of the process).
// Compare the rows of one run: the machine is shared.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <random>
#include <vector>

#include <oneapi/tbb/task_group.h>

#include "ecc/check.hpp"
#include "ecc/check_arena.hpp"
#include "ecc/tolv96.hpp"
#include "runtime/pool.hpp"

namespace {

using namespace vexoacq::ecc;
namespace pool = vexoacq::runtime::pool;
namespace cpu = vexoacq::runtime::cpu;
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
    static const Bytes tenth = make_event(0.001);
    static const Bytes one = make_event(0.01);
    static const Bytes ten = make_event(0.1);
    switch (flipped_per_mille) {
    case 0: return clean;
    case 1: return tenth;
    case 10: return one;
    default: return ten;
    }
}

// The levels that have an ECC body of their own (Avx512 runs the AVX2 one),
// by the benchmark's "kernel" argument.
constexpr check::Kernel kEccKernels[] = {check::Kernel::Scalar, check::Kernel::Avx2, check::Kernel::Avx512Gfni};

bool usable(benchmark::State& state, check::Kernel kernel) {
    state.SetLabel(cpu::name(kernel));
    if (cpu::available(kernel)) return true;
    state.SkipWithError("kernel not supported here");
    return false;
}

long minor_faults() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r.ru_minflt;
}

void finish(benchmark::State& state, double helper_channels, long faults_before) {
    state.counters["faults"] =
        static_cast<double>(minor_faults() - faults_before) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(check::kFullEventBytes));
    state.counters["per_word"] = benchmark::Counter(static_cast<double>(state.iterations()) * 393216.0,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["helper_channels"] = helper_channels / static_cast<double>(state.iterations());
}

// All 96 channels in order on the calling thread (an arena of one thread
// has no helper to wake).
void BM_SingleThread(benchmark::State& state) {
    const auto kernel = kEccKernels[state.range(0)];
    if (!usable(state, kernel)) return;
    const Bytes& ev = event(static_cast<int>(state.range(1)));
    static tbb::task_arena one(1);
    const long faults = minor_faults();
    for (auto _ : state) benchmark::DoNotOptimize(check::check_channels(ev, one, kernel));
    finish(state, 0, faults);
}

// check_channels on the process's worker pool.
void BM_Pool(benchmark::State& state) {
    const auto kernel = kEccKernels[state.range(0)];
    if (!usable(state, kernel)) return;
    const Bytes& ev = event(static_cast<int>(state.range(1)));
    state.counters["threads"] = static_cast<double>(pool::size());
    double helped = 0;
    const long faults = minor_faults();
    for (auto _ : state) {
        const check::ChannelFindings f = check::check_channels(ev, pool::arena(), kernel);
        helped += static_cast<double>(f.helper_channels());
        benchmark::DoNotOptimize(f);
    }
    finish(state, helped, faults);
}

// The replaced scheme, for comparison: every pool thread gets a task at
// once; the tasks and the caller take channels from one counter and push
// into adjacent per-channel lists.
std::vector<std::vector<check::EccEntry>> all_at_once(const Bytes& raw, tbb::task_arena& arena, check::Kernel kernel) {
    const std::size_t channels = check::chip_count(raw.size()) * check::kChannelsPerChip;
    std::vector<std::vector<check::EccEntry>> lists(channels);
    std::vector<std::exception_ptr> faults(channels);
    std::atomic<std::size_t> next{0};
    auto drain = [&] {
        for (std::size_t ch = next.fetch_add(1); ch < channels; ch = next.fetch_add(1)) {
            try {
                check::check_channel(raw, ch, kernel, lists[ch]);
            } catch (...) {
                faults[ch] = std::current_exception();
            }
        }
    };
    arena.execute([&] {
        tbb::task_group helpers;
        const auto workers = static_cast<std::size_t>(arena.max_concurrency());
        for (std::size_t t = 1; t < workers && t < channels; ++t) helpers.run(drain);
        drain();
        helpers.wait();
    });
    for (const std::exception_ptr& f : faults) {
        if (f) std::rethrow_exception(f);
    }
    return lists;
}

void BM_PoolAllAtOnce(benchmark::State& state) {
    const auto kernel = kEccKernels[state.range(0)];
    if (!usable(state, kernel)) return;
    const Bytes& ev = event(static_cast<int>(state.range(1)));
    state.counters["threads"] = static_cast<double>(pool::size());
    const long faults = minor_faults();
    for (auto _ : state) benchmark::DoNotOptimize(all_at_once(ev, pool::arena(), kernel));
    finish(state, 0, faults);
}

void kernels_and_events(benchmark::internal::Benchmark* b) {
    b->ArgNames({"kernel", "flipped_per_mille"});
    for (int k : {0, 1, 2}) {
        for (int f : {0, 1, 10, 100}) b->Args({k, f});
    }
}

BENCHMARK(BM_SingleThread)->Apply(kernels_and_events)->UseRealTime();
BENCHMARK(BM_Pool)->Apply(kernels_and_events)->UseRealTime();
BENCHMARK(BM_PoolAllAtOnce)->Apply(kernels_and_events)->UseRealTime();

}  // namespace
