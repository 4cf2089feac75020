// Test helper: Params built in code, with typed tuning keys.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "acquisition/metadata.hpp"

namespace vexoacq::testing {

using acquisition::Params;
using acquisition::YamlValue;

inline Params make_params(std::string model, std::size_t channels, std::size_t windows, std::size_t samples,
                          std::initializer_list<std::pair<const char*, YamlValue>> extra = {}) {
    Params p;
    p.model = std::move(model);
    p.channels = channels;
    p.windows = windows;
    p.samples = samples;
    for (const auto& [k, v] : extra) p.extra.push_back(YamlValue::string(k), v);
    return p;
}

inline YamlValue u(std::uint64_t v) { return YamlValue::unsigned_integer(v); }
inline YamlValue i(std::int64_t v) { return YamlValue::integer(v); }
inline YamlValue s(std::string v) { return YamlValue::string(std::move(v)); }

}  // namespace vexoacq::testing
