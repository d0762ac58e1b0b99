// JSON text of Python values, written as the standard json module writes it.
//
// The one JSON writer of the package. Its callers and the json.dumps call each one reproduces:
//
//   JSON Lines backend  json.dumps(v, ensure_ascii=False)                     kLinesStyle
//   upload body         json.dumps(v, ensure_ascii=False, separators=(",", ":"),
//                                  allow_nan=False)  (what httpx sends)       kBodyStyle
//                       the same with lone surrogates escaped (the upload
//                       backend's body for an event its Python route made)   kBodyEscapedStyle
//   run store search    json.dumps(v, ensure_ascii=False, sort_keys=True,
//                                  default=str).casefold()                    kSearchStyle
//   sanitizer           the fused walk of sanitize.hpp writes through a Writer
//
// Output is UTF-8 (ensure_ascii=False: non-ASCII text is written as it is, only '"', '\\' and
// the control characters below U+0020 are escaped, with json's escapes). Values follow the rules of
// json's C encoder: None/True/False, then str (a subclass by its text), int (a subclass by
// int.__repr__, so an IntEnum gives its number), float (a subclass by float.__repr__), list and
// tuple (subclasses by their items), dict (a subclass through its items()). A container met again
// inside itself raises ValueError("Circular reference detected"); nesting counts against the
// interpreter's recursion limit (RecursionError), as in json.dumps.
//
// Where a caller needs another outcome than json's for a value, its Options say so; "Refuse" means
// the writer throws json::Unsupported (a C++ exception, no Python error set) and the caller takes
// its Python route, which then gives the exact result or the exact error.
//
// GIL: every function here is called with the GIL held (it reads Python objects and may call str(),
// items(), casefold()).
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::json {

namespace nb = nanobind;

// Thrown where the Options refuse a value; nothing is set in Python's error indicator.
struct Unsupported {};

// Between items and after keys.
enum class Separators : uint8_t {
    Python,   // ", " and ": " (json.dumps' defaults)
    Compact,  // "," and ":"
};

// A float that is NaN or infinite.
enum class NonFinite : uint8_t {
    Literal,  // NaN, Infinity, -Infinity (allow_nan=True)
    Refuse,   // Unsupported (allow_nan=False raises ValueError on the Python route)
};

// A lone surrogate code point in a str (it has no UTF-8 form).
enum class Surrogates : uint8_t {
    Escape,  // written as the JSON escape \udXXX: valid UTF-8, a JSON reader gets it back
    Raw,     // encoded as it is ("surrogatepass"), for text compared with text made the same way
    Refuse,  // Unsupported (encoding the text to UTF-8 raises on the Python route)
};

// A value (or mapping key) of a type JSON has no form for.
enum class Others : uint8_t {
    Refuse,  // Unsupported (json.dumps raises TypeError on the Python route)
    Str,     // the JSON string of str(value) (default=str; keys too)
};

// Order of a mapping's items.
enum class Keys : uint8_t {
    AsGiven,  // the mapping's own order
    Sorted,   // sort_keys=True; keys Python cannot order together ({1: .., "a": ..}) are ordered by
              // their JSON key text instead (UTF-8 byte order, ties in the mapping's order)
};

// The containers on the current path of a walk over nested data, for cycle checks: the path is
// short for ordinary data, so a linear look-up over an inline array is the fastest set.
class ContainerPath {
public:
    ContainerPath() = default;
    ContainerPath(const ContainerPath &) = delete;
    ContainerPath &operator=(const ContainerPath &) = delete;

    bool contains(PyObject *c) const {
        for (size_t i = 0; i < size_; ++i)
            if (at(i) == c)
                return true;
        return false;
    }
    void push(PyObject *c) {
        if (size_ < kInline)
            inline_[size_] = c;
        else
            more_.push_back(c);
        ++size_;
    }
    void pop() {
        --size_;
        if (size_ >= kInline)
            more_.pop_back();
    }
    size_t size() const { return size_; }

private:
    static constexpr size_t kInline = 24;
    PyObject *at(size_t i) const { return i < kInline ? inline_[i] : more_[i - kInline]; }
    PyObject *inline_[kInline];
    std::vector<PyObject *> more_;
    size_t size_ = 0;
};

struct Options {
    Separators separators = Separators::Python;
    NonFinite non_finite = NonFinite::Literal;
    Surrogates surrogates = Surrogates::Escape;
    Others others = Others::Refuse;
    Keys keys = Keys::AsGiven;
    bool casefold = false;  // the text comes out case-folded (str.casefold of the whole text)
};

inline constexpr Options kLinesStyle{};
inline constexpr Options kBodyStyle{Separators::Compact, NonFinite::Refuse, Surrogates::Refuse,
                                    Others::Refuse, Keys::AsGiven, false};
inline constexpr Options kBodyEscapedStyle{Separators::Compact, NonFinite::Refuse, Surrogates::Escape,
                                            Others::Refuse, Keys::AsGiven, false};
inline constexpr Options kSearchStyle{Separators::Python, NonFinite::Literal, Surrogates::Raw,
                                      Others::Str, Keys::Sorted, true};

// Appends JSON text to `out`. A Writer is cheap to make (a reference and the options); make one
// per document. After an exception the text appended so far is incomplete: callers that go on
// cut `out` back to where they started.
class Writer {
public:
    Writer(std::string &out, const Options &options) : out_(out), opt_(options) {}
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    std::string &out() { return out_; }
    const Options &options() const { return opt_; }

    // The JSON text of any value (the rules above).
    void value(PyObject *v);

    // Pieces, for callers that walk their data themselves (sanitize.hpp, the upload body):
    void null() { out_.append("null", 4); }
    void boolean(bool b) {
        if (b)
            out_.append("true", 4);
        else
            out_.append("false", 5);
    }
    void string(PyObject *s);             // a str (or subclass) as a JSON string
    void string(std::string_view utf8);   // UTF-8 text as a JSON string (escapes only)
    void integer(PyObject *i);            // an int (or subclass) as int.__repr__ writes it
    void real(double d);                  // a float as float.__repr__ writes it (NonFinite rules)
    void key(PyObject *k);                // a mapping key, coerced as json coerces keys, quoted
    void begin_object() { out_.push_back('{'); }
    void end_object() { out_.push_back('}'); }
    void begin_array() { out_.push_back('['); }
    void end_array() { out_.push_back(']'); }
    void item_separator() {
        if (opt_.separators == Separators::Python)
            out_.append(", ", 2);
        else
            out_.push_back(',');
    }
    void key_separator() {
        if (opt_.separators == Separators::Python)
            out_.append(": ", 2);
        else
            out_.push_back(':');
    }

private:
    class Nesting;  // circularity and recursion-limit guard of one container
    void sequence(PyObject *seq);
    void mapping(PyObject *map);
    void sorted_items(PyObject *map);
    bool sorted_plain_dict(PyObject *dict);
    void other(PyObject *v);

    std::string &out_;
    const Options &opt_;
    ContainerPath path_;
};

// Text pieces, usable without a Writer.

// Appends the UTF-8 form of the str `s` (no quotes, no escapes); each lone surrogate is written
// as `surrogates` says (Escape: the six characters \udXXX).
void append_utf8(std::string &out, PyObject *s, Surrogates surrogates);

// float.__repr__ of a finite double (shortest text that reads back to the same value).
void append_float_repr(std::string &out, double d);

// The text json gives a mapping key (before quoting), as a str: a str as it is, a float as
// float.__repr__ (NaN/Infinity/-Infinity by `non_finite`), True/False/None as true/false/null, an
// int as int.__repr__. An invalid object for keys of other types.
nb::object key_text(PyObject *key, NonFinite non_finite);

}  // namespace orvane::json
