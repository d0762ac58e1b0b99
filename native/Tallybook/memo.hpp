// The normalised search text of a value, remembered together with the identity of every part of
// the value, so that a later value made of the very same objects gets its text without being
// normalised again. Only exact dicts, lists and tuples of immutable scalars (exact str, int,
// float, bool, None) are remembered; the scalars are held, so their identity cannot be reused.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
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
    const std::string &text() const { return text_; }
    // True when `v` consists of the same objects, in the same places, as the remembered value.
    bool matches(PyObject *v) const;
    // Remembers `text` for `v` (or forgets everything when `v` cannot be remembered).
    void remember(PyObject *v, std::string_view text);
    void forget();

    bool indexed = false;  // owner's flag: the text's trigrams are all indexed

private:
    std::vector<PyObject *> refs_;  // strong
    std::vector<uint32_t> shape_;
    std::string text_;
    bool valid_ = false;

    bool walk_match(PyObject *v, size_t &ri, size_t &si, int depth) const;
    bool walk_record(PyObject *v, int depth);
};

}  // namespace tally
