// One chunk of an acquisition: the data file "{n}.bin" and the index file
// "{n}.idx", whose 8-byte records (offset, length; both u32 little-endian)
// name the byte range of each event in the data file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "error.hpp"
#include "result.hpp"

namespace vexoacq::acquisition {
class Acquisition;
}

namespace vexoacq::acquisition::chunk {

struct IndexEntry {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};

// Owns a read-only file descriptor; closes it on destruction.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& o) noexcept : fd_(o.release()) {}
    FileDescriptor& operator=(FileDescriptor&& o) noexcept {
        reset(o.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// Opens a file read-only without blocking, so that a FIFO or a device under
// the name cannot hang the caller (the readers then refuse anything but a
// regular file); retried on EINTR.  Invalid, with errno set, on failure.
FileDescriptor open_read_only(const std::filesystem::path& path);

// A read-only shared mapping of a whole file; a file of length 0 maps as an
// empty range.  Released on destruction.
class Mapping {
public:
    // Maps the whole file behind fd; InvalidPath when the file cannot be
    // queried or mapped.
    static Result<Mapping, error::AcquisitionError> map(const FileDescriptor& fd);

    Mapping(Mapping&& o) noexcept : data_(o.data_), size_(o.size_) {
        o.data_ = nullptr;
        o.size_ = 0;
    }
    Mapping& operator=(Mapping&&) = delete;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping();

    const std::uint8_t* data() const noexcept { return static_cast<const std::uint8_t*>(data_); }
    std::size_t size() const noexcept { return size_; }

private:
    Mapping(void* data, std::size_t size) noexcept : data_(data), size_(size) {}
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

class ReadChunkFile {
public:
    // Opens "{n}.bin" then "{n}.idx" read-only; either failing gives InvalidPath.
    static Result<ReadChunkFile, error::AcquisitionError> open_with_index(const Acquisition& acq,
                                                                           std::size_t n);

    // Number of whole 8-byte records in the index file; InvalidPath when the
    // index file cannot be mapped.
    Result<std::size_t, error::AcquisitionError> count() const;

    // The bytes of record `i` of this chunk.
    Result<std::vector<std::uint8_t>, error::AcquisitionError> get(std::size_t i) const;
    // The same, for a caller that has just taken `records` from count(): the
    // index file is not queried a second time.
    Result<std::vector<std::uint8_t>, error::AcquisitionError> get(std::size_t i, std::size_t records) const;

    const FileDescriptor& bin() const noexcept { return bin_; }
    const FileDescriptor& idx() const noexcept { return idx_; }

private:
    ReadChunkFile(FileDescriptor bin, FileDescriptor idx) : bin_(std::move(bin)), idx_(std::move(idx)) {}
    FileDescriptor bin_;
    FileDescriptor idx_;
};

}  // namespace vexoacq::acquisition::chunk
