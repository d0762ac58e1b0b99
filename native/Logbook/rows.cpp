// The log database writer's rows, built here for the events that need nothing but what the
// writer already remembers: see log_rows in logbook.hpp and the writer (logs/_writer.py), whose
// loop this does step for step for those events and hands every other event back to. Run records
// are derived by the writer's own run store, through the store's C interface.
#include <Python.h>

#include "../Tallybook/fast_api.hpp"
#include "logbook.hpp"
#include "names.hpp"
#include "orvane/args.hpp"
#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::logbook {

using namespace names;
using orvane::outside::Name;
using orvane::py::checked;

namespace {

constexpr Py_ssize_t kRowSize = 16;

// The run store's C interface (set once at import, kept for the process).
const tally_api::Api *store_api = nullptr;

// store._derive_record(event_type, timestamp, source, message, meta, run) for the store's native
// half `native` (from store_api->store_of): the run's status after it.
nb::object derive(void *native, PyObject *event_type, PyObject *timestamp, PyObject *source, PyObject *message,
                  PyObject *meta, PyObject *run) {
    return checked(store_api->derive_record(native, event_type, timestamp, source, message, meta, run));
}

// The attributes of the writer's _RunState read here.
Name a_head_id{"head_id"};
Name a_ctx_id{"ctx_id"};
Name a_ctx_json{"ctx_json"};
Name a_run_key{"run_key"};
Name a_vals{"vals"};
Name a_seen_json{"seen_json"};
Name a_seen_meta{"seen_meta"};
Name a_seen_status{"seen_status"};

// a != b, for values that are str or None
bool differ(nb::handle a, nb::handle b) {
    if (a.ptr() == b.ptr())
        return false;
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// vals.get(text) when `text` is long enough to be kept once per run (else None, as the writer's
// `... if len(text) >= min_chars else None`); `known` is false when the writer would have to
// call _val_for (a text the run has not repeated yet, or one not yet in its `vals`).
nb::object val_key(nb::handle vals, nb::handle text, Py_ssize_t min_chars, bool &known) {
    if (PyUnicode_GET_LENGTH(text.ptr()) < min_chars)
        return nb::none();
    PyObject *key = PyDict_GetItemWithError(vals.ptr(), text.ptr());  // borrowed
    if (key == nullptr && PyErr_Occurred())
        throw nb::python_error();
    if (key == nullptr || !orvane::py::truthy(key)) {
        known = false;
        return nb::none();
    }
    return nb::borrow(key);
}

// The decimal digits of n written at `out` (at most 20); returns how many.
size_t decimal(size_t n, char *out) {
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    for (size_t k = 0; k < count; ++k)
        out[k] = digits[count - 1 - k];
    return count;
}

// Whether `part`, a search value, is the column `column` as it stands ("" for None), for the
// values a row's columns give again (logs/_schema.py, EVENT_TEXT_SQL): exact str columns only,
// and no NUL (SQL's length() stops at one).
bool column_is(PyObject *part, PyObject *column) {
    if (column == Py_None)
        return PyUnicode_GET_LENGTH(part) == 0;
    if (!PyUnicode_CheckExact(column) || PyUnicode_FindChar(part, 0, 0, PyUnicode_GET_LENGTH(part), 1) != -1)
        return false;
    return PyUnicode_Compare(part, column) == 0;
}

// The writer's _cut_texts test: the first four search values are the row's event_id, event_type,
// source and level columns, the id not empty.
bool columns_give(nb::handle parts, PyObject *event_id, PyObject *etype, PyObject *source, PyObject *level) {
    PyObject *id_part = PyTuple_GET_ITEM(parts.ptr(), 0);
    bool same = PyUnicode_CheckExact(event_id) && PyUnicode_GET_LENGTH(id_part) > 0 && column_is(id_part, event_id) &&
                PyUnicode_CheckExact(etype) && column_is(PyTuple_GET_ITEM(parts.ptr(), 1), etype) &&
                column_is(PyTuple_GET_ITEM(parts.ptr(), 2), source) && column_is(PyTuple_GET_ITEM(parts.ptr(), 3), level);
    if (PyErr_Occurred())
        throw nb::python_error();
    return same;
}

// ("%d,%d,%d,%d,%d,%d,%d,%d" % lengths, " ".join(filter(None, texts))) of the eight texts, the
// payload's and the meta's left out (as "") where `omit_pay` / `omit_meta`; with `cut`, of the
// last four only and the lengths after a "+" (the writer's _cut_texts).
std::pair<nb::object, nb::object> lens_and_text(nb::handle parts, bool omit_pay, bool omit_meta, bool cut) {
    static PyObject *space = PyUnicode_InternFromString(" ");
    char lens[kParts * 21 + 1];
    size_t used = 0;
    const Py_ssize_t first = cut ? 4 : 0;
    if (cut)
        lens[used++] = '+';
    nb::object kept = checked(PyList_New(0));
    for (Py_ssize_t k = first; k < kParts; ++k) {
        PyObject *part = PyTuple_GET_ITEM(parts.ptr(), k);
        bool omitted = (k == kPayloadPart && omit_pay) || (k == kMetaPart && omit_meta);
        Py_ssize_t n = omitted ? 0 : PyUnicode_GET_LENGTH(part);
        if (k > first)
            lens[used++] = ',';
        used += decimal(static_cast<size_t>(n), lens + used);
        if (n > 0 && PyList_Append(kept.ptr(), part) < 0)
            throw nb::python_error();
    }
    nb::object lens_text = checked(PyUnicode_FromStringAndSize(lens, static_cast<Py_ssize_t>(used)));
    nb::object text = checked(PyUnicode_Join(space, kept.ptr()));
    return {std::move(lens_text), std::move(text)};
}

bool is_prepared(PyObject *p) {
    if (!PyTuple_CheckExact(p) || PyTuple_GET_SIZE(p) != P_COUNT)
        return false;
    PyObject *parts = PyTuple_GET_ITEM(p, P_PARTS);
    if (!PyTuple_CheckExact(parts) || PyTuple_GET_SIZE(parts) != kParts)
        return false;
    for (Py_ssize_t k = 0; k < kParts; ++k)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(parts, k)))
            return false;
    return true;
}

}  // namespace

void init_store_api() {
    auto *api = static_cast<const tally_api::Api *>(PyCapsule_Import(tally_api::kCapsule, 0));
    if (api == nullptr)
        throw nb::python_error();
    if (api->version < tally_api::kDeriveVersion) {
        PyErr_Format(PyExc_ImportError, "%s has version %d; the log service's rows need version %d",
                     tally_api::kCapsule, api->version, tally_api::kDeriveVersion);
        throw nb::python_error();
    }
    store_api = api;
}

nb::tuple log_rows(nb::handle store, nb::handle items, Py_ssize_t start, nb::handle seen_ids, nb::handle working,
                   nb::handle touched, nb::handle rows, long long seq, long long tick, nb::handle types,
                   nb::handle apps, Py_ssize_t val_min_chars, long long sample_every, bool cut_texts) {
    orvane::args::require(store, store_api->store_type, "store");
    if (!PyList_CheckExact(items.ptr()) || !PySet_CheckExact(seen_ids.ptr()) || !PyDict_CheckExact(working.ptr()) ||
        !PyDict_CheckExact(touched.ptr()) || !PyList_CheckExact(rows.ptr()) || !PyAnySet_Check(types.ptr()) ||
        !PyAnySet_Check(apps.ptr()))
        throw nb::type_error("_log_rows: items, rows are lists; seen_ids, types, apps sets; working, touched dicts");
    // The caller holds `store` for the whole call, so its native half stays valid.
    void *native = store_api->store_of(store.ptr());
    if (native == nullptr)
        throw nb::python_error();
    long long stored = 0, dups = 0;
    nb::object status = nb::none();
    Py_ssize_t i = start;
    // The list may change only through Python code run from here (a str subclass's __eq__):
    // its size is read again on each turn.
    for (; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::object p = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
        if (!is_prepared(p.ptr()))
            break;  // the writer's own loop deals with it (and raises what it raises)
        PyObject *event_id = PyTuple_GET_ITEM(p.ptr(), P_ID);
        int seen = PySet_Contains(seen_ids.ptr(), event_id);
        if (seen < 0)
            throw nb::python_error();
        if (seen) {
            ++dups;
            continue;
        }
        // Everything that could send the event to the writer's own loop before derivation is
        // checked first, so that such an event is handed back untouched.
        if (tick + 1 >= sample_every)
            break;  // its text is sampled
        PyObject *etype = PyTuple_GET_ITEM(p.ptr(), P_TYPE);
        PyObject *app = PyTuple_GET_ITEM(p.ptr(), P_APP);
        int known_name = PySet_Contains(types.ptr(), etype);
        if (known_name > 0 && app != Py_None)
            known_name = PySet_Contains(apps.ptr(), app);
        if (known_name < 0)
            throw nb::python_error();
        if (!known_name)
            break;  // a new event type or app id for the `names` table
        PyObject *run_id = PyTuple_GET_ITEM(p.ptr(), P_RUN);
        nb::handle parts = PyTuple_GET_ITEM(p.ptr(), P_PARTS);
        nb::object state, run_key, head_id, ctx_id, pay_val = nb::none(), meta_val = nb::none();
        if (run_id != Py_None) {
            PyObject *found = PyDict_GetItemWithError(working.ptr(), run_id);  // borrowed
            if (found == nullptr) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                break;  // a run to adopt
            }
            state = nb::borrow(found);
            nb::object vals = orvane::py::attr(state, a_vals);
            if (!PyDict_CheckExact(vals.ptr()))
                break;
            bool known = true;
            pay_val = val_key(vals, PyTuple_GET_ITEM(parts.ptr(), kPayloadPart), val_min_chars, known);
            meta_val = val_key(vals, PyTuple_GET_ITEM(parts.ptr(), kMetaPart), val_min_chars, known);
            if (!known)
                break;  // a payload or meta text to remember (_val_for)
            if (PySet_Add(seen_ids.ptr(), event_id) < 0)
                throw nb::python_error();
            status = derive(native, etype, PyTuple_GET_ITEM(p.ptr(), P_TS), PyTuple_GET_ITEM(p.ptr(), P_SOURCE),
                            PyTuple_GET_ITEM(p.ptr(), P_MESSAGE), PyTuple_GET_ITEM(p.ptr(), P_META),
                            PyTuple_GET_ITEM(p.ptr(), P_CONTEXT));
            // The record's texts change only with the context, the event's meta or the status.
            nb::handle run_json = PyTuple_GET_ITEM(p.ptr(), P_RUN_JSON);
            head_id = orvane::py::attr(state, a_head_id);
            if (head_id.is_none() || differ(run_json, orvane::py::attr(state, a_seen_json)) ||
                differ(PyTuple_GET_ITEM(parts.ptr(), kMetaPart), orvane::py::attr(state, a_seen_meta)) ||
                differ(status, orvane::py::attr(state, a_seen_status)))
                return nb::make_tuple(i, seq, tick, stored, dups, status);  // a new head row
            ctx_id = orvane::py::attr(state, a_ctx_id);
            if (ctx_id.is_none() || differ(run_json, orvane::py::attr(state, a_ctx_json)))
                return nb::make_tuple(i, seq, tick, stored, dups, status);  // a new context row
            run_key = orvane::py::attr(state, a_run_key);
            if (PyDict_SetItem(touched.ptr(), run_id, state.ptr()) < 0)
                throw nb::python_error();
            status = nb::none();
        } else {
            if (PySet_Add(seen_ids.ptr(), event_id) < 0)
                throw nb::python_error();
            run_key = head_id = ctx_id = nb::none();
        }
        const bool cut = cut_texts && columns_give(parts, event_id, etype, PyTuple_GET_ITEM(p.ptr(), P_SOURCE),
                                                   PyTuple_GET_ITEM(p.ptr(), P_LEVEL));
        auto [lens, text] = lens_and_text(parts, !pay_val.is_none(), !meta_val.is_none(), cut);
        ++seq;
        nb::object row = checked(PyTuple_New(kRowSize));
        PyObject *values[kRowSize] = {
            nullptr,                                // seq, made below
            event_id,
            run_key.ptr(),
            PyTuple_GET_ITEM(p.ptr(), P_TS),
            etype,
            PyTuple_GET_ITEM(p.ptr(), P_SOURCE),
            PyTuple_GET_ITEM(p.ptr(), P_LEVEL),
            app,
            PyTuple_GET_ITEM(p.ptr(), P_GROUP),
            head_id.ptr(),
            ctx_id.ptr(),
            pay_val.ptr(),
            meta_val.ptr(),
            lens.ptr(),
            text.ptr(),
            PyTuple_GET_ITEM(p.ptr(), P_BODY),
        };
        values[0] = PyLong_FromLongLong(seq);
        if (values[0] == nullptr)
            throw nb::python_error();
        PyTuple_SET_ITEM(row.ptr(), 0, values[0]);
        for (Py_ssize_t k = 1; k < kRowSize; ++k)
            PyTuple_SET_ITEM(row.ptr(), k, Py_NewRef(values[k]));
        if (PyList_Append(rows.ptr(), row.ptr()) < 0)
            throw nb::python_error();
        ++tick;
        ++stored;
    }
    return nb::make_tuple(i, seq, tick, stored, dups, nb::none());
}

}  // namespace orvane::logbook
