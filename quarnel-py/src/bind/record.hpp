// One declarative record per Python function: its name, its parameters, its docstring
// and its body. Everything CPython sees is derived from the record, so the parts can
// never disagree: the text-signature line of the docstring, the argument binder (names,
// how many are required, defaults) and the method-table entry.
//
//   inline constexpr Function kPriceFromSamples{
//       "price_from_samples", "Low-level: plain Monte Carlo mean ...",
//       params(array1d("samples")),
//       [](const View1D& samples) { return price_from_paths(samples); }};
//
// The body receives the converted arguments in parameter order and returns a kernel's
// outcome; bind/to_python.hpp turns that into a Python object (or the ValueError of a
// ModelError). Arguments are converted strictly in parameter order and the first
// failure ends the call, which is what braced initialisation of the holders gives.
// Arrays are read only once every argument has been converted (see HeldArray).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "bind/args.hpp"
#include "bind/numpy_bind.hpp"
#include "bind/to_python.hpp"

namespace quarnel::py {

// Parameter kinds. Each has a name, says whether it is required and how its default is
// written in the signature line, and converts one argument object (nullptr: omitted).
// An array parameter also settles: reads its array once all arguments are converted.
struct Array1DParam {
    const char* name;
    using Held = HeldArray<View1D>;
    static constexpr bool required = true;
    Held convert(PyObject* obj) const { return claim_1d(obj, name); }
    void settle(Held& h) const { read(h, name); }
    static const View1D& value(const Held& h) noexcept { return h.view; }
};

struct Array2DParam {
    const char* name;
    using Held = HeldArray<View2D>;
    static constexpr bool required = true;
    Held convert(PyObject* obj) const { return claim_2d(obj, name); }
    void settle(Held& h) const { read(h, name); }
    static const View2D& value(const Held& h) noexcept { return h.view; }
};

struct FloatParam {
    const char* name;
    using Held = double;
    static constexpr bool required = true;
    double convert(PyObject* obj) const { return to_double(obj, name); }
    static double value(double v) noexcept { return v; }
};

struct StrParam {
    const char* name;
    using Held = std::string_view;
    static constexpr bool required = true;
    std::string_view convert(PyObject* obj) const { return to_utf8(obj, name); }
    static std::string_view value(std::string_view v) noexcept { return v; }
};

// Optional float: omitted means the default, which is not converted; an explicit None
// is not omitted and fails the conversion like any other non-number.
struct FloatDefaultParam {
    const char* name;
    double fallback;
    const char* fallback_text;  // as written in the signature line
    using Held = double;
    static constexpr bool required = false;
    double convert(PyObject* obj) const { return to_double_or(obj, name, fallback); }
    static double value(double v) noexcept { return v; }
};

// Optional float that None switches off: omitted or None give nullopt.
struct FloatOrNoneParam {
    const char* name;
    const char* fallback_text = "None";
    using Held = std::optional<double>;
    static constexpr bool required = false;
    Held convert(PyObject* obj) const {
        if (obj == nullptr || obj == Py_None) return std::nullopt;
        return to_double(obj, name);
    }
    static Held value(const Held& v) noexcept { return v; }
};

// Optional str: omitted means the default text.
struct StrDefaultParam {
    const char* name;
    const char* fallback;
    const char* fallback_text;
    using Held = std::string_view;
    static constexpr bool required = false;
    std::string_view convert(PyObject* obj) const {
        return obj == nullptr ? std::string_view(fallback) : to_utf8(obj, name);
    }
    static std::string_view value(std::string_view v) noexcept { return v; }
};

// Optional str that None switches off: nullopt for None, the default when omitted.
struct StrOrNoneParam {
    const char* name;
    const char* fallback;
    const char* fallback_text;
    using Held = std::optional<std::string_view>;
    static constexpr bool required = false;
    Held convert(PyObject* obj) const {
        if (obj == Py_None) return std::nullopt;
        return obj == nullptr ? std::string_view(fallback) : to_utf8(obj, name);
    }
    static Held value(const Held& v) noexcept { return v; }
};

constexpr Array1DParam array1d(const char* name) { return {name}; }
constexpr Array2DParam array2d(const char* name) { return {name}; }
constexpr FloatParam real(const char* name) { return {name}; }
constexpr StrParam text(const char* name) { return {name}; }
constexpr FloatDefaultParam real_or(const char* name, double fallback, const char* written) {
    return {name, fallback, written};
}
constexpr FloatOrNoneParam real_or_none(const char* name) { return {name}; }
constexpr StrDefaultParam text_or(const char* name, const char* fallback, const char* written) {
    return {name, fallback, written};
}
constexpr StrOrNoneParam text_or_none(const char* name, const char* fallback, const char* written) {
    return {name, fallback, written};
}

template <class... Ps>
constexpr std::tuple<Ps...> params(Ps... ps) {
    return {ps...};
}

template <class Params, class Body>
struct Function;

template <class... Ps, class Body>
struct Function<std::tuple<Ps...>, Body> {
    const char* name;
    const char* doc;  // the docstring's body; its signature line is derived
    std::tuple<Ps...> parameters;
    Body body;

    static constexpr std::size_t arity = sizeof...(Ps);

    // Required parameters come first, so "how many are required" is one number.
    static constexpr std::size_t required() {
        constexpr bool flags[] = {Ps::required..., false};
        std::size_t n = 0;
        while (n < arity && flags[n]) ++n;
        for (std::size_t i = n; i < arity; ++i) {
            if (flags[i]) throw "a required parameter follows an optional one";
        }
        return n;
    }

    std::array<const char*, arity> names() const {
        return std::apply(
            [](const auto&... p) { return std::array<const char*, arity>{p.name...}; }, parameters);
    }

    // "name(a, b, strike=0.0)\n--\n\n" + doc: CPython reads the first line as the
    // text signature (inspect.signature) and shows the rest as __doc__.
    std::string docstring() const {
        std::string out = std::string(name) + "(";
        std::apply(
            [&](const auto&... p) {
                bool first = true;
                ((out += (first ? "" : ", "), first = false, out += p.name, append_default(out, p)),
                 ...);
            },
            parameters);
        return out + ")\n--\n\n" + doc;
    }

    // Binds and converts the arguments, runs the body and builds the Python result.
    Ref call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        static constexpr std::size_t n_required = required();
        std::array<PyObject*, arity> slots{};
        const std::array<const char*, arity> param_names = names();
        bind_arguments(name, param_names.data(), arity, n_required, args, nargs, kwnames,
                       slots.data());
        return convert_and_run(slots, std::index_sequence_for<Ps...>{});
    }

private:
    template <class P>
    static void settle(const P& p, typename P::Held& held) {
        if constexpr (requires { p.settle(held); }) p.settle(held);
    }

    template <class P>
    static void append_default(std::string& out, const P& p) {
        if constexpr (!P::required) {
            out += "=";
            out += p.fallback_text;
        }
    }

    template <std::size_t... I>
    Ref convert_and_run(const std::array<PyObject*, arity>& slots,
                        std::index_sequence<I...>) const {
        // Braced initialisation evaluates left to right: parameter order.
        std::tuple<typename Ps::Held...> held{std::get<I>(parameters).convert(slots[I])...};
        // No Python code runs from here to the body, so what is read stays valid.
        (settle(std::get<I>(parameters), std::get<I>(held)), ...);
        return to_python(body(Ps::value(std::get<I>(held))...));
    }
};

template <class... Ps, class Body>
Function(const char*, const char*, std::tuple<Ps...>, Body) -> Function<std::tuple<Ps...>, Body>;

}  // namespace quarnel::py
