// The export driver over acquisition folders written here: blocks and file
// names, the events left out, repeats and order, corrections, the failures
// that end an export, and the stop hook that ends one early.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "export/csv.hpp"
#include "export/testing.hpp"
#include "support/chunk_builder.hpp"

namespace fs = std::filesystem;
namespace csv = vexoacq::export_::csv;
using vexoacq::InternalFault;
using vexoacq::acquisition::Acquisition;
using vexoacq::acquisition::Params;
using vexoacq::calibration::Corrections;
using vexoacq::calibration::Pedestals;
using vexoacq::error::ExportErrorKind;
using vexoacq::error::ParsingError;

namespace {

constexpr std::size_t kSamples = 2;
constexpr std::size_t kEvents = 30;

void put16(std::vector<std::uint8_t>& out, unsigned w) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w));
}

// A zelkv3 event under the default keys: one channel, one window with label
// k % 256 and the samples k % 4000 and k % 4000 + 1.
std::vector<std::uint8_t> zelkv3_event(std::size_t k) {
    std::vector<std::uint8_t> out;
    put16(out, 0x0102);
    put16(out, 0x0300);
    put16(out, 0);
    put16(out, static_cast<unsigned>((k % 256) << 1));
    put16(out, static_cast<unsigned>((k % 4000) << 1));
    put16(out, static_cast<unsigned>((k % 4000 + 1) << 1));
    put16(out, 0xFFFF);
    return out;
}

void write_file(const fs::path& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary);
    f << text;
}

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string metadata_text(const std::string& model) {
    return "params:\n  model: " + model + "\n  channels: 1\n  windows: 256\n  samples: " +
           std::to_string(kSamples) + "\nregisters: {}\n";
}

// Rows of event k as the file holds them, with ordinal `ordinal`.
std::string rows_of_event(std::size_t k, std::size_t ordinal) {
    const std::string o = std::to_string(ordinal);
    const std::string label = std::to_string(k % 256);
    return "0," + o + "," + label + "," + std::to_string(k % 4000) + ",0\n" + "0," + o + "," + label + "," +
           std::to_string(k % 4000 + 1) + ",1\n";
}

const char* const kHeader = "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n";

class ExportDriver : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = fs::temp_directory_path() /
                ("vexo-export-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base_);
        root_ = base_ / "run7";
        out_ = base_ / "out";
        fs::create_directories(root_);
        fs::create_directories(out_);
        write_file(root_ / "metadata.yml", metadata_text("zelkv3"));
        // Chunk 0: events 0 .. 29, event 7 of odd length (does not decode).
        vexoacq::testing::ChunkBuilder chunk;
        for (std::size_t k = 0; k < kEvents; ++k) {
            auto ev = zelkv3_event(k);
            if (k == 7) ev.push_back(0);
            chunk.add(ev);
        }
        write_file(root_ / "0.bin", std::string(chunk.bin.begin(), chunk.bin.end()));
        write_file(root_ / "0.idx", std::string(chunk.idx.begin(), chunk.idx.end()));
    }
    void TearDown() override { fs::remove_all(base_); }

    Acquisition acq() const { return Acquisition::open(root_).value(); }
    Corrections corrections() const {
        Params p;
        p.model = "zelkv3";
        p.channels = 1;
        p.windows = 256;
        p.samples = kSamples;
        return Corrections(p);
    }
    auto run(const std::vector<std::size_t>& indices, std::size_t block = 1000) const {
        return csv::export_csv_from_acq(acq(), indices, corrections(), out_, block);
    }
    fs::path file(std::size_t n) const { return out_ / ("run7 (chunk " + std::to_string(n) + ").csv"); }
    std::size_t files_in_out() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(out_), fs::directory_iterator()));
    }

    fs::path base_, root_, out_;
};

TEST_F(ExportDriver, BlocksOfAThousand) {
    struct Case {
        std::size_t count;
        std::vector<std::size_t> events_per_file;
    };
    const Case cases[] = {{1000, {1000}}, {1001, {1000, 1}}, {2500, {1000, 1000, 500}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        fs::remove_all(out_);
        fs::create_directories(out_);
        // Indices 0, 1, 2, ... skipping 7, which does not decode, modulo 30.
        std::vector<std::size_t> indices;
        for (std::size_t i = 0; indices.size() < c.count; ++i)
            if (i % kEvents != 7) indices.push_back(i % kEvents);
        ASSERT_TRUE(run(indices).ok());
        EXPECT_EQ(files_in_out(), c.events_per_file.size());
        std::size_t pos = 0;
        for (std::size_t n = 0; n < c.events_per_file.size(); ++n) {
            std::string expected = kHeader;
            for (std::size_t k = 0; k < c.events_per_file[n]; ++k) expected += rows_of_event(indices[pos++], k);
            EXPECT_EQ(read_file(file(n)), expected) << "block " << n;
        }
    }
}

TEST_F(ExportDriver, LeftOutEventsLeaveNoGap) {
    // 7 does not decode, 30 and 10^9 lie past the last event; 3 repeats.
    ASSERT_TRUE(run({5, 7, 12, 30, 3, 1000000000, 3}).ok());
    EXPECT_EQ(read_file(file(0)), std::string(kHeader) + rows_of_event(5, 0) + rows_of_event(12, 1) +
                                      rows_of_event(3, 2) + rows_of_event(3, 3));
    // With blocks of 2 every file counts from 0 again.
    ASSERT_TRUE(run({5, 7, 12, 30, 3}, 2).ok());
    EXPECT_EQ(read_file(file(0)), std::string(kHeader) + rows_of_event(5, 0));
    EXPECT_EQ(read_file(file(1)), std::string(kHeader) + rows_of_event(12, 0));
    EXPECT_EQ(read_file(file(2)), std::string(kHeader) + rows_of_event(3, 0));
}

TEST_F(ExportDriver, AllEventsLeftOutGivesHeaderOnly) {
    ASSERT_TRUE(run({7, 99}).ok());
    EXPECT_EQ(read_file(file(0)), "acq_num,evt_num\n");
}

TEST_F(ExportDriver, EmptyListCreatesNothing) {
    write_file(root_ / "metadata.yml", metadata_text("nosuchboard"));
    EXPECT_TRUE(csv::export_csv_from_acq(acq(), std::vector<std::size_t>{}, corrections(), base_ / "missing", 1000).ok());
    EXPECT_EQ(files_in_out(), 0u);
    EXPECT_FALSE(fs::exists(base_ / "missing"));
}

TEST_F(ExportDriver, ExistingFileIsReplacedWhole) {
    write_file(file(0), std::string(100000, 'x'));
    ASSERT_TRUE(run({1}).ok());
    EXPECT_EQ(read_file(file(0)), std::string(kHeader) + rows_of_event(1, 0));
}

TEST_F(ExportDriver, FileModeFollowsUmask) {
    const mode_t old = ::umask(027);
    const auto r = run({1});
    ::umask(old);
    ASSERT_TRUE(r.ok());
    struct stat st {};
    ASSERT_EQ(::stat(file(0).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(ExportDriver, PedestalsSubtractedAndFailuresLeftOut) {
    // Channel 0, labels 0 .. 3 only: events 4 and up have no pedestals for
    // their window and are left out.
    Pedestals table;
    table.data = {{{1.0f, 0.5f}, {1.0f, 0.5f}, {1.0f, 0.5f}, {1.0f, 0.5f}}};
    auto c = corrections().with_pedestals(table);
    ASSERT_TRUE(csv::export_csv_from_acq(acq(), std::vector<std::size_t>{2, 5, 3}, std::move(c), out_, 1000).ok());
    EXPECT_EQ(read_file(file(0)), std::string(kHeader) + "0,0,2,1,0\n0,0,2,2.5,1\n0,1,3,2,0\n0,1,3,3.5,1\n");
}

struct FailureCase {
    const char* name;
    const char* metadata;  // nullptr: leave the good one
    bool missing_out_dir;
    ExportErrorKind kind;
};

class ExportDriverFailure : public ExportDriver, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ExportDriverFailure, EndsTheExportWithoutFiles) {
    const auto& c = GetParam();
    if (c.metadata != nullptr) write_file(root_ / "metadata.yml", c.metadata);
    const fs::path out = c.missing_out_dir ? base_ / "missing" : out_;
    const auto r = csv::export_csv_from_acq(acq(), std::vector<std::size_t>{1, 2}, corrections(), out, 1000);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, c.kind);
    EXPECT_EQ(files_in_out(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExportDriverFailure,
    ::testing::Values(FailureCase{"missing_out_dir", nullptr, true, ExportErrorKind::InvalidPath},
                      FailureCase{"unsupported_model", "params:\n  model: Zelkv3\n  channels: 1\n  windows: 1\n"
                                                       "  samples: 1\nregisters: {}\n",
                                  false, ExportErrorKind::Parsing},
                      FailureCase{"metadata_not_yaml", "params: [", false, ExportErrorKind::AcquisitionAccess},
                      FailureCase{"metadata_untyped", "params: {model: zelkv3}\nregisters: {}\n", false,
                                  ExportErrorKind::AcquisitionAccess}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST_F(ExportDriver, UnsupportedModelCarriesParsingError) {
    write_file(root_ / "metadata.yml", metadata_text("zelkv4"));
    const auto r = run({1});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(std::get<ParsingError>(r.error().cause), ParsingError::UnsupportedModel);
}

TEST_F(ExportDriver, UnreadableMetadataFailsAnEmptyListToo) {
    Acquisition handle = acq();
    fs::remove(root_ / "metadata.yml");
    const auto r = csv::export_csv_from_acq(handle, std::vector<std::size_t>{}, corrections(), out_, 1000);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ExportErrorKind::AcquisitionAccess);
}

// Sets or clears the immutable attribute; false where the file system or
// the user's rights do not allow it.
bool set_immutable(const fs::path& p, bool on) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

// Permission bits stop other users; root is stopped by an immutable file.
TEST_F(ExportDriver, UnwritableOutput) {
    vexoacq::Result<csv::ExportEnd, vexoacq::error::ExportError> r = csv::ExportEnd::Finished;
    if (::geteuid() != 0) {
        fs::permissions(out_, fs::perms::owner_read | fs::perms::owner_exec);
        r = run({1});
        fs::permissions(out_, fs::perms::owner_all);
    } else {
        write_file(file(0), "");
        if (!set_immutable(file(0), true)) GTEST_SKIP() << "no immutable files here";
        r = run({1});
        set_immutable(file(0), false);
    }
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ExportErrorKind::AccessDenied);
}

// A close that releases the descriptor and then reports `err` on its
// `fail_on`-th call (counted from 0), as NFS does when the server refuses
// data that the client had buffered.
struct CloseFault {
    int fail_on = -1;
    int err = 0;
    int calls = 0;
};
CloseFault g_close_fault;

int faulty_close(int fd) {
    ::close(fd);
    if (g_close_fault.calls++ != g_close_fault.fail_on) return 0;
    errno = g_close_fault.err;
    return -1;
}

class FailingClose {
public:
    FailingClose(int fail_on, int err) {
        g_close_fault = {fail_on, err, 0};
        previous_ = csv::testing::set_close_for_tests(&faulty_close);
    }
    ~FailingClose() { csv::testing::set_close_for_tests(previous_); }

private:
    csv::testing::CloseFn previous_;
};

TEST_F(ExportDriver, FailedCloseIsTheBlocksWriteFailure) {
    struct Case {
        const char* name;
        int fail_on;  // close call that fails
        int err;
        bool ok;
        std::size_t files;  // files in the output folder afterwards
    };
    // Five indices in blocks of two: three files when nothing fails.
    const Case cases[] = {
        {"first block", 0, EIO, false, 1},
        {"middle block: later blocks are not written", 1, EDQUOT, false, 2},
        {"last block", 2, ENOSPC, false, 3},
        {"interrupted close is no failure", 1, EINTR, true, 3},
    };
    const std::vector<std::size_t> indices{5, 12, 3, 4, 6};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out_);
        fs::create_directories(out_);
        vexoacq::Result<csv::ExportEnd, vexoacq::error::ExportError> r = csv::ExportEnd::Finished;
        {
            FailingClose fault(c.fail_on, c.err);
            r = run(indices, 2);
        }
        EXPECT_EQ(r.ok(), c.ok);
        if (!c.ok) {
            EXPECT_EQ(r.error().kind, ExportErrorKind::Csv);
            EXPECT_EQ(std::get<vexoacq::error::CsvError>(r.error().cause).os_error, c.err);
        }
        EXPECT_EQ(files_in_out(), c.files);
        // What was written stays, the failing block's file included.
        for (std::size_t n = 0; n < c.files; ++n) {
            std::string expected = kHeader;
            for (std::size_t k = 0; k < 2 && 2 * n + k < indices.size(); ++k)
                expected += rows_of_event(indices[2 * n + k], k);
            EXPECT_EQ(read_file(file(n)), expected) << "block " << n;
        }
    }
}

// A write failure comes before the close: its error is the one reported.
TEST_F(ExportDriver, WriteFailureIsReportedBeforeAFailedClose) {
    fs::create_symlink("/dev/full", file(0));
    FailingClose fault(0, EIO);
    const auto r = run({1});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ExportErrorKind::Csv);
    EXPECT_EQ(std::get<vexoacq::error::CsvError>(r.error().cause).os_error, ENOSPC);
    EXPECT_EQ(g_close_fault.calls, 1);  // the descriptor was still closed
}

TEST_F(ExportDriver, ZeroBlockSizeIsAnInternalFault) {
    EXPECT_THROW((void)run({}, 0), InternalFault);
    EXPECT_THROW((void)run({1}, 0), InternalFault);
}


// ------------------------------------------------------------ stop hook

namespace stop_hook {

// Asked with no interval; says stop on call `stop_on` (from 1; 0: never)
// and notes whether every call came from the thread that made it.
struct Hook {
    std::size_t stop_on = 0;
    std::size_t calls = 0;
    std::thread::id owner = std::this_thread::get_id();
    bool other_thread = false;
    bool operator()() {
        other_thread = other_thread || std::this_thread::get_id() != owner;
        return ++calls == stop_on;
    }
};

}  // namespace stop_hook

// 40 files of two events.  A stop ends the export with Stopped: the files
// before the last are whole, the last holds a prefix of its rows (at a
// record) or nothing, and no later file is made.  A hook that never says
// stop changes nothing, and an export after a stop runs whole.
TEST_F(ExportDriver, StopHookEndsTheExportEarly) {
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; indices.size() < 80; ++i)
        if (i % kEvents != 7) indices.push_back(i % kEvents);
    ASSERT_TRUE(run(indices, 2).ok());
    ASSERT_EQ(files_in_out(), 40u);
    std::vector<std::string> whole;
    for (std::size_t n = 0; n < 40; ++n) whole.push_back(read_file(file(n)));

    for (const std::size_t stop_on : {1, 2, 5, 30, 0}) {
        SCOPED_TRACE(testing::Message() << "stop on call " << stop_on);
        fs::remove_all(out_);
        fs::create_directories(out_);
        stop_hook::Hook hook{stop_on};
        csv::StopCheck stop([&hook] { return hook(); }, std::chrono::nanoseconds(0));
        const auto r = csv::export_csv_from_acq(acq(), indices, corrections(), out_, 2, &stop);
        ASSERT_TRUE(r.ok());
        EXPECT_FALSE(hook.other_thread);
        EXPECT_GT(hook.calls, 0u);
        if (stop_on == 0) {
            EXPECT_EQ(*r, csv::ExportEnd::Finished);
            EXPECT_FALSE(stop.stopped());
            ASSERT_EQ(files_in_out(), 40u);
            for (std::size_t n = 0; n < 40; ++n) EXPECT_EQ(read_file(file(n)), whole[n]) << "block " << n;
            continue;
        }
        EXPECT_EQ(*r, csv::ExportEnd::Stopped);
        EXPECT_TRUE(stop.stopped());
        EXPECT_EQ(hook.calls, stop_on);  // not asked again once it said stop
        const std::size_t files = files_in_out();
        EXPECT_LT(files, 40u);
        for (std::size_t n = 0; n + 1 < files; ++n) EXPECT_EQ(read_file(file(n)), whole[n]) << "block " << n;
        if (files > 0) {
            const std::string last = read_file(file(files - 1));
            EXPECT_EQ(whole[files - 1].substr(0, last.size()), last);
            EXPECT_TRUE(last.empty() || last.back() == '\n');
        }
    }
    fs::remove_all(out_);
    fs::create_directories(out_);
    ASSERT_TRUE(run(indices, 2).ok());
    for (std::size_t n = 0; n < 40; ++n) EXPECT_EQ(read_file(file(n)), whole[n]) << "block " << n;
}

// The hook's first call is one interval after the check is made, and only
// the owning thread calls it; a stop said there is seen on every thread.
TEST(StopCheck, IntervalAndOwningThread) {
    std::size_t calls = 0;
    {
        csv::StopCheck stop([&] { return ++calls > 0; }, std::chrono::hours(1));
        for (int k = 0; k < 1000; ++k) EXPECT_FALSE(stop.poll());
        EXPECT_EQ(calls, 0u);
    }
    csv::StopCheck stop([&] { return ++calls == 3; }, std::chrono::nanoseconds(0));
    bool elsewhere = true;
    std::thread([&] { elsewhere = stop.poll(); }).join();
    EXPECT_FALSE(elsewhere);
    EXPECT_EQ(calls, 0u);
    EXPECT_FALSE(stop.poll());
    EXPECT_FALSE(stop.poll());
    EXPECT_TRUE(stop.poll());
    EXPECT_TRUE(stop.poll());
    EXPECT_EQ(calls, 3u);
    std::thread([&] { elsewhere = stop.poll() && stop.stopped(); }).join();
    EXPECT_TRUE(elsewhere);
    EXPECT_FALSE(csv::StopCheck().poll());
}

}  // namespace
