// Coverage-guided fuzzing of one entry of tests/cpp/support/fuzz_entries.hpp.
//
// With clang (-fsanitize=fuzzer) this file is a libFuzzer target.  With g++
// it is its own small driver: the core is compiled with
// -fsanitize-coverage=trace-pc, the hook below folds every (previous, current)
// basic-block pair into a 64 KiB edge map, and an input that lights an edge
// no earlier input lit joins the corpus, from which the next inputs are
// mutated.  ASan and UBSan stop the run on the first bad access; the death
// callback then writes the input being run to ./crash-input.  Inputs that
// take more than a second of CPU time (which the machine's load does not
// stretch) are written to ./slow-<n>; the corpus, at the end, to ./corpus/.
// SECONDS is the run's length in wall-clock time.
//   fuzz_<entry> SECONDS SEED
#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "support/fuzz_entries.hpp"

#ifndef VEXO_FUZZ_ENTRY
#error "VEXO_FUZZ_ENTRY selects the entry"
#endif

#ifdef VEXO_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vexoacq::fuzz::kEntries[VEXO_FUZZ_ENTRY].run({data, size});
    return 0;
}
#else

namespace {
std::uint8_t g_edges[1 << 16];
std::uintptr_t g_prev = 0;
const std::vector<std::uint8_t>* g_current = nullptr;

void write_file(const char* name, const std::vector<std::uint8_t>& bytes) {
    if (FILE* f = std::fopen(name, "wb")) {
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

void on_death() {
    if (g_current) write_file("crash-input", *g_current);
}
}  // namespace

extern "C" void __sanitizer_cov_trace_pc() {
    auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    std::uintptr_t edge = (pc ^ (g_prev << 1)) & 0xFFFF;
    if (g_edges[edge] < 255) ++g_edges[edge];
    g_prev = pc;
}
extern "C" void __sanitizer_set_death_callback(void (*)(void));

// CPU time of the whole process (all its threads), in seconds.
static double cpu_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int main(int argc, char** argv) {
    using clock = std::chrono::steady_clock;
    double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    std::mt19937_64 rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1);
    __sanitizer_set_death_callback(on_death);
    const auto& entry = vexoacq::fuzz::kEntries[VEXO_FUZZ_ENTRY];

    static std::uint8_t seen[1 << 16];  // highest hit-count bucket seen per edge
    auto bucket = [](std::uint8_t n) -> std::uint8_t { return n == 0 ? 0 : n < 2 ? 1 : n < 4 ? 2 : n < 16 ? 3 : 4; };
    // An earlier run's corpus holds the starting inputs already.
    std::vector<std::vector<std::uint8_t>> corpus;
    if (std::filesystem::is_directory("corpus"))  // resume from an earlier run
        for (const auto& f : std::filesystem::directory_iterator("corpus")) {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(f.file_size()));
            if (FILE* in = std::fopen(f.path().c_str(), "rb")) {
                bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in));
                std::fclose(in);
                corpus.push_back(std::move(bytes));
            }
        }
    if (corpus.empty()) corpus = {{}, {0, 0, 0, 0, 0}, std::vector<std::uint8_t>(64, 0)};
    static constexpr std::uint8_t kSpecial[] = {0x00, 0xFF, 0x01, 0x02, 0x80, 0x7F, 0x5A, 0xFA, 0x1F, 0x8B, 0x08,
                                                '(', ']', '}', 'N', 'K', 'J', 'G', 'X', 'e', '.', 'u', 's', 'h',
                                                'q', 0x94, 0x95, 0x8C, 0x85, 0x86, 0x87, 'c', 'R', '[', '{', ':',
                                                '&', '*', '\n', ' ', '-', 'a'};
    auto mutate = [&](std::vector<std::uint8_t> in) {
        int rounds = 1 + static_cast<int>(rng() % 6);
        for (int r = 0; r < rounds; ++r) {
            std::size_t n = in.size();
            switch (rng() % 8) {
                case 0: if (n) in[rng() % n] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
                case 1: if (n) in[rng() % n] = kSpecial[rng() % std::size(kSpecial)]; break;
                case 2: if (n) in[rng() % n] = static_cast<std::uint8_t>(rng()); break;
                case 3: if (in.size() < 8192) in.insert(in.begin() + static_cast<std::ptrdiff_t>(n ? rng() % (n + 1) : 0),
                                                        1 + rng() % 16, kSpecial[rng() % std::size(kSpecial)]); break;
                case 4: if (n) {
                    std::size_t a = rng() % n, b = std::min(n, a + 1 + rng() % 16);
                    in.erase(in.begin() + static_cast<std::ptrdiff_t>(a), in.begin() + static_cast<std::ptrdiff_t>(b));
                    break;
                }
                    break;
                case 5: {  // copy a piece of another corpus entry in
                    const auto& other = corpus[rng() % corpus.size()];
                    if (!other.empty() && in.size() < 8192) {
                        std::size_t a = rng() % other.size(), len = 1 + rng() % std::min<std::size_t>(64, other.size() - a);
                        in.insert(in.begin() + static_cast<std::ptrdiff_t>(n ? rng() % (n + 1) : 0),
                                  other.begin() + static_cast<std::ptrdiff_t>(a),
                                  other.begin() + static_cast<std::ptrdiff_t>(a + len));
                    }
                    break;
                }
                case 6: if (n >= 2) { std::size_t i = rng() % (n - 1); in[i] = 0xFF; in[i + 1] = 0xFF; } break;
                default: if (n) in[rng() % n] = static_cast<std::uint8_t>(rng() % 8); break;
            }
        }
        return in;
    };

    const auto start = clock::now();
    std::size_t execs = 0, slow = 0;
    while (std::chrono::duration<double>(clock::now() - start).count() < seconds) {
        std::vector<std::uint8_t> in = mutate(corpus[rng() % corpus.size()]);
        std::fill(std::begin(g_edges), std::end(g_edges), 0);
        g_current = &in;
        const double t0 = cpu_seconds();
        entry.run(in);
        const double took = cpu_seconds() - t0;
        g_current = nullptr;
        ++execs;
        if (took > 1.0 && slow < 20) {
            char name[32];
            std::snprintf(name, sizeof name, "slow-%zu", slow++);
            write_file(name, in);
            std::fprintf(stderr, "slow input (%.2f s of CPU, %zu bytes) written to %s\n", took, in.size(), name);
        }
        bool fresh = false;
        for (std::size_t e = 0; e < std::size(g_edges); ++e) {
            std::uint8_t b = bucket(g_edges[e]);
            if (b > seen[e]) {
                seen[e] = b;
                fresh = true;
            }
        }
        if (fresh) corpus.push_back(std::move(in));
    }
    // the corpus, for later runs and for the whole-acquisition harness
    // (scripts/fuzz_acquisitions.py --corpus build/fuzz/decode/corpus)
    std::filesystem::create_directories("corpus");
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        char name[48];
        std::snprintf(name, sizeof name, "corpus/%06zu", i);
        write_file(name, corpus[i]);
    }
    std::size_t edges = 0;
    for (std::uint8_t b : seen) edges += b != 0;
    std::printf("%s: %zu execs, corpus %zu, edges %zu, slow %zu\n", std::string(entry.name).c_str(), execs,
                corpus.size(), edges, slow);
    return 0;
}
#endif
