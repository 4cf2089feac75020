// The CSV writer: buffered records over the block file's descriptor.
#include "export/writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vexoacq::export_::csv {

int write_fully(int fd, const char* data, std::size_t n) noexcept {
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
    const int err = write_fully(fd_, buffer_.data(), used_);
    used_ = 0;
    if (err != 0) {
        failed_ = true;
        os_error_ = err;
        return Err{error()};
    }
    return {};
}

Result<void, ExportError> CsvWriter::append_rows(const char* text, std::size_t begin,
                                                 std::span<const std::size_t> ends, std::size_t row_max) {
    std::size_t i = 0;
    while (i < ends.size()) {
        if (reserve(row_max) == nullptr) return Err{error()};
        // Room for row_max is there for row i.  Row j follows without a
        // write-out while the rows before it leave row_max bytes free.
        const std::size_t limit = begin + (buffer_.size() - used_ - row_max);
        std::size_t start = begin;
        std::size_t j = i;
        do {
            check_invariant(ends[j] - start <= row_max, "formatted record longer than its bound");
            start = ends[j++];
        } while (j < ends.size() && start <= limit);
        std::memcpy(buffer_.data() + used_, text + begin, start - begin);
        used_ += start - begin;
        begin = start;
        i = j;
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

}  // namespace vexoacq::export_::csv
