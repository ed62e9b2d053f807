#include "chunked_functions.hpp"

#include "record.hpp"

namespace quarnel::py {

std::span<const Method> chunked_methods() {
    static const std::array<Method, 0> functions{};
    return functions;
}

}  // namespace quarnel::py
