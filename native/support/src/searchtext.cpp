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

#include "orvane/json.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::search {

namespace {

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

}  // namespace orvane::search
