// Native search text normalisation.
//
// Produces exactly the text of
//     json.dumps(value, ensure_ascii=False, sort_keys=True, default=str).casefold()
// (or value.casefold() for a str) without going through Python for the common cases. The JSON
// rules follow the C encoder of the json module: None/True/False first, then str (subclasses by
// their text), int (subclasses by int.__repr__, so IntEnum gives its number), float (subclasses by
// float.__repr__, NaN/Infinity/-Infinity for non-finite values), list and tuple, dict (subclasses
// through their items()), anything else through str() and then as a JSON string.
//
// Case folding is per character, so folding the pieces as they are written equals folding the whole
// text: ASCII text is lowered here; non-ASCII text goes through str.casefold. Escapes (\" \\ \n
// \u001f ...) are unaffected by folding.
//
// Where json.dumps would raise and a text can still be given, one is given:
//   - keys that cannot be ordered together ({1: .., "a": ..}) are ordered by their converted key
//     text (UTF-8 byte order = code point order), ties keeping the mapping's order;
//   - keys of a type JSON does not accept as keys (tuples, ...) are written as str(key);
//   - strings holding lone surrogates are written with the surrogates encoded as-is (surrogatepass).
// A container that contains itself still raises ValueError("Circular reference detected"), and
// excessive nesting raises RecursionError, as json.dumps does.
#include "orvane/searchtext.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace orvane::search {

namespace {

PyObject *name_casefold = nullptr;

PyObject *casefold_name() {
    if (name_casefold == nullptr)
        name_casefold = PyUnicode_InternFromString("casefold");
    return name_casefold;
}

// Escape letter of each byte that JSON escapes (control characters, '"', '\\'), 'u' for \u00XX;
// 0 for bytes written as they are.
struct EscapeTable {
    char cls[256];
    constexpr EscapeTable() : cls() {
        for (int c = 0; c < 0x20; ++c)
            cls[c] = 'u';
        cls[int('\b')] = 'b';
        cls[int('\f')] = 'f';
        cls[int('\n')] = 'n';
        cls[int('\r')] = 'r';
        cls[int('\t')] = 't';
        cls[int('"')] = '"';
        cls[int('\\')] = '\\';
    }
};
constexpr EscapeTable kEscape;

// Copies n bytes, lowering ASCII letters (branch-free, so the compiler can vectorise it).
inline void copy_lower(char *d, const char *p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        d[i] = static_cast<char>(c | (static_cast<unsigned char>(c - 'A') < 26u ? 0x20 : 0));
    }
}

inline size_t count_escapes(const char *p, size_t n) {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        k += (c < 0x20) | (c == '"') | (c == '\\');
    }
    return k;
}

// Appends `n` bytes of UTF-8, lowering ASCII letters when `lower` and, when `quoted`, as a JSON
// string (quotes and escapes).
void append_bytes(const char *p, size_t n, std::string &out, bool quoted, bool lower) {
    if (!quoted) {
        if (!lower) {
            out.append(p, n);
            return;
        }
        size_t at = out.size();
        out.resize(at + n);
        copy_lower(out.data() + at, p, n);
        return;
    }
    size_t escapes = count_escapes(p, n);
    size_t at = out.size();
    if (escapes == 0) {
        out.resize(at + n + 2);
        char *d = out.data() + at;
        d[0] = '"';
        if (lower)
            copy_lower(d + 1, p, n);
        else
            std::memcpy(d + 1, p, n);
        d[n + 1] = '"';
        return;
    }
    static const char hex[] = "0123456789abcdef";
    out.resize(at + n + 2 + 5 * escapes);  // an escape takes at most 6 bytes for 1
    char *d = out.data() + at;
    *d++ = '"';
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        char e = kEscape.cls[c];
        if (e == 0) {
            *d++ = (lower && static_cast<unsigned char>(c - 'A') < 26u) ? static_cast<char>(c | 0x20) : static_cast<char>(c);
        } else if (e == 'u') {
            *d++ = '\\';
            *d++ = 'u';
            *d++ = '0';
            *d++ = '0';
            *d++ = hex[c >> 4];
            *d++ = hex[c & 15];
        } else {
            *d++ = '\\';
            *d++ = e;
        }
    }
    *d++ = '"';
    out.resize(static_cast<size_t>(d - out.data()));
}

// UTF-8 of a str object; lone surrogates are passed through. `holder` keeps a temporary alive.
void utf8_of(PyObject *s, const char *&p, Py_ssize_t &n, nb::object &holder) {
    p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p != nullptr)
        return;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        throw nb::python_error();
    PyErr_Clear();
    holder = nb::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    if (!holder.is_valid())
        throw nb::python_error();
    p = PyBytes_AS_STRING(holder.ptr());
    n = PyBytes_GET_SIZE(holder.ptr());
}

// Appends the case-folded text of the str (or str subclass) `s`, JSON-quoted when `quoted`.
void append_str(PyObject *s, std::string &out, bool quoted) {
    if (PyUnicode_IS_ASCII(s)) {
        const char *p = static_cast<const char *>(PyUnicode_DATA(s));
        append_bytes(p, static_cast<size_t>(PyUnicode_GET_LENGTH(s)), out, quoted, true);
        return;
    }
    // str.casefold of the text itself (a subclass is folded by its text, as json sees it).
    nb::object exact = nb::steal(PyUnicode_CheckExact(s) ? Py_NewRef(s) : PyUnicode_FromObject(s));
    if (!exact.is_valid())
        throw nb::python_error();
    nb::object folded = nb::steal(PyObject_CallMethodNoArgs(exact.ptr(), casefold_name()));
    if (!folded.is_valid())
        throw nb::python_error();
    const char *p;
    Py_ssize_t n;
    nb::object holder;
    utf8_of(folded.ptr(), p, n, holder);
    append_bytes(p, static_cast<size_t>(n), out, quoted, false);
}

void append_int(PyObject *o, std::string &out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow == 0) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, r.ptr);
        return;
    }
    nb::object text = nb::steal(PyLong_Type.tp_repr(o));
    if (!text.is_valid())
        throw nb::python_error();
    append_str(text.ptr(), out, false);
}

void append_float(double d, std::string &out) {
    if (std::isnan(d)) {
        out.append("nan");
        return;
    }
    if (std::isinf(d)) {
        out.append(d > 0 ? "infinity" : "-infinity");
        return;
    }
    char *s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (s == nullptr)
        throw nb::python_error();
    append_bytes(s, std::strlen(s), out, false, true);
    PyMem_Free(s);
}

class Encoder {
public:
    explicit Encoder(std::string &out) : out_(out) {}

    void value(PyObject *o) {
        PyTypeObject *t = Py_TYPE(o);
        if (o == Py_None) {
            out_.append("null");
        } else if (o == Py_True) {
            out_.append("true");
        } else if (o == Py_False) {
            out_.append("false");
        } else if (t == &PyUnicode_Type || PyUnicode_Check(o)) {
            append_str(o, out_, true);
        } else if (t == &PyLong_Type || PyLong_Check(o)) {
            append_int(o, out_);
        } else if (t == &PyFloat_Type || PyFloat_Check(o)) {
            append_float(PyFloat_AS_DOUBLE(o), out_);
        } else if (PyList_Check(o) || PyTuple_Check(o)) {
            sequence(o);
        } else if (PyDict_Check(o)) {
            mapping(o);
        } else {
            other(o);
        }
    }

private:
    std::string &out_;
    std::vector<PyObject *> active_;  // containers being written (circularity check)

    int depth_ = 0;

    // Marks `o` as being written: a container met again inside itself is circular. Nesting beyond
    // a few levels also counts against the interpreter's recursion limit, as json.dumps does.
    struct Enter {
        Encoder &e;
        bool counted = false;
        Enter(Encoder &enc, PyObject *o) : e(enc) {
            for (PyObject *a : e.active_)
                if (a == o) {
                    PyErr_SetString(PyExc_ValueError, "Circular reference detected");
                    throw nb::python_error();
                }
            if (e.depth_ >= 32) {
                if (Py_EnterRecursiveCall(" while encoding a JSON object"))
                    throw nb::python_error();
                counted = true;
            }
            ++e.depth_;
            e.active_.push_back(o);
        }
        ~Enter() {
            e.active_.pop_back();
            --e.depth_;
            if (counted)
                Py_LeaveRecursiveCall();
        }
    };

    void sequence(PyObject *o) {
        Py_ssize_t n = PyList_Check(o) ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
        if (n == 0) {
            out_.append("[]");
            return;
        }
        Enter guard(*this, o);
        out_.push_back('[');
        // Re-read the size each round: str() of an element may change a list under us.
        for (Py_ssize_t i = 0;; ++i) {
            Py_ssize_t size = PyList_Check(o) ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
            if (i >= size)
                break;
            if (i > 0)
                out_.append(", ");
            nb::object item = nb::borrow(PyList_Check(o) ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i));
            value(item.ptr());
        }
        out_.push_back(']');
    }

    // The JSON key text of `key` (before quoting), as the json module converts keys.
    static nb::object key_text(PyObject *key) {
        PyObject *r;
        if (PyUnicode_Check(key))
            return nb::borrow(key);
        if (PyFloat_Check(key)) {
            double d = PyFloat_AS_DOUBLE(key);
            if (std::isnan(d))
                r = PyUnicode_FromString("NaN");
            else if (std::isinf(d))
                r = PyUnicode_FromString(d > 0 ? "Infinity" : "-Infinity");
            else
                r = PyFloat_Type.tp_repr(key);
        } else if (key == Py_True) {
            r = PyUnicode_FromString("true");
        } else if (key == Py_False) {
            r = PyUnicode_FromString("false");
        } else if (key == Py_None) {
            r = PyUnicode_FromString("null");
        } else if (PyLong_Check(key)) {
            r = PyLong_Type.tp_repr(key);
        } else {
            r = PyObject_Str(key);  // json.dumps refuses such keys; we write their str()
        }
        if (r == nullptr)
            throw nb::python_error();
        return nb::steal(r);
    }

    void mapping(PyObject *o) {
        if (PyDict_GET_SIZE(o) == 0) {
            out_.append("{}");
            return;
        }
        Enter guard(*this, o);
        if (PyDict_CheckExact(o) && plain_mapping(o))
            return;
        nb::object items = nb::steal(PyDict_CheckExact(o) ? PyDict_Items(o) : PyMapping_Items(o));
        if (!items.is_valid())
            throw nb::python_error();
        Py_ssize_t n = PyList_GET_SIZE(items.ptr());
        std::vector<PyObject *> order;  // borrowed (key, value) tuples from `items`
        order.reserve(static_cast<size_t>(n));
        bool all_str = true;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *kv = PyList_GET_ITEM(items.ptr(), i);
            order.push_back(kv);
            if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(kv, 0)))
                all_str = false;
        }
        if (all_str) {
            std::stable_sort(order.begin(), order.end(), [](PyObject *a, PyObject *b) {
                return PyUnicode_Compare(PyTuple_GET_ITEM(a, 0), PyTuple_GET_ITEM(b, 0)) < 0;
            });
            write_items(order, nullptr);
            return;
        }
        // Mixed or unusual keys: Python's own ordering of the items, as json.dumps does.
        if (PyList_Sort(items.ptr()) == 0) {
            for (Py_ssize_t i = 0; i < n; ++i)
                order[static_cast<size_t>(i)] = PyList_GET_ITEM(items.ptr(), i);
            write_items(order, nullptr);
            return;
        }
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        // Keys that cannot be ordered together: order by their JSON key text instead. The list
        // may have been partly reordered by the failed sort; that order is as good as any for
        // ties (which need equal key texts, e.g. 1 and "1").
        std::vector<std::pair<std::string, PyObject *>> keyed;
        keyed.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            PyObject *kv = PyList_GET_ITEM(items.ptr(), i);
            nb::object k = key_text(PyTuple_GET_ITEM(kv, 0));
            const char *p;
            Py_ssize_t len;
            nb::object holder;
            utf8_of(k.ptr(), p, len, holder);
            keyed.emplace_back(std::string(p, static_cast<size_t>(len)), kv);
        }
        std::stable_sort(keyed.begin(), keyed.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        order.clear();
        for (auto &e : keyed)
            order.push_back(e.second);
        write_items(order, nullptr);
    }

    // An exact dict whose keys are all exact str: ordered and written without building the items
    // list. Returns false (nothing written) when some key is not an exact str.
    bool plain_mapping(PyObject *o) {
        struct Pair {
            PyObject *k, *v;
        };
        Pair local[16];
        std::vector<Pair> heap;
        Py_ssize_t n = PyDict_GET_SIZE(o);
        Pair *pairs = local;
        if (n > 16) {
            heap.resize(static_cast<size_t>(n));
            pairs = heap.data();
        }
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (i < n && PyDict_Next(o, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k))
                return false;
            pairs[i++] = {k, v};
        }
        n = i;
        // Hold the pairs: str() of a value may run code that changes the dict.
        for (Py_ssize_t j = 0; j < n; ++j) {
            Py_INCREF(pairs[j].k);
            Py_INCREF(pairs[j].v);
        }
        struct Release {
            Pair *p;
            Py_ssize_t n;
            ~Release() {
                for (Py_ssize_t j = 0; j < n; ++j) {
                    Py_DECREF(p[j].k);
                    Py_DECREF(p[j].v);
                }
            }
        } release{pairs, n};
        // Keys of a dict are distinct, so any sort gives the one order; small ones by insertion.
        if (n <= 16) {
            for (Py_ssize_t a = 1; a < n; ++a) {
                Pair cur = pairs[a];
                Py_ssize_t b = a;
                while (b > 0 && PyUnicode_Compare(cur.k, pairs[b - 1].k) < 0) {
                    pairs[b] = pairs[b - 1];
                    --b;
                }
                pairs[b] = cur;
            }
        } else {
            std::sort(pairs, pairs + n, [](const Pair &x, const Pair &y) { return PyUnicode_Compare(x.k, y.k) < 0; });
        }
        out_.push_back('{');
        for (Py_ssize_t j = 0; j < n; ++j) {
            if (j > 0)
                out_.append(", ");
            append_str(pairs[j].k, out_, true);
            out_.append(": ");
            value(pairs[j].v);
        }
        out_.push_back('}');
        return true;
    }

    void write_items(const std::vector<PyObject *> &order, void *) {
        out_.push_back('{');
        bool first = true;
        for (PyObject *kv : order) {
            if (!first)
                out_.append(", ");
            first = false;
            PyObject *key = PyTuple_GET_ITEM(kv, 0);
            if (PyUnicode_Check(key)) {
                append_str(key, out_, true);
            } else {
                nb::object k = key_text(key);
                append_str(k.ptr(), out_, true);
            }
            out_.append(": ");
            value(PyTuple_GET_ITEM(kv, 1));
        }
        out_.push_back('}');
    }

    void other(PyObject *o) {
        Enter guard(*this, o);
        nb::object text = nb::steal(PyObject_Str(o));  // default=str
        if (!text.is_valid())
            throw nb::python_error();
        value(text.ptr());
    }
};

}  // namespace

void append_normalized(nb::handle value, std::string &out) {
    PyObject *o = value.ptr();
    if (o == Py_None)
        return;
    if (PyUnicode_Check(o)) {
        append_str(o, out, false);
        return;
    }
    size_t mark = out.size();
    try {
        Encoder(out).value(o);
    } catch (...) {
        out.resize(mark);
        throw;
    }
}

std::string casefold(std::string_view utf8) {
    std::string out;
    bool ascii = true;
    for (char c : utf8)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii) {
        append_bytes(utf8.data(), utf8.size(), out, false, true);
        return out;
    }
    nb::object s = nb::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass"));
    if (!s.is_valid())
        throw nb::python_error();
    append_str(s.ptr(), out, false);
    return out;
}

}  // namespace orvane::search
