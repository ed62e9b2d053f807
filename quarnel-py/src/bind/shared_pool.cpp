#include "bind/shared_pool.hpp"

#include "bind/pyref.hpp"
#include "core/pool.hpp"

namespace quarnel::py {
namespace {

// Where the table is kept: a private name on `sys`, as for the one PanicException
// class, since no module of the library can rely on another being importable.
constexpr const char* kPoolRegistry = "_quarnel_worker_pool";
constexpr const char* kCapsuleName = "quarnel._worker_pool";

}  // namespace

void share_worker_pool() noexcept {
    // The import's own exception state is not ours to touch.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* found = PySys_GetObject(kPoolRegistry);  // borrowed
    if (found == nullptr) {
        auto* own = const_cast<SharedPoolTable*>(WorkerPool::shared_table());
        Ref capsule = Ref::steal(PyCapsule_New(own, kCapsuleName, nullptr));
        // Creating the capsule may run a collection that lets another thread import the
        // other module: whichever table is on `sys` afterwards is the one.
        found = PySys_GetObject(kPoolRegistry);
        if (found == nullptr && capsule) PySys_SetObject(kPoolRegistry, capsule.get());
    }
    if (found != nullptr && PyCapsule_IsValid(found, kCapsuleName)) {
        const auto* table =
            static_cast<const SharedPoolTable*>(PyCapsule_GetPointer(found, kCapsuleName));
        // Refused for this copy's own table and for another version's: the module then
        // keeps a pool of its own, which is correct if not frugal.
        (void)WorkerPool::adopt_shared(table);
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

}  // namespace quarnel::py
