// The model table: which record type and decoder a `model` string selects.
#pragma once

#include <optional>
#include <string_view>
#include <type_traits>

#include "parsing/brindlexv3.hpp"
#include "parsing/frame.hpp"
#include "parsing/mervyv1.hpp"
#include "parsing/quopoc.hpp"
#include "parsing/quopv2.hpp"
#include "parsing/ryk16.hpp"
#include "parsing/skarnv1.hpp"
#include "parsing/tolv96.hpp"
#include "parsing/zelkv3.hpp"
#include "parsing/zelkv3s.hpp"

namespace vexoacq::parsing {

using brindlexv3::Brindlexv3Event;
using mervyv1::Mervyv1Event;
using quopoc::QuopocEvent;
using quopv2::Quopv2Event;
using ryk16::Ryk16Event;
using skarnv1::Skarnv1Event;
using tolv96::Tolv96Event;
using zelkv3::Zelkv3Event;
using zelkv3s::Zelkv3SEvent;

enum class Family : std::uint8_t {
    Zelkv3,
    Quopv2,
    Brindlexv3,
    Zelkv3s,
    Ryk16,
    Tolv96,
    Mervyv1,
    Quopoc,
    Skarnv1,
};

// Exact byte equality with one of the 14 model strings; nullopt for any other.
std::optional<Family> family_of(std::string_view model) noexcept;

// Calls f(std::type_identity<E>{}) with the record type E of `family`.
template <class F>
decltype(auto) with_event_type(Family family, F&& f) {
    switch (family) {
        case Family::Zelkv3: return f(std::type_identity<Zelkv3Event>{});
        case Family::Quopv2: return f(std::type_identity<Quopv2Event>{});
        case Family::Brindlexv3: return f(std::type_identity<Brindlexv3Event>{});
        case Family::Zelkv3s: return f(std::type_identity<Zelkv3SEvent>{});
        case Family::Ryk16: return f(std::type_identity<Ryk16Event>{});
        case Family::Tolv96: return f(std::type_identity<Tolv96Event>{});
        case Family::Mervyv1: return f(std::type_identity<Mervyv1Event>{});
        case Family::Quopoc: return f(std::type_identity<QuopocEvent>{});
        case Family::Skarnv1: return f(std::type_identity<Skarnv1Event>{});
    }
    internal_fault("unknown board family");
}

}  // namespace vexoacq::parsing
