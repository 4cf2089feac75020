#include "calibration/gzip.hpp"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace vexoacq::calibration::gzip {
namespace {

// The one place where a zlib return code becomes our error value.
GzipError zlib_error(int code, const z_stream& strm) {
    std::string msg = strm.msg != nullptr ? std::string(strm.msg) : std::string();
    switch (code) {
        case Z_DATA_ERROR:
        case Z_NEED_DICT:  // a gzip member never asks for a preset dictionary
            return {GzipErrorKind::Corrupt, msg.empty() ? "invalid gzip data" : msg};
        case Z_BUF_ERROR:
            return {GzipErrorKind::Truncated, "unexpected end of gzip stream"};
        case Z_MEM_ERROR:
            return {GzipErrorKind::NoMemory, "zlib is out of memory"};
        default:
            return {GzipErrorKind::Internal, msg.empty() ? "zlib error " + std::to_string(code) : msg};
    }
}

// Owns the inflate state for the length of one call.
class Inflater {
public:
    Inflater() = default;
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater() {
        if (live_) inflateEnd(&strm_);
    }
    int init() {
        // 16 + MAX_WBITS: a gzip header and trailer only (no zlib or raw stream).
        const int rc = inflateInit2(&strm_, 16 + MAX_WBITS);
        live_ = rc == Z_OK;
        return rc;
    }
    z_stream& stream() { return strm_; }

private:
    z_stream strm_{};
    bool live_ = false;
};

// zlib counts in uInt; larger spans are fed piece by piece.
constexpr std::size_t kMaxStep = std::numeric_limits<uInt>::max();

}  // namespace

Result<std::vector<std::uint8_t>, GzipError> inflate_member(std::span<const std::uint8_t> input,
                                                            std::size_t max_output) {
    Inflater inflater;
    z_stream& strm = inflater.stream();
    if (const int rc = inflater.init(); rc != Z_OK) return Err{zlib_error(rc, strm)};

    // One byte beyond the limit lets "exactly the limit" be told apart from
    // "more than the limit" without a second probe.
    const std::size_t hard_cap = max_output == std::numeric_limits<std::size_t>::max() ? max_output : max_output + 1;
    std::vector<std::uint8_t> out;
    // A first guess of four times the input; the buffer doubles from there.
    const std::size_t guess = input.size() > hard_cap / 4 ? hard_cap : std::max<std::size_t>(input.size() * 4, 64 * 1024);
    out.resize(std::min(hard_cap, guess));

    std::size_t in_pos = 0;
    std::size_t out_pos = 0;
    for (;;) {
        if (strm.avail_in == 0 && in_pos < input.size()) {
            const std::size_t step = std::min(kMaxStep, input.size() - in_pos);
            // zlib's next_in is not const-qualified in every build; it never writes through it.
            strm.next_in = const_cast<Bytef*>(input.data() + in_pos);
            strm.avail_in = static_cast<uInt>(step);
            in_pos += step;
        }
        if (out_pos == out.size()) {
            if (out.size() >= hard_cap) break;  // more content than allowed
            out.resize(out.size() > hard_cap / 2 ? hard_cap : out.size() * 2);
        }
        const std::size_t room = std::min(kMaxStep, out.size() - out_pos);
        strm.next_out = out.data() + out_pos;
        strm.avail_out = static_cast<uInt>(room);

        const int rc = inflate(&strm, Z_NO_FLUSH);
        out_pos += room - strm.avail_out;

        if (rc == Z_STREAM_END) {
            if (out_pos > max_output) break;
            out.resize(out_pos);
            return out;
        }
        if (rc == Z_OK) continue;
        if (rc == Z_BUF_ERROR) {
            // No progress: the output is full (grow it), the current input
            // piece is used up (feed the next), or the input ended before the
            // member did.
            if (strm.avail_out == 0) continue;
            if (strm.avail_in == 0 && in_pos < input.size()) continue;
        }
        return Err{zlib_error(rc, strm)};
    }
    return Err{GzipError{GzipErrorKind::TooLarge,
                         "gzip content exceeds " + std::to_string(max_output) + " bytes"}};
}

}  // namespace vexoacq::calibration::gzip
