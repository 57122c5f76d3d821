// The one result-or-failure type of every internal operation. Pure code instantiates it with its own error
// kinds (a scanner error, a rounding error); code that talks to the interpreter uses the failure value of
// failure.hpp. No Python header here, so pure code can use it too.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace kavno {

template <class E>
struct Unexpected {
    constexpr explicit Unexpected(E failure) noexcept(std::is_nothrow_move_constructible_v<E>) : error(std::move(failure)) {}
    E error;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class [[nodiscard]] Result {
public:
    constexpr Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)  // NOLINT: implicit on purpose
        : state_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    constexpr Result(Unexpected<G> failure) noexcept  // NOLINT: implicit on purpose
        : state_(std::in_place_index<1>, std::move(failure.error)) {}

    constexpr bool ok() const noexcept { return state_.index() == 0; }
    constexpr explicit operator bool() const noexcept { return ok(); }

    constexpr T& value() & noexcept { return *std::get_if<0>(&state_); }
    constexpr const T& value() const& noexcept { return *std::get_if<0>(&state_); }
    constexpr T&& value() && noexcept { return std::move(*std::get_if<0>(&state_)); }
    constexpr T& operator*() & noexcept { return value(); }
    constexpr const T& operator*() const& noexcept { return value(); }
    constexpr T* operator->() noexcept { return &value(); }
    constexpr const T* operator->() const noexcept { return &value(); }

    constexpr E& error() & noexcept { return *std::get_if<1>(&state_); }
    constexpr const E& error() const& noexcept { return *std::get_if<1>(&state_); }
    constexpr E&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

private:
    std::variant<T, E> state_;
};

// Operations that succeed with nothing to give.
struct Done {};

}  // namespace kavno
