// Event record and decoder of the quopoc board family.
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::quopoc {

struct QuopocEvent : EventChannels {

    friend bool operator==(const QuopocEvent&, const QuopocEvent&) = default;
};

}  // namespace vexoacq::parsing::quopoc

namespace vexoacq::parsing {
template <>
Result<quopoc::QuopocEvent, ParsingError> parse_into<quopoc::QuopocEvent>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
