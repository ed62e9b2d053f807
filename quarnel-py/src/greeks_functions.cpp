// The module `quarnel._greeks`: the Greeks beyond delta, one record per function, and
// its entry point. Registration order (the order of __all__) is the order of the list
// in PyInit__greeks.
#include "module.hpp"
#include "record.hpp"
#include "work_scope.hpp"

namespace quarnel::py {
namespace {

constexpr const char* kVersion = QUARNEL_VERSION;  // the project version, from CMake

// The scope in which the parallel kernels run their loop: without the interpreter lock.
[[maybe_unused]] constexpr WorkScope kWithoutGil{&enter_without_gil};

// The package's handle on the one PanicException class of the process (created here
// if no fault has needed it yet), so that users can catch it by name.
constexpr Function kPanicException{
    "_panic_exception", "The class of internal faults, quarnel.PanicException.", params(),
    []() {
        PyObject* type = panic_type();
        if (type == nullptr) throw_pending();
        return Ref::borrow(type);
    }};

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__greeks(void) {
    using namespace quarnel::py;
    static ModuleOnce once;
    static const std::array<Method, 0> functions{};
    static const auto private_functions = methods<kPanicException>();
    return once.init({"quarnel._greeks", "", kVersion, functions, private_functions});
}
