// The reused record: one record per thread and record type, for the
// decoders that can decode into a record they are given (ryk16, tolv96:
// decode_into).
//
// A full tolv96 event is 96 float lists of 16 KiB and 96 time lists of 8 KiB.
// Freed after every event, that memory goes back to the kernel under the
// default heap settings (its trim threshold is far below 2 MiB) and the next
// decode faults every page in again, which costs several times the decoding
// itself.  A consumer that decodes one event at a time and is done with the
// record before the next (the Python dicts) borrows this thread's record
// instead: its lists keep their storage from one event to the next.
//
// A record given back with at most kMaxReusedBytes of list storage waits for
// the thread's next borrow; one grown past that by an unusual event is freed
// instead.  The waiting record is freed when its thread ends.
// (runtime/thread_caches.hpp lists this and the other per-thread caches
// side by side.)
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>

#include "parsing/frame.hpp"

namespace vexoacq::parsing {

// The record types whose decoder can decode into a given record.
template <class E>
concept DecodesInto = requires(RawBytes raw, const Params& params, E& e) {
    { decode_into(raw, params, e) } -> std::same_as<Result<void, ParsingError>>;
};

// Bytes of list storage that `e` holds (its capacities, not its sizes),
// outer lists included.
template <class List>
std::size_t storage_bytes(const List& l) noexcept {
    return l.capacity() * sizeof(typename List::value_type);
}
template <class E>
std::size_t list_storage_bytes(const E& e) noexcept {
    std::size_t bytes = storage_bytes(e.data) + storage_bytes(e.window_labels) + storage_bytes(e.time);
    for (const auto& l : e.data) bytes += storage_bytes(l);
    for (const auto& l : e.window_labels) bytes += storage_bytes(l);
    for (const auto& l : e.time) bytes += storage_bytes(l);
    if constexpr (HasEccErrors<E>) {
        bytes += storage_bytes(e.ecc_errors);
        for (const auto& l : e.ecc_errors) bytes += storage_bytes(l);
    }
    if constexpr (requires { e.chip_ids; }) bytes += storage_bytes(e.chip_ids);
    return bytes;
}

// Borrows this thread's reused record of type E (or a new one) for the
// lifetime of the object and gives it back at the end.  A nested borrow on
// the same thread (a callback that decodes while a record is out) gets a new
// record, and only one of the two waits for the next borrow.
template <class E>
class ReusedRecord {
public:
    static constexpr std::size_t kMaxReusedBytes = std::size_t{32} << 20;

    ReusedRecord() : record_(take()) {}
    ~ReusedRecord() {
        std::optional<E>& slot = waiting();
        if (!slot && list_storage_bytes(record_) <= kMaxReusedBytes) slot.emplace(std::move(record_));
    }
    ReusedRecord(const ReusedRecord&) = delete;
    ReusedRecord& operator=(const ReusedRecord&) = delete;

    E& get() noexcept { return record_; }

    // Whether a reused record of type E waits on this thread now (for tests).
    static bool thread_has_one() noexcept { return waiting().has_value(); }

private:
    static std::optional<E>& waiting() noexcept {
        thread_local std::optional<E> slot;
        return slot;
    }
    static E take() {
        std::optional<E>& slot = waiting();
        if (!slot) return E{};
        E e = std::move(*slot);
        slot.reset();
        return e;
    }

    E record_;
};

// The record an event is decoded into.  The families whose decoder can
// decode into a given record use the decoding thread's reused record: a full
// event's lists keep their pages from one event to the next instead of going
// back to the kernel and faulting in again.
// The others, and every family when `fresh` is set, get a new record per
// event.  The record is borrowed for the object's lifetime, so an object is
// made and dropped on one thread and never held across a wait for the pool
// (a task run during that wait would find the thread's record out).
template <class E>
class EventRecord {
public:
    explicit EventRecord(bool fresh) {
        if constexpr (DecodesInto<E>) {
            if (!fresh) reused_.emplace();
        }
    }

    // Decodes `raw`, replacing what the record held; after an error the
    // record holds no meaningful values.
    Result<void, error::ParsingError> decode(RawBytes raw, const Params& params) {
        if constexpr (DecodesInto<E>) {
            if (reused_) return decode_into(raw, params, reused_->get());
        }
        own_.reset();
        auto decoded = parse_into<E>(raw, params);
        if (!decoded) return Err{decoded.error()};
        own_.emplace(std::move(*decoded));
        return {};
    }

    E& get() noexcept {
        if constexpr (DecodesInto<E>) {
            if (reused_) return reused_->get();
        }
        return *own_;
    }

private:
    struct NotReused {};
    std::optional<std::conditional_t<DecodesInto<E>, ReusedRecord<E>, NotReused>> reused_;
    std::optional<E> own_;
};

}  // namespace vexoacq::parsing
