#include "memo.hpp"
#include "orvane/dictscan.hpp"

namespace tally {

namespace {

enum : uintptr_t { M_DICT = 1, M_LIST = 3, M_TUPLE = 5 };  // odd: never a pointer
constexpr int kMaxDepth = 16;
constexpr size_t kMaxWords = 1024;

bool scalar(PyObject *v) {
    PyTypeObject *t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || v == Py_None || t == &PyBool_Type;
}

inline uintptr_t shape_word(uintptr_t tag, Py_ssize_t n) { return tag | (static_cast<uintptr_t>(n) << 3); }

}  // namespace

// Appends a word (false when out of memory: the walk is then given up). A held object is only
// written once it is in the block, so forget() releases exactly what was taken.
bool TextMemo::walk_push(uintptr_t w) {
    if (walk_size_ == walk_cap_) {
        uint32_t cap = walk_cap_ == 0 ? 8 : walk_cap_ * 2;
        auto *p = static_cast<uintptr_t *>(std::realloc(walk_, cap * sizeof(uintptr_t)));
        if (p == nullptr) {
            if ((w & 1) == 0)
                Py_DECREF(reinterpret_cast<PyObject *>(w));
            return false;
        }
        walk_ = p;
        walk_cap_ = cap;
    }
    walk_[walk_size_++] = w;
    return true;
}

void TextMemo::forget() {
    Py_CLEAR(scalar_);
    for (uint32_t i = 0; i < walk_size_; ++i)
        if ((walk_[i] & 1) == 0)
            Py_DECREF(reinterpret_cast<PyObject *>(walk_[i]));
    walk_size_ = 0;
    valid_ = false;
}

bool TextMemo::match_structure(PyObject *v, bool equal_str) const {
    size_t i = 0;
    return walk_size_ != 0 && walk_match(v, i, 0, equal_str) && i == walk_size_;
}

bool TextMemo::walk_match(PyObject *v, size_t &i, int depth, bool equal_str) const {
    const uintptr_t *walk = walk_;
    const size_t size = walk_size_;
    if (i >= size || depth > kMaxDepth)
        return false;
    uintptr_t w = walk[i++];
    auto same = [equal_str](PyObject *held, PyObject *x) { return held == x || (equal_str && same_scalar(held, x)); };
    if ((w & 1) == 0)
        return same(reinterpret_cast<PyObject *>(w), v);
    Py_ssize_t n = static_cast<Py_ssize_t>(w >> 3);
    switch (w & 7) {
    case M_DICT: {
        if (!PyDict_CheckExact(v) || PyDict_GET_SIZE(v) != n)
            return false;
        Py_ssize_t pos = 0;
        PyObject *k, *val;
        while (orvane::dictscan::dict_next(v, &pos, &k, &val)) {
            if (i >= size || !same(reinterpret_cast<PyObject *>(walk[i++]), k) ||
                !walk_match(val, i, depth + 1, equal_str))
                return false;
        }
        return true;
    }
    case M_LIST:
        if (!PyList_CheckExact(v) || PyList_GET_SIZE(v) != n)
            return false;
        for (Py_ssize_t j = 0; j < n; ++j)
            if (!walk_match(PyList_GET_ITEM(v, j), i, depth + 1, equal_str))
                return false;
        return true;
    default:
        if (!PyTuple_CheckExact(v) || PyTuple_GET_SIZE(v) != n)
            return false;
        for (Py_ssize_t j = 0; j < n; ++j)
            if (!walk_match(PyTuple_GET_ITEM(v, j), i, depth + 1, equal_str))
                return false;
        return true;
    }
}

bool TextMemo::walk_record(PyObject *v, int depth) {
    if (depth > kMaxDepth || walk_size_ >= kMaxWords)
        return false;
    if (scalar(v)) {
        return walk_push(reinterpret_cast<uintptr_t>(Py_NewRef(v)));
    }
    if (PyDict_CheckExact(v)) {
        if (!walk_push(shape_word(M_DICT, PyDict_GET_SIZE(v))))
            return false;
        Py_ssize_t pos = 0;
        PyObject *k, *val;
        while (orvane::dictscan::dict_next(v, &pos, &k, &val)) {
            if (!scalar(k))
                return false;
            if (!walk_push(reinterpret_cast<uintptr_t>(Py_NewRef(k))))
                return false;
            if (!walk_record(val, depth + 1))
                return false;
        }
        return true;
    }
    bool list = PyList_CheckExact(v);
    if (!list && !PyTuple_CheckExact(v))
        return false;
    Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
    if (!walk_push(shape_word(list ? M_LIST : M_TUPLE, n)))
        return false;
    for (Py_ssize_t j = 0; j < n; ++j)
        if (!walk_record(list ? PyList_GET_ITEM(v, j) : PyTuple_GET_ITEM(v, j), depth + 1))
            return false;
    return true;
}

void TextMemo::remember(PyObject *v, size_t offset, size_t length) {
    forget();
    if (length > UINT32_MAX)
        return;
    if (scalar(v)) {
        scalar_ = Py_NewRef(v);
    } else {
        if (pause_ > 0) {
            --pause_;
            return;
        }
        if (!walk_record(v, 0)) {
            forget();
            return;
        }
    }
    offset_ = offset;
    length_ = static_cast<uint32_t>(length);
    valid_ = true;
}

}  // namespace tally
