// The normalised search text of a value, remembered together with every part of the value, so
// that a later value made of the same parts gets its text without being normalised again. Only
// exact dicts, lists and tuples of immutable scalars (exact str, int, float, bool, None) are
// remembered; the scalars are held, so their identity cannot be reused. A scalar matches its
// remembered one by identity or by equal value of the same exact type (floats bit for bit).
//
// The text itself is not copied: it is a range of the run's search text, where it was written.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tally {

// The same object, or two exact str with the same text, two exact int of the same value, or two
// floats of the same bits: values whose normalised texts are the same (comparing them runs no
// Python code).
inline bool same_scalar(PyObject *held, PyObject *v) {
    if (held == v)
        return true;
    PyTypeObject *t = Py_TYPE(v);
    if (t != Py_TYPE(held))
        return false;
    if (t == &PyUnicode_Type) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(v);
        int kind = PyUnicode_KIND(v);
        return n == PyUnicode_GET_LENGTH(held) && kind == static_cast<int>(PyUnicode_KIND(held)) &&
               std::memcmp(PyUnicode_DATA(v), PyUnicode_DATA(held),
                           static_cast<size_t>(n) * static_cast<size_t>(kind)) == 0;
    }
    if (t == &PyLong_Type)
        return PyObject_RichCompareBool(held, v, Py_EQ) == 1;
    if (t == &PyFloat_Type) {
        double a = PyFloat_AS_DOUBLE(held), b = PyFloat_AS_DOUBLE(v);
        return std::memcmp(&a, &b, sizeof a) == 0;
    }
    return false;
}

class TextMemo {
public:
    TextMemo() = default;
    TextMemo(const TextMemo &) = delete;
    TextMemo &operator=(const TextMemo &) = delete;
    ~TextMemo() {
        forget();
        std::free(walk_);
    }

    bool valid() const { return valid_; }
    // The remembered text: [offset, offset + length) of the owner's text.
    size_t offset() const { return offset_; }
    size_t length() const { return length_; }
    // True when `v` consists of the same values (same_scalar), in the same places, as the
    // remembered value.
    bool matches(PyObject *v) const {
        if (!valid_)
            return false;
        if (scalar_ != nullptr)
            return same_scalar(scalar_, v);
        return match_structure(v, true);
    }
    // matches(), and what it tells about the slot: a remembered container that `v` does not
    // match counts as a miss, one that it matches ends a run of misses.
    bool check(PyObject *v) {
        bool hit = matches(v);
        if (valid_ && scalar_ == nullptr) {
            if (hit) {
                misses_ = 0;
            } else {
                if (misses_ < kMaxMisses)
                    ++misses_;
                pause_ = static_cast<uint16_t>(1u << (misses_ - 1));
            }
        }
        return hit;
    }
    // Remembers that `v` reads as the text at [offset, offset + length) (or forgets everything
    // when `v` cannot be remembered, or when `v` is a container and the slot is pausing).
    void remember(PyObject *v, size_t offset, size_t length);
    void forget();


private:
    PyObject *scalar_ = nullptr;  // strong: the value, when it is a scalar
    size_t offset_ = 0;
    uint32_t length_ = 0;
    bool valid_ = false;

    // For containers: shape words (odd: tag | size << 3) and held objects (even pointers), in
    // walk order. Kept apart so that the memos of a run stay small and close together; one
    // block, reached in one step (a memo is usually cold when it is compared).
    uint32_t walk_size_ = 0, walk_cap_ = 0;
    uintptr_t *walk_ = nullptr;

    // A slot whose containers keep changing (a payload that differs in every event) is not made
    // to walk each one to remember it, only to find the next one different: after a miss, the
    // next 1, 2, 4, ... (up to 2^(kMaxMisses - 1)) container values of the slot are not
    // remembered (their text is written afresh, as after any miss). A hit ends the pauses.
    // These counts outlive forget(): they describe the slot, not the value remembered.
    static constexpr uint8_t kMaxMisses = 7;
    uint8_t misses_ = 0;  // consecutive misses of a remembered container
    uint16_t pause_ = 0;  // container values still not to remember

    bool walk_push(uintptr_t w);

    bool match_structure(PyObject *v, bool equal_str) const;
    bool walk_match(PyObject *v, size_t &i, int depth, bool equal_str) const;
    bool walk_record(PyObject *v, int depth);
};

}  // namespace tally
