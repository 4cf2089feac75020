// Decoding and correcting one event from its bytes: what the first pass does
// to every fetched event and the second pass to every event the first pass
// collected, so that both get the same event.
#pragma once

#include <cstdint>
#include <span>

#include "acquisition/metadata.hpp"
#include "calibration/calibration.hpp"
#include "parsing/reused_record.hpp"
#include "result.hpp"

namespace vexoacq::export_::csv::detail {

// The step that left an event out.
enum class LeftOut { Decoding, Correction };

// Decodes `raw` into `record` under `params`, then subtracts the pedestals of
// `corrections` (when they hold a table).  The event lives in `record`.
template <class E>
Result<E*, LeftOut> decode_and_correct(std::span<const std::uint8_t> raw, const acquisition::Params& params,
                                       const calibration::Corrections& corrections,
                                       parsing::EventRecord<E>& record) {
    if (!record.decode(parsing::RawBytes(raw), params)) return Err{LeftOut::Decoding};
    E& event = record.get();
    if (!corrections.subtract(event)) return Err{LeftOut::Correction};
    return &event;
}

}  // namespace vexoacq::export_::csv::detail
