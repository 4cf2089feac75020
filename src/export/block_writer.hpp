// The block writer: the channel list, the header and the loop that writes a
// block's events with their ordinals.  Only the export's own sources include
// this header; csv.hpp declares these templates for everyone else.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "export/csv.hpp"
#include "export/rows.hpp"

namespace vexoacq::export_::csv {

namespace detail {

// Calls f(c) for every channel slot c of the event that holds data, ascending:
// a decoded event's non-empty data lists, or a first pass's channel list.
template <class E, class F>
void for_each_data_channel(const E& event, F&& f) {
    for (std::size_t j = 0; j < event.data.size(); ++j) {
        if (!event.data[j].empty()) f(j);
    }
}
template <class F>
void for_each_data_channel(const FirstPassEvent& event, F&& f) {
    for (const std::size_t c : event.channels) f(c);
}

// The records of decoded events, ordinals 0, 1, ...: true, or the first
// failure.
template <class E>
Result<bool, ExportError> write_events(std::span<const E> events, CsvWriter& writer, const Params& params,
                                       std::span<const std::size_t> chans) {
    for (std::size_t k = 0; k < events.size(); ++k) VEXO_TRY(write_event(writer, params, events[k], chans, k));
    return true;
}

// The records of a first pass's events: the second pass (second_pass.hpp);
// false when the block was stopped.
template <class E>
Result<bool, ExportError> write_events(const FirstPassBlock<E>& events, CsvWriter& writer, const Params& params,
                                       std::span<const std::size_t> chans);

}  // namespace detail

template <class Events>
std::vector<std::size_t> channels(const Events& events) {
    std::vector<std::uint8_t> seen;
    for (const auto& event : events) {
        detail::for_each_data_channel(event, [&](std::size_t c) {
            if (seen.size() <= c) seen.resize(c + 1);
            seen[c] = 1;
        });
    }
    std::vector<std::size_t> out;
    for (std::size_t c = 0; c < seen.size(); ++c) {
        if (seen[c] != 0) out.push_back(c);
    }
    return out;
}

template <class E>
std::vector<std::size_t> event_channels(const E& event) {
    std::vector<std::size_t> out;
    detail::for_each_data_channel(event, [&](std::size_t c) { out.push_back(c); });
    return out;
}

template <class Events>
Result<void, ExportError> write_header(CsvWriter& writer, const Events& /*events*/,
                                       std::span<const std::size_t> chans) {
    constexpr bool kTiming = parsing::HasTiming<RecordType<Events>>;
    std::vector<std::string> names;
    names.reserve(2 + chans.size() * 4);
    names.emplace_back("acq_num");
    names.emplace_back("evt_num");
    for (const std::size_t c : chans) {
        const std::string n = std::to_string(c);
        names.push_back("windnum_ch" + n);
        names.push_back("data_ch" + n);
        names.push_back("time_ch" + n);
        if constexpr (kTiming) names.push_back("timing_ch" + n);
    }
    std::vector<std::string_view> fields(names.begin(), names.end());
    return writer.write_record(fields);
}

// The rows go through detail::write_events: event after event for decoded
// events (above), in batches for a first pass's block (second_pass.hpp).  It
// says false when the block was stopped; its records then stay unwritten.
template <class Events>
Result<void, ExportError> export_csv(const Events& events, CsvWriter& writer, const Params& params) {
    const std::vector<std::size_t> chans = channels(events);
    VEXO_TRY(write_header(writer, events, std::span<const std::size_t>(chans)));
    VEXO_ASSIGN_OR_RETURN(const bool whole,
                          detail::write_events(events, writer, params, std::span<const std::size_t>(chans)));
    if (!whole) return {};
    return writer.flush();
}

}  // namespace vexoacq::export_::csv
