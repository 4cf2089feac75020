#include "export/csv.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "export/number.hpp"

namespace vexoacq::export_::csv {

namespace {

// Writes all of [data, data + n) to fd; 0 or the errno of the failed write.
int write_all(int fd, const char* data, std::size_t n) noexcept {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return EIO;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

// "Bad channel {} at Event {}" and a line feed, straight to the process's
// standard output (not through any buffered stream, so it keeps its place
// among other output of the process).
void print_bad_channel(std::size_t channel, std::size_t ordinal) {
    std::string line = "Bad channel ";
    line += std::to_string(channel);
    line += " at Event ";
    line += std::to_string(ordinal);
    line += '\n';
    (void)write_all(STDOUT_FILENO, line.data(), line.size());
}

// A pending label list of the merge: the labels not yet taken.
struct Pending {
    const std::uint16_t* first;
    const std::uint16_t* last;  // one past the end
    bool wrapped() const noexcept { return last[-1] < first[0]; }
    bool straight() const noexcept { return first[0] < last[-1]; }
};

}  // namespace

// ------------------------------------------------------------------ writer

CsvWriter::CsvWriter(int fd, std::size_t buffer_size) : fd_(fd), buffer_(std::max<std::size_t>(buffer_size, 64)) {}

char* CsvWriter::reserve(std::size_t n) {
    if (failed_) return nullptr;
    if (buffer_.size() - used_ < n) {
        if (!flush()) return nullptr;
        if (buffer_.size() < n) buffer_.resize(n);
    }
    return buffer_.data() + used_;
}

Result<void, ExportError> CsvWriter::flush() {
    if (failed_) return Err{error()};
    if (used_ == 0) return {};
    const int err = write_all(fd_, buffer_.data(), used_);
    used_ = 0;
    if (err != 0) {
        failed_ = true;
        os_error_ = err;
        return Err{error()};
    }
    return {};
}

Result<void, ExportError> CsvWriter::write_record(std::span<const std::string_view> fields) {
    std::size_t n = 1;
    for (const auto f : fields) n += f.size() + 1;
    char* out = reserve(n);
    if (out == nullptr) return Err{error()};
    bool first = true;
    for (const auto f : fields) {
        if (!first) *out++ = ',';
        first = false;
        std::memcpy(out, f.data(), f.size());
        out += f.size();
    }
    *out++ = '\n';
    commit(out);
    return {};
}

std::string block_file_name(std::string_view acquisition_name, std::size_t block) {
    std::string name(acquisition_name);
    name += " (chunk ";
    name += std::to_string(block);
    name += ").csv";
    return name;
}

// ------------------------------------------------------------------- merge
//
// Each pass takes the smallest first label among the candidate lists.  The
// candidates are the wrapped lists (last label below the first: the readout
// ran past the end of the ring) whose first label no straight list holds,
// when there are both wrapped and straight lists; otherwise every list.  So
// the high labels of a wrapped ring come before the low labels of the other
// channels, unless a straight channel shows that those high labels belong
// after them.  The taken label leaves every list that starts with it.

std::vector<std::uint16_t> merge_window_labels(std::span<const std::vector<std::uint16_t>> labels) {
    std::vector<Pending> pending;
    pending.reserve(labels.size());
    std::size_t total = 0;
    for (const auto& list : labels) {
        if (list.empty()) continue;
        pending.push_back({list.data(), list.data() + list.size()});
        total += list.size();
    }
    std::vector<std::uint16_t> merged;
    merged.reserve(std::min<std::size_t>(total, 1024));
    std::vector<std::uint8_t> is_straight(pending.size());

    while (!pending.empty()) {
        bool any_wrapped = false;
        bool any_straight = false;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            is_straight[i] = pending[i].straight() ? 1 : 0;
            any_straight = any_straight || is_straight[i] != 0;
            any_wrapped = any_wrapped || pending[i].wrapped();
        }
        const Pending* chosen = nullptr;
        if (any_wrapped && any_straight) {
            for (std::size_t i = 0; i < pending.size(); ++i) {
                const Pending& w = pending[i];
                if (!w.wrapped()) continue;
                if (chosen != nullptr && w.first[0] >= chosen->first[0]) continue;
                bool held = false;
                for (std::size_t j = 0; j < pending.size() && !held; ++j) {
                    if (is_straight[j] == 0) continue;
                    held = std::find(pending[j].first, pending[j].last, w.first[0]) != pending[j].last;
                }
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
        for (std::size_t i = 0; i < pending.size(); ++i) {
            Pending p = pending[i];
            if (p.first[0] == h) ++p.first;
            if (p.first != p.last) pending[kept++] = p;
        }
        pending.resize(kept);
        is_straight.resize(kept);
    }
    return merged;
}

// ------------------------------------------------------------------ header

template <class E>
std::vector<std::size_t> channels(std::span<const E> events) {
    std::vector<std::uint8_t> seen;
    for (const E& ev : events) {
        if (seen.size() < ev.data.size()) seen.resize(ev.data.size());
        for (std::size_t j = 0; j < ev.data.size(); ++j) {
            if (!ev.data[j].empty()) seen[j] = 1;
        }
    }
    std::vector<std::size_t> out;
    for (std::size_t j = 0; j < seen.size(); ++j) {
        if (seen[j] != 0) out.push_back(j);
    }
    return out;
}

template <class E>
Result<void, ExportError> write_header(CsvWriter& writer, std::span<const E> /*events*/,
                                       std::span<const std::size_t> chans) {
    constexpr bool kTiming = parsing::HasTiming<E>;
    std::vector<std::string> names;
    names.reserve(2 + chans.size() * 4);
    names.emplace_back("acq_num");
    names.emplace_back("evt_num");
    for (const std::size_t c : chans) {
        const std::string n = std::to_string(c);
        names.push_back("windnum_ch" + n);
        names.push_back("data_ch" + n);
        names.push_back("time_ch" + n);
        if constexpr (kTiming) names.push_back("timing_ch" + n);
    }
    std::vector<std::string_view> fields(names.begin(), names.end());
    return writer.write_record(fields);
}

// ------------------------------------------------------------------- rows
//
// The event table has R = M * S rows (M: length of the merged window order,
// S: samples per window).  Row r is sample slot r mod S of merged entry
// r div S.  A listed channel's values fill consecutive rows from the first
// row of the entry that holds its first label; its label, time and timing
// columns follow its own lists: labels and timing one value per window,
// time one value per sample, each either as long as the data (labels and
// timing counted S times) or a single value repeated on all rows.
//
// A channel that cannot be laid out that way (its values would run past the
// table, it has data but no labels, or a list of another length) is
// misplaced: "Bad channel {c} at Event {ordinal}" is printed and its cells
// stay empty for this event.  A channel the event has no slot for, or whose
// data are empty, has empty cells without a notice.

namespace {

struct Placement {
    bool active = false;
    std::size_t start = 0;  // first row
    std::size_t end = 0;    // one past the last row
    std::size_t entry = 0;  // merged entry of the first row
    const float* data = nullptr;
    const std::uint16_t* labels = nullptr;
    bool label_single = false;
    const std::uint16_t* time = nullptr;
    bool time_single = false;
    const std::size_t* timing = nullptr;
    bool timing_single = false;
};

// True when a per-window list of n values fits data of length len: n * S
// values once expanded, or exactly one.
bool per_window_fits(std::size_t n, std::size_t samples, std::size_t len, bool* single) {
    std::size_t expanded = 0;
    if (__builtin_mul_overflow(n, samples, &expanded)) return false;
    *single = expanded == 1 && len != 1;
    return expanded == len || expanded == 1;
}

template <class E>
Placement place_channel(const E& ev, std::size_t c, std::span<const std::uint16_t> merged, std::size_t samples,
                        std::size_t rows, std::size_t ordinal) {
    Placement pl;
    if (c >= ev.data.size() || ev.data[c].empty()) return pl;
    const std::vector<float>& data = ev.data[c];
    const std::size_t len = data.size();
    static const std::vector<std::uint16_t> kNoLabels;
    const std::vector<std::uint16_t>& labels = c < ev.window_labels.size() ? ev.window_labels[c] : kNoLabels;
    const std::vector<std::uint16_t>& time = c < ev.time.size() ? ev.time[c] : kNoLabels;

    auto misplaced = [&] {
        print_bad_channel(c, ordinal);
        return Placement{};
    };

    std::size_t entry = 0;
    if (!merged.empty()) {
        if (labels.empty()) return misplaced();
        const auto it = std::find(merged.begin(), merged.end(), labels[0]);
        check_invariant(it != merged.end(), "first window label missing from the merged window order");
        entry = static_cast<std::size_t>(it - merged.begin());
    }
    const std::size_t start = entry * samples;  // entry < M, so start < R
    if (len > rows - start) return misplaced();

    if (!per_window_fits(labels.size(), samples, len, &pl.label_single)) return misplaced();
    if (time.size() != len && time.size() != 1) return misplaced();
    pl.time_single = time.size() == 1 && len != 1;
    if constexpr (parsing::HasTiming<E>) {
        static const std::vector<std::size_t> kNoTiming;
        const std::vector<std::size_t>& timing = c < ev.timing.size() ? ev.timing[c] : kNoTiming;
        if (!per_window_fits(timing.size(), samples, len, &pl.timing_single)) return misplaced();
        pl.timing = timing.data();
    }
    pl.active = true;
    pl.start = start;
    pl.end = start + len;
    pl.entry = entry;
    pl.data = data.data();
    pl.labels = labels.data();
    pl.time = time.data();
    return pl;
}

}  // namespace

template <class E>
Result<void, ExportError> write_event(CsvWriter& writer, const Params& params, const E& event,
                                      std::span<const std::size_t> chans, std::size_t ordinal) {
    constexpr bool kTiming = parsing::HasTiming<E>;
    constexpr std::size_t kWidth = kTiming ? 4 : 3;
    // Longest text of one column group: ",label,data,time[,timing]".
    constexpr std::size_t kGroupMax =
        1 + number::kMaxU16Text + 1 + number::kMaxFloatText + 1 + number::kMaxU16Text +
        (kTiming ? 1 + number::kMaxFloatText : 0);

    const std::size_t samples = params.samples;
    const std::vector<std::uint16_t> merged = merge_window_labels(event.window_labels);
    std::size_t rows = 0;
    check_invariant(!__builtin_mul_overflow(merged.size(), samples, &rows), "event table size overflows");

    std::vector<Placement> places;
    places.reserve(chans.size());
    for (const std::size_t c : chans) places.push_back(place_channel(event, c, merged, samples, rows, ordinal));

    // "0," and the ordinal open every record of the event.
    char prefix[2 + number::kMaxFloatText];
    prefix[0] = '0';
    prefix[1] = ',';
    const auto prefix_len = static_cast<std::size_t>(number::write_count(prefix + 2, ordinal) - prefix);
    const std::size_t row_max = prefix_len + chans.size() * kGroupMax + 1;

    std::size_t entry = 0;
    std::size_t slot = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        char* out = writer.reserve(row_max);
        if (out == nullptr) return Err{writer.error()};
        std::memcpy(out, prefix, prefix_len);
        out += prefix_len;
        for (const Placement& pl : places) {
            if (!pl.active || r < pl.start || r >= pl.end) {
                std::memcpy(out, ",,,,", kWidth);
                out += kWidth;
                continue;
            }
            const std::size_t i = r - pl.start;
            const std::size_t window = entry - pl.entry;
            *out++ = ',';
            out = number::write_u16(out, pl.label_single ? pl.labels[0] : pl.labels[window]);
            *out++ = ',';
            if (char* e = number::write_rounded(out, pl.data[i])) out = e;
            *out++ = ',';
            out = number::write_u16(out, pl.time_single ? pl.time[0] : pl.time[i]);
            if constexpr (kTiming) {
                *out++ = ',';
                out = number::write_count(out, pl.timing_single ? pl.timing[0] : pl.timing[window]);
            }
        }
        *out++ = '\n';
        writer.commit(out);
        if (++slot == samples) {
            slot = 0;
            ++entry;
        }
    }
    return {};
}

// ------------------------------------------------------------------ blocks

template <class E>
Result<void, ExportError> export_csv(std::span<const E> events, CsvWriter& writer, const Params& params) {
    const std::vector<std::size_t> chans = channels(events);
    VEXO_TRY(write_header(writer, events, std::span<const std::size_t>(chans)));
    for (std::size_t k = 0; k < events.size(); ++k) {
        VEXO_TRY(write_event(writer, params, events[k], std::span<const std::size_t>(chans), k));
    }
    return writer.flush();
}

// One instance per record type, so that tests and benchmarks can drive the
// block writer with events built in code.
#define VEXO_EXPORT_INSTANCES(E)                                                                           \
    template std::vector<std::size_t> channels<E>(std::span<const E>);                                  \
    template Result<void, ExportError> write_header<E>(CsvWriter&, std::span<const E>,                  \
                                                       std::span<const std::size_t>);                   \
    template Result<void, ExportError> write_event<E>(CsvWriter&, const Params&, const E&,              \
                                                      std::span<const std::size_t>, std::size_t);       \
    template Result<void, ExportError> export_csv<E>(std::span<const E>, CsvWriter&, const Params&);

VEXO_EXPORT_INSTANCES(parsing::Zelkv3Event)
VEXO_EXPORT_INSTANCES(parsing::Quopv2Event)
VEXO_EXPORT_INSTANCES(parsing::Brindlexv3Event)
VEXO_EXPORT_INSTANCES(parsing::Zelkv3SEvent)
VEXO_EXPORT_INSTANCES(parsing::Ryk16Event)
VEXO_EXPORT_INSTANCES(parsing::Tolv96Event)
VEXO_EXPORT_INSTANCES(parsing::Mervyv1Event)
VEXO_EXPORT_INSTANCES(parsing::QuopocEvent)
VEXO_EXPORT_INSTANCES(parsing::Skarnv1Event)

#undef VEXO_EXPORT_INSTANCES

}  // namespace vexoacq::export_::csv
