#include "orvane/jsonread.hpp"

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace orvane::jsonread {

namespace {

constexpr int kMaxDepth = 200;

struct Fail {};

// Object keys and many short values (names, kinds, levels) recur from one text to the next:
// short strings without escapes are kept (one str per slot of a small table, replaced on
// collision), as str objects are immutable.
struct KeyCache {
    static constexpr size_t kSlots = 1024;
    static constexpr size_t kMaxLen = 24;
    PyObject *slot[kSlots] = {};

    PyObject *get(const char *s, size_t n) {
        if (n > kMaxLen)
            return nullptr;
        uint32_t h = 2166136261u;
        for (size_t i = 0; i < n; ++i)
            h = (h ^ static_cast<unsigned char>(s[i])) * 16777619u;
        PyObject *&entry = slot[h & (kSlots - 1)];
        if (entry != nullptr) {
            // Entries are exact str objects made here from UTF-8: an ASCII one holds its text in
            // place, any other gives its UTF-8 form (kept in the object once made).
            Py_ssize_t len = 0;
            const char *have = PyUnicode_IS_COMPACT_ASCII(entry)
                                   ? (len = PyUnicode_GET_LENGTH(entry), static_cast<const char *>(PyUnicode_DATA(entry)))
                                   : PyUnicode_AsUTF8AndSize(entry, &len);
            if (have != nullptr && static_cast<size_t>(len) == n && std::memcmp(have, s, n) == 0)
                return Py_NewRef(entry);
        }
        PyObject *fresh = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr);
        if (fresh == nullptr)
            return nullptr;
        Py_XSETREF(entry, Py_NewRef(fresh));
        return fresh;
    }
};

KeyCache &key_cache() {
    static KeyCache *cache = new KeyCache();  // kept for the process (GIL held)
    return *cache;
}

struct Reader {
    const char *p;
    const char *end;
    std::string scratch;

    // An object key: from the key cache when it has no escapes.
    PyObject *key() {
        const char *start = p + 1;
        const char *q = start;
        while (q < end && *q != '"' && *q != '\\' && static_cast<unsigned char>(*q) >= 0x20)
            ++q;
        if (q < end && *q == '"') {
            PyObject *k = key_cache().get(start, static_cast<size_t>(q - start));
            if (k != nullptr) {
                p = q + 1;
                return k;
            }
            if (PyErr_Occurred())
                check(nullptr);
        }
        return string();
    }

    void ws() {
        while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t'))
            ++p;
    }

    [[noreturn]] static void fail() { throw Fail{}; }

    // After an item of an array or object: true past a comma (another item follows), false past
    // the closing `close`; anything else is not what this reader takes.
    bool more(char close) {
        ws();
        if (p < end && *p == ',') {
            ++p;
            return true;
        }
        if (p < end && *p == close) {
            ++p;
            return false;
        }
        fail();
    }

    static PyObject *check(PyObject *o) {
        if (o == nullptr) {
            PyErr_Clear();
            fail();
        }
        return o;
    }

    static int hex4(const char *s) {
        int v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = s[i];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= c - '0';
            else if (c >= 'a' && c <= 'f')
                v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                v |= c - 'A' + 10;
            else
                fail();
        }
        return v;
    }

    void put_utf8(uint32_t cp) {
        if (cp < 0x80) {
            scratch.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            scratch.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            scratch.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            scratch.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            scratch.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            scratch.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            scratch.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            scratch.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            scratch.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            scratch.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    // At the opening quote.
    PyObject *string() {
        ++p;
        const char *start = p;
        while (p < end) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"') {
                size_t n = static_cast<size_t>(p - start);
                // Short ones through the cache (which fails only on text that is not UTF-8).
                PyObject *s = check(n <= KeyCache::kMaxLen
                                        ? key_cache().get(start, n)
                                        : PyUnicode_DecodeUTF8(start, static_cast<Py_ssize_t>(n), nullptr));
                ++p;
                return s;
            }
            if (c == '\\')
                break;
            if (c < 0x20)
                fail();
            ++p;
        }
        if (p >= end)
            fail();
        scratch.assign(start, p);
        while (p < end) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"') {
                ++p;
                return check(PyUnicode_DecodeUTF8(scratch.data(), static_cast<Py_ssize_t>(scratch.size()), nullptr));
            }
            if (c < 0x20)
                fail();
            if (c != '\\') {
                scratch.push_back(static_cast<char>(c));
                ++p;
                continue;
            }
            if (end - p < 2)
                fail();
            char e = p[1];
            p += 2;
            switch (e) {
                case '"': scratch.push_back('"'); break;
                case '\\': scratch.push_back('\\'); break;
                case '/': scratch.push_back('/'); break;
                case 'b': scratch.push_back('\b'); break;
                case 'f': scratch.push_back('\f'); break;
                case 'n': scratch.push_back('\n'); break;
                case 'r': scratch.push_back('\r'); break;
                case 't': scratch.push_back('\t'); break;
                case 'u': {
                    if (end - p < 4)
                        fail();
                    uint32_t cp = static_cast<uint32_t>(hex4(p));
                    p += 4;
                    if (cp >= 0xDC00 && cp <= 0xDFFF)
                        fail();  // a lone low surrogate
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        if (end - p < 6 || p[0] != '\\' || p[1] != 'u')
                            fail();  // a lone high surrogate
                        uint32_t lo = static_cast<uint32_t>(hex4(p + 2));
                        if (lo < 0xDC00 || lo > 0xDFFF)
                            fail();
                        p += 6;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    }
                    put_utf8(cp);
                    break;
                }
                default: fail();
            }
        }
        fail();
    }

    // Gives the number; *integral tells whether it had no fraction and no exponent.
    PyObject *number(bool *integral) {
        const char *start = p;
        if (p < end && *p == '-')
            ++p;
        if (p >= end)
            fail();
        if (*p == '0') {
            ++p;
        } else if (*p >= '1' && *p <= '9') {
            while (p < end && *p >= '0' && *p <= '9')
                ++p;
        } else {
            fail();
        }
        bool is_int = true;
        if (p < end && *p == '.') {
            is_int = false;
            ++p;
            if (p >= end || *p < '0' || *p > '9')
                fail();
            while (p < end && *p >= '0' && *p <= '9')
                ++p;
        }
        if (p < end && (*p == 'e' || *p == 'E')) {
            is_int = false;
            ++p;
            if (p < end && (*p == '+' || *p == '-'))
                ++p;
            if (p >= end || *p < '0' || *p > '9')
                fail();
            while (p < end && *p >= '0' && *p <= '9')
                ++p;
        }
        *integral = is_int;
        size_t n = static_cast<size_t>(p - start);
        if (is_int && n <= 18)  {
            long long v = 0;
            const char *q = start;
            bool neg = *q == '-';
            if (neg)
                ++q;
            for (; q < p; ++q)
                v = v * 10 + (*q - '0');
            return check(PyLong_FromLongLong(neg ? -v : v));
        }
        scratch.assign(start, n);
        if (is_int)
            return check(PyLong_FromString(scratch.c_str(), nullptr, 10));
        char *stop = nullptr;
        double d = PyOS_string_to_double(scratch.c_str(), &stop, nullptr);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            fail();
        }
        if (stop != scratch.c_str() + scratch.size() || d == HUGE_VAL || d == -HUGE_VAL)
            fail();
        return check(PyFloat_FromDouble(d));
    }

    bool literal(const char *word, size_t n) {
        if (static_cast<size_t>(end - p) >= n && std::memcmp(p, word, n) == 0) {
            p += n;
            return true;
        }
        return false;
    }

    PyObject *value(int depth, bool *integral = nullptr) {
        ws();
        if (p >= end)
            fail();
        bool dummy;
        if (integral == nullptr)
            integral = &dummy;
        *integral = false;
        switch (*p) {
            case '{': return object(depth + 1);
            case '[': return array(depth + 1);
            case '"': return string();
            case 't':
                if (literal("true", 4))
                    Py_RETURN_TRUE;
                fail();
            case 'f':
                if (literal("false", 5))
                    Py_RETURN_FALSE;
                fail();
            case 'n':
                if (literal("null", 4))
                    Py_RETURN_NONE;
                fail();
            default: return number(integral);
        }
    }

    PyObject *array(int depth) {
        if (depth > kMaxDepth)
            fail();
        ++p;
        nb::object list = nb::steal(check(PyList_New(0)));
        ws();
        if (p < end && *p == ']') {
            ++p;
            return list.release().ptr();
        }
        do {
            nb::object item = nb::steal(value(depth));
            if (PyList_Append(list.ptr(), item.ptr()) < 0)
                check(nullptr);
        } while (more(']'));
        return list.release().ptr();
    }

    PyObject *object(int depth) {
        if (depth > kMaxDepth)
            fail();
        ++p;
        nb::object dict = nb::steal(check(PyDict_New()));
        ws();
        if (p < end && *p == '}') {
            ++p;
            return dict.release().ptr();
        }
        do {
            ws();
            if (p >= end || *p != '"')
                fail();
            nb::object key = nb::steal(this->key());
            ws();
            if (p >= end || *p != ':')
                fail();
            ++p;
            nb::object item = nb::steal(value(depth));
            if (PyDict_SetItem(dict.ptr(), key.ptr(), item.ptr()) < 0)
                check(nullptr);
        } while (more('}'));
        return dict.release().ptr();
    }
};

}  // namespace

nb::object parse(std::string_view text) {
    Reader r{text.data(), text.data() + text.size(), {}};
    try {
        nb::object v = nb::steal(r.value(0));
        r.ws();
        if (r.p != r.end)
            return nb::object();
        return v;
    } catch (const Fail &) {
        return nb::object();
    }
}

nb::object fields_of(std::string_view text, nb::handle fields, nb::handle absent) {
    if (!PyTuple_Check(fields.ptr()))
        throw nb::type_error("fields must be a tuple of (name, kind) pairs");
    Py_ssize_t count = PyTuple_GET_SIZE(fields.ptr());
    Reader r{text.data(), text.data() + text.size(), {}};
    try {
        nb::object dict = nb::steal(Reader::check(PyDict_New()));
        nb::object given = nb::steal(Reader::check(PySet_New(nullptr)));
        r.ws();
        if (r.p >= r.end || *r.p != '{')
            return nb::object();
        ++r.p;
        Py_ssize_t i = 0;
        bool more = true;
        r.ws();
        if (r.p < r.end && *r.p == '}') {
            ++r.p;
            more = false;
        }
        while (more) {
            if (i >= count)
                return nb::object();
            PyObject *pair = PyTuple_GET_ITEM(fields.ptr(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                throw nb::type_error("fields must be a tuple of (name, kind) pairs");
            PyObject *name = PyTuple_GET_ITEM(pair, 0);
            long kind = PyLong_AsLong(PyTuple_GET_ITEM(pair, 1));
            if (kind == -1 && PyErr_Occurred())
                throw nb::python_error();
            r.ws();
            if (r.p >= r.end || *r.p != '"')
                return nb::object();
            // The member's name, as written (the names are plain: no escapes).
            Py_ssize_t name_len = 0;
            const char *name_text = PyUnicode_AsUTF8AndSize(name, &name_len);
            if (name_text == nullptr)
                throw nb::python_error();
            if (r.end - r.p < name_len + 2 || std::memcmp(r.p + 1, name_text, static_cast<size_t>(name_len)) != 0 ||
                r.p[name_len + 1] != '"')
                return nb::object();
            r.p += name_len + 2;
            r.ws();
            if (r.p >= r.end || *r.p != ':')
                return nb::object();
            ++r.p;
            bool integral = false;
            nb::object item = nb::steal(r.value(0, &integral));
            PyObject *v = item.ptr();
            bool fits;
            switch (kind) {
                case 0: fits = true; break;
                case 1: fits = PyUnicode_CheckExact(v); break;
                case 2: fits = v == Py_None || PyUnicode_CheckExact(v); break;
                case 3: fits = PyLong_CheckExact(v) && integral; break;
                case 4: fits = PyDict_CheckExact(v); break;
                case 5: fits = v == Py_None; break;
                default: fits = false;
            }
            if (!fits)
                return nb::object();
            if (PyDict_SetItem(dict.ptr(), name, v) < 0 || PySet_Add(given.ptr(), name) < 0)
                Reader::check(nullptr);
            ++i;
            r.ws();
            if (r.p >= r.end)
                return nb::object();
            if (*r.p == ',') {
                ++r.p;
                continue;
            }
            if (*r.p != '}')
                return nb::object();
            ++r.p;
            more = false;
        }
        r.ws();
        if (r.p != r.end)
            return nb::object();
        // Members left out: only those that may be (kind 5), as None.
        for (; i < count; ++i) {
            PyObject *pair = PyTuple_GET_ITEM(fields.ptr(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                throw nb::type_error("fields must be a tuple of (name, kind) pairs");
            long kind = PyLong_AsLong(PyTuple_GET_ITEM(pair, 1));
            if (kind == -1 && PyErr_Occurred())
                throw nb::python_error();
            if (kind != 5)
                return nb::object();
            PyObject *name = PyTuple_GET_ITEM(pair, 0);
            bool stands_in = absent.is_valid() && !absent.is_none();
            if (PyDict_SetItem(dict.ptr(), name, stands_in ? absent.ptr() : Py_None) < 0 ||
                (stands_in && PySet_Add(given.ptr(), name) < 0))
                Reader::check(nullptr);
        }
        return nb::make_tuple(dict, given);
    } catch (const Fail &) {
        return nb::object();
    }
}

}  // namespace orvane::jsonread
