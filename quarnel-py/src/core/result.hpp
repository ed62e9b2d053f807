// What kernels and estimators return: a value, or a ModelError for a domain failure
// the caller can act on (raised in Python as ValueError with exactly this message).
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quarnel {

struct ModelError {
    std::string message;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(ModelError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const ModelError& error() const& { return std::get<1>(v_); }

private:
    std::variant<T, ModelError> v_;
};

}  // namespace quarnel
