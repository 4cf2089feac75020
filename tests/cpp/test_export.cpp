// The CSV block writer: window-label merge, header, event rows, misplaced
// channels and write failures, on events built in code.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <limits>
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
