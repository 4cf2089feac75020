// Correction settings and the adapter that yields decoded events with their
// pedestals subtracted.
#pragma once

#include <optional>
#include <utility>

#include "acquisition/metadata.hpp"
#include "calibration/pedestals.hpp"
#include "result.hpp"

namespace vexoacq::calibration {

using pedestals::CorrectionError;
using pedestals::Pedestals;

struct Corrections {
    acquisition::Params params;
    std::optional<Pedestals> pedestals;  // absent: events pass unchanged

    explicit Corrections(acquisition::Params p) : params(std::move(p)) {}

    // Replaces the table (or removes it with nullopt) and returns the settings.
    Corrections with_pedestals(std::optional<Pedestals> table) && {
        pedestals = std::move(table);
        return std::move(*this);
    }

    // Subtracts the table from `event` under the settings' own params; with
    // no table the event stays as it is.  On failure the event holds the
    // subtractions made so far.
    Result<void, CorrectionError> subtract(parsing::EventChannels& event) const {
        if (!pedestals) return {};
        return pedestals->correct(event, params);
    }
};

// Adapter over an inner source of decoded events of type E.  `Inner` is a
// callable returning std::optional<E> (nullopt: the end).  Each item is a copy
// of the decoded event, corrected when the settings hold a table, or a
// CorrectionError for an event whose subtraction failed; an error item does not
// end the adapter.
template <class E, class Inner>
class Corrected {
public:
    Corrected(Corrections corrections, Inner inner)
        : corrections_(std::move(corrections)), inner_(std::move(inner)) {}

    std::optional<Result<E, CorrectionError>> next() {
        if (done_) return std::nullopt;
        std::optional<E> decoded = inner_();
        if (!decoded) {
            done_ = true;
            return std::nullopt;
        }
        // The decoded record is moved, not copied: the copy the item must be is
        // unobservable, and copying a full event would double the work.
        E event = std::move(*decoded);
        if (!corrections_.subtract(event)) return Result<E, CorrectionError>(Err{CorrectionError{}});
        return Result<E, CorrectionError>(std::move(event));
    }

private:
    Corrections corrections_;
    Inner inner_;
    bool done_ = false;
};

}  // namespace vexoacq::calibration
