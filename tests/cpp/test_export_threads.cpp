// The block writer on several threads: the same file bytes and the same
// "Bad channel" notices, in the same order, as the whole-block writer over
// the collected events, for every thread count and batch size; a write
// failure that stops at the same byte and notice; the second pass checked
// against the first; a stop hook that abandons the block; tolv96 events of
// mixed shapes decoded into the reused records; and the writer's
// batched copy of formatted records.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "export/csv.hpp"
#include "parsing/reused_record.hpp"
#include "parsing/tolv96.hpp"
#include "support/chunk_builder.hpp"
#include "support/decoder_testing.hpp"
#include "support/params.hpp"
#include "support/tempdir.hpp"

namespace fs = std::filesystem;
namespace csv = vexoacq::export_::csv;
using vexoacq::InternalFault;
using vexoacq::Result;
using vexoacq::acquisition::Acquisition;
using vexoacq::acquisition::Params;
using vexoacq::calibration::Corrections;
using vexoacq::calibration::Pedestals;
using vexoacq::error::CsvError;
using vexoacq::error::ExportError;
using vexoacq::error::ExportErrorKind;
using vexoacq::parsing::Zelkv3Event;
using vexoacq::testing::make_params;
using vexoacq::testing::put_be16;
using vexoacq::testing::TempDir;

namespace {

constexpr std::size_t kChannels = 4;
constexpr std::size_t kSamples = 32;
constexpr std::size_t kDistinct = 300;

// A zelkv3 event under the default keys: some of the four channels, each
// with the same number of windows.  Labels run on from a start near the top
// of the 8-bit ring (so some wrap); one channel in five repeats a single
// label, which leaves it more values than the merged table has rows (a
// misplaced channel).  One event in ten has an odd byte and fails to decode.
std::vector<std::uint8_t> mixed_event(std::mt19937& rng) {
    std::vector<std::size_t> present;
    for (std::size_t c = 0; c < kChannels; ++c)
        if (rng() % 3 != 0) present.push_back(c);
    if (present.empty()) present.push_back(rng() % kChannels);
    const std::size_t windows = 1 + rng() % 3;
    std::vector<unsigned> start(kChannels);
    std::vector<bool> repeat(kChannels);
    for (std::size_t c = 0; c < kChannels; ++c) {
        start[c] = 250 + static_cast<unsigned>(rng() % 10);
        repeat[c] = windows > 1 && rng() % 5 == 0;
    }
    std::vector<std::uint8_t> out;
    put_be16(out, 0x0102);
    put_be16(out, 0x0300);
    put_be16(out, 0);
    // Window w belongs to the (w mod k)-th present channel.
    for (std::size_t w = 0; w < windows * present.size(); ++w) {
        const std::size_t c = present[w % present.size()];
        const unsigned j = static_cast<unsigned>(w / present.size());
        const unsigned label = (start[c] + (repeat[c] ? 0 : j)) % 256;
        put_be16(out, static_cast<std::uint16_t>((c << 9) | (label << 1)));
        for (std::size_t s = 0; s < kSamples; ++s) put_be16(out, static_cast<std::uint16_t>((rng() % 4096) << 1));
    }
    put_be16(out, 0xFFFF);
    if (rng() % 10 == 0) out.push_back(0);
    return out;
}

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

Params params() { return make_params("zelkv3", kChannels, 256, kSamples); }

// Pedestals for labels 0 to 253 only: events with a window labelled 254 or
// 255 fail their correction and are left out.
Pedestals pedestals() {
    Pedestals t;
    t.data.resize(kChannels);
    for (std::size_t c = 0; c < kChannels; ++c) {
        t.data[c].resize(254);
        for (std::size_t w = 0; w < 254; ++w)
            for (std::size_t k = 0; k < kSamples; ++k)
                t.data[c][w].push_back(0.05f * static_cast<float>(c + w + k) + 0.03f);
    }
    return t;
}

Corrections corrections(bool with_table) {
    Corrections c(params());
    if (with_table) c = std::move(c).with_pedestals(pedestals());
    return c;
}

struct Outcome {
    std::string file;
    std::string printed;
    bool ok = false;
    ExportErrorKind kind{};
    int os_error = 0;
};

void record(Outcome& o, const Result<void, ExportError>& r) {
    o.ok = r.ok();
    if (!r.ok()) {
        o.kind = r.error().kind;
        if (const auto* e = std::get_if<CsvError>(&r.error().cause)) o.os_error = e->os_error;
    }
}

// Output files are events under a file-size limit while `limit` is set; the
// signal that the limit raises is ignored so that the write fails instead.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &old_);
        handler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit l = old_;
        l.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &l);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, handler_);
    }

private:
    rlimit old_{};
    void (*handler_)(int) = nullptr;
};

class ExportThreads : public ::testing::Test {
protected:
    void SetUp() override {
        std::mt19937 rng(2024);
        vexoacq::testing::ChunkBuilder chunk;
        for (std::size_t k = 0; k < kDistinct; ++k) chunk.add(mixed_event(rng));
        dir_.write("run/metadata.yml", "params:\n  model: zelkv3\n  channels: 4\n  windows: 256\n  samples: 32\n"
                                       "registers: {}\n");
        dir_.write("run/0.bin", chunk.bin);
        dir_.write("run/0.idx", chunk.idx);
        // Every event three times over, past-the-end indices among them.
        for (std::size_t round = 0; round < 3; ++round) {
            for (std::size_t k = 0; k < kDistinct; ++k) indices_.push_back((k * 7 + round) % kDistinct);
            indices_.push_back(kDistinct + round);
        }
    }

    Acquisition acq() const { return Acquisition::open(dir_ / "run").value(); }

    // The whole-block writer over the collected, corrected events: the
    // reference for every threaded run.
    Outcome reference(bool with_table) const {
        const Acquisition a = acq();
        const Params p = params();
        std::size_t next = 0;
        auto decoded = [&]() -> std::optional<Zelkv3Event> {
            while (next < indices_.size()) {
                auto raw = a.get(indices_[next++]);
                if (!raw) continue;
                auto ev = vexoacq::parsing::parse_into<Zelkv3Event>(vexoacq::parsing::RawBytes(*raw), p);
                if (ev) return std::move(*ev);
            }
            return std::nullopt;
        };
        vexoacq::calibration::Corrected<Zelkv3Event, decltype(decoded)> corrected(corrections(with_table),
                                                                                 std::move(decoded));
        std::vector<Zelkv3Event> events;
        while (auto item = corrected.next())
            if (*item) events.push_back(std::move(**item));
        const fs::path path = dir_ / "reference.csv";
        Outcome o;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        EXPECT_GE(fd, 0);
        {
            csv::CsvWriter writer(fd);
            ::testing::internal::CaptureStdout();
            record(o, csv::export_csv(std::span<const Zelkv3Event>(events), writer, p));
            o.printed = ::testing::internal::GetCapturedStdout();
        }
        ::close(fd);
        o.file = read_file(path);
        return o;
    }

    Outcome threaded(bool with_table, int threads, std::size_t batch_text, bool force_pool) const {
        tbb::task_arena arena(threads);
        const fs::path path = dir_ / "threaded.csv";
        Outcome o;
        ::testing::internal::CaptureStdout();
        record(o, csv::Exporter(csv::BlockExecution{&arena, batch_text, force_pool})
                      .export_chunk<Zelkv3Event>(acq(), params(), corrections(with_table), indices_, path));
        o.printed = ::testing::internal::GetCapturedStdout();
        o.file = read_file(path);
        return o;
    }

    TempDir dir_;
    std::vector<std::size_t> indices_;
};

struct ThreadCase {
    int threads;
    std::size_t batch_text;  // 0: as the export chooses
    bool force_pool;         // small blocks through the pool too
};
const ThreadCase kThreadCases[] = {{1, 0, false}, {1, 300, true}, {2, 0, true},   {4, 1, true},
                                   {4, 300, true}, {8, 0, false},  {8, 5000, true}};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(ExportThreads, SameBytesAndNoticesForEveryThreadCount) {
    for (const bool with_table : {false, true}) {
        SCOPED_TRACE(with_table ? "pedestals" : "no pedestals");
        const Outcome ref = reference(with_table);
        ASSERT_TRUE(ref.ok);
        // The fixture shows what it is meant to: misplaced channels, events
        // that wrap, several channels, and (with pedestals) events left out.
        EXPECT_GT(count(ref.printed, "Bad channel"), 20u);
        EXPECT_GT(count(ref.file, "\n0,"), 20000u);
        EXPECT_NE(ref.file.find(",255,"), std::string::npos);
        for (const ThreadCase& c : kThreadCases) {
            SCOPED_TRACE(testing::Message() << c.threads << " threads, batch " << c.batch_text);
            const Outcome got = threaded(with_table, c.threads, c.batch_text, c.force_pool);
            ASSERT_TRUE(got.ok);
            EXPECT_EQ(got.printed, ref.printed);
            EXPECT_TRUE(got.file == ref.file) << "files differ, " << got.file.size() << " and " << ref.file.size()
                                              << " bytes";
        }
    }
    EXPECT_NE(reference(true).file.size(), reference(false).file.size());
}

// The writer's buffer (1 MiB) goes out whenever the next record might not
// fit; under a file-size limit the second write-out fails part-way.  The
// file holds the same prefix, the same notices come before the failure and
// none after, whatever the thread count.
TEST_F(ExportThreads, WriteFailureStopsAtTheSamePoint) {
    const Outcome full = reference(false);
    ASSERT_GT(full.file.size(), 2u << 20);
    constexpr rlim_t kLimit = (3u << 20) / 2;
    Outcome ref;
    {
        FileSizeLimit limit(kLimit);
        ref = reference(false);
    }
    ASSERT_FALSE(ref.ok);
    EXPECT_EQ(ref.kind, ExportErrorKind::Csv);
    EXPECT_EQ(ref.os_error, EFBIG);
    EXPECT_EQ(ref.file, full.file.substr(0, kLimit));
    // Stopped part-way: some notices were printed, not all of them.
    EXPECT_GT(count(ref.printed, "Bad channel"), 0u);
    EXPECT_LT(count(ref.printed, "Bad channel"), count(full.printed, "Bad channel"));
    EXPECT_EQ(ref.printed, full.printed.substr(0, ref.printed.size()));
    for (const ThreadCase& c : kThreadCases) {
        SCOPED_TRACE(testing::Message() << c.threads << " threads, batch " << c.batch_text);
        Outcome got;
        {
            FileSizeLimit limit(kLimit);
            got = threaded(false, c.threads, c.batch_text, c.force_pool);
        }
        EXPECT_FALSE(got.ok);
        EXPECT_EQ(got.kind, ExportErrorKind::Csv);
        EXPECT_EQ(got.os_error, EFBIG);
        EXPECT_EQ(got.printed, ref.printed);
        EXPECT_TRUE(got.file == ref.file);
    }
}

// A broken invariant while the events are collected (pedestal correction
// with no samples per window) reaches the caller from any thread, before the
// header is written.
TEST_F(ExportThreads, FirstPassFaultReachesTheCaller) {
    Params zero = params();
    zero.samples = 0;
    for (const ThreadCase& c : kThreadCases) {
        SCOPED_TRACE(testing::Message() << c.threads << " threads, batch " << c.batch_text);
        tbb::task_arena arena(c.threads);
        const fs::path path = dir_ / "fault.csv";
        const Corrections with_zero = Corrections(zero).with_pedestals(pedestals());
        EXPECT_THROW((void)csv::Exporter(csv::BlockExecution{&arena, c.batch_text, c.force_pool})
                         .export_chunk<Zelkv3Event>(acq(), params(), with_zero, indices_, path),
                     InternalFault);
        EXPECT_EQ(read_file(path), "");
    }
}

// A stop hook that says stop on its n-th call (no interval between calls),
// on every thread count: the block ends with no error, its file is a prefix
// of the whole file at a record and its notices a prefix of the whole
// notices, the hook is only ever called on the calling thread, and the same
// pool then writes the whole block.  The first call comes before the first
// fetch, so a stop there leaves the file empty.
TEST_F(ExportThreads, StopHookAbandonsTheBlock) {
    const Outcome ref = reference(true);
    ASSERT_TRUE(ref.ok);
    for (const ThreadCase& c : kThreadCases) {
        tbb::task_arena arena(c.threads);
        for (const std::size_t stop_on : {1, 2, 4, 16}) {
            SCOPED_TRACE(testing::Message() << c.threads << " threads, batch " << c.batch_text << ", stop on call "
                                            << stop_on);
            std::size_t calls = 0;
            bool other_thread = false;
            const auto caller = std::this_thread::get_id();
            csv::StopCheck stop(
                [&] {
                    other_thread = other_thread || std::this_thread::get_id() != caller;
                    return ++calls == stop_on;
                },
                std::chrono::nanoseconds(0));
            csv::BlockExecution execution{&arena, c.batch_text, c.force_pool};
            execution.stop = &stop;
            const fs::path path = dir_ / "stopped.csv";
            Outcome got;
            ::testing::internal::CaptureStdout();
            record(got, csv::Exporter(execution).export_chunk<Zelkv3Event>(acq(), params(), corrections(true),
                                                                            indices_, path));
            got.printed = ::testing::internal::GetCapturedStdout();
            got.file = read_file(path);
            EXPECT_TRUE(got.ok);
            EXPECT_FALSE(other_thread);
            if (stop_on == 1) {
                EXPECT_TRUE(stop.stopped());
                EXPECT_EQ(got.file, "");
            }
            if (c.threads == 1) {
                EXPECT_TRUE(stop.stopped());  // every event is a poll there
            }
            if (stop.stopped()) {
                EXPECT_EQ(calls, stop_on);
                EXPECT_LT(got.file.size(), ref.file.size());
                EXPECT_TRUE(got.file == ref.file.substr(0, got.file.size()));
                EXPECT_TRUE(got.file.empty() || got.file.back() == '\n');
                EXPECT_EQ(got.printed, ref.printed.substr(0, got.printed.size()));
            } else {
                EXPECT_TRUE(got.file == ref.file);
                EXPECT_EQ(got.printed, ref.printed);
            }
        }
        const Outcome after = threaded(true, c.threads, c.batch_text, c.force_pool);
        ASSERT_TRUE(after.ok);
        EXPECT_TRUE(after.file == ref.file);
    }
}

// ------------------------------------------------- second pass disagrees

class MemFile {
public:
    MemFile() : fd_(memfd_create("export-threads", MFD_CLOEXEC)) {}
    ~MemFile() { ::close(fd_); }
    int fd() const { return fd_; }
    std::size_t size() const {
        struct stat st {};
        ::fstat(fd_, &st);
        return static_cast<std::size_t>(st.st_size);
    }
    std::string contents() const {
        std::string out(size(), '\0');
        if (!out.empty() && ::pread(fd_, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) out.clear();
        return out;
    }

private:
    int fd_;
};

struct FirstPassCase {
    const char* name;
    void (*spoil)(csv::FirstPassEvent&);
};

class SecondPass : public ::testing::TestWithParam<FirstPassCase> {};

// Five events as the first pass leaves them; the third is spoiled.
TEST_P(SecondPass, DisagreementIsAnInternalFault) {
    std::mt19937 rng(7);
    const Params p = params();
    std::vector<csv::FirstPassEvent> events;
    while (events.size() < 5) {
        auto raw = mixed_event(rng);
        auto ev = vexoacq::parsing::parse_into<Zelkv3Event>(vexoacq::parsing::RawBytes(raw), p);
        if (!ev) continue;
        events.push_back({raw, csv::event_channels(*ev), csv::event_rows(*ev, p)});
    }
    const Corrections none(p);
    // Unspoiled, every thread count writes the block.
    for (const ThreadCase& c : kThreadCases) {
        tbb::task_arena arena(c.threads);
        MemFile f;
        csv::CsvWriter writer(f.fd());
        ::testing::internal::CaptureStdout();
        const csv::BlockExecution execution{&arena, c.batch_text, c.force_pool};
        const auto r = csv::export_csv(csv::FirstPassBlock<Zelkv3Event>{events, none, execution}, writer, p);
        ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(r.ok());
    }
    GetParam().spoil(events[2]);
    for (const ThreadCase& c : kThreadCases) {
        SCOPED_TRACE(testing::Message() << c.threads << " threads, batch " << c.batch_text);
        tbb::task_arena arena(c.threads);
        MemFile f;
        csv::CsvWriter writer(f.fd());
        ::testing::internal::CaptureStdout();
        const csv::BlockExecution execution{&arena, c.batch_text, c.force_pool};
        EXPECT_THROW((void)csv::export_csv(csv::FirstPassBlock<Zelkv3Event>{events, none, execution}, writer, p),
                     InternalFault);
        ::testing::internal::GetCapturedStdout();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecondPass,
    ::testing::Values(FirstPassCase{"no_longer_decodes", [](csv::FirstPassEvent& k) { k.raw.push_back(0); }},
                      FirstPassCase{"channel_missing", [](csv::FirstPassEvent& k) { k.channels.pop_back(); }},
                      FirstPassCase{"channel_added", [](csv::FirstPassEvent& k) { k.channels.push_back(9); }},
                      FirstPassCase{"channel_moved", [](csv::FirstPassEvent& k) { k.channels.front() += 1; }},
                      FirstPassCase{"rows_differ", [](csv::FirstPassEvent& k) { k.rows += kSamples; }}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(SecondPassCorrection, EventThatNoLongerCorrectsIsAnInternalFault) {
    std::mt19937 rng(11);
    const Params p = params();
    std::vector<csv::FirstPassEvent> events;
    while (events.empty()) {
        auto raw = mixed_event(rng);
        auto ev = vexoacq::parsing::parse_into<Zelkv3Event>(vexoacq::parsing::RawBytes(raw), p);
        if (ev) events.push_back({raw, csv::event_channels(*ev), csv::event_rows(*ev, p)});
    }
    Pedestals empty_table;  // corrects no channel with data
    const Corrections c = Corrections(p).with_pedestals(empty_table);
    for (const int threads : {1, 4}) {
        tbb::task_arena arena(threads);
        MemFile f;
        csv::CsvWriter writer(f.fd());
        const csv::BlockExecution execution{&arena, 0, true};
        EXPECT_THROW((void)csv::export_csv(csv::FirstPassBlock<Zelkv3Event>{events, c, execution}, writer, p),
                     InternalFault);
    }
}

// ------------------------------------------------- reused records
//
// tolv96 decodes into the decoding thread's reused record in both passes.  A
// record that held a full event and then takes a short one, a failed decode
// or an empty one must leave nothing behind: the events follow each other in
// an order that puts every shape after every other, and every thread count,
// with reused and with new records, writes the whole-block writer's bytes.

using vexoacq::parsing::Tolv96Event;

constexpr std::size_t kTolvSamples = 4;  // per window; 2 windows: 8 per block

// A chip block under the default keys: the chip byte, 16 channel blocks
// (header: field j << 8 | first label, 8 bit-inverted samples, a footer
// word), three footer bytes.
void put_chip(std::vector<std::uint8_t>& out, std::uint8_t chip, std::uint16_t start, std::mt19937& rng) {
    out.push_back(chip);
    for (unsigned j = 0; j < 16; ++j) {
        const unsigned header = j << 8 | start;
        out.push_back(static_cast<std::uint8_t>(header));
        out.push_back(static_cast<std::uint8_t>(header >> 8));
        for (std::size_t k = 0; k < 2 * kTolvSamples; ++k) {
            const unsigned stored = ~(rng() % 1024) & 0xFFFF;
            out.push_back(static_cast<std::uint8_t>(stored));
            out.push_back(static_cast<std::uint8_t>(stored >> 8));
        }
        out.push_back(0);
        out.push_back(0);
    }
    out.insert(out.end(), 3, 0);
}

enum class Shape { Full, OneChip, SameChipTwice, FailsHalfWay, FooterOnly, OddLength };

std::vector<std::uint8_t> tolv_event(Shape shape, std::mt19937& rng) {
    std::vector<std::uint8_t> out;
    const auto start = [&] { return static_cast<std::uint16_t>(rng() % 4); };
    switch (shape) {
        case Shape::Full:
            for (std::uint8_t chip = 0; chip < 6; ++chip) put_chip(out, chip, start(), rng);
            break;
        case Shape::OneChip:
            put_chip(out, static_cast<std::uint8_t>(rng() % 6), start(), rng);
            break;
        case Shape::SameChipTwice: {
            // The chip's channels get two blocks each: more values than
            // their window lists place, so some are misplaced.
            const auto chip = static_cast<std::uint8_t>(rng() % 6);
            put_chip(out, chip, start(), rng);
            put_chip(out, chip, start(), rng);
            break;
        }
        case Shape::FailsHalfWay:
            // Chip 6 holds channels past 95: refused after chips 0 to 2 are in.
            for (const int chip : {0, 1, 2, 6}) put_chip(out, static_cast<std::uint8_t>(chip), start(), rng);
            break;
        case Shape::FooterOnly:
            break;
        case Shape::OddLength:
            put_chip(out, 1, start(), rng);
            out.push_back(0);
            break;
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

// Pedestals for labels 0 to 2: events with a window labelled 3 or more fail
// their correction and are left out.
Pedestals tolv_pedestals() {
    Pedestals t;
    t.data.resize(96);
    for (std::size_t c = 0; c < 96; ++c) {
        t.data[c].resize(3);
        for (std::size_t w = 0; w < 3; ++w)
            for (std::size_t k = 0; k < kTolvSamples; ++k)
                t.data[c][w].push_back(0.25f * static_cast<float>(c % 7 + w + k) + 0.125f);
    }
    return t;
}

class ExportReusedRecords : public ::testing::Test {
protected:
    void SetUp() override {
        std::mt19937 rng(99);
        const Shape shapes[] = {Shape::Full,         Shape::OneChip,    Shape::SameChipTwice,
                                Shape::FailsHalfWay, Shape::FooterOnly, Shape::OddLength};
        std::vector<std::vector<std::uint8_t>> events;
        // Every ordered pair of shapes, one after the other, then a random run.
        for (const Shape a : shapes) {
            for (const Shape b : shapes) {
                events.push_back(tolv_event(a, rng));
                events.push_back(tolv_event(b, rng));
            }
        }
        for (int k = 0; k < 100; ++k) events.push_back(tolv_event(shapes[rng() % 6], rng));
        vexoacq::testing::ChunkBuilder chunk;
        for (const auto& ev : events) chunk.add(ev);
        dir_.write("run/metadata.yml",
                   "params:\n  model: tolv96\n  channels: 96\n  windows: 2\n  samples: 4\nregisters: {}\n");
        dir_.write("run/0.bin", chunk.bin);
        dir_.write("run/0.idx", chunk.idx);
        for (std::size_t k = 0; k < events.size(); ++k) indices_.push_back(k);
    }

    Params params() const { return make_params("tolv96", 96, 2, kTolvSamples); }
    Corrections corrections(bool with_table) const {
        Corrections c(params());
        if (with_table) c = std::move(c).with_pedestals(tolv_pedestals());
        return c;
    }
    Acquisition acq() const { return Acquisition::open(dir_ / "run").value(); }

    // Every event decoded into a new record, corrected, collected, then written.
    Outcome reference(bool with_table) const {
        const Acquisition a = acq();
        const Corrections c = corrections(with_table);
        std::vector<Tolv96Event> events;
        for (const std::size_t i : indices_) {
            auto raw = a.get(i);
            if (!raw) continue;
            auto ev = vexoacq::parsing::parse_into<Tolv96Event>(vexoacq::parsing::RawBytes(*raw), params());
            if (!ev) continue;
            if (c.pedestals && !c.pedestals->correct(*ev, c.params)) continue;
            events.push_back(std::move(*ev));
        }
        const fs::path path = dir_ / "reference.csv";
        Outcome o;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        EXPECT_GE(fd, 0);
        {
            csv::CsvWriter writer(fd);
            ::testing::internal::CaptureStdout();
            record(o, csv::export_csv(std::span<const Tolv96Event>(events), writer, params()));
            o.printed = ::testing::internal::GetCapturedStdout();
        }
        ::close(fd);
        o.file = read_file(path);
        return o;
    }

    Outcome exported(bool with_table, const csv::BlockExecution& execution) const {
        const fs::path path = dir_ / "reused.csv";
        Outcome o;
        ::testing::internal::CaptureStdout();
        record(o, csv::Exporter(execution).export_chunk<Tolv96Event>(acq(), params(), corrections(with_table),
                                                                     indices_, path));
        o.printed = ::testing::internal::GetCapturedStdout();
        o.file = read_file(path);
        return o;
    }

    TempDir dir_;
    std::vector<std::size_t> indices_;
};

TEST_F(ExportReusedRecords, MixedShapesGiveTheWholeBlockBytes) {
    for (const bool with_table : {false, true}) {
        SCOPED_TRACE(with_table ? "pedestals" : "no pedestals");
        const Outcome ref = reference(with_table);
        ASSERT_TRUE(ref.ok);
        // The fixture shows what it is meant to: misplaced channels, all 96
        // channels in the header, events of different row counts.
        EXPECT_GT(count(ref.printed, "Bad channel"), 10u);
        EXPECT_NE(ref.file.find(",time_ch95\n"), std::string::npos);
        EXPECT_GT(count(ref.file, "\n0,"), 500u);
        for (const ThreadCase& c : kThreadCases) {
            for (const bool fresh : {false, true}) {
                SCOPED_TRACE(testing::Message() << c.threads << " threads, batch " << c.batch_text
                                                << (fresh ? ", new records" : ", reused records"));
                tbb::task_arena arena(c.threads);
                csv::BlockExecution execution{&arena, c.batch_text, c.force_pool};
                execution.fresh_records = fresh;
                const Outcome got = exported(with_table, execution);
                ASSERT_TRUE(got.ok);
                EXPECT_EQ(got.printed, ref.printed);
                EXPECT_TRUE(got.file == ref.file)
                    << "files differ, " << got.file.size() << " and " << ref.file.size() << " bytes";
            }
        }
    }
    EXPECT_NE(reference(true).file.size(), reference(false).file.size());
}

// The export on one thread runs on the caller, which has its reused record
// after the block (and none when every event is decoded into a new record).
TEST_F(ExportReusedRecords, CallerHasItsRecordAfterTheBlock) {
    bool before = true;
    bool after_fresh = true;
    bool after_reused = false;
    std::thread t([&] {
        tbb::task_arena arena(1);
        before = vexoacq::parsing::ReusedRecord<Tolv96Event>::thread_has_one();
        csv::BlockExecution execution{&arena};
        execution.fresh_records = true;
        (void)exported(false, execution);
        after_fresh = vexoacq::parsing::ReusedRecord<Tolv96Event>::thread_has_one();
        execution.fresh_records = false;
        (void)exported(false, execution);
        after_reused = vexoacq::parsing::ReusedRecord<Tolv96Event>::thread_has_one();
    });
    t.join();
    EXPECT_FALSE(before);
    EXPECT_FALSE(after_fresh);
    EXPECT_TRUE(after_reused);
}

// ------------------------------------------------------ batched records

// Records copied in groups go out at exactly the points where reserving
// row_max before every single record sends them out, with a buffer small
// enough for dozens of write-outs.
TEST(AppendRows, WritesOutWhereRecordByRecordDoes) {
    std::mt19937 rng(5);
    for (const std::size_t row_max : {1, 7, 40, 200, 300}) {
        SCOPED_TRACE(row_max);
        std::vector<std::string> rows(5000);
        for (auto& r : rows) r.assign(1 + rng() % row_max, static_cast<char>('a' + rng() % 26));
        MemFile one;
        MemFile grouped;
        csv::CsvWriter a(one.fd(), 256);
        csv::CsvWriter b(grouped.fd(), 256);
        std::size_t i = 0;
        while (i < rows.size()) {
            const std::size_t n = std::min<std::size_t>(rows.size() - i, rng() % 40);
            std::string text;
            std::vector<std::size_t> ends;
            for (std::size_t j = i; j < i + n; ++j) {
                char* out = a.reserve(row_max);
                ASSERT_NE(out, nullptr);
                std::memcpy(out, rows[j].data(), rows[j].size());
                a.commit(out + rows[j].size());
                text += rows[j];
                ends.push_back(text.size());
            }
            ASSERT_TRUE(b.append_rows(text.data(), 0, ends, row_max).ok());
            i += n;
            ASSERT_EQ(grouped.size(), one.size()) << "after record " << i;
        }
        ASSERT_TRUE(a.flush().ok());
        ASSERT_TRUE(b.flush().ok());
        EXPECT_GT(one.size(), 10u * 256u);  // many write-outs
        EXPECT_EQ(grouped.contents(), one.contents());
    }
}

TEST(AppendRows, RecordLongerThanItsBoundIsAnInternalFault) {
    MemFile f;
    csv::CsvWriter writer(f.fd(), 256);
    const std::string text = "0,1\n0,12345\n";
    const std::vector<std::size_t> ends{4, 12};
    EXPECT_THROW((void)writer.append_rows(text.data(), 0, ends, 5), InternalFault);
}

TEST(AppendRows, FailedWriteOutIsReported) {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    csv::CsvWriter writer(fd, 64);
    const std::string text(100 * 10, 'x');
    std::vector<std::size_t> ends;
    for (std::size_t k = 1; k <= 100; ++k) ends.push_back(10 * k);
    const auto r = writer.append_rows(text.data(), 0, ends, 10);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(std::get<CsvError>(r.error().cause).os_error, ENOSPC);
    EXPECT_FALSE(writer.append_rows(text.data(), 0, std::span(ends).first(1), 10).ok());
    ::close(fd);
}

}  // namespace
