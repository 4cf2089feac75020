// Shared pieces of the decode benchmarks: word packers, Params in code, the
// decode loops (a new record per decode, or one record decoded into again and
// again), the memcpy of the same bytes that serves as the yardstick, and the
// count of page faults per decode.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "acquisition/metadata.hpp"
#include "parsing/block_kernels.hpp"
#include "parsing/frame.hpp"

namespace vexoacq::bench {

using acquisition::Params;
using Bytes = std::vector<std::uint8_t>;

inline void put_be16(Bytes& out, std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

inline void put_le16(Bytes& out, std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
    out.push_back(static_cast<std::uint8_t>(w >> 8));
}

inline Params params(const char* model, std::size_t channels, std::size_t windows, std::size_t samples) {
    Params p;
    p.model = model;
    p.channels = channels;
    p.windows = windows;
    p.samples = samples;
    return p;
}

// Decodes the event once per benchmark iteration.  A failed decode marks the
// run with `error` and gives false.
template <class Event>
bool decode_loop(benchmark::State& state, const Bytes& raw, const Params& p, const char* error = "decode failed") {
    for (auto _ : state) {
        auto r = parsing::parse_into<Event>(raw, p);
        if (!r.ok()) {
            state.SkipWithError(error);
            return false;
        }
        benchmark::DoNotOptimize(r);
    }
    return true;
}

// The "per_sample" counter: run time per decoded sample.
inline void set_per_sample(benchmark::State& state, double samples) {
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

inline void set_bytes_processed(benchmark::State& state, const Bytes& raw) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(raw.size()));
}

// Copies the bytes once per benchmark iteration.
inline void memcpy_loop(benchmark::State& state, const Bytes& raw) {
    Bytes dst(raw.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), raw.data(), raw.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, raw);
}

// Mean time of one copy of the bytes over `reps` copies, outside the
// benchmark loop.
inline double memcpy_ns(const Bytes& raw, int reps) {
    Bytes dst(raw.size());
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r) {
        std::memcpy(dst.data(), raw.data(), raw.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / reps;
}

// Mean time of one decode over `reps` decodes, outside the benchmark loop.
template <class Event>
double decode_ns(const Bytes& raw, const Params& p, int reps) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r) benchmark::DoNotOptimize(parsing::parse_into<Event>(raw, p));
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / reps;
}

// Minor page faults of the process so far (a page touched for the first
// time since the heap got it from the kernel).
inline double minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_minflt);
}

// Mean time of one call of `f` over `reps` calls.
template <class F>
double call_ns(F&& f, int reps) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r) f();
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / reps;
}

// Time of one call of `f` over the time of one memcpy of `raw`, the two
// measured alternately (`rounds` times) in this process; the median ratio.
template <class F>
double x_memcpy(const Bytes& raw, F&& f, int rounds = 7, int reps = 20) {
    Bytes dst(raw.size());
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) {
        const double work = call_ns(f, reps);
        const double copy = call_ns(
            [&] {
                std::memcpy(dst.data(), raw.data(), raw.size());
                benchmark::DoNotOptimize(dst.data());
                benchmark::ClobberMemory();
            },
            4 * reps);
        ratios.push_back(work / copy);
    }
    std::nth_element(ratios.begin(), ratios.begin() + rounds / 2, ratios.end());
    return ratios[static_cast<std::size_t>(rounds / 2)];
}

// Decodes into one record, kept across the iterations, with the kernel
// `kernel`: the record's lists keep their storage from one decode to the
// next.  A failed decode marks the run with `error` and gives false.
template <class Event, class DecodeInto>
bool reused_decode_loop(benchmark::State& state, const Bytes& raw, const Params& p, DecodeInto decode_into,
                        runtime::cpu::Kernel kernel, const char* error = "decode failed") {
    Event record;
    for (auto _ : state) {
        if (!decode_into(raw, p, record, kernel).ok()) {
            state.SkipWithError(error);
            return false;
        }
        benchmark::DoNotOptimize(record);
        benchmark::ClobberMemory();
    }
    return true;
}

// The "faults" counter: minor page faults per iteration between two counts.
inline void set_faults(benchmark::State& state, double before) {
    state.counters["faults"] =
        benchmark::Counter((minor_faults() - before) / static_cast<double>(std::max<benchmark::IterationCount>(
                                                            state.iterations(), 1)));
}

// The kernel named by a benchmark argument, or false (and the run marked
// skipped) when this CPU cannot run it.
inline bool kernel_arg(benchmark::State& state, runtime::cpu::Kernel& kernel) {
    kernel = runtime::cpu::kAllKernels[state.range(0)];
    state.SetLabel(runtime::cpu::name(kernel));
    if (runtime::cpu::available(kernel)) return true;
    state.SkipWithError("kernel not available on this CPU");
    return false;
}

}  // namespace vexoacq::bench
