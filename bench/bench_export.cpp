// CSV export, to /dev/null, so the figures are fetching, decoding,
// formatting and write calls, not the disk.
//
// First, before the Google Benchmark runs and in child processes of their
// own (peak resident memory is a per-process figure, and each child starts
// with a fresh heap and no worker threads): one block of 1000 full tolv96
// events and 10 blocks of 1000 small zelkv3 events, read from an acquisition
// folder written here, three ways side by side:
//   whole_block   every corrected event of the block decoded and held, then
//                 the header and the rows on the calling thread;
//   pool_1        the block writer on a pool of one thread (raw bytes held,
//                 events decoded again as their rows are written);
//   pool_N        the same on a pool of N threads (default 8).
//   fresh_1, fresh_N  the block writer as pool_1 and pool_N, but every event
//                 decoded into a new record (as before the reused per-thread
//                 records), so the reuse is measured beside its absence.
// Each variant's wall time, peak RSS and page faults (minor faults during
// the export) are printed, then the ratios.  The timing runs alternate and
// the best of --block-reps is kept.
//
// Then the Google Benchmark runs: the block writer over events built in
// code (bytes processed are the CSV bytes), and the one-decimal fast path
// beside the std::to_chars path it replaces.  The pandas comparison of the
// same tables lives in bench/export_vs_pandas.py.
//
//     build/bench_export [--block-threads=8] [--block-reps=3] [--blocks=tolv96,zelkv3]
//                        [--variants=pool_1,fresh_1,...] [--block-only | --skip-blocks]
//                        [benchmark flags]
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "export/csv.hpp"
#include "export/number.hpp"
#include "bench_support.hpp"

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

// ------------------------------------------------------- whole blocks

namespace fs = std::filesystem;

using vexoacq::bench::put_be16;
using vexoacq::bench::put_le16;

// Six chip blocks of 16 channels, 4096 bit-inverted 10-bit samples each
// (786842 bytes), as the tolv96 decoder reads them under its default keys.
std::vector<std::uint8_t> tolv96_full_event(std::mt19937& rng) {
    std::vector<std::uint8_t> out;
    for (unsigned chip = 0; chip < 6; ++chip) {
        out.push_back(static_cast<std::uint8_t>(chip));
        for (unsigned c = 0; c < 16; ++c) {
            put_le16(out, (c << 8) & 0xFF00);
            for (int i = 0; i < 4096; ++i) put_le16(out, ~(rng() % 1024) & 0xFFFF);
            put_le16(out, 0);
        }
        out.insert(out.end(), 3, 0);
    }
    put_le16(out, 0);
    return out;
}

// zelkv3 under its default keys: 4 channels, 2 windows of 16 samples.
std::vector<std::uint8_t> zelkv3_small_event(std::mt19937& rng) {
    std::vector<std::uint8_t> out;
    put_be16(out, 0x0102);
    put_be16(out, 0x0300);
    put_be16(out, 0);
    const unsigned start = rng() % 256;
    for (unsigned w = 0; w < 2; ++w) {
        for (unsigned c = 0; c < 4; ++c) {
            put_be16(out, (c << 9) | (((start + w) % 256) << 1));
            for (int i = 0; i < 16; ++i) put_be16(out, (rng() % 4096) << 1);
        }
    }
    put_be16(out, 0xFFFF);
    return out;
}

void write_bytes(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// An acquisition folder of `distinct` events in one chunk.
fs::path write_acquisition(const fs::path& root, const std::string& params_yaml,
                           const std::vector<std::vector<std::uint8_t>>& events) {
    fs::create_directories(root);
    std::ofstream(root / "metadata.yml") << "params:\n" << params_yaml << "registers: {}\n";
    std::vector<std::uint8_t> bin;
    std::vector<std::uint8_t> idx;
    for (const auto& ev : events) {
        const auto offset = static_cast<std::uint32_t>(bin.size());
        const auto length = static_cast<std::uint32_t>(ev.size());
        for (int b = 0; b < 4; ++b) idx.push_back(static_cast<std::uint8_t>(offset >> (8 * b)));
        for (int b = 0; b < 4; ++b) idx.push_back(static_cast<std::uint8_t>(length >> (8 * b)));
        bin.insert(bin.end(), ev.begin(), ev.end());
    }
    write_bytes(root / "0.bin", bin);
    write_bytes(root / "0.idx", idx);
    return root;
}

// The block as a whole-block export does it: fetch, decode and correct
// every event of the block and keep them all, then write the block.
template <class E>
bool whole_block(const acquisition::Acquisition& acq, const acquisition::Params& params,
                 std::span<const std::size_t> block) {
    std::vector<E> events;
    for (const std::size_t i : block) {
        auto raw = acq.get(i);
        if (!raw) continue;
        auto ev = parsing::parse_into<E>(parsing::RawBytes(*raw), params);
        if (ev) events.push_back(std::move(*ev));
    }
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    csv::CsvWriter writer(fd);
    const bool ok = csv::export_csv(std::span<const E>(events), writer, params).ok();
    close(fd);
    return ok;
}

enum class Variant { WholeBlock, Pool, PoolFresh };

struct Measured {
    double seconds = 0;
    double peak_rss_mb = 0;
    double minor_faults = 0;
    bool ok = false;
};

long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

std::size_t peak_rss_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

// Runs the export of `blocks` in a child process and reports its time and
// peak RSS.
template <class E>
Measured in_child(const fs::path& root, const std::vector<std::size_t>& indices, std::size_t block_size,
                  Variant variant, int threads) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const auto acq = acquisition::Acquisition::open(root).value();
        const auto params = acq.metadata().value().params;
        std::optional<tbb::task_arena> arena;
        if (variant != Variant::WholeBlock) {
            arena.emplace(threads);
            arena->initialize();
        }
        Measured m;
        m.ok = true;
        const long faults0 = minor_faults();
        const auto t0 = std::chrono::steady_clock::now();
        for (std::size_t first = 0; first < indices.size(); first += block_size) {
            const auto block = std::span(indices).subspan(first, std::min(block_size, indices.size() - first));
            if (variant == Variant::WholeBlock) {
                m.ok = m.ok && whole_block<E>(acq, params, block);
            } else {
                csv::BlockExecution execution{&*arena};
                execution.fresh_records = variant == Variant::PoolFresh;
                m.ok = m.ok && csv::Exporter(execution)
                                   .export_chunk<E>(acq, params, calibration::Corrections(params), block, "/dev/null")
                                   .ok();
            }
        }
        m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        m.minor_faults = static_cast<double>(minor_faults() - faults0);
        m.peak_rss_mb = static_cast<double>(peak_rss_kb()) / 1024.0;
        (void)!write(fds[1], &m, sizeof m);
        _exit(0);
    }
    close(fds[1]);
    Measured m;
    if (read(fds[0], &m, sizeof m) != static_cast<ssize_t>(sizeof m)) m = {};
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return m;
}

// Labels of the variants to run (all when empty).
std::string g_variants;

template <class E>
void compare_blocks(const char* name, const fs::path& root, const std::vector<std::size_t>& indices, int threads,
                    int reps) {
    struct Row {
        std::string label;
        Variant variant;
        int threads;
        Measured best;
    };
    const std::string n = std::to_string(threads);
    std::vector<Row> rows{{"whole_block", Variant::WholeBlock, 1, {}},
                          {"pool_1", Variant::Pool, 1, {}},
                          {"pool_" + n, Variant::Pool, threads, {}},
                          {"fresh_1", Variant::PoolFresh, 1, {}},
                          {"fresh_" + n, Variant::PoolFresh, threads, {}}};
    for (int rep = 0; rep < reps; ++rep) {
        for (Row& r : rows) {
            if (!g_variants.empty() && ("," + g_variants + ",").find("," + r.label + ",") == std::string::npos)
                continue;
            const Measured m = in_child<E>(root, indices, 1000, r.variant, r.threads);
            if (!m.ok) {
                std::printf("%s %s: export failed\n", name, r.label.c_str());
                continue;
            }
            if (rep == 0 || m.seconds < r.best.seconds) r.best.seconds = m.seconds;
            if (rep == 0 || m.peak_rss_mb > r.best.peak_rss_mb) r.best.peak_rss_mb = m.peak_rss_mb;
            if (rep == 0 || m.minor_faults < r.best.minor_faults) r.best.minor_faults = m.minor_faults;
            r.best.ok = true;
        }
    }
    std::printf("%s (%zu events in blocks of 1000, best of %d)\n", name, indices.size(), reps);
    for (const Row& r : rows)
        std::printf("  %-12s %9.3f s   peak RSS %8.1f MB   page faults %9.0f (%.1f per event)\n", r.label.c_str(),
                    r.best.seconds, r.best.peak_rss_mb, r.best.minor_faults,
                    r.best.minor_faults / static_cast<double>(indices.size()));
    std::printf("  peak RSS whole_block / pool_%d:     %.2fx\n", threads,
                rows[0].best.peak_rss_mb / rows[2].best.peak_rss_mb);
    std::printf("  speed pool_1 / whole_block:        %.2fx\n", rows[0].best.seconds / rows[1].best.seconds);
    std::printf("  speed pool_%d / pool_1:             %.2fx\n", threads, rows[1].best.seconds / rows[2].best.seconds);
    std::printf("  speed pool_%d / whole_block:        %.2fx\n", threads,
                rows[0].best.seconds / rows[2].best.seconds);
    std::printf("  speed pool_1 / fresh_1 (reused records):  %.2fx\n", rows[3].best.seconds / rows[1].best.seconds);
    std::printf("  speed pool_%d / fresh_%d (reused records):  %.2fx\n", threads, threads,
                rows[4].best.seconds / rows[2].best.seconds);
    std::fflush(stdout);
}

void run_block_comparisons(int threads, int reps, const std::string& which) {
    char pattern[] = "/tmp/bench-export-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    const fs::path dir = pattern;
    std::mt19937 rng(42);
    std::printf("machine: %u processors available, pool sizes 1 and %d\n", std::thread::hardware_concurrency(),
                threads);
    if (which.find("tolv96") != std::string::npos) {
        std::vector<std::vector<std::uint8_t>> events;
        for (int k = 0; k < 8; ++k) events.push_back(tolv96_full_event(rng));
        const auto root = write_acquisition(dir / "tolv",
                                            "  model: tolv96\n  channels: 96\n  windows: 1\n  samples: 4096\n",
                                            events);
        std::vector<std::size_t> indices(1000);
        for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i % events.size();
        compare_blocks<parsing::Tolv96Event>("tolv96 full", root, indices, threads, reps);
    }
    if (which.find("zelkv3") != std::string::npos) {
        std::vector<std::vector<std::uint8_t>> events;
        for (int k = 0; k < 10000; ++k) events.push_back(zelkv3_small_event(rng));
        const auto root = write_acquisition(dir / "zelk",
                                            "  model: zelkv3\n  channels: 4\n  windows: 256\n  samples: 16\n",
                                            events);
        std::vector<std::size_t> indices(10000);
        for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
        compare_blocks<parsing::Zelkv3Event>("zelkv3 small", root, indices, threads, reps);
    }
    fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
    int threads = 8;
    int reps = 3;
    bool block_only = false;
    bool skip_blocks = false;
    std::string which = "tolv96,zelkv3";
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--block-threads=", 0) == 0) {
            threads = std::atoi(a.c_str() + 16);
        } else if (a.rfind("--block-reps=", 0) == 0) {
            reps = std::atoi(a.c_str() + 13);
        } else if (a == "--block-only") {
            block_only = true;
        } else if (a.rfind("--blocks=", 0) == 0) {
            which = a.substr(9);
        } else if (a.rfind("--variants=", 0) == 0) {
            g_variants = a.substr(11);
        } else if (a == "--skip-blocks") {
            skip_blocks = true;
        } else {
            rest.push_back(argv[i]);
        }
    }
    // Before any worker thread exists in this process: the children fork
    // from a single-threaded parent.
    if (!skip_blocks) run_block_comparisons(std::max(threads, 1), std::max(reps, 1), which);
    if (block_only) return 0;
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
