// The native DataFormatter.sanitize of orvane.utils.
//
// DataFormatter.sanitize(data) turns data into JSON-encodable data with secrets masked (see its
// docstring in orvane/utils.py): mappings (dicts, other Mappings, pydantic models through
// model_dump(), dataclass instances through their fields) become dicts with keys coerced as json
// coerces them; lists and tuples become lists; str/int/float/bool/None stay; anything else becomes
// str(value). A value under a secret key becomes DataFormatter.MASK; a container met again on its
// own path becomes RECURSION_MARKER; a container at depth MAX_DEPTH or deeper becomes
// DEPTH_MARKER.
//
// This header gives that result natively, in two forms: as Python objects (sanitize), and as JSON
// text written through a json::Writer while walking (write_sanitized, Walk), which never builds
// the sanitised copy. Both are exact: byte for byte the text json would write for what the Python
// function returns. They may run only while the Python function is the original one, and only
// with the rules read now:
//
//     if (orvane::sanitize::is_original())
//         if (auto rules = orvane::sanitize::Rules::current())
//             ... native walk with *rules ...
//     otherwise: call DataFormatter.sanitize (looked up as the extension's outside name)
//
// Where the native walk cannot follow (nesting past kNativeDepthLimit, or a Walk in strict mode
// meeting what the caller's Python route would turn differently) it throws json::Unsupported,
// with nothing set in Python's error indicator; the caller then takes the Python route.
//
// Secret keys. The verdict on a key is made on its JSON key text (a str key as it is, other keys
// as sanitize coerces them) and is the one of orvane.utils._is_secret_text:
//   - the whole text, case-folded, is one of _SECRET_KEYS; or
//   - its words (split at "_", "-", "." and where the case changes: "dbPassword" -> db,
//     Password; "APIKey" -> API, Key; "oauth2Token" -> oauth2, Token) end in a word that,
//     case-folded, is one of _SECRET_NOUNS ("password", "token", ...); or
//   - they end in "key" preceded by one of _SECRET_KEY_QUALIFIERS ("api", "private", ...).
// The three collections are read from orvane.utils at each Rules::current(), so a host that
// changes them changes both routes alike. While all three are frozensets, verdicts are cached
// per key object for the life of the process (a small direct-mapped table that holds its keys).
//
// GIL: everything here runs with the GIL held. The caches are per extension module (each carries
// its own copy of the support library).
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <optional>

#include "orvane/json.hpp"

namespace orvane::sanitize {

namespace nb = nanobind;

// Containers nested deeper than this are left to the Python route (json::Unsupported), which
// raises RecursionError or gives its markers as the interpreter's limits allow.
constexpr size_t kNativeDepthLimit = 1000;

// Remembers orvane.utils.DataFormatter.sanitize as the original. Call once in the module init of
// every extension that uses this header, after orvane::init_support and after exposing
// "DataFormatter" as an outside name.
void init();

// The single check: true while the DataFormatter the calling extension reads (its outside name
// "DataFormatter", which a host may replace) has the sanitize remembered by init(). A subclass
// that does not override sanitize keeps it (the original reads its rules from orvane.utils, not
// from the class it was reached through).
bool is_original();

// The rules the original sanitize applies, as orvane.utils holds them now.
class Rules {
public:
    // nullopt when orvane.utils lacks one of them or MAX_DEPTH is not a plain int: the Python
    // route then gives its own result or error.
    static std::optional<Rules> current();

    // The verdict on a key whose JSON key text is the exact str `text` (see above).
    bool is_secret(PyObject *text) const;

    PyObject *mask() const { return mask_.ptr(); }
    PyObject *recursion_marker() const { return recursion_.ptr(); }
    PyObject *depth_marker() const { return depth_marker_.ptr(); }
    long long max_depth() const { return max_depth_; }

private:
    Rules() = default;
    nb::object keys_, nouns_, qualifiers_;       // _SECRET_KEYS, _SECRET_NOUNS, _SECRET_KEY_QUALIFIERS
    nb::object mask_, recursion_, depth_marker_;  // DataFormatter.MASK, ... (any objects)
    long long max_depth_ = 0;
    bool cached_ = false;  // the three are frozensets: verdicts come from the process cache
};

// DataFormatter.sanitize(value) as a new object. Raises what the Python function raises (an
// items() that raises, a mapping changed while walked, ...); json::Unsupported past
// kNativeDepthLimit.
nb::object sanitize(nb::handle value, const Rules &rules);

// The same for a tree the caller made and hands over (a fresh model_dump, say), which nobody else
// references: its exact dicts (with exact str keys) and lists are sanitised in place, without
// rebuilding them; the result is the tree itself (or what replaces it). `depth` is the depth
// sanitize gives the tree (0 when it is the value sanitize was called with; 1 for a value inside
// it, and so on), for callers that lay out the outer levels themselves.
nb::object sanitize_owned(nb::handle tree, const Rules &rules, long long depth = 0);

// Writes the JSON text of DataFormatter.sanitize(value) through `writer` (its options decide
// separators and the like). On an exception the text appended so far is incomplete.
void write_sanitized(json::Writer &writer, nb::handle value, const Rules &rules);

// A key and value appended to a mapping when the mapping does not have the key (see Walk::mapping).
struct Default {
    PyObject *key;    // exact str
    PyObject *value;  // nullptr: no default
};

// The fused walk, for callers that lay out the outer levels of a document themselves (the upload
// body walks model fields) and hand the values to the walk. `depth` is the depth sanitize gives
// the value: the walked top-level value is at 0, a value inside it at 1, and so on.
class Walk {
public:
    // In strict mode the walk accepts only what pydantic's model_dump(mode="json") passes through
    // unchanged (exact dict with exact str keys, list, tuple, str, int, finite float, bool, None), and
    // refuses (json::Unsupported) a container met again on its path (model_dump raises there) and
    // containers at depth `strict_depth` or deeper; the caller then takes the Python route.
    Walk(json::Writer &writer, const Rules &rules, bool strict = false, long long strict_depth = 0)
        : w_(writer), rules_(rules), strict_(strict), strict_depth_(strict_depth) {}
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;

    // The sanitised value's JSON text.
    void value(PyObject *v, long long depth);
    // `"key": value` (or the mask when the key is secret); `key` an exact str.
    void entry(PyObject *key, PyObject *v, long long depth);
    // An exact dict with exact str keys, followed by each default whose key it does not have (as
    // sanitize would see the dict with those keys added at its end).
    void mapping(PyObject *dict, long long depth, std::initializer_list<Default> defaults = {});
    // Whether values under the exact str `key` are masked, and the mask's JSON text.
    bool is_secret(PyObject *key) const { return rules_.is_secret(key); }
    void mask();

    json::Writer &writer() { return w_; }
    const Rules &rules() const { return rules_; }

private:
    // The marker that replaces the container `c` at `depth`, or nullptr to walk it.
    PyObject *marker_for(PyObject *c, long long depth);
    void sequence(PyObject *seq, long long depth);
    void via_objects(PyObject *v, long long depth);

    json::Writer &w_;
    const Rules &rules_;
    const bool strict_;
    const long long strict_depth_;
    json::ContainerPath path_;  // containers on the current path (sanitize's recursion check)
};

}  // namespace orvane::sanitize
