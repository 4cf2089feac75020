// Shared pieces of the decode benchmarks: word packers, Params in code, the
// decode loop, and the memcpy of the same bytes that serves as the yardstick.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "acquisition/metadata.hpp"
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

}  // namespace vexoacq::bench
