// A value or the reason there is none: the result type of the protocol
// library's fallible calls.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

// Wraps an error so that it can be told apart from a value of the same type.
template <class E>
struct PluginBridgeUnexpected {
    E error;
};

template <class E>
PluginBridgeUnexpected<std::decay_t<E>> pluginBridgeUnexpected(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E>
class PluginBridgeExpected {
public:
    PluginBridgeExpected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    PluginBridgeExpected(PluginBridgeUnexpected<E> failure)
        : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool hasValue() const { return state_.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    // Only when hasValue().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // Only when !hasValue().
    const E& error() const { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};
