// The acquisition folder handle: metadata text, event count, event fetch and
// the auxiliary files.  Nothing is cached: each call walks the chunk files
// again, so a folder that changes between calls is seen as it is now.
#include "acquisition/acquisition.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

#include "acquisition/chunk.hpp"
#include "acquisition/util.hpp"

namespace vexoacq::acquisition {

using error::AcquisitionError;
using error::AcquisitionErrorKind;

const char* misc_data_file_name(MiscDataKind kind) noexcept {
    switch (kind) {
        case MiscDataKind::ReadoutMetadata: return "readout_metadata";
        case MiscDataKind::PedestalsCalibration: return "pedestals_calibration";
        case MiscDataKind::TimingCalibration: return "timing_calibration";
        case MiscDataKind::Adc2mvCalibration: return "adc2mv_calibration";
    }
    return "readout_metadata";
}

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t n;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= n) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t k = 2; k <= n; ++k) {
            if (p[k] < 0x80 || p[k] > 0xBF) return false;
        }
        p += n + 1;
    }
    return true;
}

// Reads a whole file; on failure returns the errno of the failing call.
//
// metadata.yml and the auxiliary files are read only when they are regular
// files.  The status is checked before the open, so that a FIFO or a device
// is never opened (opening one can block or change its state), and again on
// the open descriptor, so that a name swapped in between is caught too.  The
// open itself does not block and the read stops at the size fstat gave, so a
// file that grows without end (a link to /dev/zero is refused anyway) cannot
// make the read run on.  A folder gives EISDIR, as reading one would; any
// other kind of file gives EINVAL, read(2)'s error for an object unsuitable
// for reading.
struct ReadOutcome {
    std::vector<std::uint8_t> bytes;
    int error = 0;
};

// 0 for a regular file; for any other kind, the error that reading it gives.
int kind_error(mode_t mode) noexcept {
    if (S_ISREG(mode)) return 0;
    return S_ISDIR(mode) ? EISDIR : EINVAL;
}

ReadOutcome read_whole_file(const std::filesystem::path& path) {
    ReadOutcome out;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        out.error = errno;
        return out;
    }
    if ((out.error = kind_error(st.st_mode)) != 0) return out;
    const chunk::FileDescriptor fd = chunk::open_read_only(path);
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        out.error = errno;
        return out;
    }
    if ((out.error = kind_error(st.st_mode)) != 0) return out;
    if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > PTRDIFF_MAX) {
        out.error = EFBIG;
        return out;
    }
    // A file that shrinks meanwhile ends at its end of file; one that grows is
    // read up to the size it had.
    out.bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < out.bytes.size()) {
        const ssize_t n = ::read(fd.get(), out.bytes.data() + got, out.bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            out.error = errno;
            out.bytes.clear();
            return out;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.bytes.resize(got);
    return out;
}

}  // namespace

Result<Acquisition, AcquisitionError> Acquisition::open(std::filesystem::path root) {
    if (!util::is_acquisition(root)) return Err{AcquisitionError(AcquisitionErrorKind::InvalidPath)};
    return Acquisition(std::move(root));
}

std::string Acquisition::name() const {
    // The last normal component: empty and "." components do not count, and a
    // path that ends in ".." (or has no component at all) has no name.
    const std::string& text = root_.native();
    std::string_view last;
    bool found = false;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t next = text.find('/', pos);
        if (next == std::string::npos) next = text.size();
        const std::string_view part(text.data() + pos, next - pos);
        if (!part.empty() && part != ".") {
            last = part;
            found = true;
        }
        pos = next + 1;
    }
    if (!found || last == "..") internal_fault("could not get acquisition name");
    if (!valid_utf8(last)) internal_fault("invalid acquisition name");
    return std::string(last);
}

Result<std::string, AcquisitionError> Acquisition::metadata_str() const {
    ReadOutcome r = read_whole_file(root_ / "metadata.yml");
    std::string text(r.bytes.begin(), r.bytes.end());
    if (r.error != 0 || !valid_utf8(text)) {
        return Err{AcquisitionError::read_failed("failed to read metadata")};
    }
    return text;
}

Result<Metadata, error::MetadataError> Acquisition::metadata() const {
    auto text = metadata_str();
    if (!text.ok()) return Err{error::MetadataError(error::MetadataErrorKind::Unreadable)};
    return parse_metadata(*text);
}

Result<std::size_t, AcquisitionError> Acquisition::len() const {
    std::size_t total = 0;
    for (std::size_t n = 0;; ++n) {
        auto chunk = chunk::ReadChunkFile::open_with_index(*this, n);
        if (!chunk.ok()) break;
        VEXO_ASSIGN_OR_RETURN(const std::size_t count, chunk->count());
        // Each record takes 8 bytes of a mapped file, so the sum cannot leave
        // the address space; passing the word's range would be a broken invariant.
        check_invariant(count <= SIZE_MAX - total, "event count overflow");
        total += count;
    }
    return total;
}

Result<std::vector<std::uint8_t>, AcquisitionError> Acquisition::get(std::size_t index) const {
    for (std::size_t n = 0;; ++n) {
        auto chunk = chunk::ReadChunkFile::open_with_index(*this, n);
        if (!chunk.ok()) return Err{AcquisitionError(AcquisitionErrorKind::IndexOutOfBounds)};
        VEXO_ASSIGN_OR_RETURN(const std::size_t count, chunk->count());
        if (index < count) return chunk->get(index, count);
        index -= count;
    }
}

Result<MiscData, AcquisitionError> Acquisition::misc_data(MiscDataKind kind) const {
    ReadOutcome r = read_whole_file(root_ / misc_data_file_name(kind));
    if (r.error == ENOENT) return Err{AcquisitionError(AcquisitionErrorKind::NoSuchMiscData)};
    if (r.error != 0) return Err{AcquisitionError::read_failed(error::os_error_text(r.error))};
    return MiscData{std::move(r.bytes), kind};
}

}  // namespace vexoacq::acquisition
