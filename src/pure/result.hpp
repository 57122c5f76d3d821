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
    explicit Unexpected(E failure) noexcept(std::is_nothrow_move_constructible_v<E>) : error(std::move(failure)) {}
    E error;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)  // NOLINT: implicit on purpose
        : state_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    Result(Unexpected<G> failure) noexcept  // NOLINT: implicit on purpose
        : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & noexcept { return *std::get_if<0>(&state_); }
    const T& value() const& noexcept { return *std::get_if<0>(&state_); }
    T&& value() && noexcept { return std::move(*std::get_if<0>(&state_)); }
    T& operator*() & noexcept { return value(); }
    const T& operator*() const& noexcept { return value(); }
    T* operator->() noexcept { return &value(); }
    const T* operator->() const noexcept { return &value(); }

    E& error() & noexcept { return *std::get_if<1>(&state_); }
    const E& error() const& noexcept { return *std::get_if<1>(&state_); }
    E&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

private:
    std::variant<T, E> state_;
};

// Operations that succeed with nothing to give.
struct Done {};

}  // namespace kavno
