// dict_next: PyDict_Next without a call per entry, for the walks over event payloads (the run
// store's encoding, the deep copy), where the call is a good part of the cost of a dict.
//
// Same contract as PyDict_Next (borrowed key and value, `*pos` an opaque cursor starting at 0,
// the GIL held): on CPython 3.13 built with the GIL, a dict whose keys and values live in one
// table (every dict but an instance's split __dict__) is read in place -- the cursor is the entry
// index, as PyDict_Next itself uses it for such a dict -- and any other dict goes through
// PyDict_Next. The table layout is that of CPython 3.13's dictobject.c; it is checked once
// against PyDict_Next on a few dicts, and a mismatch turns the in-place reading off for the
// process. On any other Python version dict_next is PyDict_Next.
#pragma once

#include <Python.h>

#include <cstdint>

namespace orvane::dictscan {

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define ORVANE_DICT_IN_PLACE 1

// CPython 3.13's keys table (struct _dictkeysobject), followed by its index table and entries.
struct KeysTable {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // 0: any keys (entries with hash), 1: str keys, 2: split (never combined)
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];
};
struct AnyKeyEntry {
    Py_hash_t hash;
    PyObject *key, *value;
};
struct StrKeyEntry {
    PyObject *key, *value;
};

// 1: in-place reading checked and on; 0: off; -1: not checked yet.
inline int in_place_state = -1;
bool check_in_place();  // (sets in_place_state)

// The in-place reading of a combined table (no check of the layout; see dict_next).
inline bool next_in_place(PyObject *op, Py_ssize_t *pos, PyObject **key, PyObject **value) {
    auto *mp = reinterpret_cast<PyDictObject *>(op);
    if (!PyDict_Check(op) || mp->ma_values != nullptr)
        return PyDict_Next(op, pos, key, value);
    auto *keys = reinterpret_cast<KeysTable *>(mp->ma_keys);
    Py_ssize_t i = *pos, n = keys->nentries;
    if (i < 0)
        return false;
    const char *entries = keys->indices + (size_t{1} << keys->log2_index_bytes);
    if (keys->kind == 0) {
        auto *e = reinterpret_cast<const AnyKeyEntry *>(entries);
        while (i < n && e[i].value == nullptr)
            ++i;
        if (i >= n)
            return false;
        *key = e[i].key;
        *value = e[i].value;
    } else {
        auto *e = reinterpret_cast<const StrKeyEntry *>(entries);
        while (i < n && e[i].value == nullptr)
            ++i;
        if (i >= n)
            return false;
        *key = e[i].key;
        *value = e[i].value;
    }
    *pos = i + 1;
    return true;
}

// The value slot of entry `index` of the combined table of exact dict `op`, when that entry holds
// `key` (compared by address); nullptr otherwise (and for any dict not read in place). For a
// dict made by the caller and seen by no one else (the deep copy's shallow copies, the run
// store's copies of its templates): writing the slot replaces the key's value without a look-up,
// as PyDict_SetItem would for an existing key, except that it neither tracks the dict for the
// garbage collector nor tells a watcher (the caller sees to both).
inline PyObject **value_slot(PyObject *op, Py_ssize_t index, PyObject *key) {
    if (in_place_state != 1 && (in_place_state == 0 || !check_in_place()))
        return nullptr;
    if (!PyDict_CheckExact(op))
        return nullptr;
    auto *mp = reinterpret_cast<PyDictObject *>(op);
    if (mp->ma_values != nullptr)
        return nullptr;
    auto *keys = reinterpret_cast<KeysTable *>(mp->ma_keys);
    if (index < 0 || index >= keys->nentries)
        return nullptr;
    char *entries = keys->indices + (size_t{1} << keys->log2_index_bytes);
    if (keys->kind == 0) {
        auto *e = reinterpret_cast<AnyKeyEntry *>(entries) + index;
        return e->key == key && e->value != nullptr ? &e->value : nullptr;
    }
    auto *e = reinterpret_cast<StrKeyEntry *>(entries) + index;
    return e->key == key && e->value != nullptr ? &e->value : nullptr;
}

// True when `op` is an exact dict whose combined table takes exact str keys only (CPython
// converts the table as soon as any other key goes in); false when that is not known.
inline bool str_keys_only(PyObject *op) {
    if (in_place_state != 1 && (in_place_state == 0 || !check_in_place()))
        return false;
    if (!PyDict_CheckExact(op))
        return false;
    auto *mp = reinterpret_cast<PyDictObject *>(op);
    return mp->ma_values == nullptr && reinterpret_cast<KeysTable *>(mp->ma_keys)->kind == 1;
}

inline bool dict_next(PyObject *op, Py_ssize_t *pos, PyObject **key, PyObject **value) {
    if (in_place_state != 1) [[unlikely]] {
        if (in_place_state == 0 || !check_in_place())
            return PyDict_Next(op, pos, key, value);
    }
    return next_in_place(op, pos, key, value);
}

#else

inline bool dict_next(PyObject *op, Py_ssize_t *pos, PyObject **key, PyObject **value) {
    return PyDict_Next(op, pos, key, value);
}

inline PyObject **value_slot(PyObject *, Py_ssize_t, PyObject *) { return nullptr; }

inline bool str_keys_only(PyObject *) { return false; }

#endif

}  // namespace orvane::dictscan
