// CSV export of decoded events, from the block writer to the file descriptor
// (/dev/null, so the figure is formatting and write calls, not the disk).
// Bytes processed are the CSV bytes written.  The pandas comparison of the
// same tables lives in bench/export_vs_pandas.py; here the one-decimal fast
// path is measured beside the std::to_chars path it replaces.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <vector>

#include "export/csv.hpp"
#include "export/number.hpp"

namespace {

using namespace vexoacq;
namespace csv = export_::csv;

acquisition::Params params_with_samples(std::size_t samples) {
    acquisition::Params p;
    p.model = "tolv96";
    p.samples = samples;
    return p;
}

// ADC-like values after pedestal subtraction: a few hundred counts with
// fractional parts.
float sample_value(std::mt19937& rng) {
    std::uniform_real_distribution<float> d(-40.0f, 900.0f);
    return d(rng);
}

template <class E>
E make_event(std::size_t channels, std::size_t windows, std::size_t samples, std::uint16_t ring,
             std::mt19937& rng) {
    E e;
    e.resize_channels(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        // Every channel starts near the end of the ring, so its labels wrap.
        const auto first = static_cast<std::uint16_t>(ring - 2);
        for (std::size_t w = 0; w < windows; ++w)
            e.window_labels[c].push_back(static_cast<std::uint16_t>((first + w) % ring));
        for (std::size_t i = 0; i < windows * samples; ++i) {
            e.data[c].push_back(sample_value(rng));
            e.time[c].push_back(static_cast<std::uint16_t>(i));
        }
    }
    return e;
}

std::size_t csv_size(const auto& events, const acquisition::Params& params) {
    const int fd = memfd_create("bench-export", MFD_CLOEXEC);
    csv::CsvWriter writer(fd);
    (void)csv::export_csv(std::span(events), writer, params);
    struct stat st {};
    fstat(fd, &st);
    close(fd);
    return static_cast<std::size_t>(st.st_size);
}

template <class E>
void run_export(benchmark::State& state, const std::vector<E>& events, const acquisition::Params& params) {
    const std::size_t bytes = csv_size(events, params);
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (auto _ : state) {
        csv::CsvWriter writer(fd);
        auto r = csv::export_csv(std::span(events), writer, params);
        benchmark::DoNotOptimize(r);
    }
    close(fd);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// 20 full tolv96 events: 96 channels, 8 windows of 512 samples (4096 rows
// per event, 290 fields per row).
void BM_ExportTolv96Full(benchmark::State& state) {
    std::mt19937 rng(42);
    std::vector<parsing::Tolv96Event> events;
    for (int k = 0; k < 20; ++k) events.push_back(make_event<parsing::Tolv96Event>(96, 8, 512, 512, rng));
    run_export(state, events, params_with_samples(512));
}
BENCHMARK(BM_ExportTolv96Full)->Unit(benchmark::kMillisecond);

// 10000 small zelkv3 events: 4 channels, 2 windows of 16 samples.
void BM_ExportZelkv3Small(benchmark::State& state) {
    std::mt19937 rng(43);
    std::vector<parsing::Zelkv3Event> events;
    for (int k = 0; k < 10000; ++k) events.push_back(make_event<parsing::Zelkv3Event>(4, 2, 16, 256, rng));
    run_export(state, events, params_with_samples(16));
}
BENCHMARK(BM_ExportZelkv3Small)->Unit(benchmark::kMillisecond);

// One data cell's text: the integer path of write_rounded ...
void BM_RoundedTextFast(benchmark::State& state) {
    std::mt19937 rng(44);
    std::vector<float> values(1 << 16);
    for (auto& v : values) v = sample_value(rng);
    std::vector<char> out(values.size() * export_::number::kMaxFloatText);
    for (auto _ : state) {
        char* p = out.data();
        for (const float v : values) p = export_::number::write_rounded(p, v);
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}
BENCHMARK(BM_RoundedTextFast);

// ... beside rounding then std::to_chars' shortest form laid out positionally.
void BM_RoundedTextToChars(benchmark::State& state) {
    std::mt19937 rng(44);
    std::vector<float> values(1 << 16);
    for (auto& v : values) v = sample_value(rng);
    std::vector<char> out(values.size() * export_::number::kMaxFloatText);
    for (auto _ : state) {
        char* p = out.data();
        for (const float v : values)
            p = export_::number::write_float_general(p, export_::number::round_one_decimal(v));
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}
BENCHMARK(BM_RoundedTextToChars);

}  // namespace
