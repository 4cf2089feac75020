// The window-label merge of one event (export::csv::merge_window_labels)
// beside the same rule run pass by pass over every pending list, on event
// shapes from real boards and on a crafted one.  Items processed are labels.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "export/csv.hpp"

namespace {

namespace csv = vexoacq::export_::csv;
using Labels = std::vector<std::vector<std::uint16_t>>;

// The rule taken literally: every pass classifies every pending list and
// searches the straight lists for each wrapped list's first label.
std::vector<std::uint16_t> merge_pass_by_pass(const Labels& labels) {
    struct Pending {
        const std::uint16_t* first;
        const std::uint16_t* last;
        bool wrapped() const { return last[-1] < first[0]; }
        bool straight() const { return first[0] < last[-1]; }
    };
    std::vector<Pending> pending;
    for (const auto& l : labels) {
        if (!l.empty()) pending.push_back({l.data(), l.data() + l.size()});
    }
    std::vector<std::uint16_t> merged;
    while (!pending.empty()) {
        const bool any_wrapped = std::any_of(pending.begin(), pending.end(), [](const Pending& p) { return p.wrapped(); });
        const bool any_straight = std::any_of(pending.begin(), pending.end(), [](const Pending& p) { return p.straight(); });
        const Pending* chosen = nullptr;
        if (any_wrapped && any_straight) {
            for (const Pending& w : pending) {
                if (!w.wrapped() || (chosen != nullptr && w.first[0] >= chosen->first[0])) continue;
                const bool held = std::any_of(pending.begin(), pending.end(), [&](const Pending& s) {
                    return s.straight() && std::find(s.first, s.last, w.first[0]) != s.last;
                });
                if (!held) chosen = &w;
            }
        }
        if (chosen == nullptr) {
            for (const Pending& p : pending) {
                if (chosen == nullptr || p.first[0] < chosen->first[0]) chosen = &p;
            }
        }
        const std::uint16_t h = chosen->first[0];
        if (merged.empty() || merged.back() != h) merged.push_back(h);
        std::size_t kept = 0;
        for (Pending p : pending) {
            if (p.first[0] == h) ++p.first;
            if (p.first != p.last) pending[kept++] = p;
        }
        pending.resize(kept);
    }
    return merged;
}

// 96 channels of 8 windows on a ring of 512, all starting at 510.
Labels tolv96_alike() {
    Labels out(96);
    for (auto& l : out) {
        for (std::uint16_t w = 0; w < 8; ++w) l.push_back(static_cast<std::uint16_t>((510 + w) % 512));
    }
    return out;
}

// 64 channels of 32 windows on a ring of 256 whose readouts start up to 40
// windows apart, so that some wrap and some do not.
Labels staggered() {
    std::mt19937 rng(7);
    Labels out(64);
    for (auto& l : out) {
        const auto start = static_cast<std::uint16_t>(230 + rng() % 40);
        for (std::uint16_t w = 0; w < 32; ++w) l.push_back(static_cast<std::uint16_t>((start + w) % 256));
    }
    return out;
}

// 47 wrapped lists and one that ends at 65535 beside 48 straight lists,
// 4000 labels each: every wrapped first label is held, late in the lists.
Labels crafted() {
    Labels out;
    for (std::uint32_t j = 0; j < 48; ++j) {
        std::vector<std::uint16_t> w, s;
        for (std::uint32_t k = 0; k < 4000; ++k) {
            w.push_back(static_cast<std::uint16_t>((61536u + 2 * (47 - j) + k) % 65536u));
            s.push_back(static_cast<std::uint16_t>(2000u + j + k));
        }
        out.push_back(std::move(w));
        out.push_back(std::move(s));
    }
    return out;
}

template <class F>
void run(benchmark::State& state, const Labels& labels, F merge) {
    std::size_t n = 0;
    for (const auto& l : labels) n += l.size();
    for (auto _ : state) {
        auto merged = merge(labels);
        benchmark::DoNotOptimize(merged.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

auto fast = [](const Labels& l) { return csv::merge_window_labels(std::span<const std::vector<std::uint16_t>>(l)); };
auto slow = [](const Labels& l) { return merge_pass_by_pass(l); };

// Identical lists: the common event.
void BM_MergeTolv96(benchmark::State& s) { run(s, tolv96_alike(), fast); }
void BM_MergeTolv96PassByPass(benchmark::State& s) { run(s, tolv96_alike(), slow); }
// Lists that differ, some wrapped.
void BM_MergeStaggered(benchmark::State& s) { run(s, staggered(), fast); }
void BM_MergeStaggeredPassByPass(benchmark::State& s) { run(s, staggered(), slow); }
// The crafted event.
void BM_MergeCrafted(benchmark::State& s) { run(s, crafted(), fast); }
void BM_MergeCraftedPassByPass(benchmark::State& s) { run(s, crafted(), slow); }

BENCHMARK(BM_MergeTolv96);
BENCHMARK(BM_MergeTolv96PassByPass);
BENCHMARK(BM_MergeStaggered);
BENCHMARK(BM_MergeStaggeredPassByPass);
BENCHMARK(BM_MergeCrafted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeCraftedPassByPass)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
