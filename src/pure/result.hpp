// The one result-or-failure type of every internal operation, shaped like C++23's std::expected: a value or a
// failure in one union, and a flag that says which. Pure code instantiates it with its own error kinds (a scanner error, a
// rounding error); code that talks to the interpreter uses the failure value of boundary/failure.hpp. No Python
// header here, so pure code can use it too.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace kavno {

template <class E>
struct Unexpected {
    constexpr explicit Unexpected(E failure) noexcept(std::is_nothrow_move_constructible_v<E>)
        : error(std::move(failure)) {}
    E error;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

namespace result_detail {

// A value or a failure, one or the other in a union. For trivially destructible parts the whole is trivial too.
template <class T, class E, bool Trivial = std::is_trivially_destructible_v<T> && std::is_trivially_destructible_v<E>>
class Storage {
public:
    constexpr explicit Storage(std::in_place_index_t<0>, T value) noexcept(std::is_nothrow_move_constructible_v<T>)
        : value_(std::move(value)), ok_(true) {}
    constexpr explicit Storage(std::in_place_index_t<1>, E error) noexcept : error_(std::move(error)), ok_(false) {}

protected:
    union {
        T value_;
        E error_;
    };
    bool ok_;
};

template <class T, class E>
class Storage<T, E, false> {
public:
    constexpr explicit Storage(std::in_place_index_t<0>, T value) noexcept(std::is_nothrow_move_constructible_v<T>)
        : value_(std::move(value)), ok_(true) {}
    constexpr explicit Storage(std::in_place_index_t<1>, E error) noexcept : error_(std::move(error)), ok_(false) {}
    constexpr Storage(Storage&& other) noexcept : ok_(other.ok_) {
        if (ok_) {
            std::construct_at(&value_, std::move(other.value_));
        } else {
            std::construct_at(&error_, std::move(other.error_));
        }
    }
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;
    Storage& operator=(Storage&&) = delete;
    constexpr ~Storage() {
        if (ok_) {
            value_.~T();
        } else {
            error_.~E();
        }
    }

protected:
    union {
        T value_;
        E error_;
    };
    bool ok_;
};

}  // namespace result_detail

template <class T, class E>
class [[nodiscard]] Result : private result_detail::Storage<T, E> {
    using Storage = result_detail::Storage<T, E>;

public:
    constexpr Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)  // NOLINT: implicit on purpose
        : Storage(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    constexpr Result(Unexpected<G> failure) noexcept  // NOLINT: implicit on purpose
        : Storage(std::in_place_index<1>, E(std::move(failure.error))) {}

    constexpr bool ok() const noexcept { return this->ok_; }
    constexpr explicit operator bool() const noexcept { return this->ok_; }

    constexpr T& value() & noexcept { return this->value_; }
    constexpr const T& value() const& noexcept { return this->value_; }
    constexpr T&& value() && noexcept { return std::move(this->value_); }
    constexpr T& operator*() & noexcept { return this->value_; }
    constexpr const T& operator*() const& noexcept { return this->value_; }
    constexpr T* operator->() noexcept { return &this->value_; }
    constexpr const T* operator->() const noexcept { return &this->value_; }

    constexpr E& error() & noexcept { return this->error_; }
    constexpr const E& error() const& noexcept { return this->error_; }
    constexpr E&& error() && noexcept { return std::move(this->error_); }
};

// Operations that succeed with nothing to give.
struct Done {};

}  // namespace kavno
