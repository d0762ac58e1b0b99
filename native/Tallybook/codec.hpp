// Compact encoding of held events.
//
// An event is kept as a byte string in which each value is written once: None/bools, ints that fit
// 64 bits, floats, str (UTF-8), exact dicts, lists and tuples, and pydantic models (by "shape": the
// class, the field names of its __dict__ and its set of explicitly set fields, shared by every event
// of that shape). Values the encoding does not cover (other classes, str/int subclasses, huge ints,
// strings with lone surrogates, self-containing containers) are kept as Python objects, deep-copied
// on the way in and again on the way out. Decoding rebuilds an object equal to
// `event.model_copy(deep=True)`: same types, same field values, same fields set. (One difference
// that equality cannot see: a container referenced twice inside one event comes back as two
// equal containers.)
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "memo.hpp"

namespace tally {

namespace nb = nanobind;

struct RunState;

// One held event; shared by the recent ring and its run's ring (intrusive count, GIL held).
struct Held {
    uint32_t refs = 0;
    uint32_t mark = 0;         // garbage-collector walk in which this event was visited
    bool ts_native = false;    // timestamp is an int that fits 64 bits (in `ts`)
    bool id_native = false;    // event_id is an exact str (UTF-8 in `id`)
    int64_t ts = 0;
    PyObject *ts_obj = nullptr;  // strong: the timestamp value otherwise
    PyObject *id_obj = nullptr;  // strong: the event_id value otherwise
    std::string id;
    std::string blob;
    std::vector<PyObject *> objs;  // strong: values kept as Python objects
    // The encoding of the event's run context when it is the same as the previous event's of
    // its run (shared by those events; it never refers to `objs`).
    std::shared_ptr<const std::string> shared;
    // Where the search texts of the event's own searched fields (event_id, event_type, source,
    // level, message, payload, error, meta) lie in its run's search text: `text_len[k]` bytes at
    // `text_base + text_off[k]` (0: no text). Valid while the store is in generation `text_gen`
    // (the run's state lives that long); not known when `text_run` is null.
    const RunState *text_run = nullptr;
    uint64_t text_gen = 0;
    uint64_t text_base = 0;
    uint32_t text_off[8] = {}, text_len[8] = {};

    Held() = default;
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held();
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
            delete h_;
    }
    Held *get() const { return h_; }
    Held *operator->() const { return h_; }

private:
    Held *h_ = nullptr;
};

// The __pydantic_fields_set__ of a pydantic model, read in place (borrowed; nullptr if unset).
PyObject *model_fields_set(PyObject *model);

// What a run remembers of its last run context: the objects it was made of and its encoding.
struct SharedPartMemo {
    std::shared_ptr<const std::string> part;
    PyObject *cls = nullptr;  // borrowed: the codec's shapes hold the class
    size_t shape = 0;
    TextMemo values;  // identities of the context's __dict__
};

class Codec {
public:
    Codec() = default;
    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;
    ~Codec();

    // Encodes `event` into h.blob / h.objs (h is fresh). Python errors propagate (nothing kept).
    void encode(PyObject *event, Held &h);
    // The same, sharing the encoding of the run context `run` (a field of the event) with the
    // previous event of its run when `run` consists of the same objects (`memo` is the run's).
    void encode(PyObject *event, Held &h, PyObject *run, SharedPartMemo *memo);
    // A new object equal to a deep copy of the encoded event.
    nb::object decode(const Held &h) const;

    // Visits the objects the shapes hold (for the garbage collector).
    int traverse(visitproc visit, void *arg) const;

private:
    struct Shape {
        PyObject *cls;                 // strong
        std::vector<PyObject *> keys;  // strong, __dict__ order
        uint64_t set_mask;             // bit i: keys[i] is in __pydantic_fields_set__
    };
    std::vector<Shape> shapes_;
    std::string scratch_;  // encoding buffer, reused
    size_t last_shape_ = 0;

    struct Fallback {};  // the value cannot be encoded here; keep it as an object

    void value(PyObject *o, Held &h, int depth, std::vector<PyObject *> &active);
    void field(PyObject *o, Held &h, int depth, std::vector<PyObject *> &active);
    bool model(PyObject *o, Held &h, int depth, std::vector<PyObject *> &active);
    bool shared_model(PyObject *o, Held &h, int depth, std::vector<PyObject *> &active);
    PyObject *share_run_ = nullptr;          // during encode: the run context to share
    SharedPartMemo *share_memo_ = nullptr;   // during encode: its run's memory
    void object(PyObject *o, Held &h);
    PyObject *read(const char *&p, const Held &h) const;
};

}  // namespace tally
