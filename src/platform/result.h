#pragma once

#include <optional>
#include <utility>

class QString;

namespace corvex {

/// What an operation that can fail gives back: its value, or the message
/// saying why there is none (written for the author: what happened and, where
/// it helps, what to do). Testing it gives whether the value is there:
///
///     if (auto object = http::parseObject(body)) use(*object.value);
///     else report(object.error);
///
/// The libraries that do without Qt use std::string for the message.
template <typename T, typename Error = QString> struct [[nodiscard]] Result {
    std::optional<T> value;
    Error error {};

    explicit operator bool() const { return value.has_value(); }
    static Result success(T value) { return { std::optional<T>(std::move(value)), Error {} }; }
    static Result failure(Error message) { return { std::nullopt, std::move(message) }; }
};

/// The outcome of an operation that gives nothing back but can fail.
template <typename Error> struct [[nodiscard]] Result<void, Error> {
    bool succeeded = true;
    Error error {};

    explicit operator bool() const { return succeeded; }
    static Result success() { return { true, Error {} }; }
    static Result failure(Error message) { return { false, std::move(message) }; }
};

} // namespace corvex
