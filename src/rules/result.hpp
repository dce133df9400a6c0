// The error value of the rules layer and a small result type: the layers below the binding
// report failure as a value and never throw.
#pragma once

#include <utility>
#include <variant>

namespace murkplay {

enum class RulesError : unsigned char { InvalidFen, InvalidBoard, InvalidSquare, InvalidUciMove };

// Either a value or an error; a stand-in for std::expected, which C++20 lacks.
template <typename T, typename E = RulesError>
class [[nodiscard]] Result {
public:
    constexpr Result(T value) : content_(std::move(value)) {}
    constexpr Result(E error) : content_(error) {}

    constexpr bool ok() const { return content_.index() == 0; }
    constexpr explicit operator bool() const { return ok(); }
    constexpr const T& value() const { return std::get<0>(content_); }
    constexpr T& value() { return std::get<0>(content_); }
    constexpr const T& operator*() const { return value(); }
    constexpr const T* operator->() const { return &value(); }
    constexpr E error() const { return std::get<1>(content_); }

private:
    std::variant<T, E> content_;
};

}  // namespace murkplay
