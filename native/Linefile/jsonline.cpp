#include "jsonline.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <unordered_set>
#include <vector>

#include "orvane/outside.hpp"

namespace orvane::linefile {

namespace {

constexpr int kMaxDepth = 1000;  // deeper data is left to json.dumps (and its errors)

struct Fallback {};  // thrown when a value is not ours to encode

const char kHex[] = "0123456789abcdef";

void put_utf8(uint32_t cp, std::string &out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void put_u_escape(uint32_t cp, std::string &out) {
    char buf[6] = {'\\', 'u', kHex[(cp >> 12) & 0xF], kHex[(cp >> 8) & 0xF], kHex[(cp >> 4) & 0xF],
                   kHex[cp & 0xF]};
    out.append(buf, 6);
}

// Code point -> JSON string content (ensure_ascii=False rules).
inline void put_char(uint32_t cp, std::string &out) {
    switch (cp) {
    case '"': out.append("\\\"", 2); return;
    case '\\': out.append("\\\\", 2); return;
    case '\n': out.append("\\n", 2); return;
    case '\r': out.append("\\r", 2); return;
    case '\t': out.append("\\t", 2); return;
    case '\b': out.append("\\b", 2); return;
    case '\f': out.append("\\f", 2); return;
    default: break;
    }
    if (cp < 0x20 || (cp >= 0xD800 && cp <= 0xDFFF)) {
        put_u_escape(cp, out);
        return;
    }
    put_utf8(cp, out);
}

void put_string(PyObject *s, std::string &out) {
    out.push_back('"');
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    if (PyUnicode_IS_ASCII(s)) {
        const char *p = static_cast<const char *>(data);
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            unsigned char c = static_cast<unsigned char>(p[i]);
            if (c < 0x20 || c == '"' || c == '\\') {
                out.append(p + start, static_cast<size_t>(i - start));
                put_char(c, out);
                start = i + 1;
            }
        }
        out.append(p + start, static_cast<size_t>(n - start));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i)
            put_char(PyUnicode_READ(kind, data, i), out);
    }
    out.push_back('"');
}

void put_int(PyObject *v, std::string &out) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow == 0) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, x);
        out.append(buf, static_cast<size_t>(r.ptr - buf));
        return;
    }
    PyObject *text = PyLong_Type.tp_repr(v);  // int.__repr__, as json writes int subclasses
    if (text == nullptr)
        throw nb::python_error();
    Py_ssize_t size = 0;
    const char *u = PyUnicode_AsUTF8AndSize(text, &size);
    if (u == nullptr) {
        Py_DECREF(text);
        throw nb::python_error();
    }
    out.append(u, static_cast<size_t>(size));
    Py_DECREF(text);
}

void put_float(PyObject *v, std::string &out) {
    double d = PyFloat_AS_DOUBLE(v);
    if (std::isnan(d)) {
        out.append("NaN");
        return;
    }
    if (std::isinf(d)) {
        out.append(d > 0 ? "Infinity" : "-Infinity");
        return;
    }
    char *text = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);  // float.__repr__
    if (text == nullptr)
        throw nb::python_error();
    out.append(text);
    PyMem_Free(text);
}

void put_key(PyObject *key, std::string &out) {
    if (PyUnicode_Check(key)) {
        put_string(key, out);
    } else if (PyFloat_Check(key)) {
        out.push_back('"');
        put_float(key, out);
        out.push_back('"');
    } else if (key == Py_True) {
        out.append("\"true\"");
    } else if (key == Py_False) {
        out.append("\"false\"");
    } else if (key == Py_None) {
        out.append("\"null\"");
    } else if (PyLong_Check(key)) {
        out.push_back('"');
        put_int(key, out);
        out.push_back('"');
    } else {
        throw Fallback{};  // json.dumps raises its TypeError for such keys
    }
}

struct Encoder {
    std::vector<PyObject *> path;  // containers being encoded (json's circular check)

    void container_enter(PyObject *c) {
        for (PyObject *p : path)
            if (p == c)
                throw Fallback{};  // json.dumps raises "Circular reference detected"
        if (path.size() >= static_cast<size_t>(kMaxDepth))
            throw Fallback{};
        path.push_back(c);
    }

    void value(PyObject *v, std::string &out) {
        if (PyUnicode_Check(v)) {
            put_string(v, out);
        } else if (v == Py_None) {
            out.append("null");
        } else if (v == Py_True) {
            out.append("true");
        } else if (v == Py_False) {
            out.append("false");
        } else if (PyLong_Check(v)) {
            put_int(v, out);
        } else if (PyFloat_Check(v)) {
            put_float(v, out);
        } else if (PyDict_CheckExact(v)) {
            dict(v, out);
        } else if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
            sequence(v, out);
        } else {
            throw Fallback{};
        }
    }

    void dict(PyObject *d, std::string &out) {
        if (PyDict_GET_SIZE(d) == 0) {
            out.append("{}");
            return;
        }
        container_enter(d);
        // A snapshot of the items: encoding runs no Python code here, but keep it simple & safe.
        PyObject *items = PyDict_Items(d);
        if (items == nullptr)
            throw nb::python_error();
        nb::object hold = nb::steal(items);
        out.push_back('{');
        Py_ssize_t n = PyList_GET_SIZE(items);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = PyList_GET_ITEM(items, i);
            if (i > 0)
                out.append(", ", 2);
            put_key(PyTuple_GET_ITEM(item, 0), out);
            out.append(": ", 2);
            value(PyTuple_GET_ITEM(item, 1), out);
        }
        out.push_back('}');
        path.pop_back();
    }

    void sequence(PyObject *s, std::string &out) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(s);
        if (n == 0) {
            out.append("[]");
            return;
        }
        container_enter(s);
        // Hold a reference to the items: a list could change under a nested call otherwise.
        nb::object hold = nb::steal(PySequence_Fast(s, ""));
        if (!hold.is_valid())
            throw nb::python_error();
        n = PySequence_Fast_GET_SIZE(hold.ptr());
        PyObject **items = PySequence_Fast_ITEMS(hold.ptr());
        out.push_back('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0)
                out.append(", ", 2);
            value(items[i], out);
        }
        out.push_back(']');
        path.pop_back();
    }
};

// Secret-key verdicts, kept while the key set is the same immutable object (a frozenset):
// ASCII keys are folded (for ASCII text casefold is lower) and looked up in a native copy of the
// set's str members, when they are all exact strs; other keys get a cached verdict per key text.
PyObject *verdict_owner = nullptr;  // strong (leaked at exit on purpose)
PyObject *verdicts = nullptr;       // dict: str -> True/False
std::unordered_set<std::string> *ascii_secrets = nullptr;  // null: not usable for this set

void adopt_secret_keys(PyObject *secret_keys) {
    PyObject *fresh = PyDict_New();
    if (fresh == nullptr)
        throw nb::python_error();
    Py_XDECREF(verdicts);
    verdicts = fresh;
    Py_XDECREF(verdict_owner);
    verdict_owner = Py_NewRef(secret_keys);
    delete ascii_secrets;
    ascii_secrets = new std::unordered_set<std::string>();
    nb::object it = nb::steal(PyObject_GetIter(secret_keys));
    if (!it.is_valid())
        throw nb::python_error();
    while (PyObject *next = PyIter_Next(it.ptr())) {
        nb::object held = nb::steal(next);
        PyObject *member = next;
        if (!PyUnicode_CheckExact(member)) {
            delete ascii_secrets;
            ascii_secrets = nullptr;
            return;
        }
        if (PyUnicode_IS_ASCII(member))
            ascii_secrets->emplace(static_cast<const char *>(PyUnicode_DATA(member)),
                                   static_cast<size_t>(PyUnicode_GET_LENGTH(member)));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

bool is_secret(PyObject *key, PyObject *secret_keys) {
    bool cacheable = PyFrozenSet_CheckExact(secret_keys);
    if (cacheable) {
        if (verdict_owner != secret_keys || verdicts == nullptr || PyDict_GET_SIZE(verdicts) > 4096)
            adopt_secret_keys(secret_keys);
        Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        if (ascii_secrets != nullptr && PyUnicode_IS_ASCII(key) && n <= 64) {
            char folded[64];
            const char *p = static_cast<const char *>(PyUnicode_DATA(key));
            for (Py_ssize_t i = 0; i < n; ++i)
                folded[i] = (p[i] >= 'A' && p[i] <= 'Z') ? static_cast<char>(p[i] + 32) : p[i];
            return ascii_secrets->count(std::string(folded, static_cast<size_t>(n))) != 0;
        }
        PyObject *hit = PyDict_GetItemWithError(verdicts, key);  // borrowed
        if (hit != nullptr)
            return hit == Py_True;
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    nb::object folded = nb::steal(PyObject_CallMethod(key, "casefold", nullptr));
    if (!folded.is_valid())
        throw nb::python_error();
    int found = PySequence_Contains(secret_keys, folded.ptr());
    if (found < 0)
        throw nb::python_error();
    if (cacheable && PyDict_SetItem(verdicts, key, found ? Py_True : Py_False) < 0)
        throw nb::python_error();
    return found != 0;
}

// DataFormatter.sanitize's walk (utils._walk / _walk_mapping) fused with the encoder.
struct SanitizingEncoder {
    const SanitizeRules &rules;
    Encoder enc;                   // scalars and markers
    std::vector<PyObject *> path;  // containers on the current path (sanitize's recursion check)

    static bool exact_scalar(PyObject *v) {
        PyTypeObject *t = Py_TYPE(v);
        return v == Py_None || t == &PyUnicode_Type || t == &PyLong_Type ||
               t == &PyFloat_Type || t == &PyBool_Type;
    }

    void walk(PyObject *v, long long depth, std::string &out) {
        if (exact_scalar(v)) {
            enc.value(v, out);
            return;
        }
        PyTypeObject *t = Py_TYPE(v);
        bool is_dict = t == &PyDict_Type;
        if (!is_dict && t != &PyList_Type && t != &PyTuple_Type) {
            if (PyUnicode_Check(v) || PyLong_Check(v) || PyFloat_Check(v)) {
                enc.value(v, out);  // subclasses (str enums, IntEnum, ...) are kept as they are
                return;
            }
            throw Fallback{};
        }
        for (PyObject *p : path) {
            if (p == v) {
                enc.value(rules.recursion_marker, out);
                return;
            }
        }
        if (depth >= rules.max_depth) {
            enc.value(rules.depth_marker, out);
            return;
        }
        if (path.size() >= static_cast<size_t>(kMaxDepth))
            throw Fallback{};  // a raised MAX_DEPTH: such depths are left to Python
        path.push_back(v);
        if (is_dict)
            mapping(v, depth + 1, out);
        else
            sequence(v, depth + 1, out);
        path.pop_back();
    }

    void mapping(PyObject *d, long long depth, std::string &out) {
        out.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        bool first = true;
        // No Python code that could change `d` runs here (only str.casefold on exact strs).
        while (PyDict_Next(d, &pos, &key, &item)) {
            if (!PyUnicode_CheckExact(key))
                throw Fallback{};  // coerced keys may collide: leave them to Python
            if (!first)
                out.append(", ", 2);
            first = false;
            put_string(key, out);
            out.append(": ", 2);
            nb::object hold_item = nb::borrow(item);
            if (is_secret(key, rules.secret_keys))
                enc.value(rules.mask, out);
            else
                walk(item, depth, out);
        }
        out.push_back('}');
    }

    void sequence(PyObject *s, long long depth, std::string &out) {
        out.push_back('[');
        Py_ssize_t n = PySequence_Fast_GET_SIZE(s);
        PyObject **items = PySequence_Fast_ITEMS(s);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0)
                out.append(", ", 2);
            walk(items[i], depth, out);
        }
        out.push_back(']');
    }
};

orvane::outside::Name json_name{"json"};
orvane::outside::Name dumps_name{"dumps"};
orvane::outside::Name ensure_ascii_name{"ensure_ascii"};

}  // namespace

void append_utf8_escaping_surrogates(PyObject *text, std::string &out) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        out.append(static_cast<const char *>(PyUnicode_DATA(text)), static_cast<size_t>(n));
        return;
    }
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint32_t cp = PyUnicode_READ(kind, data, i);
        if (cp >= 0xD800 && cp <= 0xDFFF)
            put_u_escape(cp, out);
        else
            put_utf8(cp, out);
    }
}

bool append_sanitized_json(nb::handle value, const SanitizeRules &rules, std::string &out) {
    size_t mark = out.size();
    try {
        SanitizingEncoder s{rules, Encoder{}, {}};
        s.walk(value.ptr(), 0, out);
        return true;
    } catch (Fallback &) {
        out.resize(mark);
        return false;
    } catch (...) {
        out.resize(mark);
        throw;
    }
}

void append_json(nb::handle value, std::string &out) {
    size_t mark = out.size();
    try {
        Encoder enc;
        enc.value(value.ptr(), out);
        return;
    } catch (Fallback &) {
        out.resize(mark);
    }
    nb::object json = orvane::outside::get(json_name);
    nb::object dumps = nb::steal(PyObject_GetAttr(json.ptr(), dumps_name.get()));
    if (!dumps.is_valid())
        throw nb::python_error();
    PyObject *kwvalues[2] = {value.ptr(), Py_False};
    nb::object kwnames = nb::make_tuple(nb::handle(ensure_ascii_name.get()));
    PyObject *text = PyObject_Vectorcall(dumps.ptr(), kwvalues, 1, kwnames.ptr());
    if (text == nullptr)
        throw nb::python_error();
    nb::object hold = nb::steal(text);
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "json.dumps() did not return a str");
        throw nb::python_error();
    }
    append_utf8_escaping_surrogates(text, out);
}

}  // namespace orvane::linefile
