#include "codec.hpp"

#include "orvane/models.hpp"

#include <cstring>


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
};

constexpr int kMaxDepth = 64;

PyObject *s_dict = nullptr, *s_fields_set = nullptr, *s_extra = nullptr, *s_private = nullptr;

void init_names() {
    if (s_dict)
        return;
    s_dict = PyUnicode_InternFromString("__dict__");
    s_fields_set = PyUnicode_InternFromString("__pydantic_fields_set__");
    s_extra = PyUnicode_InternFromString("__pydantic_extra__");
    s_private = PyUnicode_InternFromString("__pydantic_private__");
}

inline void put_varint(std::string &b, uint64_t v) {
    if (v < 0x80) {
        b.push_back(static_cast<char>(v));
        return;
    }
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

[[noreturn]] void raise() { throw nb::python_error(); }

// Offsets of BaseModel's slots (__pydantic_extra__, ...), read straight from the instance.
Py_ssize_t slot_offset(PyObject *name) {
    static PyObject *base = nullptr;
    if (base == nullptr)
        base = nb::object(nb::module_::import_("pydantic").attr("BaseModel")).release().ptr();
    PyObject *d = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject *>(base)->tp_dict, name);
    if (d != nullptr && Py_TYPE(d) == &PyMemberDescr_Type) {
        PyMemberDef *m = reinterpret_cast<PyMemberDescrObject *>(d)->d_member;
        if (m->type == Py_T_OBJECT_EX)
            return m->offset;
    }
    PyErr_Clear();
    return -1;
}

// Borrowed read of a BaseModel slot (nullptr when unset or when the layout is not known).
PyObject *slot_ptr(PyObject *o, PyObject *name) {
    static Py_ssize_t off_extra = slot_offset(s_extra), off_private = slot_offset(s_private),
                      off_fields_set = slot_offset(s_fields_set);
    Py_ssize_t off = name == s_extra ? off_extra : name == s_private ? off_private : off_fields_set;
    if (off < 0)
        return nullptr;
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + off);
}

}  // namespace

PyObject *model_fields_set(PyObject *model) {
    init_names();
    return slot_ptr(model, s_fields_set);
}

Held::~Held() {
    Py_XDECREF(ts_obj);
    Py_XDECREF(id_obj);
    for (PyObject *o : objs)
        Py_DECREF(o);
}

Codec::~Codec() {
    for (Shape &s : shapes_) {
        Py_DECREF(s.cls);
        for (PyObject *k : s.keys)
            Py_DECREF(k);
    }
}

int Codec::traverse(visitproc visit, void *arg) const {
    for (const Shape &s : shapes_)
        Py_VISIT(s.cls);
    return 0;
}

void Codec::object(PyObject *o, Held &h) {
    nb::object copy = orvane::models::deep_copy(o);
    h.blob.push_back(static_cast<char>(T_OBJ));
    put_varint(h.blob, h.objs.size());
    h.objs.push_back(copy.release().ptr());
}

void Codec::encode(PyObject *event, Held &h, PyObject *run, SharedPartMemo *memo) {
    share_run_ = run;
    share_memo_ = memo;
    struct Reset {
        Codec &c;
        ~Reset() {
            c.share_run_ = nullptr;
            c.share_memo_ = nullptr;
        }
    } reset{*this};
    encode(event, h);
}

void Codec::encode(PyObject *event, Held &h) {
    init_names();
    std::vector<PyObject *> active;
    // Encode into the reused scratch buffer, then keep an exactly sized copy.
    h.blob.swap(scratch_);
    h.blob.clear();
    try {
        field(event, h, 0, active);
    } catch (...) {
        for (PyObject *o : h.objs)
            Py_DECREF(o);
        h.objs.clear();
        h.shared.reset();
        h.blob.swap(scratch_);
        h.blob.clear();
        throw;
    }
    std::string exact(h.blob);
    h.blob.swap(scratch_);
    h.blob = std::move(exact);
    h.objs.shrink_to_fit();
}

// One top-level value (the event, or one field of a model): on a Fallback anywhere inside, the
// whole value is kept as one object, so the deep copy keeps its shared parts and cycles.
void Codec::field(PyObject *o, Held &h, int depth, std::vector<PyObject *> &active) {
    size_t blob_mark = h.blob.size(), obj_mark = h.objs.size();
    size_t active_mark = active.size();
    try {
        value(o, h, depth, active);
    } catch (Fallback &) {
        active.resize(active_mark);
        h.blob.resize(blob_mark);
        for (size_t i = obj_mark; i < h.objs.size(); ++i)
            Py_DECREF(h.objs[i]);
        h.objs.resize(obj_mark);
        object(o, h);
    }
}

void Codec::value(PyObject *o, Held &h, int depth, std::vector<PyObject *> &active) {
    PyTypeObject *t = Py_TYPE(o);
    std::string &b = h.blob;
    if (o == Py_None) {
        b.push_back(static_cast<char>(T_NONE));
    } else if (o == Py_True) {
        b.push_back(static_cast<char>(T_TRUE));
    } else if (o == Py_False) {
        b.push_back(static_cast<char>(T_FALSE));
    } else if (t == &PyUnicode_Type) {
        Py_ssize_t n;
        const char *p = PyUnicode_AsUTF8AndSize(o, &n);
        if (p == nullptr) {  // lone surrogates: keep the object
            PyErr_Clear();
            object(o, h);
            return;
        }
        if (n < 0x80) {
            size_t at = b.size();
            b.resize(at + 2 + static_cast<size_t>(n));
            char *d = b.data() + at;
            d[0] = static_cast<char>(T_STR);
            d[1] = static_cast<char>(n);
            std::memcpy(d + 2, p, static_cast<size_t>(n));
        } else {
            b.push_back(static_cast<char>(T_STR));
            put_varint(b, static_cast<uint64_t>(n));
            b.append(p, static_cast<size_t>(n));
        }
    } else if (t == &PyLong_Type) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            object(o, h);
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
                Py_INCREF(k);
                Py_INCREF(v);
                struct Release {
                    PyObject *a, *b;
                    ~Release() {
                        Py_DECREF(a);
                        Py_DECREF(b);
                    }
                } release{k, v};
                value(k, h, depth + 1, active);
                value(v, h, depth + 1, active);
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
                PyObject *item = Py_NewRef(list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i));
                struct Release {
                    PyObject *a;
                    ~Release() { Py_DECREF(a); }
                } release{item};
                value(item, h, depth + 1, active);
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
        if (o == share_run_ && share_memo_ != nullptr && depth > 0) {
            if (!shared_model(o, h, depth, active))
                object(o, h);
        } else if (!model(o, h, depth, active)) {
            object(o, h);
        }
        active.pop_back();
    } else {
        object(o, h);
    }
}

// A pydantic model without extra or private state: shape id, then its __dict__ values (each a
// top-level field). Returns false when the model does not fit a shape.
bool Codec::model(PyObject *o, Held &h, int depth, std::vector<PyObject *> &active) {
    PyObject *extra = slot_ptr(o, s_extra), *priv = slot_ptr(o, s_private);
    PyObject *fs = slot_ptr(o, s_fields_set);
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
    Py_ssize_t n = PyDict_GET_SIZE(dp);
    if (n > 64)
        return false;
    // Field names and values in __dict__ order, held while they are encoded (a fallback copy of
    // one value may run Python code).
    struct Items {
        PyObject *keys[64];
        PyObject *vals[64];
        Py_ssize_t n = 0;
        ~Items() {
            for (Py_ssize_t j = 0; j < n; ++j) {
                Py_DECREF(keys[j]);
                Py_DECREF(vals[j]);
            }
        }
    } items;
    {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (items.n < n && PyDict_Next(dp, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k))
                return false;
            items.keys[items.n] = Py_NewRef(k);
            items.vals[items.n] = Py_NewRef(v);
            ++items.n;
        }
        n = items.n;
    }
    uint64_t mask = 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        int has = PySet_Contains(fs, items.keys[j]);
        if (has < 0)
            raise();
        if (has)
            mask |= uint64_t{1} << j;
    }
    if (PySet_GET_SIZE(fs) != __builtin_popcountll(mask))
        return false;  // a set field that is not in __dict__
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(o));
    auto fits = [&](const Shape &sh) {
        if (sh.cls != cls || sh.set_mask != mask || sh.keys.size() != static_cast<size_t>(n))
            return false;
        for (Py_ssize_t j = 0; j < n; ++j)
            if (sh.keys[j] != items.keys[j] && PyUnicode_Compare(sh.keys[j], items.keys[j]) != 0)
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
            return false;  // pathological variety: keep such models as objects
        Shape sh{Py_NewRef(cls), {}, mask};
        for (Py_ssize_t j = 0; j < n; ++j)
            sh.keys.push_back(Py_NewRef(items.keys[j]));
        shapes_.push_back(std::move(sh));
    }
    last_shape_ = id;
    h.blob.push_back(static_cast<char>(T_MODEL));
    put_varint(h.blob, id);
    for (Py_ssize_t j = 0; j < n; ++j)
        field(items.vals[j], h, depth + 1, active);
    return true;
}

// The run context: when it holds the very objects the run's previous context held (same class,
// same __dict__ entries, same set fields), its encoding is the one kept for the run; otherwise it
// is encoded and, when the encoding stands on its own, kept for the next event.
bool Codec::shared_model(PyObject *o, Held &h, int depth, std::vector<PyObject *> &active) {
    SharedPartMemo &memo = *share_memo_;
    share_memo_ = nullptr;  // one context per event
    PyObject *extra = slot_ptr(o, s_extra), *priv = slot_ptr(o, s_private);
    PyObject *fs = slot_ptr(o, s_fields_set);
    if (extra != Py_None || priv != Py_None || fs == nullptr || !PySet_CheckExact(fs))
        return false;
    PyObject *dp = PyObject_GenericGetDict(o, nullptr);
    if (dp == nullptr) {
        PyErr_Clear();
        return false;
    }
    nb::object d = nb::steal(dp);
    if (memo.part && reinterpret_cast<PyObject *>(Py_TYPE(o)) == memo.cls && memo.values.matches(dp)) {
        // Same entries: the same shape if the same fields are set.
        const Shape &sh = shapes_[memo.shape];
        bool same_set = PySet_GET_SIZE(fs) == __builtin_popcountll(sh.set_mask);
        for (size_t j = 0; j < sh.keys.size() && same_set; ++j) {
            if (!((sh.set_mask >> j) & 1))
                continue;
            int has = PySet_Contains(fs, sh.keys[j]);
            if (has < 0)
                raise();
            same_set = has != 0;
        }
        if (same_set) {
            h.blob.push_back(static_cast<char>(T_SHARED));
            h.shared = memo.part;
            return true;
        }
    }
    size_t mark = h.blob.size(), objs = h.objs.size();
    if (!model(o, h, depth, active))
        return false;
    memo.part.reset();
    memo.values.forget();
    if (h.objs.size() != objs || h.shared)
        return true;  // refers to held objects: not shareable
    memo.values.remember(dp, 0, 0);
    if (!memo.values.valid())
        return true;
    const char *p = h.blob.data() + mark + 1;  // after T_MODEL
    memo.shape = static_cast<size_t>(get_varint(p));
    memo.cls = reinterpret_cast<PyObject *>(Py_TYPE(o));
    memo.part = std::make_shared<const std::string>(h.blob, mark, h.blob.size() - mark);
    h.blob.resize(mark);
    h.blob.push_back(static_cast<char>(T_SHARED));
    h.shared = memo.part;
    return true;
}

PyObject *Codec::read(const char *&p, const Held &h) const {
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
    case T_DICT: {
        uint64_t n = get_varint(p);
        PyObject *d = PyDict_New();
        if (!d)
            return nullptr;
        for (uint64_t i = 0; i < n; ++i) {
            PyObject *k = read(p, h);
            PyObject *v = k ? read(p, h) : nullptr;
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
            PyObject *v = read(p, h);
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
        PyObject *d = PyDict_New();
        PyObject *fs = d ? PySet_New(nullptr) : nullptr;
        if (!fs) {
            Py_XDECREF(d);
            return nullptr;
        }
        for (size_t j = 0; j < sh.keys.size(); ++j) {
            PyObject *v = read(p, h);
            if (!v || PyDict_SetItem(d, sh.keys[j], v) < 0 ||
                ((sh.set_mask >> j) & 1 ? PySet_Add(fs, sh.keys[j]) : 0) < 0) {
                Py_XDECREF(v);
                Py_DECREF(d);
                Py_DECREF(fs);
                return nullptr;
            }
            Py_DECREF(v);
        }
        try {
            nb::object m = orvane::models::construct(sh.cls, nb::steal<nb::dict>(d), nb::steal(fs));
            return m.release().ptr();
        } catch (nb::python_error &e) {
            e.restore();
            return nullptr;
        }
    }
    case T_SHARED: {
        const char *q = h.shared->data();
        return read(q, h);
    }
    case T_OBJ: {
        PyObject *o = h.objs[get_varint(p)];
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

nb::object Codec::decode(const Held &h) const {
    const char *p = h.blob.data();
    PyObject *o = read(p, h);
    if (o == nullptr)
        raise();
    return nb::steal(o);
}

}  // namespace tally
