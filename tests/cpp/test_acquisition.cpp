// The acquisition folder: chunk layouts, recognising and listing folders,
// names, metadata text and auxiliary files, all on real temporary folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "acquisition/acquisition.hpp"
#include "acquisition/chunk.hpp"
#include "acquisition/util.hpp"
#include "support/bounded_child.hpp"
#include "support/tempdir.hpp"

using namespace vexoacq;
using namespace vexoacq::acquisition;
using error::AcquisitionError;
using error::AcquisitionErrorKind;
using vexoacq::testing::run_bounded;
using vexoacq::testing::TempDir;

namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const kMetadata = "params:\n  model: zelkv3\n  channels: 2\n  windows: 1\n  samples: 4\nregisters:\n";

struct Record {
    std::uint32_t offset, length;
};

Bytes index_file(const std::vector<Record>& records, std::size_t trailing = 0) {
    Bytes out;
    for (const Record& r : records) {
        for (std::uint32_t v : {r.offset, r.length}) {
            for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
        }
    }
    out.insert(out.end(), trailing, 0xEE);
    return out;
}

Bytes counting(std::size_t n, std::uint8_t first = 0) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
    return out;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t len) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + len));
}

// Either the bytes of an event or the error kind expected for it.
struct Fetch {
    std::size_t index;
    bool ok;
    Bytes bytes;
    AcquisitionErrorKind error = AcquisitionErrorKind::Unknown;
};
Fetch yields(std::size_t i, Bytes b) { return {i, true, std::move(b)}; }
Fetch fails(std::size_t i, AcquisitionErrorKind k) { return {i, false, {}, k}; }

struct Layout {
    const char* name;
    std::map<std::string, Bytes> files;  // chunk files by name
    bool len_ok;
    std::size_t len;
    std::vector<Fetch> fetches;
};

const Bytes kData0 = counting(32);
const Bytes kData1 = counting(16, 100);

std::vector<Layout> layouts() {
    using K = AcquisitionErrorKind;
    return {
        {"no chunk files", {}, true, 0, {fails(0, K::IndexOutOfBounds)}},
        {"two chunks",
         {{"0.bin", kData0}, {"0.idx", index_file({{0, 8}, {8, 24}})},
          {"1.bin", kData1}, {"1.idx", index_file({{4, 4}})}},
         true, 3,
         {yields(0, slice(kData0, 0, 8)), yields(1, slice(kData0, 8, 24)), yields(2, slice(kData1, 4, 4)),
          fails(3, K::IndexOutOfBounds)}},
        {"empty index is a chunk without events",
         {{"0.bin", kData0}, {"0.idx", {}}, {"1.bin", kData1}, {"1.idx", index_file({{0, 2}, {2, 2}})}},
         true, 2, {yields(0, slice(kData1, 0, 2)), yields(1, slice(kData1, 2, 2))}},
        {"12-byte index holds one event",
         {{"0.bin", kData0}, {"0.idx", index_file({{3, 5}}, 4)}},
         true, 1, {yields(0, slice(kData0, 3, 5)), fails(1, K::IndexOutOfBounds)}},
        {"missing middle chunk ends the acquisition",
         {{"0.bin", kData0}, {"0.idx", index_file({{0, 1}})}, {"2.bin", kData1}, {"2.idx", index_file({{0, 1}})}},
         true, 1, {yields(0, slice(kData0, 0, 1)), fails(1, K::IndexOutOfBounds)}},
        {"index without data file ends the acquisition",
         {{"0.bin", kData0}, {"0.idx", index_file({{0, 1}})}, {"1.idx", index_file({{0, 1}})}},
         true, 1, {fails(1, K::IndexOutOfBounds)}},
        {"data file without index ends the acquisition",
         {{"0.bin", kData0}, {"0.idx", index_file({{0, 1}})}, {"1.bin", kData1}},
         true, 1, {fails(1, K::IndexOutOfBounds)}},
        {"chunk 0 missing while chunk 1 exists",
         {{"1.bin", kData1}, {"1.idx", index_file({{0, 1}})}}, true, 0, {fails(0, K::IndexOutOfBounds)}},
        {"range ends exactly at the end of the data file",
         {{"0.bin", kData0}, {"0.idx", index_file({{32, 0}, {0, 32}, {31, 1}})}},
         true, 3, {yields(0, {}), yields(1, kData0), yields(2, slice(kData0, 31, 1))}},
        {"range one past the end of the data file",
         {{"0.bin", kData0}, {"0.idx", index_file({{32, 1}, {0, 33}, {33, 0}})}},
         true, 3,
         {fails(0, K::IndexOutOfBounds), fails(1, K::IndexOutOfBounds), fails(2, K::IndexOutOfBounds)}},
        {"offset plus length beyond 32 bits",
         {{"0.bin", kData0}, {"0.idx", index_file({{0xFFFFFFF0u, 0x20}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {1, 0xFFFFFFFFu}})}},
         true, 3,
         {fails(0, K::IndexOutOfBounds), fails(1, K::IndexOutOfBounds), fails(2, K::IndexOutOfBounds)}},
        {"repeated and overlapping ranges",
         {{"0.bin", kData0}, {"0.idx", index_file({{4, 8}, {4, 8}, {6, 8}})}},
         true, 3, {yields(0, slice(kData0, 4, 8)), yields(1, slice(kData0, 4, 8)), yields(2, slice(kData0, 6, 8))}},
        {"empty data file with an empty range", {{"0.bin", {}}, {"0.idx", index_file({{0, 0}, {0, 1}})}},
         true, 2, {yields(0, {}), fails(1, K::IndexOutOfBounds)}},
    };
}

class ChunkLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(ChunkLayout, CountAndFetch) {
    const Layout& layout = GetParam();
    TempDir dir;
    dir.write("metadata.yml", kMetadata);
    for (const auto& [name, bytes] : layout.files) dir.write(name, bytes);
    const auto acq = Acquisition::open(dir.path());
    ASSERT_TRUE(acq.ok());

    const auto len = acq->len();
    ASSERT_EQ(len.ok(), layout.len_ok);
    if (len.ok()) {
        EXPECT_EQ(*len, layout.len);
    }
    for (const Fetch& f : layout.fetches) {
        SCOPED_TRACE("event " + std::to_string(f.index));
        const auto got = acq->get(f.index);
        ASSERT_EQ(got.ok(), f.ok);
        if (f.ok) {
            EXPECT_EQ(*got, f.bytes);
        } else {
            EXPECT_EQ(got.error().kind, f.error);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ChunkLayout, ::testing::ValuesIn(layouts()),
                         [](const ::testing::TestParamInfo<Layout>& p) {
                             std::string n;
                             for (const char* c = p.param.name; *c; ++c) n += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return n;
                         });

class AcquisitionFolder : public ::testing::Test {
protected:
    void SetUp() override { dir.write("metadata.yml", kMetadata); }
    Acquisition open() const { return Acquisition::open(dir.path()).value(); }
    TempDir dir;
};

TEST_F(AcquisitionFolder, ChunkNumbersAreDecimalWithoutPadding) {
    // Chunks 0..10: the eleventh is "10.bin", not "010.bin" or "a.bin".
    for (int n = 0; n <= 10; ++n) {
        dir.write(std::to_string(n) + ".bin", Bytes{static_cast<std::uint8_t>(n)});
        dir.write(std::to_string(n) + ".idx", index_file({{0, 1}}));
    }
    dir.write("011.bin", Bytes{99});
    dir.write("011.idx", index_file({{0, 1}}));
    const Acquisition acq = open();
    EXPECT_EQ(*acq.len(), 11u);
    EXPECT_EQ(*acq.get(10), Bytes{10});
    EXPECT_EQ(acq.get(11).error().kind, AcquisitionErrorKind::IndexOutOfBounds);
}

TEST_F(AcquisitionFolder, UnmappableChunkFileIsInvalidPath) {
    // A folder named like an index or data file opens but cannot be mapped.
    dir.write("0.bin", kData0);
    dir.mkdir("0.idx");
    const Acquisition acq = open();
    EXPECT_EQ(acq.len().error().kind, AcquisitionErrorKind::InvalidPath);
    EXPECT_EQ(acq.get(0).error().kind, AcquisitionErrorKind::InvalidPath);

    TempDir other;
    other.write("metadata.yml", kMetadata);
    other.mkdir("0.bin");
    other.write("0.idx", index_file({{0, 1}}));
    const Acquisition acq2 = Acquisition::open(other.path()).value();
    EXPECT_EQ(*acq2.len(), 1u);
    EXPECT_EQ(acq2.get(0).error().kind, AcquisitionErrorKind::InvalidPath);
}

TEST_F(AcquisitionFolder, ReadChunkFileDirectly) {
    dir.write("0.bin", kData0);
    dir.write("0.idx", index_file({{2, 3}}, 4));
    const Acquisition acq = open();
    const auto chunk = chunk::ReadChunkFile::open_with_index(acq, 0);
    ASSERT_TRUE(chunk.ok());
    EXPECT_EQ(*chunk->count(), 1u);
    EXPECT_EQ(*chunk->get(0), slice(kData0, 2, 3));
    EXPECT_EQ(chunk->get(1).error().kind, AcquisitionErrorKind::IndexOutOfBounds);
    EXPECT_EQ(chunk->get(SIZE_MAX / 8 + 1).error().kind, AcquisitionErrorKind::IndexOutOfBounds);
    EXPECT_EQ(chunk::ReadChunkFile::open_with_index(acq, 1).error().kind, AcquisitionErrorKind::InvalidPath);
}

TEST_F(AcquisitionFolder, ReadChunkFileGetWithItsCount) {
    dir.write("0.bin", kData0);
    dir.write("0.idx", index_file({{2, 3}, {5, 1}}));
    const Acquisition acq = open();
    const auto chunk = chunk::ReadChunkFile::open_with_index(acq, 0);
    ASSERT_TRUE(chunk.ok());
    const std::size_t count = *chunk->count();
    EXPECT_EQ(*chunk->get(1, count), slice(kData0, 5, 1));
    EXPECT_EQ(chunk->get(2, count).error().kind, AcquisitionErrorKind::IndexOutOfBounds);
    // The index file shrinks after it was counted: the record now lies
    // outside it, as when the length is queried again.
    dir.write("0.idx", index_file({{2, 3}}));
    EXPECT_EQ(*chunk->get(0, count), slice(kData0, 2, 3));
    EXPECT_EQ(chunk->get(1, count).error().kind, AcquisitionErrorKind::IndexOutOfBounds);
    EXPECT_EQ(chunk->get(1).error().kind, AcquisitionErrorKind::IndexOutOfBounds);
}

TEST_F(AcquisitionFolder, NothingIsCachedBetweenCalls) {
    const Acquisition acq = open();
    EXPECT_EQ(*acq.len(), 0u);
    dir.write("0.bin", kData0);
    dir.write("0.idx", index_file({{0, 4}}));
    EXPECT_EQ(*acq.len(), 1u);
    EXPECT_EQ(*acq.get(0), slice(kData0, 0, 4));
    dir.write("0.idx", index_file({{4, 4}, {8, 4}}));
    EXPECT_EQ(*acq.len(), 2u);
    EXPECT_EQ(*acq.get(0), slice(kData0, 4, 4));
}

TEST_F(AcquisitionFolder, FetchingClosesEveryFile) {
    dir.write("0.bin", kData0);
    dir.write("0.idx", index_file({{0, 4}, {40, 4}}));
    dir.mkdir("1.idx");
    dir.write("1.bin", kData1);
    const auto open_fds = [] {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
        return n;
    };
    const Acquisition acq = open();
    const std::size_t before = open_fds();
    for (int round = 0; round < 50; ++round) {
        (void)acq.len();
        (void)acq.get(0);
        (void)acq.get(1);  // record outside the data file
        (void)acq.get(2);  // unmappable second chunk
        (void)acq.get(99);
    }
    EXPECT_EQ(open_fds(), before);
}

// ------------------------------------------------------- recognising folders

TEST(IsAcquisition, Cases) {
    TempDir dir;
    dir.write("acq/metadata.yml", kMetadata);
    dir.write("file", "x");
    dir.mkdir("plain");
    dir.mkdir("dangling");
    dir.symlink(dir / "nowhere", "dangling/metadata.yml");
    dir.mkdir("metadir/metadata.yml");
    dir.symlink(dir / "acq", "link_to_acq");
    dir.mkdir("via_link");
    dir.symlink(dir / "acq/metadata.yml", "via_link/metadata.yml");
    const struct {
        const char* rel;
        bool expected;
    } cases[] = {
        {"acq", true},          {"acq/", true},         {"file", false},
        {"missing", false},     {"plain", false},       {"dangling", false},
        {"metadir", true},      {"link_to_acq", true},  {"via_link", true},
        {"acq/metadata.yml", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rel);
        EXPECT_EQ(util::is_acquisition(dir / c.rel), c.expected);
        EXPECT_EQ(Acquisition::open(dir / c.rel).ok(), c.expected);
    }
    const auto bad = Acquisition::open(dir / "plain");
    EXPECT_EQ(bad.error().kind, AcquisitionErrorKind::InvalidPath);
}

TEST(IsAcquisition, OpenReadsNothingAndKeepsThePathAsGiven) {
    TempDir dir;
    dir.write("a/metadata.yml", "");  // empty metadata still opens
    dir.mkdir("b/metadata.yml");      // so does one that cannot be read
    for (const char* rel : {"a", "b"}) {
        const std::filesystem::path root = dir.path() / "x" / ".." / rel;
        std::filesystem::create_directories(dir / "x");
        const auto acq = Acquisition::open(root);
        ASSERT_TRUE(acq.ok()) << rel;
        EXPECT_EQ(acq->root(), root);
        EXPECT_EQ(*acq->len(), 0u);
    }
}

TEST(ListAcquisitions, Cases) {
    TempDir dir;
    EXPECT_TRUE(util::list_acquisitions(dir / "missing").empty());
    EXPECT_TRUE(util::list_acquisitions(dir.write("a_file", "x")).empty());
    EXPECT_TRUE(util::list_acquisitions(dir.path()).empty());  // holds only a file

    TempDir root;
    root.write("run1/metadata.yml", kMetadata);
    root.write("run2/metadata.yml", kMetadata);
    root.mkdir("plain");
    root.write("file.txt", "x");
    root.write("nested/run3/metadata.yml", kMetadata);  // subfolders are not searched
    root.symlink(root / "run1", "alias");
    const auto found = util::list_acquisitions(root.path());
    std::vector<std::filesystem::path> roots;
    for (const auto& a : found) roots.push_back(a.root());
    std::sort(roots.begin(), roots.end());
    const std::vector<std::filesystem::path> expected = {root / "alias", root / "run1", root / "run2"};
    EXPECT_EQ(roots, expected);
}

// ---------------------------------------------------------------------- name

TEST(AcquisitionName, FinalComponentAfterNormalisation) {
    TempDir dir;
    dir.write("metadata.yml", kMetadata);
    dir.write("run7/metadata.yml", kMetadata);
    dir.write("\xff\xfe/metadata.yml", kMetadata);
    const std::string base = dir.path().string();
    const struct {
        std::string root;
        const char* name;   // nullptr: a fault is expected
        const char* fault;
    } cases[] = {
        {base + "/run7", "run7", nullptr},
        {base + "/run7/", "run7", nullptr},
        {base + "/run7/.", "run7", nullptr},
        {base + "/./run7//", "run7", nullptr},
        {base + "/run7/..", nullptr, "could not get acquisition name"},
        {base + "/\xff\xfe", nullptr, "invalid acquisition name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.root);
        const auto acq = Acquisition::open(c.root);
        ASSERT_TRUE(acq.ok());
        if (c.name) {
            EXPECT_EQ(acq->name(), c.name);
        } else {
            try {
                (void)acq->name();
                ADD_FAILURE() << "no fault";
            } catch (const InternalFault& f) {
                EXPECT_STREQ(f.what(), c.fault);
            }
        }
    }
}

// -------------------------------------------------------- metadata text

TEST(MetadataFile, TextAndTypedRecord) {
    TempDir dir;
    dir.mkdir("acq");
    const Acquisition acq = [&] {
        dir.write("acq/metadata.yml", kMetadata);
        return Acquisition::open(dir / "acq").value();
    }();
    EXPECT_EQ(*acq.metadata_str(), kMetadata);
    const auto md = acq.metadata();
    ASSERT_TRUE(md.ok());
    EXPECT_EQ(md->params.model, "zelkv3");
    EXPECT_EQ(md->params.samples, 4u);

    const struct {
        const char* name;
        std::string content;  // empty name: metadata.yml replaced by a folder
        error::MetadataErrorKind kind;
    } bad[] = {
        {"not UTF-8", "params:\n  model: \xc3\x28\n", error::MetadataErrorKind::Unreadable},
        {"overlong UTF-8", "registers: \xc0\xaf\n", error::MetadataErrorKind::Unreadable},
        {"not YAML", "params: [\n", error::MetadataErrorKind::Serialization},
        {"empty", "", error::MetadataErrorKind::Serialization},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.name);
        dir.write("acq/metadata.yml", b.content);
        const auto text = acq.metadata_str();
        if (b.kind == error::MetadataErrorKind::Unreadable) {
            EXPECT_EQ(text.error(), AcquisitionError::read_failed("failed to read metadata"));
        }
        EXPECT_EQ(acq.metadata().error().kind, b.kind);
    }

    std::filesystem::remove(dir / "acq/metadata.yml");
    dir.mkdir("acq/metadata.yml");  // still an acquisition, but unreadable
    EXPECT_EQ(acq.metadata_str().error(), AcquisitionError::read_failed("failed to read metadata"));
    EXPECT_EQ(acq.metadata().error().kind, error::MetadataErrorKind::Unreadable);
    std::filesystem::remove(dir / "acq/metadata.yml");
    EXPECT_EQ(acq.metadata().error().kind, error::MetadataErrorKind::Unreadable);
}

// ------------------------------------------------------------ auxiliary files

TEST(MiscData, Cases) {
    TempDir dir;
    dir.write("metadata.yml", kMetadata);
    const Acquisition acq = Acquisition::open(dir.path()).value();

    EXPECT_EQ(acq.misc_data(MiscDataKind::ReadoutMetadata).error().kind, AcquisitionErrorKind::NoSuchMiscData);

    dir.mkdir("timing_calibration");
    EXPECT_EQ(acq.misc_data(MiscDataKind::TimingCalibration).error(),
              AcquisitionError::read_failed("Is a directory (os error 21)"));

    dir.write("adc2mv_calibration", "");
    const auto empty = acq.misc_data(MiscDataKind::Adc2mvCalibration);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->data.empty());
    EXPECT_EQ(empty->kind, MiscDataKind::Adc2mvCalibration);

    const Bytes payload = counting(200000, 7);  // larger than one read
    dir.write("pedestals_calibration", payload);
    const auto full = acq.misc_data(MiscDataKind::PedestalsCalibration);
    ASSERT_TRUE(full.ok());
    EXPECT_EQ(full->data, payload);
    EXPECT_EQ(full->kind, MiscDataKind::PedestalsCalibration);

    EXPECT_STREQ(misc_data_file_name(MiscDataKind::ReadoutMetadata), "readout_metadata");
    EXPECT_EQ(error::os_error_text(EACCES), "Permission denied (os error 13)");
}

TEST(MiscData, UnreadableFileKeepsTheOsErrorText) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads files regardless of their mode";
    TempDir dir;
    dir.write("metadata.yml", kMetadata);
    const auto path = dir.write("readout_metadata", "secret");
    std::filesystem::permissions(path, std::filesystem::perms::none);
    const Acquisition acq = Acquisition::open(dir.path()).value();
    EXPECT_EQ(acq.misc_data(MiscDataKind::ReadoutMetadata).error(),
              AcquisitionError::read_failed("Permission denied (os error 13)"));
}

// metadata.yml and the auxiliary files are read only when they are regular
// files.  A FIFO would block the read for ever and a link to /dev/zero would
// fill memory, so each case runs in a child under a time and memory limit.
TEST(SpecialFiles, AreRefusedWithoutBlockingOrGrowing) {
    const auto fifo = [](const TempDir& dir, const char* name) {
        return ::mkfifo((dir / name).c_str(), 0600) == 0;
    };
    const auto zero = [](const TempDir& dir, const char* name) {
        dir.symlink("/dev/zero", name);
        return true;
    };
    const auto dangling = [](const TempDir& dir, const char* name) {
        dir.symlink("no-such-file", name);
        return true;
    };
    const struct {
        const char* name;
        bool (*make)(const TempDir&, const char*);
        bool is_acquisition;      // with metadata.yml made this way
        AcquisitionError misc;    // every auxiliary file made this way
    } cases[] = {
        {"fifo", +fifo, true, AcquisitionError::read_failed("Invalid argument (os error 22)")},
        {"link to /dev/zero", +zero, true, AcquisitionError::read_failed("Invalid argument (os error 22)")},
        {"dangling link", +dangling, false, AcquisitionError(AcquisitionErrorKind::NoSuchMiscData)},
    };
    const MiscDataKind kinds[] = {MiscDataKind::ReadoutMetadata, MiscDataKind::PedestalsCalibration,
                                  MiscDataKind::TimingCalibration, MiscDataKind::Adc2mvCalibration};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.write("aux/metadata.yml", kMetadata);
        dir.mkdir("meta");
        ASSERT_TRUE(c.make(dir, "meta/metadata.yml"));
        for (MiscDataKind kind : kinds) {
            ASSERT_TRUE(c.make(dir, (std::string("aux/") + misc_data_file_name(kind)).c_str()));
        }
        EXPECT_EQ(util::is_acquisition(dir / "meta"), c.is_acquisition);
        const std::string outcome = run_bounded(10, std::size_t{512} << 20, [&] {
            const Acquisition aux = Acquisition::open(dir / "aux").value();
            for (MiscDataKind kind : kinds) {
                const auto got = aux.misc_data(kind);
                if (got.ok() || !(got.error() == c.misc)) return false;
            }
            // The listing keeps "meta" only when its metadata.yml exists.
            if (util::list_acquisitions(dir.path()).size() != (c.is_acquisition ? 2u : 1u)) return false;
            if (!c.is_acquisition) return true;
            const Acquisition meta = Acquisition::open(dir / "meta").value();
            return meta.metadata_str().error() == AcquisitionError::read_failed("failed to read metadata") &&
                   meta.metadata().error().kind == error::MetadataErrorKind::Unreadable;
        });
        EXPECT_EQ(outcome, "passed");
    }
}

}  // namespace
