// The CSV writer of a block file.
//
// Dialect: "," between fields, "\n" after every record; no field ever needs
// quoting (names and numbers only).  Records go into a buffer that is
// written out whenever it cannot take the next record, so the points where
// the file is written (and where a failed write stops the block) depend only
// on the records.  A failed write is remembered and reported, as
// ExportError::Csv, by that call and every later one; what reached the file
// stays there.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "result.hpp"

namespace vexoacq::export_::csv {

using error::ExportError;

// Writes all of [data, data + n) to fd, retrying short and interrupted
// writes; 0 or the errno of the failed write.
int write_fully(int fd, const char* data, std::size_t n) noexcept;

// Buffered record writer over a file descriptor it does not own.  Bytes are
// written out whenever the buffer cannot take the next record, and by
// flush(); the first failed write is remembered, and every later call fails.
class CsvWriter {
public:
    static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

    explicit CsvWriter(int fd, std::size_t buffer_size = kBufferSize);
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;

    // Room for `n` bytes at the returned pointer (flushing first when the
    // buffer lacks it), or nullptr after a failed write.  commit() then
    // takes the bytes up to `end`.
    char* reserve(std::size_t n);
    void commit(char* end) noexcept { used_ = static_cast<std::size_t>(end - buffer_.data()); }

    // One record of raw fields (no quoting), ended by a line feed.
    Result<void, ExportError> write_record(std::span<const std::string_view> fields);

    // Records formatted elsewhere: text[begin, ends[0]) is the first,
    // text[ends[i - 1], ends[i]) the next ones, none longer than row_max.
    // The same bytes and the same write-outs as reserve(row_max), copy and
    // commit for every record in turn.
    Result<void, ExportError> append_rows(const char* text, std::size_t begin, std::span<const std::size_t> ends,
                                          std::size_t row_max);

    // Writes out what the buffer holds.
    Result<void, ExportError> flush();

    bool failed() const noexcept { return failed_; }
    ExportError error() const { return ExportError(error::CsvError{os_error_}); }

private:
    int fd_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    bool failed_ = false;
    int os_error_ = 0;
};

}  // namespace vexoacq::export_::csv
