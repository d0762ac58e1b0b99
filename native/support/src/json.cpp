// The JSON writer (json.hpp).
//
// Strings are written straight from the str object's storage (1, 2 or 4 bytes per code point),
// in two passes over long text (measure, then write into space made once), so no UTF-8 copy is
// made or cached on the object. Floats are written from the shortest round-trip digits
// (std::to_chars) laid out as float.__repr__ lays them out, without Python's allocation.
#include "orvane/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "orvane/dictscan.hpp"

namespace orvane::json {

namespace {

PyObject *m_casefold() {
    static PyObject *name = PyUnicode_InternFromString("casefold");  // kept for the process
    if (name == nullptr)
        throw nb::python_error();
    return name;
}

// The escape letter of each byte JSON escapes ('u' for \u00XX), 0 for bytes written as they are.
struct EscapeTable {
    char letter[256];
    constexpr EscapeTable() : letter() {
        for (int c = 0; c < 0x20; ++c)
            letter[c] = 'u';
        letter[int('\b')] = 'b';
        letter[int('\f')] = 'f';
        letter[int('\n')] = 'n';
        letter[int('\r')] = 'r';
        letter[int('\t')] = 't';
        letter[int('"')] = '"';
        letter[int('\\')] = '\\';
    }
};
constexpr EscapeTable kEscape;
constexpr char kHex[] = "0123456789abcdef";

inline char lower_ascii(unsigned char c) {
    return static_cast<char>(c | (static_cast<unsigned char>(c - 'A') < 26u ? 0x20 : 0));
}

// Number of bytes of `p` that JSON escapes (branch-free, so the compiler vectorises it).
inline size_t count_escapes(const char *p, size_t n) {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        k += (c < 0x20) | (c == '"') | (c == '\\');
    }
    return k;
}

// Whether any byte of `p` is one JSON escapes, eight bytes at a time: for a word w, a byte below
// 0x20 shows in (w - 0x20..) & ~w & 0x80.., and a byte equal to c as a zero byte of w ^ (c..).
// The last bytes (fewer than eight) are read into a word padded with spaces, which never escape.
inline bool has_escape(const char *p, size_t n) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    auto escapes_in = [](uint64_t w) {
        uint64_t quote = w ^ (kOnes * '"'), backslash = w ^ (kOnes * '\\');
        uint64_t found = ((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) |
                         ((backslash - kOnes) & ~backslash);
        return (found & kHighs) != 0;
    };
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (escapes_in(w))
            return true;
    }
    if (i == n)
        return false;
    uint64_t w = kOnes * ' ';
    std::memcpy(&w, p + i, n - i);
    return escapes_in(w);
}

inline char *put_escape(char *d, unsigned char c) {
    char e = kEscape.letter[c];
    *d++ = '\\';
    *d++ = e;
    if (e == 'u') {
        *d++ = '0';
        *d++ = '0';
        *d++ = kHex[c >> 4];
        *d++ = kHex[c & 15];
    }
    return d;
}

inline char *put_u_escape(char *d, uint32_t cp) {
    *d++ = '\\';
    *d++ = 'u';
    *d++ = kHex[(cp >> 12) & 15];
    *d++ = kHex[(cp >> 8) & 15];
    *d++ = kHex[(cp >> 4) & 15];
    *d++ = kHex[cp & 15];
    return d;
}

// Appends ASCII-compatible bytes as a JSON string when `quoted` (quotes and escapes), else as
// they are; ASCII letters lowered when `lower`.
void put_bytes(std::string &out, const char *p, size_t n, bool quoted, bool lower) {
    if (!lower && !(quoted && has_escape(p, n))) {  // the common case: nothing to change
        if (quoted)
            out.push_back('"');
        out.append(p, n);
        if (quoted)
            out.push_back('"');
        return;
    }
    size_t escapes = quoted ? count_escapes(p, n) : 0;
    size_t at = out.size();
    out.resize(at + n + (quoted ? 2 : 0) + 5 * escapes);  // an escape takes at most 6 bytes for 1
    char *d = out.data() + at;
    if (quoted)
        *d++ = '"';
    if (escapes == 0) {
        for (size_t i = 0; i < n; ++i)
            d[i] = lower_ascii(static_cast<unsigned char>(p[i]));
        d += n;
    } else {
        for (size_t i = 0; i < n; ++i) {
            auto c = static_cast<unsigned char>(p[i]);
            if (kEscape.letter[c] != 0)
                d = put_escape(d, c);
            else
                *d++ = lower ? lower_ascii(c) : static_cast<char>(c);
        }
    }
    if (quoted)
        *d++ = '"';
    out.resize(static_cast<size_t>(d - out.data()));
}

inline bool is_surrogate(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

// Bytes the code point takes in the output.
inline size_t width_of(uint32_t cp, bool quoted, Surrogates s) {
    if (cp < 0x80)
        return quoted && kEscape.letter[cp] != 0 ? (kEscape.letter[cp] == 'u' ? 6 : 2) : 1;
    if (cp < 0x800)
        return 2;
    if (cp < 0x10000)
        return is_surrogate(cp) && s == Surrogates::Escape ? 6 : 3;
    return 4;
}

inline char *put_code_point(char *d, uint32_t cp, bool quoted, Surrogates s) {
    if (cp < 0x80) {
        if (quoted && kEscape.letter[cp] != 0)
            return put_escape(d, static_cast<unsigned char>(cp));
        *d++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *d++ = static_cast<char>(0xC0 | (cp >> 6));
        *d++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        if (is_surrogate(cp) && s == Surrogates::Escape)
            return put_u_escape(d, cp);
        *d++ = static_cast<char>(0xE0 | (cp >> 12));
        *d++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *d++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *d++ = static_cast<char>(0xF0 | (cp >> 18));
        *d++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *d++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *d++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return d;
}

template <typename Unit>
void put_units(std::string &out, const Unit *p, size_t n, bool quoted, Surrogates s) {
    size_t size = quoted ? 2 : 0;
    bool refuse = s == Surrogates::Refuse;
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = p[i];
        if (refuse && is_surrogate(cp))
            throw Unsupported{};
        size += width_of(cp, quoted, s);
    }
    size_t at = out.size();
    out.resize(at + size);
    char *d = out.data() + at;
    if (quoted)
        *d++ = '"';
    for (size_t i = 0; i < n; ++i)
        d = put_code_point(d, p[i], quoted, s);
    if (quoted)
        *d = '"';
}

// Appends the text of the str `s`, as a JSON string when `quoted`, ASCII letters lowered when
// `lower` (the caller folds non-ASCII text itself).
void put_text(std::string &out, PyObject *s, bool quoted, bool lower, Surrogates surrogates) {
    size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    const void *data = PyUnicode_DATA(s);
    if (PyUnicode_IS_ASCII(s)) {
        put_bytes(out, static_cast<const char *>(data), n, quoted, lower);
        return;
    }
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        put_units(out, static_cast<const Py_UCS1 *>(data), n, quoted, surrogates);
        break;
    case PyUnicode_2BYTE_KIND:
        put_units(out, static_cast<const Py_UCS2 *>(data), n, quoted, surrogates);
        break;
    default:
        put_units(out, static_cast<const Py_UCS4 *>(data), n, quoted, surrogates);
        break;
    }
}

// str.casefold() of a str (a subclass is folded by its text, as json sees it).
nb::object casefolded(PyObject *s) {
    nb::object exact = nb::steal(PyUnicode_CheckExact(s) ? Py_NewRef(s) : PyUnicode_FromObject(s));
    if (!exact.is_valid())
        throw nb::python_error();
    nb::object folded = nb::steal(PyObject_CallMethodNoArgs(exact.ptr(), m_casefold()));
    if (!folded.is_valid())
        throw nb::python_error();
    return folded;
}

// Containers nested this deep or deeper count against the interpreter's recursion limit.
constexpr size_t kFreeDepth = 32;

}  // namespace

// ---------------------------------------------------------------- pieces

nb::object key_text(PyObject *key, NonFinite non_finite) {
    PyObject *r;
    if (PyUnicode_Check(key))
        return nb::borrow(key);
    if (PyFloat_Check(key)) {
        double d = PyFloat_AS_DOUBLE(key);
        if (!std::isfinite(d)) {
            if (non_finite == NonFinite::Refuse)
                throw Unsupported{};
            r = PyUnicode_FromString(std::isnan(d) ? "NaN" : d > 0 ? "Infinity" : "-Infinity");
        } else {
            r = PyFloat_Type.tp_repr(key);
        }
    } else if (key == Py_True) {
        r = PyUnicode_FromString("true");
    } else if (key == Py_False) {
        r = PyUnicode_FromString("false");
    } else if (key == Py_None) {
        r = PyUnicode_FromString("null");
    } else if (PyLong_Check(key)) {
        r = PyLong_Type.tp_repr(key);
    } else {
        return nb::object();
    }
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

void append_utf8(std::string &out, PyObject *s, Surrogates surrogates) {
    put_text(out, s, false, false, surrogates);
}

namespace {

// float.__repr__ of `d` when that is a plain decimal of at most about 15 significant digits
// (1e-4 <= |d| < 1e15): the values events carry (prices, scores, durations) are mostly such.
// The text has the fewest digits after the point, k, for which the integer M nearest to |d|·10^k
// gives d back as M / 10^k (an exact integer divided by an exact power of ten, so the division is
// the correctly rounded value of the decimal M·10^-k: that decimal reads back as d). Below 2^51 the
// product |d|·10^k is computed within 0.375 of the shortest decimal's M at its k, so no shorter
// text is missed; and at most one integer at that k reads back as d, so it is the digits repr
// chooses. False (nothing written) for anything else, which the general path writes.
bool append_short_decimal(std::string &out, double d) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    double a = std::fabs(d);
    if (!(a >= 1e-4 && a < 1e15))
        return false;
    for (int k = 0; k < 16; ++k) {
        double product = a * kPow10[k];
        if (product >= 0x1p51)
            return false;
        double m = std::floor(product + 0.5);
        if (m / kPow10[k] != a)
            continue;
        char digits[24];
        int nd = static_cast<int>(std::to_chars(digits, digits + sizeof digits, static_cast<uint64_t>(m)).ptr - digits);
        char buf[48];
        char *o = buf;
        if (std::signbit(d))
            *o++ = '-';
        if (k == 0) {  // an integral value: "12.0"
            std::memcpy(o, digits, static_cast<size_t>(nd));
            o += nd;
            *o++ = '.';
            *o++ = '0';
        } else if (nd > k) {  // "12.25"
            std::memcpy(o, digits, static_cast<size_t>(nd - k));
            o += nd - k;
            *o++ = '.';
            std::memcpy(o, digits + nd - k, static_cast<size_t>(k));
            o += k;
        } else {  // "0.0025"
            *o++ = '0';
            *o++ = '.';
            for (int i = nd; i < k; ++i)
                *o++ = '0';
            std::memcpy(o, digits, static_cast<size_t>(nd));
            o += nd;
        }
        out.append(buf, static_cast<size_t>(o - buf));
        return true;
    }
    return false;
}

}  // namespace

void append_float_repr(std::string &out, double d) {
    if (append_short_decimal(out, d))
        return;
    // Shortest round-trip digits and exponent, as "d.ddde+XX".
    char sci[32];
    auto res = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    const char *p = sci;
    const char *end = res.ptr;
    char buf[48];
    char *o = buf;
    if (*p == '-')
        *o++ = *p++;
    char digits[20];
    int nd = 0;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.')
            digits[nd++] = *p;
    int exp = 0;
    std::from_chars(p + 1 + (p[1] == '+'), end, exp);
    // float.__repr__: the decimal point position decides between plain and exponent notation.
    int decpt = exp + 1;
    if (decpt <= -4 || decpt > 16) {
        *o++ = digits[0];
        if (nd > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, static_cast<size_t>(nd - 1));
            o += nd - 1;
        }
        *o++ = 'e';
        *o++ = exp < 0 ? '-' : '+';
        int a = exp < 0 ? -exp : exp;
        if (a < 10)
            *o++ = '0';
        o = std::to_chars(o, buf + sizeof buf, a).ptr;
    } else if (decpt <= 0) {
        *o++ = '0';
        *o++ = '.';
        for (int i = 0; i < -decpt; ++i)
            *o++ = '0';
        std::memcpy(o, digits, static_cast<size_t>(nd));
        o += nd;
    } else if (decpt < nd) {
        std::memcpy(o, digits, static_cast<size_t>(decpt));
        o += decpt;
        *o++ = '.';
        std::memcpy(o, digits + decpt, static_cast<size_t>(nd - decpt));
        o += nd - decpt;
    } else {
        std::memcpy(o, digits, static_cast<size_t>(nd));
        o += nd;
        for (int i = nd; i < decpt; ++i)
            *o++ = '0';
        *o++ = '.';
        *o++ = '0';
    }
    out.append(buf, static_cast<size_t>(o - buf));
}

// ---------------------------------------------------------------- Writer

// Marks a container as being written: met again inside itself it is circular. Past kFreeDepth
// each level also counts against the recursion limit, as json.dumps counts every level.
class Writer::Nesting {
public:
    Nesting(Writer &w, PyObject *container) : w_(w) {
        if (w_.path_.contains(container)) {
            PyErr_SetString(PyExc_ValueError, "Circular reference detected");
            throw nb::python_error();
        }
        if (w_.path_.size() >= kFreeDepth) {
            if (Py_EnterRecursiveCall(" while encoding a JSON object"))
                throw nb::python_error();
            counted_ = true;
        }
        w_.path_.push(container);
    }
    ~Nesting() {
        w_.path_.pop();
        if (counted_)
            Py_LeaveRecursiveCall();
    }
    Nesting(const Nesting &) = delete;
    Nesting &operator=(const Nesting &) = delete;

private:
    Writer &w_;
    bool counted_ = false;
};

void Writer::string(PyObject *s) {
    if (PyUnicode_IS_ASCII(s) && !opt_.casefold) {  // the common case, without the general path's calls
        auto *p = static_cast<const char *>(PyUnicode_DATA(s));
        size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        if (!has_escape(p, n)) {
            out_.push_back('"');
            out_.append(p, n);
            out_.push_back('"');
            return;
        }
    }
    if (opt_.casefold && !PyUnicode_IS_ASCII(s)) {
        nb::object folded = casefolded(s);
        put_text(out_, folded.ptr(), true, false, opt_.surrogates);
    } else {
        put_text(out_, s, true, opt_.casefold, opt_.surrogates);
    }
}

void Writer::string(std::string_view utf8) { put_bytes(out_, utf8.data(), utf8.size(), true, opt_.casefold); }

void Writer::integer(PyObject *i) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(i, &overflow);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow == 0) {
        integer(static_cast<int64_t>(v));
        return;
    }
    // int.__repr__, as json writes ints (and int subclasses); raises past the digit limit.
    nb::object text = nb::steal(PyLong_Type.tp_repr(i));
    if (!text.is_valid())
        throw nb::python_error();
    put_text(out_, text.ptr(), false, false, Surrogates::Raw);
}

void Writer::integer(int64_t i) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, i);
    out_.append(buf, static_cast<size_t>(r.ptr - buf));
}

void Writer::integer(uint64_t i) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, i);
    out_.append(buf, static_cast<size_t>(r.ptr - buf));
}

void Writer::integer_string(int64_t i) {
    out_.push_back('"');
    integer(i);
    out_.push_back('"');
}

void Writer::integer_string(uint64_t i) {
    out_.push_back('"');
    integer(i);
    out_.push_back('"');
}

void Writer::real(double d) {
    if (std::isfinite(d)) {
        append_float_repr(out_, d);  // no letters to fold but the exponent's 'e'
        return;
    }
    if (opt_.non_finite == NonFinite::Refuse)
        throw Unsupported{};
    const char *text = std::isnan(d) ? (opt_.casefold ? "nan" : "NaN")
                       : d > 0       ? (opt_.casefold ? "infinity" : "Infinity")
                                     : (opt_.casefold ? "-infinity" : "-Infinity");
    if (opt_.non_finite == NonFinite::Quoted) {
        out_.push_back('"');
        out_.append(text);
        out_.push_back('"');
        return;
    }
    out_.append(text);
}

void Writer::key(PyObject *k) {
    if (PyUnicode_Check(k)) {
        string(k);
        return;
    }
    nb::object text = key_text(k, opt_.non_finite);
    if (!text.is_valid()) {
        if (opt_.others == Others::Refuse)
            throw Unsupported{};  // json.dumps raises TypeError for such keys
        text = nb::steal(PyObject_Str(k));
        if (!text.is_valid())
            throw nb::python_error();
    }
    string(text.ptr());
}

void Writer::value(PyObject *v) {
    if (v == Py_None) {
        null();
    } else if (v == Py_True) {
        boolean(true);
    } else if (v == Py_False) {
        boolean(false);
    } else if (PyUnicode_Check(v)) {
        string(v);
    } else if (PyLong_Check(v)) {
        integer(v);
    } else if (PyFloat_Check(v)) {
        real(PyFloat_AS_DOUBLE(v));
    } else if (PyList_Check(v) || PyTuple_Check(v)) {
        sequence(v);
    } else if (PyDict_Check(v)) {
        mapping(v);
    } else {
        other(v);
    }
}

void Writer::sequence(PyObject *seq) {
    nb::object items = nb::steal(PySequence_Fast(seq, "expected a sequence"));
    if (!items.is_valid())
        throw nb::python_error();
    if (PySequence_Fast_GET_SIZE(items.ptr()) == 0) {
        out_.append("[]", 2);
        return;
    }
    Nesting guard(*this, seq);
    begin_array();
    // The size is read again each round: str() of an item (default=str) may change a list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
        if (i > 0)
            item_separator();
        nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(items.ptr(), i));
        value(item.ptr());
    }
    end_array();
}

void Writer::mapping(PyObject *map) {
    if (PyDict_GET_SIZE(map) == 0) {
        out_.append("{}", 2);
        return;
    }
    Nesting guard(*this, map);
    if (opt_.keys == Keys::Sorted) {
        if (!PyDict_CheckExact(map) || !sorted_plain_dict(map))
            sorted_items(map);
        return;
    }
    begin_object();
    if (PyDict_CheckExact(map)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool first = true;
        while (orvane::dictscan::dict_next(map, &pos, &k, &v)) {
            if (!first)
                item_separator();
            first = false;
            nb::object hold_key = nb::borrow(k), hold_value = nb::borrow(v);
            key(k);
            key_separator();
            value(v);
        }
    } else {
        nb::object items = nb::steal(PyMapping_Items(map));
        if (!items.is_valid())
            throw nb::python_error();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            PyObject *kv = PyList_GET_ITEM(items.ptr(), i);
            if (!PyTuple_Check(kv) || PyTuple_GET_SIZE(kv) != 2) {
                PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                throw nb::python_error();
            }
            if (i > 0)
                item_separator();
            key(PyTuple_GET_ITEM(kv, 0));
            key_separator();
            value(PyTuple_GET_ITEM(kv, 1));
        }
    }
    end_object();
}

// An exact dict whose keys are all exact str, sorted without building the items list. Returns
// false, having written nothing, when some key is not an exact str.
bool Writer::sorted_plain_dict(PyObject *dict) {
    struct Pair {
        PyObject *k, *v;
    };
    constexpr Py_ssize_t kLocal = 16;
    Pair local[kLocal];
    std::vector<Pair> heap;
    Py_ssize_t n = PyDict_GET_SIZE(dict);
    Pair *pairs = local;
    if (n > kLocal) {
        heap.resize(static_cast<size_t>(n));
        pairs = heap.data();
    }
    Py_ssize_t pos = 0, i = 0;
    PyObject *k, *v;
    while (i < n && orvane::dictscan::dict_next(dict, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k))
            return false;
        pairs[i++] = {k, v};
    }
    n = i;
    // Held while writing: str() of a value (default=str) may change the dict.
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
    auto less = [](const Pair &x, const Pair &y) { return PyUnicode_Compare(x.k, y.k) < 0; };
    if (n <= kLocal) {  // keys are distinct: any sort gives the one order; small ones by insertion
        for (Py_ssize_t a = 1; a < n; ++a) {
            Pair cur = pairs[a];
            Py_ssize_t b = a;
            while (b > 0 && less(cur, pairs[b - 1])) {
                pairs[b] = pairs[b - 1];
                --b;
            }
            pairs[b] = cur;
        }
    } else {
        std::sort(pairs, pairs + n, less);
    }
    begin_object();
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (j > 0)
            item_separator();
        string(pairs[j].k);
        key_separator();
        value(pairs[j].v);
    }
    end_object();
    return true;
}

void Writer::sorted_items(PyObject *map) {
    nb::object items = nb::steal(PyMapping_Items(map));
    if (!items.is_valid())
        throw nb::python_error();
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    std::vector<PyObject *> order;  // borrowed (key, value) tuples of `items`
    order.reserve(static_cast<size_t>(n));
    bool all_str = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *kv = PyList_GET_ITEM(items.ptr(), i);
        if (!PyTuple_Check(kv) || PyTuple_GET_SIZE(kv) != 2) {
            PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
            throw nb::python_error();
        }
        order.push_back(kv);
        all_str = all_str && PyUnicode_CheckExact(PyTuple_GET_ITEM(kv, 0));
    }
    if (all_str) {
        std::stable_sort(order.begin(), order.end(), [](PyObject *a, PyObject *b) {
            return PyUnicode_Compare(PyTuple_GET_ITEM(a, 0), PyTuple_GET_ITEM(b, 0)) < 0;
        });
    } else if (PyList_Sort(items.ptr()) == 0) {
        // Python's own order of the items, as json.dumps sorts them.
        for (Py_ssize_t i = 0; i < n; ++i)
            order[static_cast<size_t>(i)] = PyList_GET_ITEM(items.ptr(), i);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        // Keys that cannot be ordered together: by their JSON key text. The failed sort may have
        // reordered the list partly; that order is as good as any for ties.
        std::vector<std::pair<std::string, PyObject *>> keyed;
        keyed.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *kv = PyList_GET_ITEM(items.ptr(), i);
            PyObject *k = PyTuple_GET_ITEM(kv, 0);
            nb::object text = key_text(k, opt_.non_finite);
            if (!text.is_valid()) {
                if (opt_.others == Others::Refuse)
                    throw Unsupported{};
                text = nb::steal(PyObject_Str(k));
                if (!text.is_valid())
                    throw nb::python_error();
            }
            std::string utf8;
            append_utf8(utf8, text.ptr(), Surrogates::Raw);
            keyed.emplace_back(std::move(utf8), kv);
        }
        std::stable_sort(keyed.begin(), keyed.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        for (size_t i = 0; i < keyed.size(); ++i)
            order[i] = keyed[i].second;
    }
    begin_object();
    for (size_t i = 0; i < order.size(); ++i) {
        if (i > 0)
            item_separator();
        key(PyTuple_GET_ITEM(order[i], 0));
        key_separator();
        value(PyTuple_GET_ITEM(order[i], 1));
    }
    end_object();
}

void Writer::other(PyObject *v) {
    if (opt_.others == Others::Refuse)
        throw Unsupported{};
    Nesting guard(*this, v);
    nb::object text = nb::steal(PyObject_Str(v));  // default=str
    if (!text.is_valid())
        throw nb::python_error();
    value(text.ptr());
}

}  // namespace orvane::json
