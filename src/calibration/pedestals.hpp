// The pedestal table of an acquisition ("pedestals_calibration": a gzip member
// holding a Python pickle) and its subtraction from decoded events.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "acquisition/metadata.hpp"
#include "parsing/frame.hpp"
#include "result.hpp"

namespace vexoacq::calibration::pedestals {

// Why a pedestals file was refused.  Nothing reads it beyond its being an
// error: the export then runs without correction.
struct PedestalsError {
    std::string reason;
};

// A channel, window label or sample position needed by the subtraction is
// missing from the event or the table.  Carries nothing.
struct CorrectionError {};

struct Pedestals {
    // data[channel][window label][sample position]
    std::vector<std::vector<std::vector<float>>> data;

    static Result<Pedestals, PedestalsError> from_bytes(std::span<const std::uint8_t> bytes);

    // Subtracts the table from event.data in place (float32 arithmetic), for
    // channels below params.channels.  On failure the subtractions already made
    // stay in the event.  params.samples == 0 with a channel holding both labels
    // and data is a broken invariant.
    Result<void, CorrectionError> correct(parsing::EventChannels& event,
                                          const acquisition::Params& params) const;
};

}  // namespace vexoacq::calibration::pedestals
