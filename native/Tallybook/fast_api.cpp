// The store's private interface for the other extension modules (see fast_api.hpp).
#include "fast_api.hpp"

#include <nanobind/nanobind.h>

#include <new>
#include <stdexcept>
#include <vector>

#include "orvane/coro.hpp"
#include "orvane/pyutil.hpp"
#include "store.hpp"

namespace tally {

namespace {

struct Snapshot {
    PyObject *owner;  // strong: the store
    Store *store;
    std::vector<HeldRef> items;
};

tally_api::Api api;

void *snapshot_recent(PyObject *store) {
    if (Py_TYPE(store) != api.store_type || !nb::inst_ready(nb::handle(store))) {
        PyErr_SetString(PyExc_TypeError, "expected an initialised RuntimeTallybook");
        return nullptr;
    }
    try {
        Store *s = nb::inst_ptr<Store>(nb::handle(store));
        auto *snap = new Snapshot{Py_NewRef(store), s, s->recent_refs()};
        return snap;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

void release(void *p) {
    auto *snap = static_cast<Snapshot *>(p);
    PyObject *owner = snap->owner;
    delete snap;
    Py_DECREF(owner);
}

size_t size(const void *p) { return static_cast<const Snapshot *>(p)->items.size(); }

PyObject *decode(void *p, size_t i) {
    auto *snap = static_cast<Snapshot *>(p);
    try {
        return snap->store->decode_held(*snap->items[i].get()).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

int fields_contain(const void *p, size_t i, const char *needle, size_t n) {
    // May write the run's owed search text first (never raises: -1 when it cannot be known).
    auto *snap = static_cast<const Snapshot *>(p);
    return snap->store->event_fields_contain(*snap->items[i].get(), std::string_view(needle, n));
}

const void *run_key(const void *p, size_t i) {
    return static_cast<const Snapshot *>(p)->items[i]->shared;
}

int timestamp(const void *p, size_t i, int64_t *out) {
    const Held &h = *static_cast<const Snapshot *>(p)->items[i].get();
    if (!h.ts_native())
        return 0;
    *out = h.ts();
    return 1;
}

// Sets the Python error nanobind sets for the C++ exception being handled when it leaves a method
// of the store, so that an entry raises what the method raises.
void set_error_as_a_method_would() {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &) {
        orvane::coro::set_python_error_from_current();
    } catch (const std::bad_alloc &e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::domain_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::range_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "a C++ exception of unknown type left the run store");
    }
}

void *store_of(PyObject *store) {
    if (!PyObject_TypeCheck(store, api.store_type) || !nb::inst_ready(nb::handle(store))) {
        PyErr_SetString(PyExc_TypeError, "expected an initialised RuntimeTallybook");
        return nullptr;
    }
    return nb::inst_ptr<Store>(nb::handle(store));
}

PyObject *derive_record(void *store, PyObject *event_type, PyObject *timestamp, PyObject *source, PyObject *message,
                        PyObject *meta, PyObject *run) {
    try {
        return static_cast<Store *>(store)
            ->derive_record(event_type, timestamp, source, message, meta, run)
            .release()
            .ptr();
    } ORVANE_CATCH_ALL_BUT_FORCED_UNWIND {
        set_error_as_a_method_would();
    }
    return nullptr;
}

}  // namespace

void publish_fast_api(nb::module_ &m, nb::handle store_type) {
    api.version = tally_api::kVersion;
    api.store_type = reinterpret_cast<PyTypeObject *>(Py_NewRef(store_type.ptr()));  // kept for good
    api.snapshot_recent = snapshot_recent;
    api.release = release;
    api.size = size;
    api.decode = decode;
    api.fields_contain = fields_contain;
    api.run_key = run_key;
    api.timestamp = timestamp;
    api.store_of = store_of;
    api.derive_record = derive_record;
    PyObject *cap = PyCapsule_New(&api, tally_api::kCapsule, nullptr);
    if (PyModule_Add(m.ptr(), "_fast_api", cap) < 0)  // takes the capsule in every case
        throw nb::python_error();
}

}  // namespace tally
