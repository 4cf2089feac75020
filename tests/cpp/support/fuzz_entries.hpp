// One fuzz entry per parser of the core: each takes arbitrary bytes and runs
// one parser over them the way the module would, so that the sanitizers see
// every read.  A parser may refuse its input with an error value or, for
// input outside its stated limits, with InternalFault; anything else (an
// out-of-bounds read, a crash, another exception) is a fault.
//
// The same entries run two ways: tests/cpp/test_fuzz_parsers.cpp drives them
// with a seeded random loop inside the normal test run, and fuzz/fuzz_main.cpp
// hands them to libFuzzer for a coverage-guided hunt (scripts/fuzz_cpp).
//
// Pedestals input: byte 0 odd wraps the rest in a gzip member first.
//
// Decoder input: byte 0 picks the model string, bytes 1 to 3 give channels,
// windows and samples (small, so a run is about the event's bytes, not the
// geometry), byte 4 the number k of tuning keys, then k records of one key
// byte and a 32-bit little-endian value, then the raw event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "acquisition/acquisition.hpp"
#include "acquisition/metadata.hpp"
#include "acquisition/yaml.hpp"
#include "calibration/calibration.hpp"
#include "calibration/gzip.hpp"
#include "calibration/pedestals.hpp"
#include "calibration/pickle.hpp"
#include "ecc/check.hpp"
#include "error.hpp"
#include "export/csv.hpp"
#include "parsing/parsing.hpp"
#include "support/ecc_events.hpp"

namespace vexoacq::fuzz {

using Bytes = std::span<const std::uint8_t>;
namespace events = testing::ecc_events;

inline constexpr std::string_view kModels[] = {
    "zelkv3", "quopv2", "brindlexv3", "zelkv3s", "ryk16", "tolv96", "mervyv2_eval",
    "mervyv1_evalr2", "mervyv2_evalr1", "mervyv2_evalr2", "quopoc_quop", "quopoc_zelk", "skarn", "hux-k12-4",
};

inline constexpr std::string_view kTuningKeys[] = {
    "abs_wind_mask", "chan_shift", "chanmask", "chip_stop_word", "data_mask", "databitmask",
    "datamask", "headers", "n_channel_headers", "n_chip_footers", "n_chip_headers", "n_event_footers",
    "n_event_headers", "n_footer_words", "n_footers", "n_last_bits", "n_window_footers",
    "n_window_headers", "num_chips", "packet_size", "stop_word", "timing_mask", "timing_shift", "windmask",
};

// Runs `f`, treating InternalFault as an accepted outcome.
template <class F>
bool run_guarded(F&& f) {
    try {
        f();
        return true;
    } catch (const InternalFault&) {
        return false;
    }
}

struct DecodeInput {
    acquisition::Params params;
    Bytes event;
};

inline DecodeInput split_decode_input(Bytes in) {
    DecodeInput out;
    auto byte = [&](std::size_t i) -> std::uint8_t { return i < in.size() ? in[i] : 0; };
    out.params.model = std::string(kModels[byte(0) % std::size(kModels)]);
    // 0..63 channels (96 for tolv96 when the top bit is set), windows and samples
    out.params.channels = (byte(1) & 0x80) ? 96 : (byte(1) & 0x3F);
    out.params.windows = byte(2) & 0x3F;
    out.params.samples = byte(3) & 0x7F;
    std::size_t k = byte(4) % 8, pos = 5;
    for (std::size_t i = 0; i < k && pos + 5 <= in.size(); ++i, pos += 5) {
        std::uint32_t v = 0;
        std::memcpy(&v, in.data() + pos + 1, 4);
        // small values most of the time: the keys are counts, shifts and masks
        if (!(in[pos] & 0x80)) v &= 0xFF;
        out.params.extra.push_back(
            acquisition::YamlValue::string(std::string(kTuningKeys[in[pos] % std::size(kTuningKeys)])),
            acquisition::YamlValue::unsigned_integer(v));
    }
    out.event = in.size() > pos ? in.subspan(pos) : Bytes{};
    return out;
}

// Decodes the event under its family and, when it decodes, writes it as one
// CSV block to /dev/null (channel list, window-label merge, rows) and
// subtracts an all-zero pedestal table of the params' geometry.
inline void decode_one(Bytes in) {
    DecodeInput d = split_decode_input(in);
    auto family = parsing::family_of(d.params.model);
    if (!family) internal_fault("fuzz: unknown model");
    parsing::with_event_type(*family, [&]<class E>(std::type_identity<E>) {
        run_guarded([&] {
            auto r = parsing::parse_into<E>(d.event, d.params);
            if (!r.ok()) return;
            E event = std::move(r).value();
            int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (fd < 0) internal_fault("fuzz: cannot open /dev/null");
            {
                export_::csv::CsvWriter writer(fd, 4096);
                std::span<const E> one(&event, 1);
                (void)export_::csv::export_csv(one, writer, d.params);
            }
            ::close(fd);
            calibration::pedestals::Pedestals table;
            std::size_t w = d.params.windows, s = d.params.samples;
            table.data.assign(d.params.channels, std::vector<std::vector<float>>(w, std::vector<float>(s, 0.0f)));
            (void)table.correct(event, d.params);
        });
    });
}

inline void pickle_one(Bytes in) {
    run_guarded([&] { (void)calibration::pickle::decode(in); });
}

inline void gzip_one(Bytes in) {
    run_guarded([&] { (void)calibration::gzip::inflate_member(in, std::size_t{1} << 24); });
}

// A gzip member holding `in` (zlib's deflate with the gzip wrapper), so that
// the pedestal entry's mutations reach the pickle and the table builder
// instead of dying at the member's checksum.
inline std::vector<std::uint8_t> gzip_wrap(Bytes in) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) internal_fault("fuzz: deflateInit2");
    std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(in.size())) + 32);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) internal_fault("fuzz: deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Byte 0 odd: the rest is the pickle, wrapped in a gzip member here; even:
// the rest is the file as it is.
inline void pedestals_one(Bytes in) {
    if (in.empty()) return;
    std::vector<std::uint8_t> file = (in[0] & 1) ? gzip_wrap(in.subspan(1))
                                                 : std::vector<std::uint8_t>(in.begin() + 1, in.end());
    run_guarded([&] { (void)calibration::pedestals::Pedestals::from_bytes(file); });
}

inline void metadata_one(Bytes in) {
    // the module hands the parser the text of a file it has read into a
    // string, whose data() is never null, also for an empty file
    std::string text(reinterpret_cast<const char*>(in.data()), in.size());
    run_guarded([&] { (void)acquisition::parse_metadata(text); });
}

inline void ecc_one(Bytes in) {
    // the check's geometry is fixed: stretch the input to a one-chip event
    // (131142 bytes) or leave it short, as byte 0 says
    std::vector<std::uint8_t> raw(in.begin(), in.end());
    if (!raw.empty() && (raw[0] & 1)) raw.resize(131142 - (raw[0] >> 5), raw.size() > 1 ? raw[1] : 0);
    run_guarded([&] {
        (void)events::check_event(raw);
        (void)events::correct_event(raw);
    });
}

// A whole acquisition on disk: the decode input's params become metadata.yml;
// after them, byte n gives the number of index records (n % 16), then 8
// bytes per record, then the data file.  The store counts and fetches every
// record and the export writes all of them, with an all-zero pedestal table
// when the params' geometry is small enough to write one.
inline void acquisition_one(Bytes in) {
    namespace fs = std::filesystem;
    DecodeInput d = split_decode_input(in);
    Bytes rest = d.event;
    std::size_t records = rest.empty() ? 0 : rest[0] % 16;
    rest = rest.empty() ? rest : rest.subspan(1);
    std::size_t idx_len = std::min(rest.size(), records * 8);
    // one scratch folder per process, removed at exit
    static const struct Scratch {
        fs::path path = fs::temp_directory_path() / ("vexo-fuzz-" + std::to_string(::getpid()));
        Scratch() {
            fs::create_directories(path / "acq");
            fs::create_directories(path / "out");
        }
        ~Scratch() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } scratch;
    const fs::path& root = scratch.path;
    auto write = [](const fs::path& path, Bytes bytes) {
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    };
    std::string meta = "params:\n  model: \"" + d.params.model + "\"\n  channels: " +
                       std::to_string(d.params.channels) + "\n  windows: " + std::to_string(d.params.windows) +
                       "\n  samples: " + std::to_string(d.params.samples) + "\n";
    for (std::size_t i = 0; i < d.params.extra.size(); ++i)
        meta += "  " + d.params.extra.key(i).as_string() + ": " +
                std::to_string(d.params.extra.value(i).as_unsigned().value_or(0)) + "\n";
    meta += "registers: {}\n";
    const fs::path acq_dir = root / "acq";
    write(acq_dir / "metadata.yml", {reinterpret_cast<const std::uint8_t*>(meta.data()), meta.size()});
    write(acq_dir / "0.idx", rest.first(idx_len));
    write(acq_dir / "0.bin", rest.subspan(idx_len));
    run_guarded([&] {
        auto acq = acquisition::Acquisition::open(acq_dir);
        if (!acq.ok()) internal_fault("fuzz: acquisition folder did not open");
        auto n = acq->len();
        std::vector<std::size_t> indices;
        for (std::size_t i = 0; i < records + 1; ++i) {
            (void)acq->get(i);
            indices.push_back(i);
        }
        (void)acq->misc_data(acquisition::MiscDataKind::PedestalsCalibration);  // absent
        calibration::Corrections corrections(d.params);
        if (d.params.channels * d.params.windows * d.params.samples <= 4096) {
            calibration::pedestals::Pedestals table;
            table.data.assign(d.params.channels, std::vector<std::vector<float>>(
                                                     d.params.windows, std::vector<float>(d.params.samples, 0.0f)));
            corrections = std::move(corrections).with_pedestals(std::move(table));
        }
        (void)n;
        (void)export_::csv::export_csv_from_acq(std::move(acq).value(), indices, std::move(corrections),
                                                root / "out", 1000);
    });
}

struct Entry {
    std::string_view name;
    void (*run)(Bytes);
};

inline constexpr Entry kEntries[] = {
    {"decode", decode_one}, {"pickle", pickle_one}, {"gzip", gzip_one},
    {"pedestals", pedestals_one}, {"metadata", metadata_one}, {"ecc", ecc_one},
    {"acquisition", acquisition_one},
};

}  // namespace vexoacq::fuzz
