// The corrected-event adapter: decoded events in, events with their
// pedestals subtracted (or a CorrectionError item) out.
#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "calibration/calibration.hpp"
#include "parsing/brindlexv3.hpp"
#include "parsing/mervyv1.hpp"
#include "parsing/quopoc.hpp"
#include "parsing/quopv2.hpp"
#include "parsing/ryk16.hpp"
#include "parsing/skarnv1.hpp"
#include "parsing/tolv96.hpp"
#include "parsing/zelkv3.hpp"
#include "parsing/zelkv3s.hpp"
#include "support/params.hpp"

namespace {

using namespace vexoacq;
using calibration::Corrected;
using calibration::Corrections;
using calibration::Pedestals;
using vexoacq::testing::make_params;

// Non-default values in the fields beyond the common three, so that a copy
// that drops them shows.
void decorate(parsing::zelkv3::Zelkv3Event& e) { e.header_code = 0xC0DE; e.header_byte = 7; }
void decorate(parsing::quopv2::Quopv2Event& e) { e.header_code = 0xBEEF; e.header_byte = 3; }
void decorate(parsing::brindlexv3::Brindlexv3Event& e) { e.header_code = 42; e.header_byte = 9; }
void decorate(parsing::zelkv3s::Zelkv3SEvent& e) { e.window_footers = {1, 2, 3}; }
void decorate(parsing::tolv96::Tolv96Event& e) {
    e.chip_ids = {0, 5};
    e.ecc_errors = {{{1, 2, 3, 4, 5}}, {}};
}
void decorate(parsing::mervyv1::Mervyv1Event& e) { e.timing = {{10, 11, 12, 13}, {20, 21}}; }
void decorate(parsing::EventChannels&) {}

// Two channels, samples = 2: channel 0 has windows labelled 1 then 0,
// channel 1 one window labelled `label1`.
template <class E>
E make_event(float base, std::uint16_t label1) {
    E e;
    e.data = {{base, base, base, base}, {base, base}};
    e.window_labels = {{1, 0}, {label1}};
    e.time = {{0, 1, 2, 3}, {0, 1}};
    decorate(e);
    return e;
}

// Channel 0: windows 0 and 1; channel 1: window 0 only.
Pedestals table() { return Pedestals{{{{1, 2}, {10, 20}}, {{0.5f, 0.25f}}}}; }

// An inner source over a list; it counts its calls and, once it has said
// "end", would yield a further event if it were asked again.
template <class E>
struct ListSource {
    std::vector<E> events;
    std::size_t* calls;
    std::size_t next = 0;
    bool ended = false;
    std::optional<E> operator()() {
        ++*calls;
        if (ended) return make_event<E>(99, 0);
        if (next == events.size()) {
            ended = true;
            return std::nullopt;
        }
        return events[next++];
    }
};

template <class E>
auto adapter(Corrections settings, std::vector<E> events, std::size_t* calls) {
    return Corrected<E, ListSource<E>>(std::move(settings), ListSource<E>{std::move(events), calls});
}

template <class E>
class CorrectedAllTypes : public ::testing::Test {};
using EventTypes = ::testing::Types<parsing::zelkv3::Zelkv3Event, parsing::quopv2::Quopv2Event,
                                    parsing::brindlexv3::Brindlexv3Event, parsing::zelkv3s::Zelkv3SEvent,
                                    parsing::ryk16::Ryk16Event, parsing::tolv96::Tolv96Event,
                                    parsing::mervyv1::Mervyv1Event, parsing::quopoc::QuopocEvent,
                                    parsing::skarnv1::Skarnv1Event>;
TYPED_TEST_SUITE(CorrectedAllTypes, EventTypes);

// Correctable, failing (label 1 is beyond channel 1's one window), correctable.
TYPED_TEST(CorrectedAllTypes, ErrorItemDoesNotEndTheStream) {
    using E = TypeParam;
    std::size_t calls = 0;
    auto a = adapter<E>(Corrections(make_params("m", 2, 2, 2)).with_pedestals(table()),
                        {make_event<E>(5, 0), make_event<E>(5, 1), make_event<E>(7, 0)}, &calls);

    E want0 = make_event<E>(5, 0);
    want0.data = {{-5, -15, 4, 3}, {4.5f, 4.75f}};
    E want2 = make_event<E>(7, 0);
    want2.data = {{-3, -13, 6, 5}, {6.5f, 6.75f}};

    auto i0 = a.next();
    ASSERT_TRUE(i0.has_value());
    ASSERT_TRUE(i0->ok());
    EXPECT_EQ(**i0, want0);
    auto i1 = a.next();
    ASSERT_TRUE(i1.has_value());
    EXPECT_FALSE(i1->ok());
    auto i2 = a.next();
    ASSERT_TRUE(i2.has_value());
    ASSERT_TRUE(i2->ok());
    EXPECT_EQ(**i2, want2);
    EXPECT_FALSE(a.next().has_value());
    EXPECT_FALSE(a.next().has_value());
    EXPECT_EQ(calls, 4u);  // the source is not asked again after its end
}

TYPED_TEST(CorrectedAllTypes, WithoutATableEventsPassUnchanged) {
    using E = TypeParam;
    std::size_t calls = 0;
    // Label 7 is beyond any table, which does not matter without one.
    const std::vector<E> events = {make_event<E>(5, 7), make_event<E>(-1, 0)};
    auto a = adapter<E>(Corrections(make_params("m", 2, 2, 2)), events, &calls);
    for (const E& want : events) {
        auto item = a.next();
        ASSERT_TRUE(item.has_value());
        ASSERT_TRUE(item->ok());
        EXPECT_EQ(**item, want);
    }
    EXPECT_FALSE(a.next().has_value());
}

using Event = parsing::zelkv3::Zelkv3Event;

TEST(Corrected, EmptySourceEndsAtOnceAndStaysEnded) {
    std::size_t calls = 0;
    auto a = adapter<Event>(Corrections(make_params("m", 2, 2, 2)).with_pedestals(table()), {}, &calls);
    for (int k = 0; k < 3; ++k) EXPECT_FALSE(a.next().has_value());
    EXPECT_EQ(calls, 1u);
}

TEST(Corrected, SettingsThatDoNotCorrect) {
    const Event ev = make_event<Event>(5, 0);
    const struct {
        const char* what;
        Corrections settings;
    } cases[] = {
        {"table removed again", Corrections(make_params("m", 2, 2, 2)).with_pedestals(table()).with_pedestals(std::nullopt)},
        {"no channels in the settings' params", Corrections(make_params("m", 0, 2, 2)).with_pedestals(table())},
    };
    for (const auto& c : cases) {
        std::size_t calls = 0;
        auto a = adapter<Event>(c.settings, {ev}, &calls);
        auto item = a.next();
        ASSERT_TRUE(item.has_value()) << c.what;
        ASSERT_TRUE(item->ok()) << c.what;
        EXPECT_EQ(**item, ev) << c.what;
    }
}

// The subtraction follows the settings' own Params: one channel, windows of
// four samples, so channel 0's four values are one window labelled 1.
TEST(Corrected, SubtractionUsesTheSettingsParams) {
    std::size_t calls = 0;
    Pedestals ped{{{{1, 2, 3, 4}, {10, 20, 30, 40}}}};
    auto a = adapter<Event>(Corrections(make_params("m", 1, 1, 4)).with_pedestals(std::move(ped)),
                            {make_event<Event>(50, 0)}, &calls);
    auto item = a.next();
    ASSERT_TRUE(item.has_value());
    ASSERT_TRUE(item->ok());
    Event want = make_event<Event>(50, 0);
    want.data[0] = {40, 30, 20, 10};
    EXPECT_EQ(**item, want);
}

}  // namespace
