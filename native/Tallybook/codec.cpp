#include "codec.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "names.hpp"
#include "orvane/dictscan.hpp"
#include "orvane/models.hpp"
#include "util.hpp"

namespace tally {

namespace {

enum Tag : unsigned char {
    T_NONE,
    T_TRUE,
    T_FALSE,
    T_INT,
    T_FLOAT,
    T_STR,
    T_DICT,
    T_LIST,
    T_TUPLE,
    T_MODEL,
    T_OBJ,
    T_SHARED,
    T_STRREF,
    T_DSHAPE,   // a dict of a known key sequence: shape number, then the values
    T_FLOAT32,  // a float that a 32-bit float holds exactly: 4 bytes
    // One-byte forms: a small int in [kSmallIntMin, kSmallIntMin + 64), a kept string numbered
    // below 128.
    T_SMALLINT = 0x40,
    T_SHORTREF = 0x80,
};
constexpr int kSmallIntMin = -16;

constexpr Py_ssize_t kMaxModelFields = 64;

inline void put_varint(Buffer &b, uint64_t v) {
    while (v >= 0x80) {
        b.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    b.push_back(static_cast<char>(v));
}

uint64_t get_varint(const char *&p) {
    uint64_t v = 0;
    int shift = 0;
    for (;;) {
        auto c = static_cast<unsigned char>(*p++);
        v |= static_cast<uint64_t>(c & 0x7F) << shift;
        if (c < 0x80)
            return v;
        shift += 7;
    }
}

// Where models keep pydantic's per-instance state: BaseModel's slots, which every model class
// inherits.
const orvane::models::Layout &slots() {
    static const orvane::models::Layout &layout = orvane::models::layout_of(orvane::models::base_model_type());
    return layout;
}

using orvane::dictscan::dict_next;
using orvane::models::slot_at;

// Borrowed read of a BaseModel slot (nullptr when unset or when the layout is not known).
PyObject *slot_ptr(PyObject *o, Py_ssize_t off) { return off < 0 ? nullptr : slot_at(o, off); }

PyObject *empty_tuple() {
    static PyObject *empty = PyTuple_New(0);  // immortal
    return empty;
}

}  // namespace

PyObject *model_fields_set(PyObject *model) { return slot_ptr(model, slots().fields_set); }

SharedPart *SharedPart::make(const char *data, size_t n) {
    void *mem = std::malloc(offsetof(SharedPart, bytes) + n);
    if (mem == nullptr)
        throw std::bad_alloc();
    auto *p = static_cast<SharedPart *>(mem);
    p->refs = 0;
    p->size = static_cast<uint32_t>(n);
    std::memcpy(p->bytes, data, n);
    return p;
}

Held *Held::make(const std::vector<PyObject *> &objs, const char *blob_data, size_t blob_size) {
    if (objs.size() > UINT16_MAX || blob_size > UINT32_MAX)
        throw std::length_error("event too large to hold");
    void *mem = std::malloc(sizeof(Held) + objs.size() * sizeof(PyObject *) + blob_size);
    if (mem == nullptr)
        throw std::bad_alloc();
    Held *h = new (mem) Held();
    h->nobjs = static_cast<uint16_t>(objs.size());
    for (size_t i = 0; i < objs.size(); ++i)
        h->objs()[i] = objs[i];  // the references pass to the event
    if (blob_size != 0)
        std::memcpy(h->data(), blob_data, blob_size);
    return h;
}

void Held::destroy(Held *h) {
    SharedPart::drop(h->shared);
    if (h->has_own_text())
        std::free(const_cast<char *>(h->own_text()));
    for (uint16_t i = 0; i < h->nobjs; ++i)
        Py_DECREF(h->objs()[i]);
    h->~Held();
    std::free(h);
}

// ---- the string table ----

namespace {

// The UTF-8 text of a str: an ASCII one's own characters, read in place (no call); any other
// through PyUnicode_AsUTF8AndSize (nullptr with an error set for lone surrogates).
inline const char *utf8_text(PyObject *s, Py_ssize_t *n) {
    if (PyUnicode_IS_COMPACT_ASCII(s)) {
        *n = PyUnicode_GET_LENGTH(s);
        return static_cast<const char *>(PyUnicode_DATA(s));
    }
    return PyUnicode_AsUTF8AndSize(s, n);
}

// A fast hash of short UTF-8 text (the table's own: Python's str hash is not cached yet for most
// strings met here, and siphash costs more than the look-up it serves).
Py_hash_t text_hash(const char *p, size_t n) {
    constexpr uint64_t k = 0x9E3779B97F4A7C15ull;
    uint64_t h = n * k;
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * k;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    // The last bytes: four and up to four more, or byte by byte (fixed-size reads, no call).
    uint64_t w = 0;
    if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        w = (static_cast<uint64_t>(hi) << 32) | lo;
    } else {
        for (size_t i = 0; i < n; ++i)
            w |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
    h ^= w;
    // A full finish (splitmix64's), so that every byte reaches the low bits the tables index by:
    // texts that differ only in a byte read into the top of a word (the tail above) must not
    // fall into one slot.
    h ^= h >> 30;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 27;
    h *= 0x94D049BB133111EBull;
    h ^= h >> 31;
    return static_cast<Py_hash_t>(h);
}

}  // namespace

StringTable::StringTable() : slots_(1024, 0), seen_(4096, 0), recent_(kRecent, Recent{nullptr, 0}) {}

StringTable::~StringTable() {
    for (PyObject *s : strs_)
        Py_DECREF(s);
}

void StringTable::insert_slot(Py_hash_t h, uint32_t id) {
    size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(h) & mask;; i = (i + 1) & mask)
        if (slots_[i] == 0) {
            slots_[i] = id + 1;
            return;
        }
}

uint32_t StringTable::look_up(PyObject *s) {
    Recent &r = recent_[(reinterpret_cast<uintptr_t>(s) >> 4) & (kRecent - 1)];
    if (PyUnicode_GET_LENGTH(s) > kMaxLength)
        return 0;
    Py_ssize_t len;
    const char *text = utf8_text(s, &len);
    if (text == nullptr) {  // lone surrogates: not kept
        PyErr_Clear();
        return 0;
    }
    Py_hash_t h = text_hash(text, static_cast<size_t>(len));
    size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(h) & mask; slots_[i] != 0; i = (i + 1) & mask) {
        uint32_t id = slots_[i] - 1;
        if (same_value(strs_[id], s)) {
            r = Recent{strs_[id], id};
            return id + 1;
        }
    }
    // Kept on the second meeting: strings met once (ids, messages) stay out of the table.
    Py_hash_t &seen = seen_[static_cast<size_t>(h) & (seen_.size() - 1)];
    if (seen != h || strs_.size() >= kMaxStrings) {
        seen = h;
        return 0;
    }
    if ((strs_.size() + 1) * 2 > slots_.size()) {
        std::vector<uint32_t> grown(slots_.size() * 2, 0);
        slots_.swap(grown);
        for (uint32_t id = 0; id < strs_.size(); ++id) {
            Py_ssize_t n;
            const char *t = PyUnicode_AsUTF8AndSize(strs_[id], &n);  // kept strings have their UTF-8
            insert_slot(text_hash(t, static_cast<size_t>(n)), id);
        }
    }
    auto id = static_cast<uint32_t>(strs_.size());
    strs_.push_back(Py_NewRef(s));
    insert_slot(h, id);
    r = Recent{s, id};
    return id + 1;
}

// ---- encoding ----

Codec::~Codec() {
    for (DictShape &d : dshapes_)
        Py_DECREF(d.dict_template);
    for (Shape &s : shapes_) {
        Py_DECREF(s.cls);
        for (PyObject *k : s.keys)
            Py_DECREF(k);
        Py_DECREF(s.dict_template);
        Py_DECREF(s.set_template);
    }
}

int Codec::traverse(visitproc visit, void *arg) const {
    for (const Shape &s : shapes_)
        Py_VISIT(s.cls);
    return 0;
}

void Codec::object(PyObject *o) {
    ++copies_;  // (the copy may run Python code)
    nb::object copy = orvane::models::deep_copy(o);
    scratch_.push_back(static_cast<char>(T_OBJ));
    put_varint(scratch_, objs_.size());
    objs_.push_back(copy.release().ptr());
}

Held *Codec::encode(PyObject *event, PyObject *run, SharedPart *previous) {
    share_run_ = run;
    share_previous_ = previous;
    id_at_ = ts_at_ = Held::kNoOffset;
    scratch_.clear();
    struct Reset {
        Codec &c;
        ~Reset() {
            for (PyObject *o : c.objs_)
                Py_DECREF(o);
            c.objs_.clear();
            SharedPart::drop(c.shared_);
            c.shared_ = nullptr;
            c.share_run_ = nullptr;
            c.share_previous_ = nullptr;
        }
    } reset{*this};
    field(event, 0);
    Held *h = Held::make(objs_, scratch_.data(), scratch_.size());
    objs_.clear();  // the event holds them now
    h->shared = shared_;
    shared_ = nullptr;
    h->id_at = id_at_;
    h->set_ts_at(ts_at_);
    return h;
}

// One top-level value (the event, or one field of a model): on a Fallback anywhere inside, the
// whole value is kept as one object, so the deep copy keeps its shared parts and cycles.
void Codec::field(PyObject *o, int depth) {
    size_t blob_mark = scratch_.size(), obj_mark = objs_.size();
    try {
        value(o, depth);
    } catch (Fallback &) {
        scratch_.resize(blob_mark);
        for (size_t i = obj_mark; i < objs_.size(); ++i)
            Py_DECREF(objs_[i]);
        objs_.resize(obj_mark);
        object(o);
    }
}

namespace {

// Writes a varint at `w`; returns the end.
inline char *write_varint(char *w, uint64_t v) {
    while (v >= 0x80) {
        *w++ = static_cast<char>((v & 0x7F) | 0x80);
        v >>= 7;
    }
    *w++ = static_cast<char>(v);
    return w;
}

}  // namespace

// Writes `o` when it is a value no Python code runs for (str, int, float, None, bool); false for
// anything else.
inline bool Codec::scalar(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    if (t == &PyUnicode_Type) {
        str(o);
    } else if (t == &PyLong_Type) {
        long long v;
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(o))) {
            v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(o));
        } else {
            int overflow = 0;
            v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                object(o);  // a huge int: shared as it is (a copy of an int is the same object)
                return true;
            }
        }
        if (v >= kSmallIntMin && v < kSmallIntMin + 64) {
            scratch_.push_back(static_cast<char>(T_SMALLINT + (v - kSmallIntMin)));
            return true;
        }
        char *w = scratch_.claim(11);
        *w++ = static_cast<char>(T_INT);
        uint64_t u = static_cast<uint64_t>(v);
        scratch_.commit(write_varint(w, (u << 1) ^ static_cast<uint64_t>(v >> 63)));
    } else if (o == Py_None) {
        scratch_.push_back(static_cast<char>(T_NONE));
    } else if (o == Py_True) {
        scratch_.push_back(static_cast<char>(T_TRUE));
    } else if (o == Py_False) {
        scratch_.push_back(static_cast<char>(T_FALSE));
    } else if (t == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(o);
        float f = static_cast<float>(d);
        char *w = scratch_.claim(9);
        // Exactly the same double back (NaN's payload and -0.0 included: compared bit for bit).
        double back = static_cast<double>(f);
        if (std::isfinite(d) && std::memcmp(&back, &d, 8) == 0) {
            *w++ = static_cast<char>(T_FLOAT32);
            std::memcpy(w, &f, 4);
            scratch_.commit(w + 4);
            return true;
        }
        *w++ = static_cast<char>(T_FLOAT);
        std::memcpy(w, &d, 8);
        scratch_.commit(w + 8);
    } else {
        return false;
    }
    return true;
}

// A value inside a container: scalars directly; anything else is held while it is written (a
// fallback copy of it may run Python code that changes the container).
inline void Codec::item(PyObject *o, int depth) {
    if (scalar(o))
        return;
    Py_INCREF(o);
    struct Release {
        PyObject *a;
        ~Release() { Py_DECREF(a); }
    } release{o};
    container(o, depth);
}

void Codec::value(PyObject *o, int depth) {
    if (!scalar(o))
        container(o, depth);
}

void Codec::container(PyObject *o, int depth) {
    PyTypeObject *t = Py_TYPE(o);
    if (t == &PyDict_Type) {
        dict(o, depth);
    } else if (t == &PyList_Type || t == &PyTuple_Type) {
        sequence(o, depth, t == &PyList_Type);
    } else if (orvane::models::is_plain_model(o)) {
        if (!enter(o, depth))
            throw Fallback{};
        bool done = o == share_run_ && depth > 0 ? shared_model(o, depth) : model(o, depth);
        if (!done)
            object(o);
    } else {
        object(o);
    }
}

inline void Codec::ref_string(uint32_t id) {
    if (id < 0x80) [[likely]] {
        scratch_.push_back(static_cast<char>(T_SHORTREF + id));
        return;
    }
    char *w = scratch_.claim(6);
    *w++ = static_cast<char>(T_STRREF);
    scratch_.commit(write_varint(w, id));
}

void Codec::str(PyObject *o) {
    if (PyUnicode_GET_LENGTH(o) > kKeepStrFrom) {
        // A long text is kept as the str itself: as small as its bytes would be, and a copy of
        // it is the same object (str is immutable), so nothing is written or decoded twice.
        char *w = scratch_.claim(11);
        *w++ = static_cast<char>(T_OBJ);
        scratch_.commit(write_varint(w, objs_.size()));
        objs_.push_back(Py_NewRef(o));
        return;
    }
    if (uint32_t ref = strings_.find_or_admit(o)) {
        ref_string(ref - 1);
        return;
    }
    Py_ssize_t n;
    const char *p = utf8_text(o, &n);
    if (p == nullptr) {  // lone surrogates: keep the object
        PyErr_Clear();
        object(o);
        return;
    }
    char *w = scratch_.claim(11 + static_cast<size_t>(n));
    *w++ = static_cast<char>(T_STR);
    w = write_varint(w, static_cast<uint64_t>(n));
    std::memcpy(w, p, static_cast<size_t>(n));
    scratch_.commit(w + n);
}


bool Codec::enter(PyObject *o, int depth) {
    if (depth >= kMaxDepth)
        return false;
    for (int d = 0; d < depth; ++d)
        if (path_[d] == o)
            return false;
    path_[depth] = o;
    return true;
}

namespace {

// The entries of exact dict `o` when its table holds str keys only (CPython keeps exact str keys
// alone in such a table) and is read in place (orvane/dictscan.hpp): PyDict_GET_SIZE(o) entries
// with a value, in order, among entries whose value is null (deleted). nullptr otherwise.
inline const orvane::dictscan::StrKeyEntry *str_key_entries(PyObject *o) {
#ifdef ORVANE_DICT_IN_PLACE
    auto *mp = reinterpret_cast<PyDictObject *>(o);
    if (orvane::dictscan::in_place_state != 1 || mp->ma_values != nullptr)
        return nullptr;
    auto *keys = reinterpret_cast<const orvane::dictscan::KeysTable *>(mp->ma_keys);
    if (keys->kind != 1)
        return nullptr;
    return reinterpret_cast<const orvane::dictscan::StrKeyEntry *>(keys->indices +
                                                                   (size_t{1} << keys->log2_index_bytes));
#else
    (void)o;
    return nullptr;
#endif
}

}  // namespace

// A dict whose keys are all kept strings, in an order met before: its shape's number, then its
// values (decoding copies the shape's key table as it is).
bool Codec::shaped_dict(PyObject *o, int depth) {
    Py_ssize_t n = PyDict_GET_SIZE(o);
    if (n == 0 || n > kMaxDictShapeKeys)
        return false;
    uint32_t ids[kMaxDictShapeKeys];
    PyObject *keys[kMaxDictShapeKeys], *values[kMaxDictShapeKeys];  // borrowed from the dict
    uint64_t h = static_cast<uint64_t>(n);
    const orvane::dictscan::StrKeyEntry *entries = str_key_entries(o);
    if (entries != nullptr) {
        // A table of str keys only, read in place in one pass.
        const orvane::dictscan::StrKeyEntry *e = entries;
        for (Py_ssize_t j = 0; j < n; ++e) {
            if (e->value == nullptr)
                continue;
            uint32_t ref = strings_.find_or_admit(e->key);
            if (ref == 0)
                return false;
            ids[j] = ref - 1;
            keys[j] = e->key;
            values[j] = e->value;
            h = (h ^ ref) * 0x9E3779B97F4A7C15ull;
            ++j;
        }
    } else {
        Py_ssize_t pos = 0, j = 0;
        PyObject *k, *v;
        while (dict_next(o, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k))
                return false;
            uint32_t ref = strings_.find_or_admit(k);
            if (ref == 0)
                return false;
            ids[j] = ref - 1;
            keys[j] = k;
            values[j] = v;
            h = (h ^ ref) * 0x9E3779B97F4A7C15ull;
            ++j;
        }
    }
    h ^= h >> 29;
    size_t mask = dshape_slots_.size() - 1;
    size_t found = SIZE_MAX;
    for (size_t i = h & mask; dshape_slots_[i] != 0; i = (i + 1) & mask) {
        const DictShape &sh = dshapes_[dshape_slots_[i] - 1];
        if (sh.hash == h && sh.ids.size() == static_cast<size_t>(n) &&
            std::equal(sh.ids.begin(), sh.ids.end(), ids)) {
            found = dshape_slots_[i] - 1;
            break;
        }
    }
    if (found == SIZE_MAX) {
        // A key sequence is kept on its second meeting, and not beyond a bound.
        uint64_t &seen = dshape_seen_[h & (dshape_seen_.size() - 1)];
        if (seen != h || dshapes_.size() >= kMaxDictShapes) {
            seen = h;
            return false;
        }
        nb::object tmpl = checked(PyDict_New());
        for (Py_ssize_t j = 0; j < n; ++j)
            if (PyDict_SetItem(tmpl.ptr(), strings_.get(ids[j]), Py_None) < 0)
                throw nb::python_error();
        if ((dshapes_.size() + 1) * 2 > dshape_slots_.size()) {
            std::vector<uint32_t> grown(dshape_slots_.size() * 2, 0);
            dshape_slots_.swap(grown);
            size_t m = dshape_slots_.size() - 1;
            for (uint32_t id = 0; id < dshapes_.size(); ++id)
                for (size_t i = dshapes_[id].hash & m;; i = (i + 1) & m)
                    if (dshape_slots_[i] == 0) {
                        dshape_slots_[i] = id + 1;
                        break;
                    }
            mask = m;
        }
        dshapes_.push_back(DictShape{h, std::vector<uint32_t>(ids, ids + n), tmpl.release().ptr()});
        found = dshapes_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask)
            if (dshape_slots_[i] == 0) {
                dshape_slots_[i] = static_cast<uint32_t>(found + 1);
                break;
            }
    }
    if (!enter(o, depth))
        throw Fallback{};
    char *w = scratch_.claim(11);
    *w++ = static_cast<char>(T_DSHAPE);
    scratch_.commit(write_varint(w, found));
    // The values as read above (borrowed: not written to, an event's objects are often no longer
    // in the processor's caches). Only a fallback copy of a value runs Python code, which may
    // change the dict: after one, the dict must still hold exactly what was read -- so the
    // values not written yet are still alive -- or the field is kept as one object (field()).
    uint64_t copies = copies_;
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (copies != copies_ && !still_holds(o, keys, values, n))
            throw Fallback{};
        copies = copies_;
        item(values[j], depth + 1);  // (holds a container while it is written)
    }
    if (copies != copies_ && !still_holds(o, keys, values, n))
        throw Fallback{};
    return true;
}

bool Codec::still_holds(PyObject *o, PyObject *const *keys, PyObject *const *values, Py_ssize_t n) {
    if (PyDict_GET_SIZE(o) != n)
        return false;
    Py_ssize_t pos = 0, j = 0;
    PyObject *k, *v;
    while (dict_next(o, &pos, &k, &v)) {
        if (j >= n || k != keys[j] || v != values[j])
            return false;
        ++j;
    }
    return j == n;
}

void Codec::dict(PyObject *o, int depth) {
    if (shaped_dict(o, depth))
        return;
    if (!enter(o, depth))
        throw Fallback{};
    Py_ssize_t n0 = PyDict_GET_SIZE(o);
    char *w = scratch_.claim(11);
    *w++ = static_cast<char>(T_DICT);
    scratch_.commit(write_varint(w, static_cast<uint64_t>(n0)));
    Py_ssize_t pos = 0, count = 0;
    PyObject *k, *v;
    while (dict_next(o, &pos, &k, &v)) {
        // A fallback deep copy may run Python code: the pair is held meanwhile.
        Py_INCREF(v);
        struct Release {
            PyObject *a;
            ~Release() { Py_DECREF(a); }
        } release{v};
        item(k, depth + 1);
        item(v, depth + 1);
        ++count;
        if (PyDict_GET_SIZE(o) != n0)
            throw Fallback{};
    }
    if (count != PyDict_GET_SIZE(o))
        throw Fallback{};
}

void Codec::sequence(PyObject *o, int depth, bool list) {
    if (!enter(o, depth))
        throw Fallback{};
    Py_ssize_t n = list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
    char *w = scratch_.claim(11);
    *w++ = static_cast<char>(list ? T_LIST : T_TUPLE);
    scratch_.commit(write_varint(w, static_cast<uint64_t>(n)));
    // Only a fallback copy of an item runs Python code, which may change the list: its size is
    // looked at again after one.
    uint64_t copies = copies_;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (copies != copies_ && list && PyList_GET_SIZE(o) != n)
            throw Fallback{};
        copies = copies_;
        item(list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i), depth + 1);
    }
}

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// Exported by CPython 3.13 (declared in an internal header): the entries of a set, in place.
extern "C" int _PySet_NextEntry(PyObject *set, Py_ssize_t *pos, PyObject **key, Py_hash_t *hash);
#define TALLY_SET_ENTRIES 1
#endif

// Whether a model of class `cls` with these __dict__ keys and set fields `fs` has shape `sh`.
// Keys are compared by address first (field names are interned), then by text.
bool Codec::fits(Shape &sh, PyObject *cls, PyObject *const *keys, size_t n, PyObject *fs) {
    if (sh.cls != cls || sh.keys.size() != n || PySet_GET_SIZE(fs) != __builtin_popcountll(sh.set_mask))
        return false;
    for (size_t j = 0; j < n; ++j)
        if (sh.keys[j] != keys[j] && PyUnicode_Compare(sh.keys[j], keys[j]) != 0)
            return false;
    auto *set = reinterpret_cast<PySetObject *>(fs);
    size_t table_bytes = static_cast<size_t>(set->mask + 1) * sizeof(setentry);
    if (set->mask == sh.known_mask && set->fill == set->used &&
        std::memcmp(set->table, sh.known_set.data(), table_bytes) == 0)
        return true;
#ifdef TALLY_SET_ENTRIES
    Py_ssize_t pos = 0;
    PyObject *name;
    Py_hash_t hash;
    bool all_held = set->fill == set->used;  // no deleted entries
    while (_PySet_NextEntry(fs, &pos, &name, &hash)) {
        bool found = false;
        for (size_t j = 0; j < n && !found; ++j)
            found = ((sh.set_mask >> j) & 1) && sh.keys[j] == name;
        if (!found) {
            all_held = false;
            int has = 0;  // not by address: by value, as the set itself would tell
            for (size_t j = 0; j < n && !has; ++j)
                if ((sh.set_mask >> j) & 1)
                    has = PyUnicode_Check(name) && PyUnicode_Compare(sh.keys[j], name) == 0;
            if (!has)
                return false;
        }
    }
    if (all_held) {
        sh.known_set.assign(reinterpret_cast<const char *>(set->table),
                            reinterpret_cast<const char *>(set->table) + table_bytes);
        sh.known_mask = set->mask;
    }
    return true;
#else
    for (size_t j = 0; j < n; ++j) {
        int has = PySet_Contains(fs, keys[j]);
        if (has < 0)
            throw nb::python_error();
        if (static_cast<bool>(has) != static_cast<bool>((sh.set_mask >> j) & 1))
            return false;
    }
    return true;
#endif
}

// The shape of model `o` (its class, __dict__ keys and set fields); ok = false when it has none.
size_t Codec::shape_of(PyObject *o, PyObject *const *keys, size_t n, PyObject *fs, bool &ok) {
    ok = false;
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(o));
    for (size_t id : recent_shapes_)
        if (id < shapes_.size() && fits(shapes_[id], cls, keys, n, fs)) {
            ok = true;
            return id;
        }
    for (size_t id = 0; id < shapes_.size(); ++id)
        if (fits(shapes_[id], cls, keys, n, fs)) {
            ok = true;
            recent_shapes_[1] = recent_shapes_[0];
            recent_shapes_[0] = id;
            return id;
        }
    if (shapes_.size() >= 4096)
        return 0;  // pathological variety: keep such models as objects
    uint64_t mask = 0;
    for (size_t j = 0; j < n; ++j) {
        if (!PyUnicode_CheckExact(keys[j]))
            return 0;
        int has = PySet_Contains(fs, keys[j]);  // exact str keys: no Python code runs
        if (has < 0)
            throw nb::python_error();
        if (has)
            mask |= uint64_t{1} << j;
    }
    if (PySet_GET_SIZE(fs) != __builtin_popcountll(mask))
        return 0;  // a set field that is not in __dict__
    nb::object dict_template = checked(PyDict_New());
    nb::object set_template = checked(PySet_New(nullptr));
    Shape sh{Py_NewRef(cls), {}, mask, nullptr, nullptr};
    for (size_t j = 0; j < n; ++j) {
        if (PyDict_SetItem(dict_template.ptr(), keys[j], Py_None) < 0)
            throw nb::python_error();
        if (((mask >> j) & 1) && PySet_Add(set_template.ptr(), keys[j]) < 0)
            throw nb::python_error();
        sh.keys.push_back(Py_NewRef(keys[j]));
        if (PyUnicode_Compare(keys[j], names::a_event_id.get()) == 0)
            sh.id_field = static_cast<int>(j);
        else if (PyUnicode_Compare(keys[j], names::a_timestamp.get()) == 0)
            sh.ts_field = static_cast<int>(j);
        else if (PyUnicode_Compare(keys[j], names::a_run.get()) == 0)
            sh.run_field = static_cast<int>(j);
    }
    sh.dict_template = dict_template.release().ptr();
    // Kept as a copy of itself, so that its copies take its table as it lies (see fields_set_for).
    sh.set_template = checked(PySet_New(set_template.ptr())).release().ptr();
    shapes_.push_back(std::move(sh));
    size_t id = shapes_.size() - 1;
    recent_shapes_[1] = recent_shapes_[0];
    recent_shapes_[0] = id;
    ok = true;
    return id;
}

// A pydantic model without extra or private state: shape id, then its __dict__ values (each a
// top-level field). Returns false when the model does not fit a shape.
bool Codec::model(PyObject *o, int depth) {
    const orvane::models::Layout &sl = slots();
    if (!sl.slots_known())
        return false;
    PyObject *extra = slot_ptr(o, sl.extra), *priv = slot_ptr(o, sl.priv), *fs = slot_ptr(o, sl.fields_set);
    if (extra != Py_None || priv != Py_None || fs == nullptr || !PySet_CheckExact(fs))
        return false;
    PyObject *dp = PyObject_GenericGetDict(o, nullptr);
    if (dp == nullptr) {
        PyErr_Clear();
        return false;
    }
    nb::object d = nb::steal(dp);
    nb::object fs_ref = nb::borrow(fs);
    if (!PyDict_CheckExact(dp) || PyDict_GET_SIZE(dp) > kMaxModelFields)
        return false;
    // Field names and values in __dict__ order, held while they are encoded (a fallback copy of
    // one value may run Python code).
    struct Items {
        PyObject *keys[kMaxModelFields];
        PyObject *vals[kMaxModelFields];
        size_t n = 0;
        ~Items() {
            for (size_t j = 0; j < n; ++j) {
                Py_DECREF(keys[j]);
                Py_DECREF(vals[j]);
            }
        }
    } items;
    {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (items.n < static_cast<size_t>(kMaxModelFields) && dict_next(dp, &pos, &k, &v)) {
            items.keys[items.n] = Py_NewRef(k);
            items.vals[items.n] = Py_NewRef(v);
            ++items.n;
        }
    }
    bool ok;
    size_t id = shape_of(o, items.keys, items.n, fs, ok);
    if (!ok)
        return false;
    int id_field = depth == 0 ? shapes_[id].id_field : -1;
    int ts_field = depth == 0 ? shapes_[id].ts_field : -1;
    scratch_.push_back(static_cast<char>(T_MODEL));
    put_varint(scratch_, id);
    for (size_t j = 0; j < items.n; ++j) {
        // The event itself: note where its id and timestamp are written.
        if (static_cast<int>(j) == id_field)
            id_at_ = static_cast<uint32_t>(scratch_.size());
        else if (static_cast<int>(j) == ts_field)
            ts_at_ = static_cast<uint32_t>(scratch_.size());
        field(items.vals[j], depth + 1);
    }
    return true;
}

// The run context: when its encoding is the same as the one of the previous event of its run, the
// previous part is shared; otherwise it is encoded and, when it stands on its own (no kept
// objects), made a part the next event may share.
bool Codec::shared_model(PyObject *o, int depth) {
    SharedPart *previous = share_previous_;
    share_run_ = nullptr;  // one context per event
    share_previous_ = nullptr;
    size_t mark = scratch_.size(), objs = objs_.size();
    if (!model(o, depth))
        return false;
    if (objs_.size() != objs)
        return true;  // refers to kept objects: not shareable
    size_t n = scratch_.size() - mark;
    if (previous != nullptr && previous->size == n && std::memcmp(previous->bytes, scratch_.data() + mark, n) == 0) {
        SharedPart::retain(previous);
        shared_ = previous;
    } else {
        shared_ = SharedPart::make(scratch_.data() + mark, n);
        shared_->refs = 1;
    }
    scratch_.resize(mark);
    scratch_.push_back(static_cast<char>(T_SHARED));
    return true;
}

// ---- decoding ----


PyObject *Codec::read(const char *&p, const Held &h, bool view, int flat) const {
    auto byte = static_cast<unsigned char>(*p++);
    if (byte >= T_SHORTREF)
        return Py_NewRef(strings_.get(byte - T_SHORTREF));
    if (byte >= T_SMALLINT)
        return PyLong_FromLong(static_cast<long>(byte - T_SMALLINT) + kSmallIntMin);
    auto tag = static_cast<Tag>(byte);
    switch (tag) {
    case T_NONE:
        return Py_NewRef(Py_None);
    case T_TRUE:
        return Py_NewRef(Py_True);
    case T_FALSE:
        return Py_NewRef(Py_False);
    case T_INT: {
        uint64_t z = get_varint(p);
        auto v = static_cast<int64_t>((z >> 1) ^ (~(z & 1) + 1));
        return PyLong_FromLongLong(v);
    }
    case T_FLOAT: {
        double d;
        std::memcpy(&d, p, 8);
        p += 8;
        return PyFloat_FromDouble(d);
    }
    case T_FLOAT32: {
        float f;
        std::memcpy(&f, p, 4);
        p += 4;
        return PyFloat_FromDouble(static_cast<double>(f));
    }
    case T_DSHAPE: {
        const DictShape &sh = dshapes_[get_varint(p)];
        PyObject *d = PyDict_Copy(sh.dict_template);
        if (!d)
            return nullptr;
        TemplateFill fill(d);
        for (uint32_t id : sh.ids) {
            PyObject *v = read(p, h, view);
            if (!v || !fill.set(strings_.get(id), v)) {
                Py_DECREF(d);
                return nullptr;
            }
        }
        return d;
    }
    case T_STR: {
        auto n = static_cast<Py_ssize_t>(get_varint(p));
        PyObject *s = PyUnicode_DecodeUTF8(p, n, nullptr);
        p += n;
        return s;
    }
    case T_STRREF:
        return Py_NewRef(strings_.get(static_cast<uint32_t>(get_varint(p))));
    case T_DICT: {
        uint64_t n = get_varint(p);
        PyObject *d = PyDict_New();
        if (!d)
            return nullptr;
        for (uint64_t i = 0; i < n; ++i) {
            PyObject *k = read(p, h, view);
            PyObject *v = k ? read(p, h, view) : nullptr;
            if (!k || !v || PyDict_SetItem(d, k, v) < 0) {
                Py_XDECREF(k);
                Py_XDECREF(v);
                Py_DECREF(d);
                return nullptr;
            }
            Py_DECREF(k);
            Py_DECREF(v);
        }
        return d;
    }
    case T_LIST:
    case T_TUPLE: {
        auto n = static_cast<Py_ssize_t>(get_varint(p));
        PyObject *seq = tag == T_LIST ? PyList_New(n) : PyTuple_New(n);
        if (!seq)
            return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *v = read(p, h, view);
            if (!v) {
                Py_DECREF(seq);
                return nullptr;
            }
            if (tag == T_LIST)
                PyList_SET_ITEM(seq, i, v);
            else
                PyTuple_SET_ITEM(seq, i, v);
        }
        return seq;
    }
    case T_MODEL: {
        const Shape &sh = shapes_[get_varint(p)];
        // The key table of the shape's template, copied as it is: filling it never resizes.
        PyObject *d = PyDict_Copy(sh.dict_template);
        if (!d)
            return nullptr;
        TemplateFill fill(d);
        for (size_t j = 0; j < sh.keys.size(); ++j) {
            PyObject *v = read(p, h, view, flat > 0 ? flat - 1 : 0);
            if (!v || !fill.set(sh.keys[j], v)) {
                Py_DECREF(d);
                return nullptr;
            }
        }
        if (flat > 0)
            return d;  // the fields alone
        PyObject *fs = PySet_New(sh.set_template);
        if (!fs) {
            Py_DECREF(d);
            return nullptr;
        }
        // Names only: left out of the cycle collector's care (see fields_set_copy).
        PyObject_GC_UnTrack(fs);
        auto *cls = reinterpret_cast<PyTypeObject *>(sh.cls);
        PyObject *m = cls->tp_new(cls, empty_tuple(), nullptr);
        if (m == nullptr || PyObject_GenericSetDict(m, d, nullptr) < 0) {
            Py_XDECREF(m);
            Py_DECREF(d);
            Py_DECREF(fs);
            return nullptr;
        }
        Py_DECREF(d);
        // A fresh instance of a plain model: its slots are empty (the shape was made only when
        // the slot layout is known).
        const orvane::models::Layout &sl = slots();
        Py_XSETREF(slot_at(m, sl.fields_set), fs);
        Py_XSETREF(slot_at(m, sl.extra), Py_NewRef(Py_None));
        Py_XSETREF(slot_at(m, sl.priv), Py_NewRef(Py_None));
        return m;
    }
    case T_SHARED: {
        const char *q = h.shared->bytes;
        return read(q, h, view, flat);
    }
    case T_SMALLINT:
    case T_SHORTREF:
        break;  // one-byte forms, read above
    case T_OBJ: {
        PyObject *o = h.objs()[get_varint(p)];
        if (view)
            return Py_NewRef(o);
        try {
            return orvane::models::deep_copy(o).release().ptr();
        } catch (nb::python_error &e) {
            e.restore();
            return nullptr;
        }
    }
    }
    PyErr_SetString(PyExc_SystemError, "corrupt held event");
    return nullptr;
}

void Codec::skip(const char *&p, bool &objects) const {
    auto byte = static_cast<unsigned char>(*p++);
    if (byte >= T_SMALLINT)
        return;  // one-byte forms
    auto tag = static_cast<Tag>(byte);
    switch (tag) {
    case T_OBJ:
        objects = true;
        get_varint(p);
        return;
    case T_SHARED:
        return;  // its part stands on its own (never refers to the event's objects)
    case T_FLOAT32:
        p += 4;
        return;
    case T_DSHAPE: {
        const DictShape &sh = dshapes_[get_varint(p)];
        for (size_t j = 0; j < sh.ids.size(); ++j)
            skip(p, objects);
        return;
    }
    case T_SMALLINT:
    case T_SHORTREF:
        return;
    case T_NONE:
    case T_TRUE:
    case T_FALSE:
        return;
    case T_INT:
    case T_STRREF:
        get_varint(p);
        return;
    case T_FLOAT:
        p += 8;
        return;
    case T_STR:
        p += get_varint(p);
        return;
    case T_DICT:
        for (uint64_t i = 0, n = get_varint(p); i < n; ++i) {
            skip(p, objects);
            skip(p, objects);
        }
        return;
    case T_LIST:
    case T_TUPLE:
        for (uint64_t i = 0, n = get_varint(p); i < n; ++i)
            skip(p, objects);
        return;
    case T_MODEL: {
        const Shape &sh = shapes_[get_varint(p)];
        for (size_t j = 0; j < sh.keys.size(); ++j)
            skip(p, objects);
        return;
    }
    }
}

nb::object Codec::decode(const Held &h, bool view) const {
    const char *p = h.data();
    return checked(read(p, h, view));
}

nb::object Codec::decode_fields(const Held &h, FieldReuse *reuse) const {
    const char *p = h.data();
    if (static_cast<unsigned char>(*p) != T_MODEL)
        return checked(read(p, h, true));  // kept as one object
    ++p;
    size_t id = get_varint(p);
    const Shape &sh = shapes_[id];
    nb::object d = checked(PyDict_Copy(sh.dict_template));
    if (reuse != nullptr && reuse->shape != id) {
        reuse->shape = id;
        reuse->fields.assign(sh.keys.size(), FieldReuse::Field());
    }
    for (size_t j = 0; j < sh.keys.size(); ++j) {
        const char *begin = p;
        const SharedPart *shared = static_cast<unsigned char>(*p) == T_SHARED ? h.shared : nullptr;
        bool objects = false;
        skip(p, objects);
        // The run context (only it) as a dict of its fields.
        int flat = static_cast<int>(j) == sh.run_field ? 1 : 0;
        nb::object v;
        if (reuse != nullptr) {
            FieldReuse::Field &prev = reuse->fields[j];
            bool same = prev.value.is_valid() && !objects && !prev.objects &&
                        (shared != nullptr ? shared == prev.shared
                                           : prev.shared == nullptr && prev.end - prev.begin == p - begin &&
                                                 std::memcmp(prev.begin, begin, static_cast<size_t>(p - begin)) == 0);
            if (same) {
                v = prev.value;
            } else {
                const char *q = begin;
                v = checked(read(q, h, true, flat));
                prev = FieldReuse::Field{begin, p, shared, objects, v};
            }
        } else {
            const char *q = begin;
            v = checked(read(q, h, true, flat));
        }
        if (PyDict_SetItem(d.ptr(), sh.keys[j], v.ptr()) < 0)
            throw nb::python_error();
    }
    return d;
}

nb::object Codec::decode_at(const Held &h, uint32_t offset) const {
    const char *p = h.data() + offset;
    return checked(read(p, h, false));
}

int Codec::str_equals_at(const Held &h, uint32_t offset, std::string_view want) const {
    const char *p = h.data() + offset;
    auto byte = static_cast<unsigned char>(*p++);
    if (byte == T_STR) {
        auto n = static_cast<size_t>(get_varint(p));
        return n == want.size() && std::memcmp(p, want.data(), n) == 0 ? 1 : 0;
    }
    if (byte == T_STRREF || byte >= T_SHORTREF) {
        PyObject *s = strings_.get(byte >= T_SHORTREF ? byte - T_SHORTREF : static_cast<uint32_t>(get_varint(p)));
        Py_ssize_t n;
        const char *d = PyUnicode_AsUTF8AndSize(s, &n);  // kept strings have their UTF-8
        return d != nullptr && static_cast<size_t>(n) == want.size() && std::memcmp(d, want.data(), want.size()) == 0 ? 1 : 0;
    }
    return -1;
}

}  // namespace tally
