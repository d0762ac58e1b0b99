// Native search text normalisation (searchtext.hpp).
//
// Produces exactly the text of
//     json.dumps(value, ensure_ascii=False, sort_keys=True, default=str).casefold()
// (or value.casefold() for a str) with the JSON writer in its search style (json.hpp): case
// folding is per character, so folding the pieces as they are written equals folding the whole
// text, and escapes are unaffected by it.
//
// Where json.dumps would raise and a text can still be given, one is given:
//   - keys that cannot be ordered together ({1: .., "a": ..}) are ordered by their converted key
//     text (UTF-8 byte order = code point order), ties keeping the mapping's order;
//   - keys of a type JSON does not accept as keys (tuples, ...) are written as str(key);
//   - strings holding lone surrogates are written with the surrogates encoded as-is (surrogatepass).
// A container that contains itself still raises ValueError("Circular reference detected"), and
// excessive nesting raises RecursionError, as json.dumps does.
#include "orvane/searchtext.hpp"

#include <cstdint>
#include <exception>

#include "orvane/json.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::search {

namespace {

// White space as str.isspace sees it (Py_UNICODE_ISSPACE).
bool is_space_cp(uint32_t c) {
    if (c < 0x80)
        return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

// Decodes the character starting at p (at most `n` bytes); returns its length, 0 when malformed.
size_t decode(const unsigned char *p, size_t n, uint32_t &cp) {
    unsigned char b = p[0];
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || len > n)
        return 0;
    cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    return len;
}

size_t leading_space(std::string_view t) {
    const auto *p = reinterpret_cast<const unsigned char *>(t.data());
    size_t i = 0;
    while (i < t.size()) {
        uint32_t cp;
        size_t len = decode(p + i, t.size() - i, cp);
        if (len == 0 || !is_space_cp(cp))
            break;
        i += len;
    }
    return i;
}

// Length of the trailing white space of t.
size_t trailing_space(std::string_view t) {
    const auto *p = reinterpret_cast<const unsigned char *>(t.data());
    size_t end = t.size();
    while (end > 0) {
        size_t start = end - 1;
        while (start > 0 && end - start < 4 && (p[start] & 0xC0) == 0x80)
            --start;
        uint32_t cp;
        size_t len = decode(p + start, end - start, cp);
        if (len != end - start || !is_space_cp(cp))
            break;
        end = start;
    }
    return t.size() - end;
}


// Appends ASCII text lowered (str.casefold of ASCII text is its lower case); branch-free, so the
// compiler vectorises it.
void append_lower(const char *p, size_t n, std::string &out) {
    size_t at = out.size();
    out.resize(at + n);
    char *d = out.data() + at;
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        d[i] = static_cast<char>(c | (static_cast<unsigned char>(c - 'A') < 26u ? 0x20 : 0));
    }
}

// The case-folded text of the str `s`, unquoted.
void append_folded(PyObject *s, std::string &out) {
    if (PyUnicode_IS_ASCII(s)) {
        append_lower(static_cast<const char *>(PyUnicode_DATA(s)),
                     static_cast<size_t>(PyUnicode_GET_LENGTH(s)), out);
        return;
    }
    static orvane::outside::Name m_casefold{"casefold"};
    nb::object exact = nb::steal(PyUnicode_CheckExact(s) ? Py_NewRef(s) : PyUnicode_FromObject(s));
    if (!exact.is_valid())
        throw nb::python_error();
    nb::object folded = orvane::py::call0(exact, m_casefold);
    json::append_utf8(out, folded.ptr(), json::Surrogates::Raw);
}

}  // namespace

void append_normalized(nb::handle value, std::string &out) {
    PyObject *o = value.ptr();
    if (o == Py_None)
        return;
    if (PyUnicode_Check(o)) {
        append_folded(o, out);
        return;
    }
    size_t mark = out.size();
    try {
        json::Writer(out, json::kSearchStyle).value(o);
    } catch (...) {
        out.resize(mark);
        throw;
    }
}

std::string casefold(std::string_view utf8) {
    std::string out;
    bool ascii = true;
    for (char c : utf8)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        append_lower(utf8.data(), utf8.size(), out);
        return out;
    }
    nb::str s = orvane::py::text_from_utf8(utf8);
    append_folded(s.ptr(), out);
    return out;
}

void append_searchable(nb::handle value, std::string &out) {
    size_t mark = out.size();
    try {
        append_normalized(value, out);
        return;
    } catch (nb::python_error &) {
    } catch (const std::exception &) {
    }
    out.resize(mark);
    PyObject *r = PyObject_Repr(value.ptr());
    if (r == nullptr) {
        PyErr_Clear();
        return;
    }
    nb::object text = nb::steal(r);
    try {
        nb::object holder;
        out += casefold(orvane::py::utf8_of(text, holder));
    } catch (nb::python_error &) {
        out.resize(mark);
    } catch (const std::exception &) {
        out.resize(mark);
    }
}

std::string needle(nb::handle search) {
    nb::object holder;
    if (PyUnicode_CheckExact(search.ptr()))
        return casefold(strip(orvane::py::utf8_of(search, holder)));
    static orvane::outside::Name m_strip{"strip"}, m_casefold{"casefold"};
    nb::object folded = orvane::py::call0(orvane::py::call0(search, m_strip), m_casefold);
    if (!PyUnicode_Check(folded.ptr())) {
        PyErr_Format(PyExc_TypeError, "'in <string>' requires string as left operand, not %.200s",
                     Py_TYPE(folded.ptr())->tp_name);
        throw nb::python_error();
    }
    return std::string(orvane::py::utf8_of(folded, holder));
}

std::string_view strip(std::string_view text) {
    text.remove_prefix(leading_space(text));
    text.remove_suffix(trailing_space(text));
    return text;
}

void lstrip(std::string &text, size_t from) {
    size_t k = leading_space(std::string_view(text).substr(from));
    if (k != 0)
        text.erase(from, k);
}

void rstrip(std::string &text, size_t from) {
    text.resize(text.size() - trailing_space(std::string_view(text).substr(from)));
}

}  // namespace orvane::search
