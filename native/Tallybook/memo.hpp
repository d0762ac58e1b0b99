// The normalised search text of a value, remembered together with the identity of every part of
// the value, so that a later value made of the very same objects gets its text without being
// normalised again. Only exact dicts, lists and tuples of immutable scalars (exact str, int,
// float, bool, None) are remembered; the scalars are held, so their identity cannot be reused.
//
// The text itself is not copied: it is a range of the run's search text, where it was written.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tally {

class TextMemo {
public:
    TextMemo() = default;
    TextMemo(const TextMemo &) = delete;
    TextMemo &operator=(const TextMemo &) = delete;
    ~TextMemo() { forget(); }

    bool valid() const { return valid_; }
    // The remembered text: [offset, offset + length) of the owner's text.
    size_t offset() const { return offset_; }
    size_t length() const { return length_; }
    // True when `v` consists of the same objects, in the same places, as the remembered value.
    bool matches(PyObject *v) const {
        if (!valid_)
            return false;
        if (scalar_ != nullptr)
            return v == scalar_;
        return match_structure(v);
    }
    // Remembers that `v` reads as the text at [offset, offset + length) (or forgets everything
    // when `v` cannot be remembered).
    void remember(PyObject *v, size_t offset, size_t length);
    void forget();


private:
    PyObject *scalar_ = nullptr;  // strong: the value, when it is a scalar
    size_t offset_ = 0;
    uint32_t length_ = 0;
    bool valid_ = false;

public:
    bool indexed = false;  // owner's flag: the text's trigrams are all indexed

private:
    // For containers: shape words (odd: tag | size << 3) and held objects (even pointers), in
    // walk order. Kept apart so that the memos of a run stay small and close together.
    std::unique_ptr<std::vector<uintptr_t>> walk_;

    bool match_structure(PyObject *v) const;
    bool walk_match(PyObject *v, size_t &i, int depth) const;
    bool walk_record(PyObject *v, int depth);
};

}  // namespace tally
