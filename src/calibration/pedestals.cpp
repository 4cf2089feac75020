#include "calibration/pedestals.hpp"

#include <algorithm>
#include <limits>

#include "calibration/gzip.hpp"
#include "calibration/pickle.hpp"

namespace vexoacq::calibration::pedestals {
namespace {

using pickle::Kind;
using pickle::Value;

// The materialised table may share lists in the pickle (Python writes
// `[[0.0] * 64] * 96` with memo references), so its size is not bounded by
// the file's.  This caps what one table may occupy: a full tolv96 table is
// about 1.5 MB of floats.
constexpr std::size_t kMaxTableBytes = std::size_t{256} << 20;
constexpr std::size_t kListCost = sizeof(std::vector<float>);

PedestalsError refuse(std::string reason) { return PedestalsError{std::move(reason)}; }

// The float32 nearest to d, ties to even; beyond the float32 range that is
// an infinity or the largest finite value, which a plain cast leaves undefined.
float nearest_float(double d) {
    constexpr double kMax = std::numeric_limits<float>::max();
    constexpr double kHalfwayToInf = 0x1.ffffffp+127;  // FLT_MAX plus half an ulp
    if (d >= kHalfwayToInf) return std::numeric_limits<float>::infinity();
    if (d <= -kHalfwayToInf) return -std::numeric_limits<float>::infinity();
    if (d > kMax) return std::numeric_limits<float>::max();
    if (d < -kMax) return -std::numeric_limits<float>::max();
    return static_cast<float>(d);  // NaN stays NaN
}

Result<float, PedestalsError> number(const Value& v) {
    switch (v.kind) {
        case Kind::Float:
            return nearest_float(v.real);
        case Kind::Int:
            return static_cast<float>(v.integer);
        case Kind::BigInt:
            return Err{refuse("integer outside the signed 64-bit range")};
        default:
            return Err{refuse("table value is not a number")};
    }
}

class TableBuilder {
public:
    explicit TableBuilder(const pickle::Document& doc) : doc_(doc) {}

    Result<Pedestals, PedestalsError> build(const Value& table) {
        // Every level's shape and the size cap are settled by the walk of
        // measure(); only the numbers themselves can still be refused.
        VEXO_TRY(measure(table));
        Pedestals out;
        const auto channels = doc_.items(table);
        out.data.reserve(channels.size());
        for (const Value& ch : channels) {
            const auto windows = doc_.items(ch);
            auto& dst_ch = out.data.emplace_back();
            dst_ch.reserve(windows.size());
            for (const Value& win : windows) {
                const auto values = doc_.items(win);
                auto& dst_win = dst_ch.emplace_back();
                dst_win.reserve(values.size());
                for (const Value& x : values) {
                    VEXO_ASSIGN_OR_RETURN(float f, number(x));
                    dst_win.push_back(f);
                }
            }
        }
        return out;
    }

private:
    // Sizes the table before anything is allocated, so that an oversized one
    // is refused quickly.  Every window costs at least a list header, so the
    // walk ends after at most kMaxTableBytes / kListCost steps.
    Result<void, PedestalsError> measure(const Value& table) {
        VEXO_ASSIGN_OR_RETURN(auto channels, sequence(table, "table"));
        for (const Value& ch : channels) {
            VEXO_ASSIGN_OR_RETURN(auto windows, sequence(ch, "channel"));
            for (const Value& win : windows) {
                VEXO_ASSIGN_OR_RETURN(auto values, sequence(win, "window"));
                if (values.size() > (kMaxTableBytes - used_) / sizeof(float))
                    return Err{refuse("pedestal table too large")};
                used_ += values.size() * sizeof(float);
            }
        }
        return {};
    }

    // The items of a list, tuple, set or frozenset, charged to the size cap.
    Result<std::span<const Value>, PedestalsError> sequence(const Value& v, const char* what) {
        if (!v.is_sequence()) return Err{refuse(std::string(what) + " is not a sequence")};
        const auto items = doc_.items(v);
        if (kListCost > kMaxTableBytes - used_) return Err{refuse("pedestal table too large")};
        used_ += kListCost;
        return items;
    }

    const pickle::Document& doc_;
    std::size_t used_ = 0;
};

// The top-level value: a dict holding the table under "data", or a sequence
// whose first element is the table.
Result<Value, PedestalsError> find_table(const pickle::Document& doc) {
    const Value& root = doc.root();
    if (root.kind == Kind::None) return Err{refuse("the file holds None")};
    if (root.kind == Kind::Dict) {
        const auto items = doc.items(root);
        const Value* table = nullptr;
        for (std::size_t k = 0; k + 1 < items.size(); k += 2) {
            const Value& key = items[k];
            if (key.kind != Kind::Str && key.kind != Kind::Bytes) return Err{refuse("dict key is not text")};
            if (doc.text(key) != "data") continue;
            if (table != nullptr) return Err{refuse("duplicate field `data`")};
            table = &items[k + 1];
        }
        if (table == nullptr) return Err{refuse("missing field `data`")};
        return *table;
    }
    if (root.is_sequence()) {
        const auto items = doc.items(root);
        if (items.empty()) return Err{refuse("empty sequence")};
        return items[0];
    }
    return Err{refuse("top-level value is not a dict or a sequence")};
}

}  // namespace

Result<Pedestals, PedestalsError> Pedestals::from_bytes(std::span<const std::uint8_t> bytes) {
    auto content = gzip::inflate_member(bytes);
    if (!content) return Err{refuse("gzip: " + content.error().message)};
    auto doc = pickle::decode(*content);
    if (!doc) {
        return Err{refuse("pickle: " + doc.error().reason + " at byte " + std::to_string(doc.error().offset))};
    }
    VEXO_ASSIGN_OR_RETURN(Value table, find_table(*doc));
    return TableBuilder(*doc).build(table);
}

Result<void, CorrectionError> Pedestals::correct(parsing::EventChannels& event,
                                                 const acquisition::Params& params) const {
    const std::size_t samples = params.samples;
    auto& event_data = event.data;
    const auto& labels = event.window_labels;
    for (std::size_t c = 0; c < params.channels; ++c) {
        if (c >= labels.size()) return Err{CorrectionError{}};
        const auto& ch_labels = labels[c];
        if (ch_labels.empty()) continue;
        if (c >= event_data.size()) return Err{CorrectionError{}};
        auto& values = event_data[c];
        if (values.empty()) continue;
        if (c >= this->data.size()) return Err{CorrectionError{}};
        // The window of position j is j / samples: undefined without samples.
        check_invariant(samples != 0, "attempt to divide by zero");
        const auto& table = this->data[c];

        // Window after window: position j lies in window j / S at offset j % S,
        // and the window's pedestals are chosen by its label.
        for (std::size_t start = 0, w = 0; start < values.size(); start += samples, ++w) {
            if (w >= ch_labels.size()) return Err{CorrectionError{}};
            const std::size_t label = ch_labels[w];
            if (label >= table.size()) return Err{CorrectionError{}};
            const auto& row = table[label];
            const std::size_t n = std::min(samples, values.size() - start);
            const std::size_t usable = std::min(n, row.size());
            float* dst = values.data() + start;
            const float* ped = row.data();
            for (std::size_t k = 0; k < usable; ++k) dst[k] = dst[k] - ped[k];
            if (usable < n) return Err{CorrectionError{}};
            if (n < samples) break;  // the last, partial window
        }
    }
    return {};
}

}  // namespace vexoacq::calibration::pedestals
