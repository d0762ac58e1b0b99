// The native DataFormatter.sanitize (sanitize.hpp).
//
// The walks mirror orvane/utils.py step for step (_walk, _walk_mapping, _key_text, _safe_str,
// _is_secret_text, _key_words); a change there is a change here, and the differential tests
// (tests/outside/test_outside_sanitize_paths.py) run both on the same tables.
#include "orvane/sanitize.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "orvane/dictscan.hpp"
#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::sanitize {

using orvane::outside::Name;

namespace {

// Interned names (see the legend in support.hpp).
Name o_data_formatter{"DataFormatter"};
Name d_secret_keys{"_SECRET_KEYS"};
Name d_secret_nouns{"_SECRET_NOUNS"};
Name d_secret_qualifiers{"_SECRET_KEY_QUALIFIERS"};
Name d_data_formatter{"DataFormatter"};
Name a_mask{"MASK"};
Name a_recursion_marker{"RECURSION_MARKER"};
Name a_depth_marker{"DEPTH_MARKER"};
Name a_max_depth{"MAX_DEPTH"};
Name a_sanitize{"sanitize"};
Name a_dataclass_fields{"__dataclass_fields__"};
Name a_name{"name"};
Name m_model_dump{"model_dump"};
Name m_items{"items"};
Name m_casefold{"casefold"};

// Set by init(), kept for the life of the process (see support.hpp).
PyObject *utils_dict = nullptr;         // orvane.utils.__dict__
PyObject *original_sanitize = nullptr;  // orvane.utils.DataFormatter.sanitize at init
PyObject *base_model = nullptr;         // pydantic.BaseModel (utils' BaseModel)
PyObject *dataclass_fields = nullptr;   // dataclasses.fields

// ---------------------------------------------------------------- verdicts

// Looks `text` up in one of the rule collections.
struct Lookup {
    PyObject *collection;                   // the Python collection (any container)
    const std::vector<std::string> *ascii;  // its exact-str ASCII members, or nullptr

    bool contains_ascii(std::string_view text) const {
        if (ascii != nullptr) {
            for (const std::string &m : *ascii)
                if (m.size() == text.size() && text == m)
                    return true;
            return false;
        }
        nb::object s = nb::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!s.is_valid())
            throw nb::python_error();
        return contains(s.ptr());
    }
    bool contains(PyObject *text) const {
        int r = PySequence_Contains(collection, text);
        if (r < 0)
            throw nb::python_error();
        return r != 0;
    }
};

struct Span {
    size_t start = 0, end = 0;
};

// The last two words of a key (utils._key_words), from a reader of its code points.
template <typename Read, typename Upper, typename Lower>
size_t last_words(size_t n, Read at, Upper is_upper, Lower is_lower, Span &last, Span &prev) {
    size_t count = 0, start = 0;
    auto push = [&](size_t a, size_t b) {
        prev = last;
        last = Span{a, b};
        ++count;
    };
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = at(i);
        if (c == '_' || c == '-' || c == '.') {
            if (i > start)
                push(start, i);
            start = i + 1;
        } else if (i > start && is_upper(c)) {
            if (!is_upper(at(i - 1)) || (i + 1 < n && is_lower(at(i + 1)))) {
                push(start, i);
                start = i;
            }
        }
    }
    if (start < n)
        push(start, n);
    return count;
}

bool verdict_ascii(const char *p, size_t n, const Lookup &keys, const Lookup &nouns,
                   const Lookup &qualifiers) {
    char local[64];
    std::string heap;
    char *folded = local;
    if (n > sizeof local) {
        heap.resize(n);
        folded = heap.data();
    }
    for (size_t i = 0; i < n; ++i)  // str.casefold of ASCII text is its lower case
        folded[i] = (p[i] >= 'A' && p[i] <= 'Z') ? static_cast<char>(p[i] | 0x20) : p[i];
    if (keys.contains_ascii(std::string_view(folded, n)))
        return true;
    Span last, prev;
    size_t words = last_words(
        n, [p](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(p[i])); },
        [](uint32_t c) { return c >= 'A' && c <= 'Z'; }, [](uint32_t c) { return c >= 'a' && c <= 'z'; },
        last, prev);
    if (words == 0)
        return false;
    std::string_view last_word(folded + last.start, last.end - last.start);
    if (nouns.contains_ascii(last_word))
        return true;
    return last_word == "key" && words > 1 &&
           qualifiers.contains_ascii(std::string_view(folded + prev.start, prev.end - prev.start));
}

nb::object casefolded(PyObject *s) {
    PyObject *r = PyObject_CallMethodNoArgs(s, m_casefold.get());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

bool verdict_unicode(PyObject *text, const Lookup &keys, const Lookup &nouns, const Lookup &qualifiers) {
    if (keys.contains(casefolded(text).ptr()))
        return true;
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Span last, prev;
    size_t words = last_words(
        static_cast<size_t>(PyUnicode_GET_LENGTH(text)),
        [kind, data](size_t i) { return static_cast<uint32_t>(PyUnicode_READ(kind, data, i)); },
        [](uint32_t c) { return Py_UNICODE_ISUPPER(c) != 0; },
        [](uint32_t c) { return Py_UNICODE_ISLOWER(c) != 0; }, last, prev);
    if (words == 0)
        return false;
    auto word = [text](Span s) {
        nb::object w = nb::steal(PyUnicode_Substring(text, static_cast<Py_ssize_t>(s.start),
                                                     static_cast<Py_ssize_t>(s.end)));
        if (!w.is_valid())
            throw nb::python_error();
        return casefolded(w.ptr());
    };
    nb::object last_word = word(last);
    if (nouns.contains(last_word.ptr()))
        return true;
    return words > 1 && PyUnicode_CompareWithASCIIString(last_word.ptr(), "key") == 0 &&
           qualifiers.contains(word(prev).ptr());
}

bool verdict(PyObject *text, const Lookup &keys, const Lookup &nouns, const Lookup &qualifiers) {
    if (PyUnicode_IS_ASCII(text))
        return verdict_ascii(static_cast<const char *>(PyUnicode_DATA(text)),
                             static_cast<size_t>(PyUnicode_GET_LENGTH(text)), keys, nouns, qualifiers);
    return verdict_unicode(text, keys, nouns, qualifiers);
}

// Verdicts under one set of frozen rules. The same few key texts come back event after event: as
// the very same objects when a walk reads the host's own dicts (their keys are mostly literals),
// as new objects when it reads what model_dump made. So a look-up asks a small direct-mapped table
// by object first (one load; a slot holds its key, so an address there always names the same
// string), then an open-addressed table by text (keys are dict keys, whose str hash is already
// computed and kept in the object).
struct VerdictCache {
    struct Slot {
        PyObject *key = nullptr;  // strong
        bool verdict = false;
    };
    static constexpr size_t kSlots = 512;  // a power of two
    Slot slots[kSlots];

    Slot &slot_of(PyObject *key) { return slots[(reinterpret_cast<uintptr_t>(key) >> 4) & (kSlots - 1)]; }

    PyObject *keys = nullptr, *nouns = nullptr, *qualifiers = nullptr;  // strong; the rules
    std::vector<std::string> ascii_keys, ascii_nouns, ascii_qualifiers;
    bool ascii_usable = false;

    struct Entry {
        Py_hash_t hash = 0;
        int kind = 0;  // PyUnicode kind of the text; 0: empty entry
        bool verdict = false;
        std::string data;  // the text's code units
    };
    static constexpr size_t kEntries = 2048;  // a power of two
    static constexpr size_t kProbes = 4;
    static constexpr size_t kMaxText = 128;   // longer keys are judged each time
    std::vector<Entry> entries = std::vector<Entry>(kEntries);

    bool holds(PyObject *k, PyObject *n, PyObject *q) const {
        return k == keys && n == nouns && q == qualifiers;
    }

    void adopt(PyObject *k, PyObject *n, PyObject *q) {
        for (Slot &slot : slots)
            Py_CLEAR(slot.key);
        for (Entry &e : entries)
            e.kind = 0;
        Py_XSETREF(keys, Py_NewRef(k));
        Py_XSETREF(nouns, Py_NewRef(n));
        Py_XSETREF(qualifiers, Py_NewRef(q));
        ascii_usable = ascii_members(k, ascii_keys) && ascii_members(n, ascii_nouns) &&
                       ascii_members(q, ascii_qualifiers);
    }

    // The entry of `text` (found: its verdict is known), or the one to fill. nullptr: not kept.
    Entry *find(PyObject *text, bool &found) {
        found = false;
        size_t bytes = static_cast<size_t>(PyUnicode_GET_LENGTH(text)) * PyUnicode_KIND(text);
        if (bytes > kMaxText || !PyUnicode_CheckExact(text))
            return nullptr;
        Py_hash_t hash = PyObject_Hash(text);
        if (hash == -1) {
            PyErr_Clear();
            return nullptr;
        }
        const char *data = static_cast<const char *>(PyUnicode_DATA(text));
        int kind = PyUnicode_KIND(text);
        size_t at = static_cast<size_t>(hash) & (kEntries - 1);
        Entry *free_entry = nullptr;
        for (size_t i = 0; i < kProbes; ++i) {
            Entry &e = entries[(at + i) & (kEntries - 1)];
            if (e.kind == 0) {
                if (free_entry == nullptr)
                    free_entry = &e;
                continue;
            }
            if (e.hash == hash && e.kind == kind && e.data.size() == bytes &&
                std::memcmp(e.data.data(), data, bytes) == 0) {
                found = true;
                return &e;
            }
        }
        Entry *e = free_entry != nullptr ? free_entry : &entries[at];  // full: the first one goes
        e->hash = hash;
        e->kind = kind;
        e->data.assign(data, bytes);
        return e;
    }

    // The exact-str ASCII members of a frozenset. False when a member is a str subclass (it may
    // compare equal to text its own way): lookups then go through Python.
    static bool ascii_members(PyObject *set, std::vector<std::string> &out) {
        out.clear();
        nb::object it = nb::steal(PyObject_GetIter(set));
        if (!it.is_valid())
            throw nb::python_error();
        while (PyObject *next = PyIter_Next(it.ptr())) {
            nb::object member = nb::steal(next);
            if (PyUnicode_CheckExact(next)) {
                if (PyUnicode_IS_ASCII(next))
                    out.emplace_back(static_cast<const char *>(PyUnicode_DATA(next)),
                                     static_cast<size_t>(PyUnicode_GET_LENGTH(next)));
            } else if (PyUnicode_Check(next)) {
                return false;
            }
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        return true;
    }
};

VerdictCache *cache() {
    static VerdictCache *c = new VerdictCache();  // kept for the process
    return c;
}

// ---------------------------------------------------------------- the walk over objects

inline bool is_scalar_type(PyObject *v) {
    PyTypeObject *t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           v == Py_None;
}

// The type's __name__ (tp_name of a heap type is its __name__; a static type's may be dotted).
nb::object type_name(PyObject *v) {
    PyObject *r = PyType_GetName(Py_TYPE(v));
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object bracketed(const char *prefix, PyObject *v) {
    nb::object name = type_name(v);
    PyObject *r = PyUnicode_FromFormat("<%s %U>", prefix, name.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// utils._safe_str: str(value), or "<unprintable T>" when str() raises an Exception.
nb::object safe_str(PyObject *v) {
    PyObject *r = PyObject_Str(v);
    if (r != nullptr)
        return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw nb::python_error();
    PyErr_Clear();
    return bracketed("unprintable", v);
}

// utils._key_text: the JSON key text of a mapping key, as a str.
nb::object key_text(PyObject *key) {
    if (PyUnicode_CheckExact(key))
        return nb::borrow(key);
    if (PyUnicode_Check(key)) {  // str.__str__ of a subclass: its text as a plain str
        PyObject *r = PyUnicode_FromObject(key);
        if (r == nullptr)
            throw nb::python_error();
        return nb::steal(r);
    }
    nb::object text = json::key_text(key, json::NonFinite::Literal);
    return text.is_valid() ? text : safe_str(key);
}

bool is_instance(PyObject *v, PyObject *cls) {
    int r = PyObject_IsInstance(v, cls);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// dataclasses.is_dataclass(v) and not isinstance(v, type)
bool is_dataclass_instance(PyObject *v) {
    if (PyType_Check(v))
        return false;
    int r = PyObject_HasAttrWithError(reinterpret_cast<PyObject *>(Py_TYPE(v)), a_dataclass_fields.get());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// The marker that replaces the container `c` met at `depth` (utils._walk's two checks), or nullptr
// to walk it; past the native walk's depth limit the Python route takes over.
PyObject *marker_for(const Rules &rules, const json::ContainerPath &path, PyObject *c, long long depth) {
    if (path.contains(c))
        return rules.recursion_marker();
    if (depth >= rules.max_depth())
        return rules.depth_marker();
    if (path.size() >= kNativeDepthLimit)
        throw json::Unsupported{};
    return nullptr;
}

// Pops the path on every way out of a level.
struct PathLevel {
    json::ContainerPath &path;
    PathLevel(json::ContainerPath &p, PyObject *c) : path(p) { path.push(c); }
    ~PathLevel() { path.pop(); }
};

[[noreturn]] void raise_changed_size() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    throw nb::python_error();
}

// The object walk (utils._walk and _walk_mapping) over a path shared with a Walk.
class ObjectWalk {
public:
    ObjectWalk(const Rules &rules, json::ContainerPath &path) : rules_(rules), path_(path) {}

    nb::object walk(PyObject *v, long long depth) {
        if (is_scalar_type(v))
            return nb::borrow(v);
        PyTypeObject *t = Py_TYPE(v);
        bool container = t == &PyDict_Type || t == &PyList_Type || t == &PyTuple_Type;
        if (!container) {
            if (PyUnicode_Check(v) || PyLong_Check(v) || PyFloat_Check(v))
                return nb::borrow(v);  // subclasses (str enums, IntEnum, ...) encode as they are
            if (orvane::py::is_mapping(v) || PyList_Check(v) || PyTuple_Check(v)) {
                container = true;
            } else if (is_instance(v, base_model)) {
                PyObject *dumped = PyObject_CallMethodNoArgs(v, m_model_dump.get());
                if (dumped == nullptr) {
                    if (!PyErr_ExceptionMatches(PyExc_Exception))
                        throw nb::python_error();
                    PyErr_Clear();
                    return bracketed("unserialisable", v);
                }
                nb::object hold = nb::steal(dumped);
                return mapping(dumped, depth, dumped);
            } else if (is_dataclass_instance(v)) {
                nb::object fields = dataclass_values(v);
                return mapping(fields.ptr(), depth, v);
            } else {
                return safe_str(v);
            }
        }
        if (t == &PyDict_Type || (t != &PyList_Type && t != &PyTuple_Type && orvane::py::is_mapping(v)))
            return mapping(v, depth, v);
        return sequence(v, depth);
    }

    // walk() for a tree the caller owns: exact dicts with exact str keys and exact lists are
    // sanitised in place (values replaced, nothing rebuilt); anything else is walked as walk()
    // does and replaces the node in its parent.
    nb::object owned(PyObject *v, long long depth) {
        if (is_scalar_type(v))
            return nb::borrow(v);
        PyTypeObject *t = Py_TYPE(v);
        if (t == &PyDict_Type) {
            Py_ssize_t pos = 0;
            PyObject *k, *item;
            while (orvane::dictscan::dict_next(v, &pos, &k, &item))
                if (!PyUnicode_CheckExact(k))
                    return walk(v, depth);  // coerced keys: a new dict
        } else if (t != &PyList_Type) {
            return walk(v, depth);
        }
        if (PyObject *replaced = marker_for(rules_, path_, v, depth))
            return nb::borrow(replaced);
        PathLevel level(path_, v);
        if (t == &PyDict_Type) {
            Py_ssize_t size = PyDict_GET_SIZE(v), pos = 0;
            PyObject *k, *item;
            // Only values of existing keys are replaced, which PyDict_Next allows.
            while (orvane::dictscan::dict_next(v, &pos, &k, &item)) {
                nb::object hold_key = nb::borrow(k);
                if (rules_.is_secret(k)) {
                    if (PyDict_SetItem(v, k, rules_.mask()) < 0)
                        throw nb::python_error();
                } else if (!is_scalar_type(item)) {
                    nb::object hold_item = nb::borrow(item);
                    nb::object clean = owned(item, depth + 1);
                    if (clean.ptr() != item && PyDict_SetItem(v, k, clean.ptr()) < 0)
                        throw nb::python_error();
                }
                if (PyDict_GET_SIZE(v) != size)
                    raise_changed_size();
            }
        } else {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
                PyObject *item = PyList_GET_ITEM(v, i);
                if (is_scalar_type(item))
                    continue;
                nb::object hold_item = nb::borrow(item);
                nb::object clean = owned(item, depth + 1);
                if (clean.ptr() != item && i < PyList_GET_SIZE(v) &&
                    PyList_SetItem(v, i, clean.release().ptr()) < 0)
                    throw nb::python_error();
            }
        }
        return nb::borrow(v);
    }

    // utils._walk_mapping(value, path, depth, marker)
    nb::object mapping(PyObject *m, long long depth, PyObject *marker) {
        if (PyObject *replaced = marker_for(rules_, path_, marker, depth))
            return nb::borrow(replaced);
        PathLevel level(path_, marker);
        nb::object out = nb::steal(PyDict_New());
        if (!out.is_valid())
            throw nb::python_error();
        if (PyDict_CheckExact(m)) {
            Py_ssize_t size = PyDict_GET_SIZE(m), pos = 0;
            PyObject *k, *item;
            while (orvane::dictscan::dict_next(m, &pos, &k, &item)) {
                nb::object hold_key = nb::borrow(k), hold_item = nb::borrow(item);
                put(out.ptr(), k, item, depth);
                if (PyDict_GET_SIZE(m) != size)
                    raise_changed_size();
            }
            return out;
        }
        nb::object items = nb::steal(PyObject_CallMethodNoArgs(m, m_items.get()));
        if (!items.is_valid())
            throw nb::python_error();
        nb::object it = nb::steal(PyObject_GetIter(items.ptr()));
        if (!it.is_valid())
            throw nb::python_error();
        while (PyObject *next = PyIter_Next(it.ptr())) {
            nb::object pair = nb::steal(next);
            nb::object kv = nb::steal(PySequence_Fast(next, "cannot unpack non-iterable object"));
            if (!kv.is_valid())
                throw nb::python_error();
            Py_ssize_t n = PySequence_Fast_GET_SIZE(kv.ptr());
            if (n != 2) {
                if (n > 2)
                    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
                else
                    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
                throw nb::python_error();
            }
            put(out.ptr(), PySequence_Fast_GET_ITEM(kv.ptr(), 0), PySequence_Fast_GET_ITEM(kv.ptr(), 1), depth);
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        return out;
    }

private:
    // out[key text] = the mask, the item, or its walk (one entry of _walk_mapping).
    void put(PyObject *out, PyObject *key, PyObject *item, long long depth) {
        nb::object text = key_text(key);
        nb::object value;
        if (rules_.is_secret(text.ptr()))
            value = nb::borrow(rules_.mask());
        else if (is_scalar_type(item))
            value = nb::borrow(item);
        else
            value = walk(item, depth + 1);
        if (PyDict_SetItem(out, text.ptr(), value.ptr()) < 0)
            throw nb::python_error();
    }

    nb::object sequence(PyObject *s, long long depth) {
        if (PyObject *replaced = marker_for(rules_, path_, s, depth))
            return nb::borrow(replaced);
        PathLevel level(path_, s);
        nb::object out = nb::steal(PyList_New(0));
        if (!out.is_valid())
            throw nb::python_error();
        auto add = [&](PyObject *item) {
            nb::object value = is_scalar_type(item) ? nb::borrow(item) : walk(item, depth + 1);
            if (PyList_Append(out.ptr(), value.ptr()) < 0)
                throw nb::python_error();
        };
        if (PyList_CheckExact(s) || PyTuple_CheckExact(s)) {
            // As the list iterator does: the size is read again each round.
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(s); ++i) {
                nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(s, i));
                add(item.ptr());
            }
            return out;
        }
        nb::object it = nb::steal(PyObject_GetIter(s));
        if (!it.is_valid())
            throw nb::python_error();
        while (PyObject *next = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(next);
            add(next);
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        return out;
    }

    // {f.name: getattr(value, f.name, None) for f in dataclasses.fields(value)}
    static nb::object dataclass_values(PyObject *v) {
        nb::object fields = nb::steal(PyObject_CallOneArg(dataclass_fields, v));
        if (!fields.is_valid())
            throw nb::python_error();
        nb::object out = nb::steal(PyDict_New());
        nb::object it = nb::steal(PyObject_GetIter(fields.ptr()));
        if (!out.is_valid() || !it.is_valid())
            throw nb::python_error();
        while (PyObject *next = PyIter_Next(it.ptr())) {
            nb::object field = nb::steal(next);
            nb::object name = orvane::py::attr(field, a_name);
            PyObject *value = nullptr;
            if (PyObject_GetOptionalAttr(v, name.ptr(), &value) < 0)
                throw nb::python_error();
            nb::object hold = value ? nb::steal(value) : nb::none();
            if (PyDict_SetItem(out.ptr(), name.ptr(), hold.ptr()) < 0)
                throw nb::python_error();
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        return out;
    }

    const Rules &rules_;
    json::ContainerPath &path_;
};

}  // namespace

// ---------------------------------------------------------------- the check and the rules

void init() {
    if (utils_dict != nullptr)
        return;
    nb::object utils = nb::module_::import_("orvane.utils");
    nb::dict d = nb::borrow<nb::dict>(PyModule_GetDict(utils.ptr()));
    original_sanitize = nb::object(utils.attr("DataFormatter").attr("sanitize")).release().ptr();
    base_model = nb::object(d["BaseModel"]).release().ptr();
    dataclass_fields = nb::object(d["dataclasses"].attr("fields")).release().ptr();
    utils_dict = Py_NewRef(d.ptr());
}

bool is_original() {
    nb::object formatter = orvane::outside::get(o_data_formatter);
    PyObject *fn = nullptr;
    if (PyObject_GetOptionalAttr(formatter.ptr(), a_sanitize.get(), &fn) < 0)
        throw nb::python_error();
    bool original = fn != nullptr && fn == original_sanitize;
    Py_XDECREF(fn);
    return original;
}

std::optional<Rules> Rules::current() {
    auto global = [](Name &name) -> nb::object {
        PyObject *v = nullptr;
        if (PyDict_GetItemRef(utils_dict, name.get(), &v) < 0)
            throw nb::python_error();
        return nb::steal(v);
    };
    Rules r;
    r.keys_ = global(d_secret_keys);
    r.nouns_ = global(d_secret_nouns);
    r.qualifiers_ = global(d_secret_qualifiers);
    nb::object cls = global(d_data_formatter);
    if (!r.keys_.is_valid() || !r.nouns_.is_valid() || !r.qualifiers_.is_valid() || !cls.is_valid())
        return std::nullopt;
    Name *names[4] = {&a_mask, &a_recursion_marker, &a_depth_marker, &a_max_depth};
    nb::object *slots[4] = {&r.mask_, &r.recursion_, &r.depth_marker_, nullptr};
    nb::object max_depth;
    // A plain class attribute of a class whose metaclass is `type` is what the class's MRO holds
    // (the look-up the interpreter caches): read it there; anything else the general way.
    bool plain_class = PyType_Check(cls.ptr()) && Py_TYPE(cls.ptr()) == &PyType_Type;
    for (int i = 0; i < 4; ++i) {
        PyObject *v = plain_class ? _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), names[i]->get())
                                  : nullptr;
        if (v != nullptr && Py_TYPE(v)->tp_descr_get == nullptr) {
            Py_INCREF(v);
        } else if (PyObject_GetOptionalAttr(cls.ptr(), names[i]->get(), &v) < 0) {
            throw nb::python_error();
        }
        if (v == nullptr)
            return std::nullopt;
        (slots[i] ? *slots[i] : max_depth) = nb::steal(v);
    }
    if (!PyLong_CheckExact(max_depth.ptr()))
        return std::nullopt;
    int overflow = 0;
    r.max_depth_ = PyLong_AsLongLongAndOverflow(max_depth.ptr(), &overflow);
    if (r.max_depth_ == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow != 0)
        return std::nullopt;
    r.cached_ = PyFrozenSet_CheckExact(r.keys_.ptr()) && PyFrozenSet_CheckExact(r.nouns_.ptr()) &&
                PyFrozenSet_CheckExact(r.qualifiers_.ptr());
    if (r.cached_ && !cache()->holds(r.keys_.ptr(), r.nouns_.ptr(), r.qualifiers_.ptr()))
        cache()->adopt(r.keys_.ptr(), r.nouns_.ptr(), r.qualifiers_.ptr());
    return r;
}

bool Rules::is_secret(PyObject *text) const {
    if (!cached_)
        return verdict(text, Lookup{keys_.ptr(), nullptr}, Lookup{nouns_.ptr(), nullptr},
                       Lookup{qualifiers_.ptr(), nullptr});
    VerdictCache *c = cache();
    VerdictCache::Slot &slot = c->slot_of(text);
    if (slot.key == text)
        return slot.verdict;
    bool found = false;
    VerdictCache::Entry *entry = c->find(text, found);
    if (found) {
        Py_XSETREF(slot.key, Py_NewRef(text));
        slot.verdict = entry->verdict;
        return entry->verdict;
    }
    bool usable = c->ascii_usable;
    bool v;
    try {
        v = verdict(text, Lookup{keys_.ptr(), usable ? &c->ascii_keys : nullptr},
                    Lookup{nouns_.ptr(), usable ? &c->ascii_nouns : nullptr},
                    Lookup{qualifiers_.ptr(), usable ? &c->ascii_qualifiers : nullptr});
    } catch (...) {
        if (entry != nullptr)
            entry->kind = 0;
        throw;
    }
    if (entry != nullptr) {
        entry->verdict = v;
        Py_XSETREF(slot.key, Py_NewRef(text));
        slot.verdict = v;
    }
    return v;
}

// ---------------------------------------------------------------- entry points

nb::object sanitize(nb::handle value, const Rules &rules) {
    if (is_scalar_type(value.ptr()))
        return nb::borrow(value);
    json::ContainerPath path;
    return ObjectWalk(rules, path).walk(value.ptr(), 0);
}

nb::object sanitize_owned(nb::handle tree, const Rules &rules, long long depth) {
    json::ContainerPath path;
    return ObjectWalk(rules, path).owned(tree.ptr(), depth);
}

void write_sanitized(json::Writer &writer, nb::handle value, const Rules &rules) {
    Walk(writer, rules).value(value.ptr(), 0);
}

// ---------------------------------------------------------------- the fused walk

PyObject *Walk::marker_for(PyObject *c, long long depth) {
    PyObject *marker = sanitize::marker_for(rules_, path_, c, depth);
    if (strict_ && (marker == rules_.recursion_marker() || (marker == nullptr && depth >= strict_depth_)))
        throw json::Unsupported{};  // model_dump raises on a cycle; deep data: the Python route
    return marker;
}

void Walk::mask() { w_.value(rules_.mask()); }

void Walk::entry(PyObject *key, PyObject *v, long long depth) {
    w_.string(key);
    w_.key_separator();
    if (rules_.is_secret(key))
        mask();
    else
        value(v, depth);
}

void Walk::value(PyObject *v, long long depth) {
    PyTypeObject *t = Py_TYPE(v);
    if (v == Py_None) {
        w_.null();
    } else if (t == &PyBool_Type) {
        w_.boolean(v == Py_True);
    } else if (t == &PyUnicode_Type) {
        w_.string(v);
    } else if (t == &PyLong_Type) {
        if (!strict_) {
            w_.integer(v);
            return;
        }
        try {
            w_.integer(v);
        } catch (nb::python_error &) {
            throw json::Unsupported{};  // past the digit limit: the Python route raises its way
        }
    } else if (t == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(v);
        if (strict_ && !std::isfinite(d))
            throw json::Unsupported{};  // model_dump(mode="json") writes None for it
        w_.real(d);
    } else if (t == &PyDict_Type) {
        mapping(v, depth, {});
    } else if (t == &PyList_Type || t == &PyTuple_Type) {
        sequence(v, depth);
    } else if (strict_) {
        throw json::Unsupported{};
    } else if (PyUnicode_Check(v)) {
        w_.string(v);  // subclasses (str enums, IntEnum, ...) are kept, and written as json would
    } else if (PyLong_Check(v)) {
        w_.integer(v);
    } else if (PyFloat_Check(v)) {
        w_.real(PyFloat_AS_DOUBLE(v));
    } else {
        via_objects(v, depth);
    }
}

void Walk::mapping(PyObject *dict, long long depth, std::initializer_list<Default> defaults) {
    if (PyObject *marker = marker_for(dict, depth)) {
        w_.value(marker);
        return;
    }
    // Keys that are not exact str are coerced (and may collide): the object walk does that. (A
    // table known to take str keys only needs no look.)
    Py_ssize_t pos = 0;
    PyObject *k, *item;
    if (!orvane::dictscan::str_keys_only(dict))
        while (orvane::dictscan::dict_next(dict, &pos, &k, &item))
            if (!PyUnicode_CheckExact(k)) {
                if (strict_ || defaults.size() != 0)
                    throw json::Unsupported{};
                via_objects(dict, depth);
                return;
            }
    PathLevel level(path_, dict);
    w_.begin_object();
    bool first = true;
    Py_ssize_t size = PyDict_GET_SIZE(dict);
    pos = 0;
    while (orvane::dictscan::dict_next(dict, &pos, &k, &item)) {
        if (!first)
            w_.item_separator();
        first = false;
        nb::object hold_key = nb::borrow(k), hold_item = nb::borrow(item);
        entry(k, item, depth + 1);
        if (PyDict_GET_SIZE(dict) != size) {
            if (strict_)
                throw json::Unsupported{};
            raise_changed_size();
        }
    }
    for (const Default &d : defaults) {
        if (d.value == nullptr)
            continue;
        int has = PyDict_Contains(dict, d.key);
        if (has < 0)
            throw nb::python_error();
        if (has)
            continue;
        if (!first)
            w_.item_separator();
        first = false;
        entry(d.key, d.value, depth + 1);
    }
    w_.end_object();
}

void Walk::sequence(PyObject *seq, long long depth) {
    if (PyObject *marker = marker_for(seq, depth)) {
        w_.value(marker);
        return;
    }
    PathLevel level(path_, seq);
    w_.begin_array();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        if (i > 0)
            w_.item_separator();
        nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(seq, i));
        value(item.ptr(), depth + 1);
    }
    w_.end_array();
}

void Walk::via_objects(PyObject *v, long long depth) {
    nb::object clean = ObjectWalk(rules_, path_).walk(v, depth);
    w_.value(clean.ptr());
}

}  // namespace orvane::sanitize
