#include "parsing/parsing.hpp"

#include <array>
#include <utility>

namespace vexoacq::parsing {

namespace {
constexpr std::array<std::pair<std::string_view, Family>, 14> kModels{{
    {"zelkv3", Family::Zelkv3},
    {"quopv2", Family::Quopv2},
    {"brindlexv3", Family::Brindlexv3},
    {"zelkv3s", Family::Zelkv3s},
    {"ryk16", Family::Ryk16},
    {"tolv96", Family::Tolv96},
    {"mervyv2_eval", Family::Mervyv1},
    {"mervyv1_evalr2", Family::Mervyv1},
    {"mervyv2_evalr1", Family::Mervyv1},
    {"mervyv2_evalr2", Family::Mervyv1},
    {"quopoc_quop", Family::Quopoc},
    {"quopoc_zelk", Family::Quopoc},
    {"skarn", Family::Skarnv1},
    {"hux-k12-4", Family::Skarnv1},
}};
}  // namespace

std::optional<Family> family_of(std::string_view model) noexcept {
    for (const auto& [name, family] : kModels)
        if (name == model) return family;
    return std::nullopt;
}

}  // namespace vexoacq::parsing
