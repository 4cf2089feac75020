// Event record and decoder of the skarnv1 board family.
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::skarnv1 {

struct Skarnv1Event : EventChannels {

    friend bool operator==(const Skarnv1Event&, const Skarnv1Event&) = default;
};

}  // namespace vexoacq::parsing::skarnv1

namespace vexoacq::parsing {
template <>
Result<skarnv1::Skarnv1Event, ParsingError> parse_into<skarnv1::Skarnv1Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
