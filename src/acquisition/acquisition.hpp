// The acquisition folder: a handle that holds only the folder's path.
//
// Every operation opens, maps or reads what it needs and releases it before it
// returns; nothing is cached between calls, so a change to the folder between
// two calls is seen by the second.  No operation writes anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "acquisition/metadata.hpp"
#include "error.hpp"
#include "result.hpp"

namespace vexoacq::acquisition {

enum class MiscDataKind : std::uint8_t {
    ReadoutMetadata = 0,
    PedestalsCalibration = 1,
    TimingCalibration = 2,
    Adc2mvCalibration = 3,
};

// "readout_metadata", "pedestals_calibration", "timing_calibration", "adc2mv_calibration".
const char* misc_data_file_name(MiscDataKind kind) noexcept;

struct MiscData {
    std::vector<std::uint8_t> data;
    MiscDataKind kind = MiscDataKind::ReadoutMetadata;
};

class Acquisition {
public:
    // The path is kept exactly as given (neither made absolute nor resolved).
    static Result<Acquisition, error::AcquisitionError> open(std::filesystem::path root);

    const std::filesystem::path& root() const noexcept { return root_; }

    // Final component of the root.  Throws InternalFault "could not get
    // acquisition name" (no final component) or "invalid acquisition name"
    // (not UTF-8).
    std::string name() const;

    Result<std::string, error::AcquisitionError> metadata_str() const;
    Result<Metadata, error::MetadataError> metadata() const;

    // Number of events over chunks 0, 1, ... up to the first that cannot be opened.
    Result<std::size_t, error::AcquisitionError> len() const;
    // The bytes of the event with global index `index`.
    Result<std::vector<std::uint8_t>, error::AcquisitionError> get(std::size_t index) const;

    Result<MiscData, error::AcquisitionError> misc_data(MiscDataKind kind) const;

private:
    explicit Acquisition(std::filesystem::path root) : root_(std::move(root)) {}
    std::filesystem::path root_;
};

}  // namespace vexoacq::acquisition
