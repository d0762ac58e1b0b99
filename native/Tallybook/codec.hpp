// Compact encoding of held events.
//
// An event is kept as a byte string in which each value is written once: None/bools, ints that fit
// 64 bits (one byte for small ones), floats (4 bytes when a 32-bit float holds them exactly), short
// str as UTF-8 or as a reference into the store's table of short strings met more than once (one
// byte for the first 128), exact dicts (by "dict shape" when their keys are kept strings in an
// order met before: the values only), lists and tuples, and pydantic models (by "shape": the
// class, the field names of its __dict__ and its set of explicitly set fields, shared by every
// event of that shape). Long str are kept as the str objects themselves (a copy of a str is the
// same object). Values the encoding does not cover (other classes, str/int subclasses, huge ints,
// strings with lone surrogates, self-containing containers) are kept as Python objects,
// deep-copied on the way in and again on the way out. Decoding rebuilds an object equal to
// `event.model_copy(deep=True)`: same types, same field values, same fields set. (One difference
// that equality cannot see: a container referenced twice inside one event comes back as two
// equal containers.)
//
// The run context of an event whose encoding equals the one of the previous event of its run is
// not written again: both events refer to one shared part.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "record.hpp"

namespace tally {

namespace nb = nanobind;

struct RunState;

// An encoded run context shared by consecutive events of a run (intrusive count, GIL held). It
// never refers to a held event's own objects.
struct SharedPart {
    uint32_t refs;
    uint32_t size;
    char bytes[1];  // `size` bytes

    static SharedPart *make(const char *data, size_t n);
    static void retain(SharedPart *p) {
        if (p != nullptr)
            ++p->refs;
    }
    static void drop(SharedPart *p) {
        if (p != nullptr && --p->refs == 0)
            std::free(p);
    }
};

// One held event, shared by the recent ring and its run's ring (intrusive count, GIL held). One
// allocation: this header, then the objects it keeps, then the encoding.
struct Held {
    static constexpr uint32_t kNoOffset = UINT32_MAX;
    static constexpr uint64_t kNotIndexed = UINT64_MAX;

    uint32_t refs = 0;
    uint32_t mark = 0;   // garbage-collector walk in which this event was visited
    uint16_t nobjs = 0;  // objects kept (strong references)
    uint8_t flags = 0;
    uint32_t id_at = kNoOffset;  // where the event_id's value is encoded

private:
    // The timestamp when it is an exact int that fits 64 bits; else where its value is encoded.
    union {
        int64_t ts_;
        uint32_t ts_at_;
    };
    // Where the texts of the event's own searched fields lie in its run's search text, or (once
    // made for an event that has no run text) the event's own copy of those texts (malloc'd).
    union {
        uint64_t text_at_;
        char *own_text_;
    };

public:
    SharedPart *shared = nullptr;  // the run context's shared encoding, if any (counted)
    // The run whose search text holds this event's text (null: no run, or the run was dropped or
    // the event left its ring). While set, the event is in that run's ring.
    RunState *run = nullptr;
    // Lengths of the texts of the event's own searched fields (0: no text), one after the other,
    // separated by one space, from text_at() in the run's text or from 0 in own_text().
    uint16_t own_len[kSearchedEventCount] = {};

    Held() : ts_(0), text_at_(kNotIndexed) {}

    bool ts_native() const { return flags & kTsNative; }
    int64_t ts() const { return ts_; }                   // when ts_native()
    uint32_t ts_at() const { return ts_native() ? kNoOffset : ts_at_; }
    void set_ts(int64_t v) {
        ts_ = v;
        flags |= kTsNative;
    }
    void set_ts_at(uint32_t at) {
        if (!ts_native())
            ts_at_ = at;
    }

    bool has_own_text() const { return flags & kOwnText; }
    const char *own_text() const { return has_own_text() ? own_text_ : nullptr; }
    uint64_t text_at() const { return has_own_text() ? kNotIndexed : text_at_; }
    void set_text_at(uint64_t at) {
        if (!has_own_text())
            text_at_ = at;
    }
    void set_own_text(char *text) {  // takes the buffer
        if (has_own_text())
            std::free(own_text_);
        own_text_ = text;
        flags |= kOwnText;
    }

    PyObject **objs() { return reinterpret_cast<PyObject **>(this + 1); }
    PyObject *const *objs() const { return reinterpret_cast<PyObject *const *>(this + 1); }
    const char *data() const { return reinterpret_cast<const char *>(objs() + nobjs); }
    char *data() { return reinterpret_cast<char *>(objs() + nobjs); }

    static Held *make(const std::vector<PyObject *> &objs, const char *blob, size_t size);
    static void destroy(Held *h);  // releases the objects: may run Python code

private:
    static constexpr uint8_t kTsNative = 1, kOwnText = 2;
};
static_assert(sizeof(Held) <= 64, "a held event's header stays within 64 bytes");

class HeldRef {
public:
    HeldRef() = default;
    explicit HeldRef(Held *h) : h_(h) {
        if (h_)
            ++h_->refs;
    }
    HeldRef(const HeldRef &o) : HeldRef(o.h_) {}
    HeldRef(HeldRef &&o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    HeldRef &operator=(HeldRef o) noexcept {
        std::swap(h_, o.h_);
        return *this;
    }
    ~HeldRef() {
        if (h_ && --h_->refs == 0)
            Held::destroy(h_);
    }
    Held *get() const { return h_; }
    Held *operator->() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    Held *h_ = nullptr;
};

// The __pydantic_fields_set__ of a pydantic model, read in place (borrowed; nullptr if unset).
PyObject *model_fields_set(PyObject *model);

// Short strings met more than once, kept once for the store: an encoding refers to them by number
// and decoding hands out the kept object (str is immutable: a deep copy shares it too).
class StringTable {
public:
    StringTable();
    StringTable(const StringTable &) = delete;
    StringTable &operator=(const StringTable &) = delete;
    ~StringTable();
    // The number + 1 of the exact str `s` when it is (now) kept, else 0.
    uint32_t find_or_admit(PyObject *s) {
        const Recent &r = recent_[(reinterpret_cast<uintptr_t>(s) >> 4) & (kRecent - 1)];
        if (r.obj == s)
            return r.id + 1;
        return look_up(s);
    }
    PyObject *get(uint32_t id) const { return strs_[id]; }

private:
    static constexpr size_t kMaxStrings = 1u << 16;
    static constexpr Py_ssize_t kMaxLength = 64;  // longer ones are kept as str objects (Codec)
    std::vector<PyObject *> strs_;      // strong
    std::vector<uint32_t> slots_;       // open addressing by hash: number + 1, 0 empty
    std::vector<Py_hash_t> seen_;       // hashes of strings met once (direct-mapped)
    struct Recent {
        PyObject *obj;  // a kept string (alive as long as the table)
        uint32_t id;
    };
    static constexpr size_t kRecent = 4096;
    std::vector<Recent> recent_;  // by address

    uint32_t look_up(PyObject *s);
    void insert_slot(Py_hash_t h, uint32_t id);
};

// A growable byte buffer written at its end (reused from event to event).
class Buffer {
public:
    size_t size() const { return size_; }
    const char *data() const { return data_.get(); }
    char *data() { return data_.get(); }
    void clear() { size_ = 0; }
    void resize(size_t n) {  // only to shrink, or to grow within what was reserved
        reserve(n);
        size_ = n;
    }
    void reserve(size_t n) {
        if (n > cap_)
            grow(n);
    }
    void push_back(char c) {
        if (size_ == cap_) [[unlikely]]
            grow(size_ + 1);
        data_[size_++] = c;
    }
    void append(const char *p, size_t n) {
        reserve(size_ + n);
        std::memcpy(data_.get() + size_, p, n);
        size_ += n;
    }
    // Room for `n` more bytes, written through the returned pointer, then `commit`ted.
    char *claim(size_t n) {
        if (size_ + n > cap_) [[unlikely]]
            grow(size_ + n);
        return data_.get() + size_;
    }
    void commit(char *end) { size_ = static_cast<size_t>(end - data_.get()); }

private:
    std::unique_ptr<char[]> data_;
    size_t size_ = 0, cap_ = 0;
    void grow(size_t need) {
        size_t cap = cap_ < 256 ? 256 : cap_ * 2;
        while (cap < need)
            cap *= 2;
        std::unique_ptr<char[]> next(new char[cap]);
        if (size_ != 0)
            std::memcpy(next.get(), data_.get(), size_);
        data_ = std::move(next);
        cap_ = cap;
    }
};

class Codec {
public:
    Codec() = default;
    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;
    ~Codec();

    // Encodes `event` into a new held event (Python errors propagate; nothing is kept then).
    // `run` is the event's run context (or nullptr); when its encoding equals `previous` (the run
    // context part of the run's last event), the new event shares that part.
    Held *encode(PyObject *event, PyObject *run, SharedPart *previous);
    // A new object equal to a deep copy of the encoded event. With `view`, values kept as Python
    // objects are handed out as they are, not copied (for the store's own reading).
    nb::object decode(const Held &h, bool view = false) const;
    // What the previous event of a batch gave each of its top-level fields (see decode_fields).
    struct FieldReuse {
        size_t shape = SIZE_MAX;
        struct Field {
            const char *begin = nullptr, *end = nullptr;  // its encoding (in a held event still held)
            const SharedPart *shared = nullptr;           // or the shared part it refers to
            bool objects = false;                         // refers to objects its event keeps
            nb::object value;
        };
        std::vector<Field> fields;
    };
    // For the store's own reading of an event (its search text): the event as a dict of its fields
    // (its run context a dict of fields too), values as a view. With `reuse`, a field encoded
    // exactly as in the previous event read through the same `reuse` is that event's very object.
    nb::object decode_fields(const Held &h, FieldReuse *reuse = nullptr) const;
    // The value encoded at `offset` of the event (a copy).
    nb::object decode_at(const Held &h, uint32_t offset) const;
    // Whether the value encoded at `offset` is the exact str `want` (UTF-8); -1 when the value is
    // not a str written by the encoding (the caller compares the decoded value).
    int str_equals_at(const Held &h, uint32_t offset, std::string_view want) const;

    // Visits the objects the shapes hold (for the garbage collector).
    int traverse(visitproc visit, void *arg) const;

private:
    struct Shape {
        PyObject *cls;                 // strong
        std::vector<PyObject *> keys;  // strong, __dict__ order
        uint64_t set_mask;             // bit i: keys[i] is in __pydantic_fields_set__
        PyObject *dict_template;       // strong: the keys, each with None
        PyObject *set_template;        // strong: the set field names
        int id_field = -1, ts_field = -1, run_field = -1;  // positions of event_id, timestamp, run
        // The hash table of a set of set fields last found to fit, when its names were the very
        // objects in `keys` (held here, so their addresses stay theirs): a set whose table is the
        // same, byte for byte, holds the same names.
        std::vector<char> known_set;
        Py_ssize_t known_mask = -1;
    };
    std::vector<Shape> shapes_;
    size_t recent_shapes_[2] = {SIZE_MAX, SIZE_MAX};  // the shapes used last (event, run context)
    StringTable strings_;
    // Key sequences of dicts (by the numbers of their kept strings) met more than once.
    struct DictShape {
        uint64_t hash;
        std::vector<uint32_t> ids;
        PyObject *dict_template;  // strong: the keys, each with None
    };
    static constexpr Py_ssize_t kMaxDictShapeKeys = 32;
    static constexpr size_t kMaxDictShapes = 1u << 14;
    std::vector<DictShape> dshapes_;
    std::vector<uint32_t> dshape_slots_ = std::vector<uint32_t>(256, 0);  // by hash: number + 1
    std::vector<uint64_t> dshape_seen_ = std::vector<uint64_t>(1024, 0);
    Buffer scratch_;  // encoding buffer, reused
    std::vector<PyObject *> objs_;  // objects kept by the event being encoded (strong)
    // During encode: the run context, the part to compare it with, and where offsets go.
    PyObject *share_run_ = nullptr;
    SharedPart *share_previous_ = nullptr;
    SharedPart *shared_ = nullptr;  // counted
    uint32_t id_at_ = Held::kNoOffset, ts_at_ = Held::kNoOffset;
    uint64_t copies_ = 0;  // fallback copies made so far (each may have run Python code)

    struct Fallback {};  // the value cannot be encoded here; keep it as an object

    static constexpr int kMaxDepth = 64;
    static constexpr Py_ssize_t kKeepStrFrom = 64;  // longer str are kept as objects
    PyObject *path_[kMaxDepth + 1] = {};  // the containers being encoded, by depth (cycle check)

    void value(PyObject *o, int depth);
    void container(PyObject *o, int depth);  // value() of what scalar() does not write
    bool scalar(PyObject *o);
    void item(PyObject *o, int depth);
    void field(PyObject *o, int depth);
    void str(PyObject *o);
    void ref_string(uint32_t id);
    void dict(PyObject *o, int depth);
    bool shaped_dict(PyObject *o, int depth);
    // Whether dict `o` holds exactly these n keys and values, in this order (compared by address).
    static bool still_holds(PyObject *o, PyObject *const *keys, PyObject *const *values, Py_ssize_t n);
    void sequence(PyObject *o, int depth, bool list);
    bool enter(PyObject *o, int depth);  // false: too deep, or `o` contains itself
    bool model(PyObject *o, int depth);
    bool shared_model(PyObject *o, int depth);
    void object(PyObject *o);
    size_t shape_of(PyObject *o, PyObject *const *keys, size_t n, PyObject *fs, bool &ok);
    bool fits(Shape &sh, PyObject *cls, PyObject *const *keys, size_t n, PyObject *fs);
    // `flat`: how many levels of models, from this value down, are read as dicts of their fields.
    PyObject *read(const char *&p, const Held &h, bool view, int flat = 0) const;
    void skip(const char *&p, bool &objects) const;
};

}  // namespace tally
