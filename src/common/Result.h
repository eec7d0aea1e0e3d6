#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

namespace hs {

// The error of an operation at a module boundary: which (a code the caller may act on) and why
// (the operator text).
struct Error {
    int code = 0;
    QString text;

    // Whether the code is that value of a module's failure enumeration.
    template <typename Code> bool is(Code value) const { return code == static_cast<int>(value); }
};

// The failure side of a Result, so that an error never converts into a value by accident:
// `return fail(LinkError{...});`.
template <typename E> struct Failure {
    E error;
};
template <typename E> Failure<E> fail(E error)
{
    return Failure<E>{std::move(error)};
}

// A value or an error. Exceptions never cross a module boundary; results do.
template <typename T, typename E = Error> class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only on success.
    const T& value() const& { return std::get<0>(state_); }
    T& value() & { return std::get<0>(state_); }
    const T& operator*() const& { return value(); }
    const T* operator->() const { return &value(); }
    // Only on failure.
    const E& error() const { return std::get<1>(state_); }

    T valueOr(T fallback) const { return ok() ? value() : std::move(fallback); }

private:
    std::variant<T, E> state_;
};

// An operation that gives no value: success or an error.
template <typename E> class Result<void, E> {
public:
    Result() = default;
    Result(Failure<E> failure) : error_(std::move(failure.error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    const E& error() const { return *error_; }

private:
    std::optional<E> error_;
};

} // namespace hs
