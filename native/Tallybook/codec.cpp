#include "codec.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

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
};

constexpr int kMaxDepth = 64;
constexpr Py_ssize_t kMaxModelFields = 64;

PyObject *s_dict = nullptr, *s_fields_set = nullptr, *s_extra = nullptr, *s_private = nullptr,
         *s_event_id = nullptr, *s_timestamp = nullptr, *s_run = nullptr;

void init_names() {
    if (s_dict)
        return;
    s_dict = PyUnicode_InternFromString("__dict__");
    s_fields_set = PyUnicode_InternFromString("__pydantic_fields_set__");
    s_extra = PyUnicode_InternFromString("__pydantic_extra__");
    s_private = PyUnicode_InternFromString("__pydantic_private__");
    s_event_id = PyUnicode_InternFromString("event_id");
    s_timestamp = PyUnicode_InternFromString("timestamp");
    s_run = PyUnicode_InternFromString("run");
}

inline void put_varint(std::string &b, uint64_t v) {
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

// Offsets of BaseModel's slots (__pydantic_extra__, ...), read straight from the instance; -1
// when the layout is not the expected one.
Py_ssize_t slot_offset(PyObject *name) {
    static PyObject *base = nullptr;
    if (base == nullptr)
        base = nb::object(nb::module_::import_("pydantic").attr("BaseModel")).release().ptr();
    PyObject *d = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject *>(base)->tp_dict, name);
    if (d != nullptr && Py_TYPE(d) == &PyMemberDescr_Type) {
        PyMemberDef *m = reinterpret_cast<PyMemberDescrObject *>(d)->d_member;
        if (m->type == Py_T_OBJECT_EX && (m->flags & Py_READONLY) == 0)
            return m->offset;
    }
    PyErr_Clear();
    return -1;
}

struct Slots {
    Py_ssize_t extra, priv, fields_set;
    bool ok() const { return extra >= 0 && priv >= 0 && fields_set >= 0; }
};

const Slots &slots() {
    init_names();
    static Slots s{slot_offset(s_extra), slot_offset(s_private), slot_offset(s_fields_set)};
    return s;
}

inline PyObject *&slot_at(PyObject *o, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + offset);
}

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

Held *Held::make(const std::vector<PyObject *> &objs, const std::string &blob) {
    if (objs.size() > UINT16_MAX || blob.size() > UINT32_MAX)
        throw std::length_error("event too large to hold");
    void *mem = std::malloc(sizeof(Held) + objs.size() * sizeof(PyObject *) + blob.size());
    if (mem == nullptr)
        throw std::bad_alloc();
    Held *h = new (mem) Held();
    h->nobjs = static_cast<uint16_t>(objs.size());
    h->size = static_cast<uint32_t>(blob.size());
    for (size_t i = 0; i < objs.size(); ++i)
        h->objs()[i] = objs[i];  // the references pass to the event
    std::memcpy(h->data(), blob.data(), blob.size());
    return h;
}

void Held::destroy(Held *h) {
    SharedPart::drop(h->shared);
    std::free(h->own_text);
    for (uint16_t i = 0; i < h->nobjs; ++i)
        Py_DECREF(h->objs()[i]);
    h->~Held();
    std::free(h);
}

// ---- the string table ----

StringTable::StringTable() : slots_(1024, 0), seen_(4096, 0), recent_(256, Recent{nullptr, 0}) {}

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

uint32_t StringTable::find_or_admit(PyObject *s) {
    Recent &r = recent_[(reinterpret_cast<uintptr_t>(s) >> 4) & (recent_.size() - 1)];
    if (r.obj == s)
        return r.id + 1;
    if (PyUnicode_GET_LENGTH(s) > kMaxLength)
        return 0;
    Py_hash_t h = PyObject_Hash(s);
    if (h == -1) {
        PyErr_Clear();
        return 0;
    }
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
    Py_ssize_t n;
    if (PyUnicode_AsUTF8AndSize(s, &n) == nullptr) {  // lone surrogates: not kept
        PyErr_Clear();
        return 0;
    }
    if ((strs_.size() + 1) * 2 > slots_.size()) {
        std::vector<uint32_t> grown(slots_.size() * 2, 0);
        slots_.swap(grown);
        for (uint32_t id = 0; id < strs_.size(); ++id)
            insert_slot(PyObject_Hash(strs_[id]), id);  // cached: cannot fail
    }
    auto id = static_cast<uint32_t>(strs_.size());
    strs_.push_back(Py_NewRef(s));
    insert_slot(h, id);
    r = Recent{s, id};
    return id + 1;
}

// ---- encoding ----

Codec::~Codec() {
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
    nb::object copy = orvane::models::deep_copy(o);
    scratch_.push_back(static_cast<char>(T_OBJ));
    put_varint(scratch_, objs_.size());
    objs_.push_back(copy.release().ptr());
}

Held *Codec::encode(PyObject *event, PyObject *run, SharedPart *previous) {
    init_names();
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
    std::vector<PyObject *> active;
    field(event, 0, active);
    Held *h = Held::make(objs_, scratch_);
    objs_.clear();  // the event holds them now
    h->shared = shared_;
    shared_ = nullptr;
    h->id_at = id_at_;
    h->ts_at = ts_at_;
    return h;
}

// One top-level value (the event, or one field of a model): on a Fallback anywhere inside, the
// whole value is kept as one object, so the deep copy keeps its shared parts and cycles.
void Codec::field(PyObject *o, int depth, std::vector<PyObject *> &active) {
    size_t blob_mark = scratch_.size(), obj_mark = objs_.size();
    size_t active_mark = active.size();
    try {
        value(o, depth, active);
    } catch (Fallback &) {
        active.resize(active_mark);
        scratch_.resize(blob_mark);
        for (size_t i = obj_mark; i < objs_.size(); ++i)
            Py_DECREF(objs_[i]);
        objs_.resize(obj_mark);
        object(o);
    }
}

void Codec::value(PyObject *o, int depth, std::vector<PyObject *> &active) {
    PyTypeObject *t = Py_TYPE(o);
    std::string &b = scratch_;
    if (o == Py_None) {
        b.push_back(static_cast<char>(T_NONE));
    } else if (o == Py_True) {
        b.push_back(static_cast<char>(T_TRUE));
    } else if (o == Py_False) {
        b.push_back(static_cast<char>(T_FALSE));
    } else if (t == &PyUnicode_Type) {
        if (uint32_t ref = strings_.find_or_admit(o)) {
            b.push_back(static_cast<char>(T_STRREF));
            put_varint(b, ref - 1);
            return;
        }
        Py_ssize_t n;
        const char *p = PyUnicode_AsUTF8AndSize(o, &n);
        if (p == nullptr) {  // lone surrogates: keep the object
            PyErr_Clear();
            object(o);
            return;
        }
        b.push_back(static_cast<char>(T_STR));
        put_varint(b, static_cast<uint64_t>(n));
        b.append(p, static_cast<size_t>(n));
    } else if (t == &PyLong_Type) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            object(o);
            return;
        }
        b.push_back(static_cast<char>(T_INT));
        uint64_t u = static_cast<uint64_t>(v);
        put_varint(b, (u << 1) ^ static_cast<uint64_t>(v >> 63));
    } else if (t == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(o);
        b.push_back(static_cast<char>(T_FLOAT));
        char raw[8];
        std::memcpy(raw, &d, 8);
        b.append(raw, 8);
    } else if (t == &PyDict_Type || t == &PyList_Type || t == &PyTuple_Type) {
        if (depth >= kMaxDepth)
            throw Fallback{};
        for (PyObject *a : active)
            if (a == o)
                throw Fallback{};
        active.push_back(o);
        if (t == &PyDict_Type) {
            Py_ssize_t n0 = PyDict_GET_SIZE(o);
            b.push_back(static_cast<char>(T_DICT));
            put_varint(b, static_cast<uint64_t>(n0));
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            Py_ssize_t count = 0;
            while (PyDict_Next(o, &pos, &k, &v)) {
                // A fallback deep copy may run Python code: hold the pair meanwhile.
                nb::object kh = nb::borrow(k), vh = nb::borrow(v);
                value(k, depth + 1, active);
                value(v, depth + 1, active);
                ++count;
                if (PyDict_GET_SIZE(o) != n0)
                    throw Fallback{};
            }
            if (count != PyDict_GET_SIZE(o))
                throw Fallback{};
        } else {
            bool list = t == &PyList_Type;
            Py_ssize_t n = list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
            b.push_back(static_cast<char>(list ? T_LIST : T_TUPLE));
            put_varint(b, static_cast<uint64_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (list && PyList_GET_SIZE(o) != n)
                    throw Fallback{};
                nb::object item = nb::borrow(list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i));
                value(item.ptr(), depth + 1, active);
            }
        }
        active.pop_back();
    } else if (orvane::models::is_plain_model(o)) {
        if (depth >= kMaxDepth)
            throw Fallback{};
        for (PyObject *a : active)
            if (a == o)
                throw Fallback{};
        active.push_back(o);
        bool done = o == share_run_ && depth > 0 ? shared_model(o, depth, active) : model(o, depth, active);
        if (!done)
            object(o);
        active.pop_back();
    } else {
        object(o);
    }
}

// The shape of model `o` (its class, __dict__ keys and set fields); ok = false when it has none.
size_t Codec::shape_of(PyObject *o, PyObject *dp, PyObject *fs, bool &ok) {
    ok = false;
    Py_ssize_t n = PyDict_GET_SIZE(dp);
    if (n > kMaxModelFields)
        return 0;
    PyObject *keys[kMaxModelFields];
    {
        Py_ssize_t pos = 0, j = 0;
        PyObject *k, *v;
        while (PyDict_Next(dp, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k))
                return 0;
            keys[j++] = k;
        }
    }
    uint64_t mask = 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        int has = PySet_Contains(fs, keys[j]);  // exact str keys: no Python code runs
        if (has < 0)
            raise();
        if (has)
            mask |= uint64_t{1} << j;
    }
    if (PySet_GET_SIZE(fs) != __builtin_popcountll(mask))
        return 0;  // a set field that is not in __dict__
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(o));
    auto fits = [&](const Shape &sh) {
        if (sh.cls != cls || sh.set_mask != mask || sh.keys.size() != static_cast<size_t>(n))
            return false;
        for (Py_ssize_t j = 0; j < n; ++j)
            if (sh.keys[j] != keys[j] && PyUnicode_Compare(sh.keys[j], keys[j]) != 0)
                return false;
        return true;
    };
    size_t id = shapes_.size();
    if (last_shape_ < shapes_.size() && fits(shapes_[last_shape_])) {
        id = last_shape_;
    } else {
        for (size_t s = 0; s < shapes_.size(); ++s)
            if (fits(shapes_[s])) {
                id = s;
                break;
            }
    }
    if (id == shapes_.size()) {
        if (shapes_.size() >= 4096)
            return 0;  // pathological variety: keep such models as objects
        nb::object dict_template = check(PyDict_New());
        nb::object set_template = check(PySet_New(nullptr));
        for (Py_ssize_t j = 0; j < n; ++j) {
            if (PyDict_SetItem(dict_template.ptr(), keys[j], Py_None) < 0)
                raise();
            if (((mask >> j) & 1) && PySet_Add(set_template.ptr(), keys[j]) < 0)
                raise();
        }
        Shape sh{Py_NewRef(cls), {}, mask, dict_template.release().ptr(), set_template.release().ptr()};
        for (Py_ssize_t j = 0; j < n; ++j)
            sh.keys.push_back(Py_NewRef(keys[j]));
        shapes_.push_back(std::move(sh));
    }
    last_shape_ = id;
    ok = true;
    return id;
}

// A pydantic model without extra or private state: shape id, then its __dict__ values (each a
// top-level field). Returns false when the model does not fit a shape.
bool Codec::model(PyObject *o, int depth, std::vector<PyObject *> &active) {
    const Slots &sl = slots();
    if (!sl.ok())
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
    if (!PyDict_CheckExact(dp))
        return false;
    bool ok;
    size_t id = shape_of(o, dp, fs, ok);
    if (!ok)
        return false;
    // Field values in __dict__ order, held while they are encoded (a fallback copy of one value
    // may run Python code).
    Py_ssize_t n = PyDict_GET_SIZE(dp);
    std::vector<nb::object> vals;
    vals.reserve(static_cast<size_t>(n));
    {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(dp, &pos, &k, &v))
            vals.push_back(nb::borrow(v));
    }
    scratch_.push_back(static_cast<char>(T_MODEL));
    put_varint(scratch_, id);
    for (size_t j = 0; j < vals.size(); ++j) {
        if (depth == 0) {  // the event itself: note where its id and timestamp are written
            PyObject *key = shapes_[id].keys[j];
            if (key == s_event_id || PyUnicode_Compare(key, s_event_id) == 0)
                id_at_ = static_cast<uint32_t>(scratch_.size());
            else if (key == s_timestamp || PyUnicode_Compare(key, s_timestamp) == 0)
                ts_at_ = static_cast<uint32_t>(scratch_.size());
        }
        field(vals[j].ptr(), depth + 1, active);
    }
    return true;
}

// The run context: when its encoding is the same as the one of the previous event of its run, the
// previous part is shared; otherwise it is encoded and, when it stands on its own (no kept
// objects), made a part the next event may share.
bool Codec::shared_model(PyObject *o, int depth, std::vector<PyObject *> &active) {
    SharedPart *previous = share_previous_;
    share_run_ = nullptr;  // one context per event
    share_previous_ = nullptr;
    size_t mark = scratch_.size(), objs = objs_.size();
    if (!model(o, depth, active))
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

PyObject *Codec::read(const char *&p, const Held &h, bool view) const {
    auto tag = static_cast<Tag>(static_cast<unsigned char>(*p++));
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
        for (size_t j = 0; j < sh.keys.size(); ++j) {
            PyObject *v = read(p, h, view);
            if (!v || PyDict_SetItem(d, sh.keys[j], v) < 0) {
                Py_XDECREF(v);
                Py_DECREF(d);
                return nullptr;
            }
            Py_DECREF(v);
        }
        PyObject *fs = PySet_New(sh.set_template);
        if (!fs) {
            Py_DECREF(d);
            return nullptr;
        }
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
        const Slots &sl = slots();
        Py_XSETREF(slot_at(m, sl.fields_set), fs);
        Py_XSETREF(slot_at(m, sl.extra), Py_NewRef(Py_None));
        Py_XSETREF(slot_at(m, sl.priv), Py_NewRef(Py_None));
        return m;
    }
    case T_SHARED: {
        const char *q = h.shared->bytes;
        return read(q, h, view);
    }
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

void Codec::skip(const char *&p) const {
    auto tag = static_cast<Tag>(static_cast<unsigned char>(*p++));
    switch (tag) {
    case T_NONE:
    case T_TRUE:
    case T_FALSE:
    case T_SHARED:
        return;
    case T_INT:
    case T_STRREF:
    case T_OBJ:
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
            skip(p);
            skip(p);
        }
        return;
    case T_LIST:
    case T_TUPLE:
        for (uint64_t i = 0, n = get_varint(p); i < n; ++i)
            skip(p);
        return;
    case T_MODEL: {
        const Shape &sh = shapes_[get_varint(p)];
        for (size_t j = 0; j < sh.keys.size(); ++j)
            skip(p);
        return;
    }
    }
}

nb::object Codec::decode(const Held &h, bool view) const {
    const char *p = h.data();
    return check(read(p, h, view));
}

nb::object Codec::decode_at(const Held &h, uint32_t offset) const {
    const char *p = h.data() + offset;
    return check(read(p, h, false));
}

int Codec::str_equals_at(const Held &h, uint32_t offset, std::string_view want) const {
    const char *p = h.data() + offset;
    auto tag = static_cast<Tag>(static_cast<unsigned char>(*p++));
    if (tag == T_STR) {
        auto n = static_cast<size_t>(get_varint(p));
        return n == want.size() && std::memcmp(p, want.data(), n) == 0 ? 1 : 0;
    }
    if (tag == T_STRREF) {
        PyObject *s = strings_.get(static_cast<uint32_t>(get_varint(p)));
        Py_ssize_t n;
        const char *d = PyUnicode_AsUTF8AndSize(s, &n);  // kept strings have their UTF-8
        return d != nullptr && static_cast<size_t>(n) == want.size() && std::memcmp(d, want.data(), want.size()) == 0 ? 1 : 0;
    }
    return -1;
}

}  // namespace tally
