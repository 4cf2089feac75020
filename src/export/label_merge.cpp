// The merged window order of one event's label lists.
//
// Each pass takes the smallest first label among the candidate lists.  The
// candidates are the wrapped lists (last label below the first: the readout
// ran past the end of the ring) whose first label no straight list holds,
// when there are both wrapped and straight lists; otherwise every list.  So
// the high labels of a wrapped ring come before the low labels of the other
// channels, unless a straight channel shows that those high labels belong
// after them.  The taken label leaves every list that starts with it.
//
// The passes are not run one by one over every list.  Only the taken label
// matters (every list that starts with it loses its first label, whichever
// list was "chosen"), so a pass needs three answers: the smallest first label
// of all lists, whether wrapped and straight lists both exist, and the
// smallest first label of a wrapped list that no straight list holds.
//  - Labels are replaced by their ranks among the event's distinct labels.
//  - Lists are filed in buckets by their first label, with a lazily cleaned
//    min-heap over the non-empty buckets; a pass empties one bucket.
//  - A list holds label v while its first position is at most the last
//    position of v in it; that changes once per (list, label) pair.
//  - For every label that is the first label of a wrapped list ("watched"),
//    `held` counts the straight lists that hold it, and a second lazy heap
//    gives the smallest watched label whose count is zero.  The count is
//    taken afresh when a label becomes watched, and adjusted when a straight
//    list drops a label or a list turns straight or stops being straight.
// A list's class depends only on its first label (its last one is fixed), so
// only the lists that move in a pass are reclassified.

#include "export/label_merge.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <queue>
#include <vector>

#include "error.hpp"

namespace vexoacq::export_::csv {

namespace {

class LabelMerge {
public:
    explicit LabelMerge(std::span<const std::vector<std::uint16_t>> labels) {
        std::size_t total = 0;
        for (const auto& list : labels) total += list.size();
        std::vector<std::uint16_t> flat;
        flat.reserve(total);
        for (const auto& list : labels) {
            if (list.empty()) continue;
            lists_.push_back({flat.size(), flat.size() + list.size(), 0, Class::Neither});
            flat.insert(flat.end(), list.begin(), list.end());
        }
        check_invariant(lists_.size() < kNone, "too many label lists");

        // Ranks from a bitmap of the labels present: a label's rank is the
        // number of present labels below it.
        std::vector<std::uint64_t> present(kWords, 0);
        for (const std::uint16_t v : flat) present[v >> 6] |= std::uint64_t{1} << (v & 63);
        std::vector<std::uint32_t> below(kWords);
        std::uint32_t d = 0;
        for (std::size_t w = 0; w < kWords; ++w) {
            below[w] = d;
            for (std::uint64_t bits = present[w]; bits != 0; bits &= bits - 1) {
                values_.push_back(static_cast<std::uint16_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
            }
            d += static_cast<std::uint32_t>(std::popcount(present[w]));
        }
        rank_.resize(flat.size());
        for (std::size_t q = 0; q < flat.size(); ++q) {
            const std::uint16_t v = flat[q];
            const std::uint64_t lower = present[v >> 6] & ((std::uint64_t{1} << (v & 63)) - 1);
            rank_[q] = below[v >> 6] + static_cast<std::uint32_t>(std::popcount(lower));
        }

        // The last occurrence of each label in each list, gathered by label
        // (in list order, so each label's entries are sorted by list).
        is_last_.assign(flat.size(), 0);
        std::vector<std::uint32_t> seen(d, kNone);
        std::vector<std::size_t> per_label(d + 1, 0);
        for (std::uint32_t i = 0; i < lists_.size(); ++i) {
            for (std::size_t q = lists_[i].end; q-- > lists_[i].pos;) {
                if (seen[rank_[q]] == i) continue;
                seen[rank_[q]] = i;
                is_last_[q] = 1;
                ++per_label[rank_[q] + 1];
            }
        }
        for (std::size_t r = 0; r < d; ++r) per_label[r + 1] += per_label[r];
        holders_.resize(per_label[d]);
        holders_begin_.assign(per_label.begin(), per_label.end() - 1);
        holders_live_.assign(d, 0);
        for (std::uint32_t i = 0; i < lists_.size(); ++i) {
            for (std::size_t q = lists_[i].pos; q < lists_[i].end; ++q) {
                if (is_last_[q] == 0) continue;
                const std::uint32_t r = rank_[q];
                holders_[holders_begin_[r] + holders_live_[r]++] = {i, q};
            }
        }

        bucket_.assign(d, kNone);
        next_.assign(lists_.size(), kNone);
        wrapped_at_.assign(d, 0);
        held_.assign(d, 0);
        watch_slot_.assign(d, kNone);
        // Every list is classified before any label is watched, so that the
        // first counts see every straight list.
        for (List& l : lists_) {
            l.last = rank_[l.end - 1];
            l.cls = classify(l);
        }
        for (std::uint32_t i = 0; i < lists_.size(); ++i) enter(i);
    }

    std::vector<std::uint16_t> run() {
        std::vector<std::uint16_t> merged;
        merged.reserve(std::min<std::size_t>(rank_.size(), 1024));
        for (;;) {
            while (!firsts_.empty() && bucket_[firsts_.top()] == kNone) firsts_.pop();
            if (firsts_.empty()) return merged;
            std::uint32_t h = firsts_.top();
            if (wrapped_ > 0 && straight_ > 0) {
                while (!free_wrapped_.empty() && !is_free_wrapped(free_wrapped_.top())) free_wrapped_.pop();
                if (!free_wrapped_.empty()) h = free_wrapped_.top();
            }
            if (merged.empty() || merged.back() != values_[h]) merged.push_back(values_[h]);
            std::uint32_t chain = bucket_[h];
            bucket_[h] = kNone;
            while (chain != kNone) {
                const std::uint32_t i = chain;
                chain = next_[i];
                advance(i);
            }
        }
    }

private:
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::size_t kWords = 65536 / 64;
    enum class Class : std::uint8_t { Neither, Wrapped, Straight };
    struct List {
        std::size_t pos;  // first label not yet taken
        std::size_t end;
        std::uint32_t last;  // rank of the last label
        Class cls;
    };
    struct Holder {
        std::uint32_t list;
        std::size_t last_pos;  // last position of the label in that list
    };
    using MinHeap = std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>>;

    bool is_free_wrapped(std::uint32_t r) const { return wrapped_at_[r] > 0 && held_[r] == 0; }

    Class classify(const List& l) const {
        const std::uint32_t f = rank_[l.pos];
        return l.last < f ? Class::Wrapped : f < l.last ? Class::Straight : Class::Neither;
    }

    // Puts list i (not exhausted) into the bucket of its first label.
    void enter(std::uint32_t i) {
        List& l = lists_[i];
        const std::uint32_t r = rank_[l.pos];
        if (bucket_[r] == kNone) firsts_.push(r);
        next_[i] = bucket_[r];
        bucket_[r] = i;
        l.cls = classify(l);
        if (l.cls == Class::Straight) ++straight_;
        if (l.cls == Class::Wrapped) {
            ++wrapped_;
            if (wrapped_at_[r]++ == 0) watch(r);
        }
    }

    // Label r has become the first label of a wrapped list: count the
    // straight lists that hold it, dropping holders that have passed it.
    void watch(std::uint32_t r) {
        watch_slot_[r] = static_cast<std::uint32_t>(watched_.size());
        watched_.push_back(r);
        Holder* h = holders_.data() + holders_begin_[r];
        std::uint32_t live = 0;
        std::uint32_t count = 0;
        for (std::uint32_t k = 0; k < holders_live_[r]; ++k) {
            const List& l = lists_[h[k].list];
            if (l.pos > h[k].last_pos) continue;
            h[live++] = h[k];
            if (l.cls == Class::Straight) ++count;
        }
        holders_live_[r] = live;
        held_[r] = count;
        if (count == 0) free_wrapped_.push(r);
    }
    void unwatch(std::uint32_t r) {
        const std::uint32_t slot = watch_slot_[r];
        watched_[slot] = watched_.back();
        watch_slot_[watched_[slot]] = slot;
        watched_.pop_back();
        watch_slot_[r] = kNone;
    }

    void add_held(std::uint32_t r, int delta) {
        if (delta > 0) {
            ++held_[r];
        } else if (--held_[r] == 0) {
            free_wrapped_.push(r);
        }
    }
    bool holds(std::uint32_t i, std::uint32_t r) const {
        const Holder* b = holders_.data() + holders_begin_[r];
        const Holder* e = b + holders_live_[r];
        const Holder* it = std::lower_bound(b, e, i, [](const Holder& h, std::uint32_t v) { return h.list < v; });
        return it != e && it->list == i && it->last_pos >= lists_[i].pos;
    }
    // List i has turned straight (+1) or stopped being straight (-1): adjust
    // the counts of the watched labels it holds, walking whichever is shorter,
    // its remaining labels or the watched labels.
    void restate(std::uint32_t i, int delta) {
        const List& l = lists_[i];
        if (l.end - l.pos <= watched_.size()) {
            for (std::size_t q = l.pos; q < l.end; ++q) {
                if (is_last_[q] != 0 && wrapped_at_[rank_[q]] > 0) add_held(rank_[q], delta);
            }
        } else {
            for (const std::uint32_t r : watched_) {
                if (holds(i, r)) add_held(r, delta);
            }
        }
    }

    // Takes the first label of list i, which has left its bucket.
    void advance(std::uint32_t i) {
        List& l = lists_[i];
        const std::uint32_t r = rank_[l.pos];
        const Class before = l.cls;
        if (before == Class::Wrapped) {
            --wrapped_;
            if (--wrapped_at_[r] == 0) unwatch(r);
        } else if (before == Class::Straight) {
            --straight_;
            if (is_last_[l.pos] != 0 && wrapped_at_[r] > 0) add_held(r, -1);
        }
        ++l.pos;
        if (l.pos == l.end) return;
        const bool was_straight = before == Class::Straight;
        const bool is_straight = classify(l) == Class::Straight;
        if (was_straight != is_straight) restate(i, is_straight ? 1 : -1);
        enter(i);
    }

    std::vector<List> lists_;
    std::vector<std::uint16_t> values_;    // distinct labels, ascending; a rank indexes it
    std::vector<std::uint32_t> rank_;      // every list's labels as ranks, lists one after the other
    std::vector<std::uint8_t> is_last_;    // position holds the last occurrence of its label in its list
    std::vector<Holder> holders_;          // per label: the lists that hold it, by list
    std::vector<std::size_t> holders_begin_;
    std::vector<std::uint32_t> holders_live_;
    std::vector<std::uint32_t> bucket_;    // per label: first list whose first label it is
    std::vector<std::uint32_t> next_;      // per list: next list of the same bucket
    std::vector<std::uint32_t> wrapped_at_;  // per label: wrapped lists that start with it
    std::vector<std::uint32_t> held_;      // per watched label: straight lists that hold it
    std::vector<std::uint32_t> watched_;
    std::vector<std::uint32_t> watch_slot_;
    MinHeap firsts_;        // labels with a non-empty bucket (and stale ones)
    MinHeap free_wrapped_;  // watched labels no straight list holds (and stale ones)
    std::size_t wrapped_ = 0;
    std::size_t straight_ = 0;
};

}  // namespace

std::vector<std::uint16_t> merge_window_labels(std::span<const std::vector<std::uint16_t>> labels) {
    // Most events: every channel that recorded anything recorded the same
    // windows.  Identical lists move together, and a single list is taken
    // label by label, so the order is that list with runs of a label merged.
    const std::vector<std::uint16_t>* only = nullptr;
    bool identical = true;
    for (const auto& list : labels) {
        if (list.empty()) continue;
        if (only == nullptr) {
            only = &list;
        } else if (list != *only) {
            identical = false;
            break;
        }
    }
    if (only == nullptr) return {};
    if (identical) {
        std::vector<std::uint16_t> merged;
        merged.reserve(only->size());
        std::unique_copy(only->begin(), only->end(), std::back_inserter(merged));
        return merged;
    }
    return LabelMerge(labels).run();
}

}  // namespace vexoacq::export_::csv
