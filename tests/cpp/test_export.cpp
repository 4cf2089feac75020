// The CSV block writer: window-label merge, header, event rows, misplaced
// channels and write failures, on events built in code.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "export/csv.hpp"
#include "support/params.hpp"

namespace csv = vexoacq::export_::csv;
using vexoacq::error::CsvError;
using vexoacq::error::ExportErrorKind;
using vexoacq::parsing::Mervyv1Event;
using vexoacq::parsing::Tolv96Event;
using vexoacq::parsing::Zelkv3Event;
using vexoacq::testing::make_params;

namespace {

using Labels = std::vector<std::vector<std::uint16_t>>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// ------------------------------------------------------------------ merge

struct MergeCase {
    const char* name;
    Labels input;
    std::vector<std::uint16_t> merged;
};

class MergeWindowLabels : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeWindowLabels, GivesTheMergedOrder) {
    const auto& c = GetParam();
    EXPECT_EQ(csv::merge_window_labels(c.input), c.merged);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeWindowLabels,
    ::testing::Values(
        MergeCase{"wrapped_before_straight", {{510, 511, 0, 1}, {0, 1, 2}}, {510, 511, 0, 1, 2}},
        MergeCase{"straight_holds_wrapped_head", {{510, 511, 0}, {509, 510, 511}}, {509, 510, 511, 0}},
        MergeCase{"three_lists", {{7, 0}, {1, 2}, {6, 7}}, {1, 2, 6, 7, 0}},
        MergeCase{"run_of_equal_labels", {{3, 3, 4}}, {3, 4}},
        MergeCase{"no_lists", {}, {}},
        MergeCase{"only_empty_lists", {{}, {}}, {}},
        MergeCase{"single_label", {{7}}, {7}},
        MergeCase{"equal_ends_recur", {{5, 6, 5}}, {5, 6, 5}},
        MergeCase{"input_order_irrelevant", {{2, 3}, {0, 1}}, {0, 1, 2, 3}},
        MergeCase{"identical_wrapped_lists", {{510, 511, 0, 1}, {510, 511, 0, 1}}, {510, 511, 0, 1}},
        MergeCase{"shared_label_taken_once", {{8, 9}, {9, 10}}, {8, 9, 10}},
        MergeCase{"empty_list_between", {{}, {4, 5}}, {4, 5}},
        MergeCase{"full_ring_and_more", {{2, 3, 0, 1, 2}}, {2, 3, 0, 1, 2}},
        MergeCase{"smallest_wrapped_head_wins", {{6, 7, 0}, {5, 7, 1}, {1, 2}}, {5, 6, 7, 0, 1, 2}}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

// The merge rule run literally, pass by pass: classify every pending list,
// pick the candidates, take the smallest first label, drop it from every
// list that starts with it.  Slow (every pass walks every list, and the
// candidate check searches the straight lists), but plainly the rule; the
// merge under test must give exactly its output.
std::vector<std::uint16_t> merge_by_passes(const Labels& labels) {
    std::vector<std::vector<std::uint16_t>> pending;
    for (const auto& l : labels) {
        if (!l.empty()) pending.push_back(l);
    }
    std::vector<std::uint16_t> merged;
    while (!pending.empty()) {
        auto wrapped = [](const std::vector<std::uint16_t>& l) { return l.back() < l.front(); };
        auto straight = [](const std::vector<std::uint16_t>& l) { return l.front() < l.back(); };
        const bool any_wrapped = std::any_of(pending.begin(), pending.end(), wrapped);
        const bool any_straight = std::any_of(pending.begin(), pending.end(), straight);
        std::vector<const std::vector<std::uint16_t>*> candidates;
        if (any_wrapped && any_straight) {
            for (const auto& w : pending) {
                if (!wrapped(w)) continue;
                const bool held = std::any_of(pending.begin(), pending.end(), [&](const auto& s) {
                    return straight(s) && std::find(s.begin(), s.end(), w.front()) != s.end();
                });
                if (!held) candidates.push_back(&w);
            }
        }
        if (candidates.empty()) {
            for (const auto& p : pending) candidates.push_back(&p);
        }
        const auto* chosen = candidates.front();
        for (const auto* c : candidates) {
            if (c->front() < chosen->front()) chosen = c;
        }
        const std::uint16_t h = chosen->front();
        if (merged.empty() || merged.back() != h) merged.push_back(h);
        std::vector<std::vector<std::uint16_t>> kept;
        for (auto& p : pending) {
            if (p.front() == h) p.erase(p.begin());
            if (!p.empty()) kept.push_back(std::move(p));
        }
        pending = std::move(kept);
    }
    return merged;
}

TEST(MergeWindowLabelsOracle, AgreesOnTheTableOfCases) {
    // The oracle itself gives the worked results, so that agreement below
    // means agreement with the rule.
    EXPECT_EQ(merge_by_passes({{510, 511, 0, 1}, {0, 1, 2}}), (std::vector<std::uint16_t>{510, 511, 0, 1, 2}));
    EXPECT_EQ(merge_by_passes({{510, 511, 0}, {509, 510, 511}}), (std::vector<std::uint16_t>{509, 510, 511, 0}));
    EXPECT_EQ(merge_by_passes({{7, 0}, {1, 2}, {6, 7}}), (std::vector<std::uint16_t>{1, 2, 6, 7, 0}));
    EXPECT_EQ(merge_by_passes({{5, 6, 5}}), (std::vector<std::uint16_t>{5, 6, 5}));
}

// One random event's label lists.  The shapes are those that make the rule
// branch: ring readouts that wrap or not (small rings, so that lists share
// labels, and the 16-bit edge), repeats, and lists of arbitrary labels that
// change class as they shrink.
Labels random_lists(std::mt19937_64& rng) {
    auto below = [&](std::uint64_t n) { return static_cast<std::uint32_t>(rng() % n); };
    static constexpr std::uint32_t kRings[] = {3, 4, 8, 16, 512, 65536};
    Labels out(below(7));
    const std::uint32_t ring = kRings[below(std::size(kRings))];
    for (auto& list : out) {
        const std::uint32_t len = below(9);
        switch (below(4)) {
            case 0:
            case 1: {  // a readout of consecutive windows, maybe over the ring's end
                std::uint32_t w = ring == 65536 && below(2) == 0 ? 65536 - below(4) : below(ring);
                for (std::uint32_t k = 0; k < len; ++k) {
                    list.push_back(static_cast<std::uint16_t>(w % ring));
                    w = below(6) == 0 ? w : w + 1;  // now and then a window twice
                }
                break;
            }
            case 2:  // arbitrary labels from a small alphabet
                for (std::uint32_t k = 0; k < len; ++k) list.push_back(static_cast<std::uint16_t>(below(6)));
                break;
            default:  // arbitrary labels from the ring
                for (std::uint32_t k = 0; k < len; ++k) list.push_back(static_cast<std::uint16_t>(below(ring)));
                break;
        }
    }
    // Now and then every channel recorded the same windows.
    if (out.size() > 1 && below(5) == 0) {
        for (auto& list : out) list = below(4) == 0 ? std::vector<std::uint16_t>{} : out.front();
    }
    return out;
}

std::string show(const Labels& lists) {
    std::string out;
    for (const auto& l : lists) {
        out += "[";
        for (std::size_t k = 0; k < l.size(); ++k) out += (k ? ", " : "") + std::to_string(l[k]);
        out += "] ";
    }
    return out;
}

TEST(MergeWindowLabelsOracle, RandomEventsGiveThePassByPassOrder) {
    std::mt19937_64 rng(0x6d65726765ULL);
    std::size_t wrapped_and_straight = 0;
    for (int n = 0; n < 20000; ++n) {
        const Labels lists = random_lists(rng);
        const auto expected = merge_by_passes(lists);
        ASSERT_EQ(csv::merge_window_labels(lists), expected) << show(lists);
        bool w = false, s = false;
        for (const auto& l : lists) {
            w = w || (!l.empty() && l.back() < l.front());
            s = s || (!l.empty() && l.front() < l.back());
        }
        if (w && s) ++wrapped_and_straight;
    }
    // The cases reach the branch where wrapped lists are candidates apart.
    EXPECT_GT(wrapped_and_straight, 1500u);
}

// Lists that change class many times as they shrink (labels alternating
// around the last one), beside wrapped lists whose first labels they hold:
// longer than the random cases, against the oracle.
TEST(MergeWindowLabelsOracle, ListsThatChangeClassRepeatedly) {
    std::mt19937_64 rng(0x666c6970ULL);
    for (int n = 0; n < 200; ++n) {
        Labels lists(2 + rng() % 6);
        for (auto& l : lists) {
            const std::size_t len = 1 + rng() % 60;
            const auto mid = static_cast<std::uint16_t>(20 + rng() % 20);
            for (std::size_t k = 0; k + 1 < len; ++k) {
                const auto off = static_cast<std::uint16_t>(rng() % 20);
                l.push_back(k % 2 == 0 ? static_cast<std::uint16_t>(mid - off) : static_cast<std::uint16_t>(mid + off));
            }
            l.push_back(mid);
        }
        ASSERT_EQ(csv::merge_window_labels(lists), merge_by_passes(lists)) << show(lists);
    }
}

// The sanitizer builds run this code many times slower (the AddressSanitizer
// one, unoptimised, ten to fifteen times); CPU-time limits scale with it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned kSlowdown = 30;
#else
constexpr unsigned kSlowdown = 1;
#endif

// Runs `body` in a child process under a limit of `cpu_seconds` of CPU time
// (RLIMIT_CPU, which the machine's load does not stretch) and, where no
// sanitizer reserves the address space, a memory limit of `bytes`.  A wall
// clock limit of minutes only ends a child that waits without using CPU.
// Success is the child's returning true within the limits.
constexpr unsigned kChildWallSeconds = 240;  // below ctest's 300 s per test

template <class F>
::testing::AssertionResult bounded_in_child(unsigned cpu_seconds, std::size_t bytes, F body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return ::testing::AssertionFailure() << "fork failed";
    if (pid == 0) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        const rlimit as{bytes, bytes};
        ::setrlimit(RLIMIT_AS, &as);
#else
        (void)bytes;
#endif
        const rlimit cpu{cpu_seconds, cpu_seconds + 5};  // SIGXCPU, then SIGKILL
        ::setrlimit(RLIMIT_CPU, &cpu);
        ::alarm(kChildWallSeconds);
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        if (sig == SIGXCPU || sig == SIGKILL) {
            return ::testing::AssertionFailure() << "over the CPU-time limit of " << cpu_seconds << " s";
        }
        if (sig == SIGALRM) {
            return ::testing::AssertionFailure() << "over the wall-clock limit of " << kChildWallSeconds << " s";
        }
        return ::testing::AssertionFailure() << "killed by signal " << sig;
    }
    if (WEXITSTATUS(status) != 0) return ::testing::AssertionFailure() << "wrong result or out of memory";
    return ::testing::AssertionSuccess();
}

// 47 channels whose readout wrapped past 65535 and a 48th that stopped just
// short of it, beside 48 straight channels: 4000 labels each.  The 48th list
// holds the first label of every wrapped one, so on every pass each wrapped
// list is checked against all straight lists and none is a candidate apart.
// Pass by pass that took about 4.6 s per event; a block of 10 such events
// must merge within about ten times what it takes now (0.14 s of CPU in
// all).
TEST(MergeWindowLabelsBound, WrappedBesideStraightLists) {
    Labels lists;
    for (std::uint32_t j = 0; j < 48; ++j) {
        std::vector<std::uint16_t> w, s;
        for (std::uint32_t k = 0; k < 4000; ++k) {
            w.push_back(static_cast<std::uint16_t>((61536u + 2 * (47 - j) + k) % 65536u));
            s.push_back(static_cast<std::uint16_t>(2000u + j + k));
        }
        lists.push_back(std::move(w));
        lists.push_back(std::move(s));
    }
    // The straight labels in order, then the high labels (the 48th list takes
    // them, the wrapped lists follow it), then the wrapped lists' low labels.
    std::vector<std::uint16_t> expected;
    for (std::uint32_t v = 2000; v <= 2000 + 47 + 3999; ++v) expected.push_back(static_cast<std::uint16_t>(v));
    for (std::uint32_t v = 61536; v < 65536; ++v) expected.push_back(static_cast<std::uint16_t>(v));
    for (std::uint32_t v = 0; v < 2 * 47; ++v) expected.push_back(static_cast<std::uint16_t>(v));
    EXPECT_TRUE(bounded_in_child(2 * kSlowdown, std::size_t{1} << 30, [&] {
        for (int event = 0; event < 10; ++event) {
            if (csv::merge_window_labels(lists) != expected) return false;
        }
        return true;
    }));
}

// ------------------------------------------------------------ rendering

// An in-memory file for the writer.
class MemFile {
public:
    MemFile() : fd_(memfd_create("export-test", MFD_CLOEXEC)) {}
    ~MemFile() { ::close(fd_); }
    int fd() const { return fd_; }
    std::string contents() const {
        std::string out;
        char buf[65536];
        off_t off = 0;
        for (;;) {
            const ssize_t n = ::pread(fd_, buf, sizeof buf, off);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
            off += n;
        }
        return out;
    }

private:
    int fd_;
};

template <class E>
std::string render(const std::vector<E>& events, std::size_t samples) {
    MemFile f;
    csv::CsvWriter writer(f.fd());
    const auto params = make_params("zelkv3", 1, 1, samples);
    auto r = csv::export_csv(std::span<const E>(events), writer, params);
    EXPECT_TRUE(r.ok());
    return f.contents();
}

// Rows of one event after the header, and what it printed.
template <class E>
std::pair<std::string, std::string> rows_of(const E& event, std::size_t samples, std::vector<std::size_t> chans,
                                            std::size_t ordinal) {
    MemFile f;
    csv::CsvWriter writer(f.fd());
    const auto params = make_params("zelkv3", 1, 1, samples);
    ::testing::internal::CaptureStdout();
    auto r = csv::write_event(writer, params, event, std::span<const std::size_t>(chans), ordinal);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(writer.flush().ok());
    return {f.contents(), printed};
}

template <class E>
E make_event(std::vector<std::vector<float>> data, Labels labels, Labels time) {
    E e;
    e.data = std::move(data);
    e.window_labels = std::move(labels);
    e.time = std::move(time);
    return e;
}

Zelkv3Event zelk(std::vector<std::vector<float>> data, Labels labels, Labels time) {
    return make_event<Zelkv3Event>(std::move(data), std::move(labels), std::move(time));
}

// ----------------------------------------------------------------- header

TEST(Header, ChannelsInNumericOrderAcrossEvents) {
    // Channel 10 holds data only in the second event; 1 has labels but no data.
    std::vector<Zelkv3Event> events(2);
    events[0] = zelk({{1}, {}, {2}}, {{0}, {0}, {0}}, {{0}, {}, {0}});
    events[1].resize_channels(11);
    events[1].data[10] = {3};
    events[1].window_labels[10] = {0};
    events[1].time[10] = {0};
    EXPECT_EQ(csv::channels(std::span<const Zelkv3Event>(events)), (std::vector<std::size_t>{0, 2, 10}));
    const std::string file = render(events, 1);
    EXPECT_EQ(file.substr(0, file.find('\n')),
              "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch2,data_ch2,time_ch2,"
              "windnum_ch10,data_ch10,time_ch10");
    // The second event has no slot for 0 and 2: their cells are empty.
    EXPECT_EQ(file.substr(file.find('\n') + 1), "0,0,0,1,0,0,2,0,,,\n0,1,,,,,,,0,3,0\n");
}

TEST(Header, MervyGroupsHaveTiming) {
    Mervyv1Event e = make_event<Mervyv1Event>({{}, {1}}, {{}, {3}}, {{}, {0}});
    e.timing = {{}, {9}};
    EXPECT_EQ(render(std::vector<Mervyv1Event>{e}, 1),
              "acq_num,evt_num,windnum_ch1,data_ch1,time_ch1,timing_ch1\n0,0,3,1,0,9\n");
}

TEST(Header, BlocksWithoutDataHaveTwoFields) {
    EXPECT_EQ(render(std::vector<Zelkv3Event>{}, 2), "acq_num,evt_num\n");
    // Labels but no data: no channel group; the rows keep their two fields.
    EXPECT_EQ(render(std::vector<Zelkv3Event>{zelk({{}}, {{4}}, {{}})}, 2), "acq_num,evt_num\n0,0\n0,0\n");
}

// ------------------------------------------------------------------- rows

TEST(Rows, OneChannelOneWindow) {
    EXPECT_EQ(render(std::vector<Zelkv3Event>{zelk({{1, 2}}, {{5}}, {{0, 1}})}, 2),
              "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n0,0,5,1,0\n0,0,5,2,1\n");
}

TEST(Rows, TwoChannelsWithWrappedRing) {
    const auto e = zelk({{0, 1, 2, 3, 4, 5, 6, 7}, {10, 11, 12, 13, 14, 15}}, {{510, 511, 0, 1}, {0, 1, 2}},
                        {{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5}});
    const auto [rows, printed] = rows_of(e, 2, {0, 1}, 0);
    EXPECT_EQ(rows,
              "0,0,510,0,0,,,\n"
              "0,0,510,1,1,,,\n"
              "0,0,511,2,2,,,\n"
              "0,0,511,3,3,,,\n"
              "0,0,0,4,4,0,10,0\n"
              "0,0,0,5,5,0,11,1\n"
              "0,0,1,6,6,1,12,2\n"
              "0,0,1,7,7,1,13,3\n"
              "0,0,,,,2,14,4\n"
              "0,0,,,,2,15,5\n");
    EXPECT_EQ(printed, "");
}

TEST(Rows, OrdinalsCountCollectedEvents) {
    const auto e = zelk({{1}}, {{0}}, {{0}});
    EXPECT_EQ(render(std::vector<Zelkv3Event>{e, e, e}, 1),
              "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n0,0,0,1,0\n0,1,0,1,0\n0,2,0,1,0\n");
    EXPECT_EQ(rows_of(e, 1, {0}, 7).first, "0,7,0,1,0\n");
    EXPECT_EQ(rows_of(e, 1, {0}, 16777217).first, "0,16777216,0,1,0\n");
}

TEST(Rows, CellText) {
    const auto e = zelk({{12.34f, -0.04f, 99.95f, 5.0f, kNaN, -2.25f}}, {{511}}, {{0, 1, 2, 3, 4, 65535}});
    EXPECT_EQ(rows_of(e, 6, {0}, 0).first,
              "0,0,511,12.3,0\n0,0,511,-0,1\n0,0,511,100,2\n0,0,511,5,3\n0,0,511,,4\n0,0,511,-2.3,65535\n");
}

TEST(Rows, MervyTimingPerWindow) {
    Mervyv1Event e = make_event<Mervyv1Event>({{1, 2, 3, 4}}, {{0, 1}}, {{0, 1, 2, 3}});
    e.timing = {{16777217, 5}};
    EXPECT_EQ(rows_of(e, 2, {0}, 0).first, "0,0,0,1,0,16777216\n0,0,0,2,1,16777216\n0,0,1,3,2,5\n0,0,1,4,3,5\n");
}

TEST(Rows, EmptyChannelListGivesTwoFields) {
    const auto e = zelk({{1, 2}}, {{3}}, {{0, 1}});
    EXPECT_EQ(rows_of(e, 2, {}, 4).first, "0,4\n0,4\n");
}

TEST(Rows, SingleTimeValueRepeats) {
    const auto e = zelk({{1, 2, 3}}, {{6}}, {{9}});
    EXPECT_EQ(rows_of(e, 3, {0}, 0).first, "0,0,6,1,9\n0,0,6,2,9\n0,0,6,3,9\n");
}

// ------------------------------------------------------- misplaced channels

struct MisplacedCase {
    const char* name;
    Zelkv3Event event;
    std::size_t samples;
    std::vector<std::size_t> channels;
    const char* rows;
    const char* printed;
};

class MisplacedChannel : public ::testing::TestWithParam<MisplacedCase> {};

TEST_P(MisplacedChannel, NoticeAndEmptyCells) {
    const auto& c = GetParam();
    const auto [rows, printed] = rows_of(c.event, c.samples, c.channels, 3);
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(printed, c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MisplacedChannel,
    ::testing::Values(
        // Values that run past the table.
        MisplacedCase{"runs_past_table", zelk({{1, 2, 3, 4}}, {{4, 4}}, {{0, 1, 2, 3}}), 2, {0}, "0,3,,,\n0,3,,,\n",
                      "Bad channel 0 at Event 3\n"},
        MisplacedCase{"no_labels_anywhere", zelk({{1}, {2}}, {{}, {}}, {{0}, {0}}), 1, {0, 1}, "",
                      "Bad channel 0 at Event 3\nBad channel 1 at Event 3\n"},
        MisplacedCase{"zero_samples", zelk({{1}, {2}}, {{0}, {1}}, {{0}, {0}}), 0, {0, 1}, "",
                      "Bad channel 0 at Event 3\nBad channel 1 at Event 3\n"},
        // Data but no labels while another channel has some.
        MisplacedCase{"data_without_labels", zelk({{1}, {2}}, {{0}, {}}, {{0}, {0}}), 1, {0, 1}, "0,3,0,1,0,,,\n",
                      "Bad channel 1 at Event 3\n"},
        // Data but no time positions (tolv96 slots above `channels`, a mervy
        // time run that reached 65536).
        MisplacedCase{"data_without_time", zelk({{1, 2}, {3, 4}}, {{0}, {0}}, {{0, 1}, {}}), 2, {0, 1},
                      "0,3,0,1,0,,,\n0,3,0,2,1,,,\n", "Bad channel 1 at Event 3\n"},
        MisplacedCase{"time_of_other_length", zelk({{1, 2}}, {{0}}, {{0, 1, 2}}), 2, {0}, "0,3,,,\n0,3,,,\n",
                      "Bad channel 0 at Event 3\n"},
        MisplacedCase{"more_labels_than_data", zelk({{1, 2}}, {{0, 1}}, {{0, 1}}), 2, {0}, "0,3,,,\n0,3,,,\n0,3,,,\n0,3,,,\n",
                      "Bad channel 0 at Event 3\n"},
        // A listed channel the event has no slot for: empty cells, no notice.
        MisplacedCase{"channel_not_carried", zelk({{1}}, {{0}}, {{0}}), 1, {0, 5}, "0,3,0,1,0,,,\n", ""},
        MisplacedCase{"empty_data", zelk({{1}, {}}, {{0}, {0}}, {{0}, {}}), 1, {0, 1}, "0,3,0,1,0,,,\n", ""}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(MisplacedChannelTypes, Tolv96SlotsAboveChannelCount) {
    Tolv96Event e;
    e.resize_channels(96);
    e.ecc_errors.resize(96);
    for (std::size_t c = 0; c < 96; ++c) {
        e.data[c] = {1.0f, 2.0f};
        e.window_labels[c] = {0};
        if (c < 4) e.time[c] = {0, 1};
    }
    std::vector<std::size_t> chans(96);
    for (std::size_t c = 0; c < 96; ++c) chans[c] = c;
    const auto [rows, printed] = rows_of(e, 2, chans, 0);
    std::string expected_notice;
    for (std::size_t c = 4; c < 96; ++c) expected_notice += "Bad channel " + std::to_string(c) + " at Event 0\n";
    EXPECT_EQ(printed, expected_notice);
    std::string empty;
    for (std::size_t c = 4; c < 96; ++c) empty += ",,,";
    EXPECT_EQ(rows, "0,0,0,1,0,0,1,0,0,1,0,0,1,0" + empty + "\n0,0,0,2,1,0,2,1,0,2,1,0,2,1" + empty + "\n");
}

TEST(MisplacedChannelTypes, MervyTimingOfOtherLength) {
    Mervyv1Event e = make_event<Mervyv1Event>({{1, 2}, {3, 4}}, {{0}, {0}}, {{0, 1}, {0, 1}});
    e.timing = {{5}, {6, 7}};
    const auto [rows, printed] = rows_of(e, 2, {0, 1}, 2);
    EXPECT_EQ(rows, "0,2,0,1,0,5,,,,\n0,2,0,2,1,5,,,,\n");
    EXPECT_EQ(printed, "Bad channel 1 at Event 2\n");
    e.timing.resize(1);  // no timing slot for channel 1 at all
    EXPECT_EQ(rows_of(e, 2, {0, 1}, 2).second, "Bad channel 1 at Event 2\n");
}

// ---------------------------------------------------------- write failures

TEST(WriteFailure, FullDeviceIsCsvError) {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    csv::CsvWriter writer(fd);
    const auto params = make_params("zelkv3", 1, 1, 1);
    const std::vector<Zelkv3Event> events{zelk({{1}}, {{0}}, {{0}})};
    auto r = csv::export_csv(std::span<const Zelkv3Event>(events), writer, params);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ExportErrorKind::Csv);
    EXPECT_EQ(std::get<CsvError>(r.error().cause).os_error, ENOSPC);
    ::close(fd);
}

// A file-size limit stops the writes part-way through a block: the error is
// reported, the rows after it are not attempted, and the file holds a prefix
// of the whole table.
TEST(WriteFailure, MidBlockKeepsWhatWasWritten) {
    std::vector<Zelkv3Event> events;
    for (int k = 0; k < 40; ++k) {
        std::vector<float> data(4096);
        std::vector<std::uint16_t> time(4096);
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<float>(i) * 0.37f;
            time[i] = static_cast<std::uint16_t>(i);
        }
        events.push_back(zelk({data, data}, {{0, 1, 2, 3}, {0, 1, 2, 3}}, {time, time}));
    }
    const std::string full = render(events, 1024);
    ASSERT_GT(full.size(), 3u << 20);

    char path[] = "/tmp/vexo-export-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = 3u << 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    csv::CsvWriter writer(fd);
    const auto params = make_params("zelkv3", 1, 1, 1024);
    auto r = csv::export_csv(std::span<const Zelkv3Event>(events), writer, params);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);

    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ExportErrorKind::Csv);
    EXPECT_EQ(std::get<CsvError>(r.error().cause).os_error, EFBIG);
    std::string got(limited.rlim_cur, '\0');
    EXPECT_EQ(::pread(fd, got.data(), got.size() + 1, 0), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, full.substr(0, got.size()));
    ::close(fd);
    ::unlink(path);
}

}  // namespace
