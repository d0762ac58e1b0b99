// Compact encoding of held events.
//
// An event is kept as a byte string in which each value is written once: None/bools, ints that fit
// 64 bits, floats, str (UTF-8, or a reference into the store's table of short strings seen more
// than once), exact dicts, lists and tuples, and pydantic models (by "shape": the class, the field
// names of its __dict__ and its set of explicitly set fields, shared by every event of that
// shape). Values the encoding does not cover (other classes, str/int subclasses, huge ints,
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
    uint32_t mark = 0;      // garbage-collector walk in which this event was visited
    uint32_t size = 0;      // bytes of the encoding
    uint16_t nobjs = 0;     // objects kept (strong references)
    bool ts_native = false; // the timestamp is an exact int that fits 64 bits (in `ts`)
    int64_t ts = 0;
    uint32_t ts_at = kNoOffset;  // where the timestamp's value is encoded
    uint32_t id_at = kNoOffset;  // where the event_id's value is encoded
    SharedPart *shared = nullptr;  // the run context's shared encoding, if any (counted)
    // Where the search texts of the event's own searched fields lie in its run's search text:
    // `own_len[k]` bytes each (0: no text), one after the other from `text_at`, separated by one
    // space. Known while `run` is set (cleared when the run is dropped) and `text_at` is not
    // kNotIndexed.
    RunState *run = nullptr;
    uint64_t text_at = kNotIndexed;
    uint16_t own_len[kSearchedEventCount] = {};
    // An event without a run text (no run, or its run dropped) keeps the texts of its own
    // searched fields here once an event search asked for them: `own_len[k]` bytes each, laid
    // out as in a run text from offset 0 (malloc'd; null until made).
    char *own_text = nullptr;

    PyObject **objs() { return reinterpret_cast<PyObject **>(this + 1); }
    PyObject *const *objs() const { return reinterpret_cast<PyObject *const *>(this + 1); }
    const char *data() const { return reinterpret_cast<const char *>(objs() + nobjs); }
    char *data() { return reinterpret_cast<char *>(objs() + nobjs); }

    static Held *make(const std::vector<PyObject *> &objs, const std::string &blob);
    static void destroy(Held *h);  // releases the objects: may run Python code
};

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
    uint32_t find_or_admit(PyObject *s);
    PyObject *get(uint32_t id) const { return strs_[id]; }

private:
    static constexpr size_t kMaxStrings = 1u << 16;
    static constexpr Py_ssize_t kMaxLength = 48;
    std::vector<PyObject *> strs_;      // strong
    std::vector<uint32_t> slots_;       // open addressing by hash: number + 1, 0 empty
    std::vector<Py_hash_t> seen_;       // hashes of strings met once (direct-mapped)
    struct Recent {
        PyObject *obj;  // a kept string (alive as long as the table)
        uint32_t id;
    };
    std::vector<Recent> recent_;  // by address

    void insert_slot(Py_hash_t h, uint32_t id);
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
    };
    std::vector<Shape> shapes_;
    StringTable strings_;
    std::string scratch_;  // encoding buffer, reused
    std::vector<PyObject *> objs_;  // objects kept by the event being encoded (strong)
    size_t last_shape_ = 0;
    // During encode: the run context, the part to compare it with, and where offsets go.
    PyObject *share_run_ = nullptr;
    SharedPart *share_previous_ = nullptr;
    SharedPart *shared_ = nullptr;  // counted
    uint32_t id_at_ = Held::kNoOffset, ts_at_ = Held::kNoOffset;

    struct Fallback {};  // the value cannot be encoded here; keep it as an object

    void value(PyObject *o, int depth, std::vector<PyObject *> &active);
    void field(PyObject *o, int depth, std::vector<PyObject *> &active);
    bool model(PyObject *o, int depth, std::vector<PyObject *> &active);
    bool shared_model(PyObject *o, int depth, std::vector<PyObject *> &active);
    void object(PyObject *o);
    size_t shape_of(PyObject *o, PyObject *dict, PyObject *fs, bool &ok);
    PyObject *read(const char *&p, const Held &h, bool view) const;
    void skip(const char *&p) const;
};

}  // namespace tally
