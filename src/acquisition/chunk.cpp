// Chunk files: opening the pair, mapping whole files, fetching one record.
//
// A chunk file is served when it can be mapped whole (a directory or a device
// that cannot be mapped is refused as InvalidPath); its event count and the
// bounds of every record come from the length of that mapping.  A regular
// file can always be mapped read-only, so for one the length is taken from
// fstat and the map/unmap pair is skipped: every fetch walks all earlier
// chunks, and those two system calls per file were most of its cost.
//
// The bytes themselves are copied with pread: a file that another process
// truncates while it is being read then gives a short read, reported as
// IndexOutOfBounds, instead of a SIGBUS from a page that no longer exists.
#include "acquisition/chunk.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "acquisition/acquisition.hpp"

namespace vexoacq::acquisition::chunk {

using error::AcquisitionError;
using error::AcquisitionErrorKind;

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Result<Mapping, AcquisitionError> Mapping::map(const FileDescriptor& fd) {
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || st.st_size < 0) {
        return Err{AcquisitionError(AcquisitionErrorKind::InvalidPath)};
    }
    const auto length = static_cast<std::uint64_t>(st.st_size);
    if (length == 0) return Mapping(nullptr, 0);
    if (length > std::numeric_limits<std::size_t>::max()) {
        return Err{AcquisitionError(AcquisitionErrorKind::InvalidPath)};
    }
    const auto size = static_cast<std::size_t>(length);
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (p == MAP_FAILED) return Err{AcquisitionError(AcquisitionErrorKind::InvalidPath)};
    return Mapping(p, size);
}

Mapping::~Mapping() {
    if (data_ != nullptr) ::munmap(data_, size_);
}

FileDescriptor open_read_only(const std::filesystem::path& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    return FileDescriptor(fd);
}

namespace {

// Reads exactly `length` bytes at `offset`; false on an error or a short file.
bool read_exact(const FileDescriptor& fd, std::uint8_t* out, std::size_t length, std::uint64_t offset) {
    while (length > 0) {
        constexpr std::size_t max_step = std::size_t{1} << 30;
        const std::size_t step = length < max_step ? length : max_step;
        const ssize_t n = ::pread(fd.get(), out, step, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        const auto got = static_cast<std::size_t>(n);
        out += got;
        length -= got;
        offset += got;
    }
    return true;
}

// The length of the whole-file mapping of fd, or InvalidPath when the file
// cannot be mapped.
Result<std::size_t, AcquisitionError> mapped_length(const FileDescriptor& fd) {
    struct stat st {};
    if (fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
        static_cast<std::uint64_t>(st.st_size) <= std::numeric_limits<std::size_t>::max()) {
        return static_cast<std::size_t>(st.st_size);
    }
    VEXO_ASSIGN_OR_RETURN(const Mapping m, Mapping::map(fd));
    return m.size();
}

}  // namespace

Result<ReadChunkFile, AcquisitionError> ReadChunkFile::open_with_index(const Acquisition& acq,
                                                                        std::size_t n) {
    const std::string number = std::to_string(n);
    const std::filesystem::path bin_path = acq.root() / (number + ".bin");
    const std::filesystem::path idx_path = acq.root() / (number + ".idx");
    FileDescriptor bin = open_read_only(bin_path);
    if (!bin.valid()) return Err{AcquisitionError(AcquisitionErrorKind::InvalidPath)};
    FileDescriptor idx = open_read_only(idx_path);
    if (!idx.valid()) return Err{AcquisitionError(AcquisitionErrorKind::InvalidPath)};
    return ReadChunkFile(std::move(bin), std::move(idx));
}

Result<std::size_t, AcquisitionError> ReadChunkFile::count() const {
    VEXO_ASSIGN_OR_RETURN(const std::size_t length, mapped_length(idx_));
    return length / 8;
}

Result<std::vector<std::uint8_t>, AcquisitionError> ReadChunkFile::get(std::size_t i) const {
    VEXO_ASSIGN_OR_RETURN(const std::size_t records, count());
    return get(i, records);
}

Result<std::vector<std::uint8_t>, AcquisitionError> ReadChunkFile::get(std::size_t i, std::size_t records) const {
    IndexEntry entry;
    {
        // Record i occupies bytes 8i .. 8i+7; i < length/8 is 8i+8 <= length
        // without overflow.  An index file that shrank since it was counted
        // gives a short read below, the same IndexOutOfBounds.
        if (i >= records) return Err{AcquisitionError(AcquisitionErrorKind::IndexOutOfBounds)};
        std::uint8_t record[8];
        if (!read_exact(idx_, record, sizeof record, std::uint64_t{i} * 8)) {
            return Err{AcquisitionError(AcquisitionErrorKind::IndexOutOfBounds)};
        }
        entry.offset = static_cast<std::uint32_t>(record[0]) | static_cast<std::uint32_t>(record[1]) << 8 |
                       static_cast<std::uint32_t>(record[2]) << 16 | static_cast<std::uint32_t>(record[3]) << 24;
        entry.length = static_cast<std::uint32_t>(record[4]) | static_cast<std::uint32_t>(record[5]) << 8 |
                       static_cast<std::uint32_t>(record[6]) << 16 | static_cast<std::uint32_t>(record[7]) << 24;
    }
    VEXO_ASSIGN_OR_RETURN(const std::size_t data_length, mapped_length(bin_));
    // Both fields are 32-bit, so their sum is exact in 64 bits.
    const std::uint64_t end = std::uint64_t{entry.offset} + std::uint64_t{entry.length};
    if (end > data_length) return Err{AcquisitionError(AcquisitionErrorKind::IndexOutOfBounds)};
    std::vector<std::uint8_t> bytes(entry.length);
    if (!read_exact(bin_, bytes.data(), bytes.size(), entry.offset)) {
        return Err{AcquisitionError(AcquisitionErrorKind::IndexOutOfBounds)};
    }
    return bytes;
}

}  // namespace vexoacq::acquisition::chunk
