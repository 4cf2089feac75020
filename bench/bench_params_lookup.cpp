// Decoding a small zelkv3 event (four channels of one window) under Params
// with no, 1000 and 50000 other keys: the decoder looks its tuning keys up
// on every decode, so the ratio of the runs with many keys to the run with
// none is what to watch (about 1 when lookups do not depend on the keys).
#include <benchmark/benchmark.h>

#include <string>

#include "bench_support.hpp"
#include "parsing/zelkv3.hpp"

namespace {

using namespace vexoacq;

void decode_with_other_keys(benchmark::State& state) {
    acquisition::Params p = bench::params("zelkv3", 4, 256, 4);
    for (std::int64_t k = 0; k < state.range(0); ++k) {
        std::string key = "other_key_";
        key += std::to_string(k);
        p.extra.push_back(acquisition::YamlValue::string(std::move(key)), acquisition::YamlValue::integer(k));
    }
    bench::Bytes raw;
    for (int i = 0; i < 3; ++i) bench::put_be16(raw, 0);
    for (std::uint16_t c = 0; c < 4; ++c) {
        bench::put_be16(raw, static_cast<std::uint16_t>((c << 9) | (1u << 1)));
        for (int s = 0; s < 4; ++s) bench::put_be16(raw, 0x10);
    }
    bench::put_be16(raw, 0xFFFF);
    bench::decode_loop<parsing::zelkv3::Zelkv3Event>(state, raw, p);
}

BENCHMARK(decode_with_other_keys)->Arg(0)->Arg(1000)->Arg(50000);

}  // namespace
