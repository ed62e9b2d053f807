// Internal faults: violated invariants that are bugs or broken preconditions, not
// domain errors a caller can act on. They are thrown as `quarnel::InternalFault` by
// an always-on check (never `assert`, whose behaviour would depend on NDEBUG) and
// reported on standard error at the point of failure, with the source location.
#pragma once

#include <cstdio>
#include <exception>
#include <string>
#include <utility>

namespace quarnel {

class InternalFault : public std::exception {
public:
    explicit InternalFault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

namespace detail {

[[noreturn]] inline void raise_fault(std::string message, const char* file, int line) {
    std::fprintf(stderr, "quarnel: internal fault at %s:%d: %s\n", file, line, message.c_str());
    std::fflush(stderr);
    throw InternalFault(std::move(message));
}

}  // namespace detail
}  // namespace quarnel

// Checked in every build type: the behaviour is observable by callers.
#define QUARNEL_CHECK(cond, message)                                                \
    do {                                                                            \
        if (!(cond)) ::quarnel::detail::raise_fault((message), __FILE__, __LINE__); \
    } while (0)

#define QUARNEL_FAULT(message) ::quarnel::detail::raise_fault((message), __FILE__, __LINE__)
