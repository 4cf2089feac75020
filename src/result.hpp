// A value-or-error result, the core's way of reporting every expected failure.
//
// The core never throws for a failure that can reach a caller; it returns
// Result<T, E>.  Only a broken internal invariant is thrown (InternalFault,
// see error.hpp).
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "error.hpp"

namespace vexoacq {

template <class E>
struct Err {
    E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
public:
    using value_type = T;
    using error_type = E;

    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    template <class E2>
        requires std::is_constructible_v<E, E2&&>
    Result(Err<E2> err) : v_(std::in_place_index<1>, E(std::move(err.error))) {}  // NOLINT

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { check_value(); return std::get<0>(v_); }
    const T& value() const& { check_value(); return std::get<0>(v_); }
    T&& value() && { check_value(); return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { check_error(); return std::get<1>(v_); }
    const E& error() const& { check_error(); return std::get<1>(v_); }
    E&& error() && { check_error(); return std::get<1>(std::move(v_)); }

private:
    void check_value() const {
        if (!ok()) internal_fault("called value() on an error result");
    }
    void check_error() const {
        if (ok()) internal_fault("called error() on a success result");
    }
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    using value_type = void;
    using error_type = E;

    Result() = default;
    template <class E2>
        requires std::is_constructible_v<E, E2&&>
    Result(Err<E2> err) : err_(E(std::move(err.error))), has_error_(true) {}  // NOLINT

    bool ok() const noexcept { return !has_error_; }
    explicit operator bool() const noexcept { return ok(); }
    void value() const {
        if (!ok()) internal_fault("called value() on an error result");
    }
    const E& error() const& {
        if (ok()) internal_fault("called error() on a success result");
        return err_;
    }
    E&& error() && {
        if (ok()) internal_fault("called error() on a success result");
        return std::move(err_);
    }

private:
    E err_{};
    bool has_error_ = false;
};

}  // namespace vexoacq

// Early return of the error of a Result-valued expression.
#define VEXO_CONCAT_INNER(a, b) a##b
#define VEXO_CONCAT(a, b) VEXO_CONCAT_INNER(a, b)
#define VEXO_TRY(expr)                                                   \
    do {                                                                 \
        auto&& vexo_try_r_ = (expr);                                     \
        if (!vexo_try_r_.ok())                                           \
            return ::vexoacq::Err{std::move(vexo_try_r_).error()};       \
    } while (0)
// VEXO_ASSIGN_OR_RETURN(auto x, expr): binds the value or returns the error.
#define VEXO_ASSIGN_OR_RETURN(lhs, expr)                                        \
    auto&& VEXO_CONCAT(vexo_aor_, __LINE__) = (expr);                           \
    if (!VEXO_CONCAT(vexo_aor_, __LINE__).ok())                                 \
        return ::vexoacq::Err{std::move(VEXO_CONCAT(vexo_aor_, __LINE__)).error()}; \
    lhs = std::move(VEXO_CONCAT(vexo_aor_, __LINE__)).value()
