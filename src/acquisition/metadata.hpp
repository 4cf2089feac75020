// The typed content of "metadata.yml".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "acquisition/yaml.hpp"
#include "error.hpp"
#include "result.hpp"

namespace vexoacq::acquisition {

// The recording's parameters; a value type that its users copy whole.
struct Params {
    std::string model;          // the board model string, compared byte for byte
    std::size_t channels = 0;
    std::size_t windows = 0;
    std::size_t samples = 0;
    YamlMapping extra;          // every other key of `params`, in document order
};

struct Metadata {
    Params params;
    YamlMapping registers;
};

// Types the text of "metadata.yml"; every rejection is MetadataError::Serialization.
Result<Metadata, error::MetadataError> parse_metadata(std::string_view text);

}  // namespace vexoacq::acquisition
