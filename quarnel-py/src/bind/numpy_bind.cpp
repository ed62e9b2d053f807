#include "bind/numpy_bind.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bind/args.hpp"
#include "bind/errors.hpp"
#include "quarnel/fault.hpp"

namespace quarnel::py {
namespace {

using npy_intp = Py_ssize_t;

// The leading fields of NumPy's array object, identical in 1.x and 2.x.
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;  // bytes
    PyObject* base;
    PyObject* descr;
    int flags;
};

constexpr int kNpyDouble = 12;
constexpr int kNpyArrayWriteable = 0x0400;

// Slots of the C API table used here, the same in both majors.
constexpr int kSlotGetNDArrayCVersion = 0;
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotNewFromDescr = 94;
constexpr int kSlotEquivTypes = 182;
constexpr int kSlotSetBaseObject = 282;

// NumPy's C ABI versions whose table slots and array layout are the ones above: every
// 1.x release, and 2.x. A NumPy with another ABI is refused rather than misread.
constexpr unsigned kNumpy1Abi = 0x01000009;
constexpr unsigned kNumpy2Abi = 0x02000000;

using GetCVersionFn = unsigned (*)();
using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*,
                                     int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

struct NumpyApi {
    PyTypeObject* array_type;
    DescrFromTypeFn descr_from_type;
    NewFromDescrFn new_from_descr;
    EquivTypesFn equiv_types;
    SetBaseObjectFn set_base_object;
};

[[noreturn]] void fail_binding() {
    std::string detail = "no further information";
    if (PyErr_Occurred() != nullptr) {
        PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
        Ref text = Ref::steal(value ? PyObject_Str(value.get()) : nullptr);
        Ref type_name = Ref::steal(type ? PyObject_GetAttrString(type.get(), "__name__") : nullptr);
        const char* tn = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), nullptr) : nullptr;
        const char* tx = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        PyErr_Clear();
        detail = std::string(tn ? tn : "error") + ": " + (tx ? tx : "");
    }
    QUARNEL_FAULT("Failed to access NumPy array API capsule: " + detail);
}

Ref import(const char* name) {
    PyObject* m = PyImport_ImportModule(name);
    if (m == nullptr) fail_binding();
    return Ref::steal(m);
}

Ref attr(PyObject* obj, const char* name) {
    PyObject* a = PyObject_GetAttrString(obj, name);
    if (a == nullptr) fail_binding();
    return Ref::steal(a);
}

NumpyApi load_api() {
    Ref numpy = import("numpy");
    Ref version = attr(numpy.get(), "__version__");
    Ref lib = attr(numpy.get(), "lib");
    Ref numpy_version = attr(lib.get(), "NumpyVersion");
    Ref parsed =
        Ref::steal(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
    if (!parsed) fail_binding();
    const long major = PyLong_AsLong(attr(parsed.get(), "major").get());
    if (major == -1 && PyErr_Occurred() != nullptr) fail_binding();
    Ref multiarray = import(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    Ref capsule = attr(multiarray.get(), "_ARRAY_API");
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) fail_binding();
    const unsigned abi = reinterpret_cast<GetCVersionFn>(table[kSlotGetNDArrayCVersion])();
    if (abi != kNumpy1Abi && abi != kNumpy2Abi) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08x", abi);
        QUARNEL_FAULT(
            std::string(
                "Failed to access NumPy array API capsule: unsupported NumPy C ABI version ") +
            hex);
    }
    // The table lives as long as NumPy's extension module, which is never unloaded.
    return NumpyApi{
        static_cast<PyTypeObject*>(table[kSlotArrayType]),
        reinterpret_cast<DescrFromTypeFn>(table[kSlotDescrFromType]),
        reinterpret_cast<NewFromDescrFn>(table[kSlotNewFromDescr]),
        reinterpret_cast<EquivTypesFn>(table[kSlotEquivTypes]),
        reinterpret_cast<SetBaseObjectFn>(table[kSlotSetBaseObject]),
    };
}

// Bound once per process, under the interpreter lock; a failed attempt is retried.
const NumpyApi& api() {
    static NumpyApi table{};
    static bool bound = false;
    if (!bound) {
        table = load_api();
        bound = true;
    }
    return table;
}

Ref float64_descr(const NumpyApi& np) { return check(np.descr_from_type(kNpyDouble)); }

constexpr const char* kExpected1D = "numpy.ndarray[float64, ndim=1]";
constexpr const char* kExpected2D = "numpy.ndarray[float64, ndim=2]";

bool describe_refused = false;

[[noreturn]] void refuse_array(PyObject* obj, const char* name, const char* expected,
                               const ArrayFields& arr, bool wrong_ndim) {
    if (!describe_refused) throw_downcast_error(obj, name, expected);
    // The dimensions first: a dtype is only worth naming for an array of the right shape.
    Ref found =
        check(wrong_ndim ? PyUnicode_FromFormat("ndim=%d", arr.nd) : PyObject_Str(arr.descr));
    throw_downcast_error(obj, name, expected, found.get());
}

const ArrayFields* checked_array(PyObject* obj, const char* name, int ndim, const char* expected) {
    const NumpyApi& np = api();
    const bool is_array =
        Py_TYPE(obj) == np.array_type || PyType_IsSubtype(Py_TYPE(obj), np.array_type);
    if (!is_array) throw_downcast_error(obj, name, expected);
    const auto* arr = reinterpret_cast<const ArrayFields*>(obj);
    if (arr->nd != ndim) refuse_array(obj, name, expected, *arr, true);
    Ref f64 = float64_descr(np);
    if (arr->descr != f64.get() && !np.equiv_types(arr->descr, f64.get())) {
        refuse_array(obj, name, expected, *arr, false);
    }
    return arr;
}

// Holder of a result buffer: the base object of the array built over it.
struct BufferOwner {
    PyObject ob_base;
    double* data;
};

void buffer_owner_dealloc(PyObject* self) {
    Buffer::deallocate(reinterpret_cast<BufferOwner*>(self)->data);
    PyTypeObject* type = Py_TYPE(self);
    auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    tp_free(self);
    decref(reinterpret_cast<PyObject*>(type));  // instances of heap types own their type
}

PyTypeObject* buffer_owner_type() {
    static PyTypeObject* type = nullptr;  // created once, under the interpreter lock
    if (type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(buffer_owner_dealloc)},
            {Py_tp_doc, const_cast<char*>("Owner of a result array's memory.")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"_quarnel_runtime.BufferOwner", sizeof(BufferOwner), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)).release());
    }
    return type;
}

}  // namespace

void describe_refused_arrays(bool on) noexcept { describe_refused = on; }

HeldArray<View1D> claim_1d(PyObject* obj, const char* name) {
    (void)checked_array(obj, name, 1, kExpected1D);
    return {Ref::borrow(obj)};
}

HeldArray<View2D> claim_2d(PyObject* obj, const char* name) {
    (void)checked_array(obj, name, 2, kExpected2D);
    return {Ref::borrow(obj)};
}

void read(HeldArray<View1D>& held, const char* name) {
    const ArrayFields* arr = checked_array(held.owner.get(), name, 1, kExpected1D);
    held.view = View1D{reinterpret_cast<const std::byte*>(arr->data),
                       static_cast<std::size_t>(arr->dimensions[0]), arr->strides[0]};
}

void read(HeldArray<View2D>& held, const char* name) {
    const ArrayFields* arr = checked_array(held.owner.get(), name, 2, kExpected2D);
    held.view = View2D{
        reinterpret_cast<const std::byte*>(arr->data), static_cast<std::size_t>(arr->dimensions[0]),
        static_cast<std::size_t>(arr->dimensions[1]), arr->strides[0], arr->strides[1]};
}

namespace {

Ref result_array(Buffer buffer, int nd, npy_intp* dims, npy_intp* strides) {
    const NumpyApi& np = api();
    PyTypeObject* owner_type = buffer_owner_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(owner_type, Py_tp_alloc));
    Ref owner = check(alloc(owner_type, 0));
    double* data = buffer.release();
    reinterpret_cast<BufferOwner*>(owner.get())->data = data;  // the owner frees it from here on
    Ref array = check(np.new_from_descr(np.array_type, float64_descr(np).release(), nd, dims,
                                        strides, data, kNpyArrayWriteable, nullptr));
    check_status(np.set_base_object(array.get(), owner.release()));  // steals the owner
    return array;
}

}  // namespace

Ref to_result_array(Buffer buffer) {
    npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(double))};
    return result_array(std::move(buffer), 1, dims, strides);
}

Ref to_result_array(Buffer buffer, std::size_t rows, std::size_t cols) {
    QUARNEL_CHECK(buffer.size() == rows * cols, "result matrix does not match its buffer");
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    npy_intp strides[2] = {static_cast<npy_intp>(cols * sizeof(double)),
                           static_cast<npy_intp>(sizeof(double))};
    return result_array(std::move(buffer), 2, dims, strides);
}

}  // namespace quarnel::py
