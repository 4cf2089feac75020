// quopv2 events share the zelkv3 layout: the zelkv3 decoder runs on the same
// bytes and Params and its fields move, unchanged, into a Quopv2Event.
#include "parsing/quopv2.hpp"

#include <utility>

#include "parsing/zelkv3.hpp"

namespace vexoacq::parsing {

template <>
Result<quopv2::Quopv2Event, ParsingError> parse_into<quopv2::Quopv2Event>(RawBytes raw, const Params& params) {
    VEXO_ASSIGN_OR_RETURN(zelkv3::Zelkv3Event z, parse_into<zelkv3::Zelkv3Event>(raw, params));
    quopv2::Quopv2Event ev;
    static_cast<EventChannels&>(ev) = std::move(static_cast<EventChannels&>(z));
    ev.header_code = z.header_code;
    ev.header_byte = z.header_byte;
    return ev;
}

}  // namespace vexoacq::parsing
