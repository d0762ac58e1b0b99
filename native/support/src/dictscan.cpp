#include "orvane/dictscan.hpp"

#include <vector>

namespace orvane::dictscan {

#ifdef ORVANE_DICT_IN_PLACE

namespace {

// Whether next_in_place and PyDict_Next give the same entries, in the same order, for `d`.
bool agrees(PyObject *d) {
    std::vector<PyObject *> ours, theirs;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (next_in_place(d, &pos, &k, &v)) {
        if (ours.size() > 1024)
            return false;  // (a cursor that does not move on)
        ours.push_back(k);
        ours.push_back(v);
    }
    pos = 0;
    while (PyDict_Next(d, &pos, &k, &v)) {
        theirs.push_back(k);
        theirs.push_back(v);
    }
    return ours == theirs;
}

// Dicts of both key kinds, with deleted entries, grown, and empty; false when any cannot be
// made (the check then fails safe).
bool all_agree() {
    PyObject *str_keys = Py_BuildValue("{s:i,s:i,s:i}", "a", 1, "b", 2, "c", 3);
    PyObject *any_keys = Py_BuildValue("{i:s,s:i,O:O}", 1, "x", "y", 2, Py_None, Py_True);
    PyObject *empty = PyDict_New();
    bool ok = str_keys != nullptr && any_keys != nullptr && empty != nullptr;
    if (ok)
        ok = PyDict_DelItemString(str_keys, "a") == 0 && PyDict_DelItemString(any_keys, "y") == 0;
    for (int i = 0; ok && i < 40; ++i) {
        PyObject *n = PyLong_FromLong(i);
        ok = n != nullptr && PyDict_SetItem(any_keys, n, n) == 0;
        Py_XDECREF(n);
    }
    ok = ok && agrees(str_keys) && agrees(any_keys) && agrees(empty);
    // The key kinds as str_keys_only reads them.
    auto kind = [](PyObject *d) {
        return reinterpret_cast<KeysTable *>(reinterpret_cast<PyDictObject *>(d)->ma_keys)->kind;
    };
    ok = ok && kind(str_keys) == 1 && kind(any_keys) == 0;
    Py_XDECREF(str_keys);
    Py_XDECREF(any_keys);
    Py_XDECREF(empty);
    PyErr_Clear();
    return ok;
}

}  // namespace

bool check_in_place() {
    if (in_place_state < 0) {
        PyObject *pending = PyErr_GetRaisedException();  // (kept as it was)
        in_place_state = all_agree() ? 1 : 0;
        PyErr_SetRaisedException(pending);
    }
    return in_place_state == 1;
}

#endif

}  // namespace orvane::dictscan
