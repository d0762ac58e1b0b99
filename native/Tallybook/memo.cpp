#include "memo.hpp"

namespace tally {

namespace {

enum : uint32_t { M_SCALAR = 0, M_DICT = 1, M_LIST = 2, M_TUPLE = 3 };
constexpr int kMaxDepth = 16;
constexpr size_t kMaxNodes = 512;

bool scalar(PyObject *v) {
    PyTypeObject *t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || v == Py_None || t == &PyBool_Type;
}

}  // namespace

void TextMemo::forget() {
    for (PyObject *o : refs_)
        Py_DECREF(o);
    refs_.clear();
    shape_.clear();
    text_.clear();
    valid_ = false;
    indexed = false;
}

bool TextMemo::matches(PyObject *v) const {
    if (!valid_)
        return false;
    size_t ri = 0, si = 0;
    return walk_match(v, ri, si, 0) && si == shape_.size();
}

bool TextMemo::walk_match(PyObject *v, size_t &ri, size_t &si, int depth) const {
    if (si >= shape_.size() || depth > kMaxDepth)
        return false;
    uint32_t tag = shape_[si++];
    switch (tag & 3) {
    case M_SCALAR:
        return ri < refs_.size() && refs_[ri++] == v;
    case M_DICT: {
        if (!PyDict_CheckExact(v) || static_cast<uint32_t>(PyDict_GET_SIZE(v)) != (tag >> 2))
            return false;
        Py_ssize_t pos = 0;
        PyObject *k, *val;
        while (PyDict_Next(v, &pos, &k, &val)) {
            if (ri >= refs_.size() || refs_[ri++] != k || !walk_match(val, ri, si, depth + 1))
                return false;
        }
        return true;
    }
    default: {
        bool list = (tag & 3) == M_LIST;
        if (list ? !PyList_CheckExact(v) : !PyTuple_CheckExact(v))
            return false;
        Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
        if (static_cast<uint32_t>(n) != (tag >> 2))
            return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!walk_match(list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i), ri, si, depth + 1))
                return false;
        return true;
    }
    }
}

bool TextMemo::walk_record(PyObject *v, int depth) {
    if (depth > kMaxDepth || shape_.size() >= kMaxNodes)
        return false;
    if (scalar(v)) {
        shape_.push_back(M_SCALAR);
        refs_.push_back(Py_NewRef(v));
        return true;
    }
    if (PyDict_CheckExact(v)) {
        shape_.push_back(M_DICT | (static_cast<uint32_t>(PyDict_GET_SIZE(v)) << 2));
        Py_ssize_t pos = 0;
        PyObject *k, *val;
        while (PyDict_Next(v, &pos, &k, &val)) {
            if (!scalar(k))
                return false;
            refs_.push_back(Py_NewRef(k));
            if (!walk_record(val, depth + 1))
                return false;
        }
        return true;
    }
    bool list = PyList_CheckExact(v);
    if (!list && !PyTuple_CheckExact(v))
        return false;
    Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
    shape_.push_back((list ? M_LIST : M_TUPLE) | (static_cast<uint32_t>(n) << 2));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!walk_record(list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i), depth + 1))
            return false;
    return true;
}

void TextMemo::remember(PyObject *v, std::string_view text) {
    forget();
    if (walk_record(v, 0)) {
        text_.assign(text);
        valid_ = true;
    } else {
        forget();
    }
}

}  // namespace tally
