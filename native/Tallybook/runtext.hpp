// A run's accumulated search text and how an event's part of it is written.
//
// Each event adds the texts of the run record's searched fields (as the event left the record)
// and of the event's own searched fields, each its searched text (orvane::search::append_searchable,
// which never raises), empty ones dropped, joined by single spaces, after one space; the whole text stays stripped.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "memo.hpp"
#include "record.hpp"
#include "textsearch.hpp"

namespace tally {

// What an event's part remembers about each of its pieces: the objects a piece was made of and
// where its text stands, so that the same objects in the next event are not normalised again.
struct PieceMemos {
    std::array<TextMemo, kPieceCount> memo;
    void forget() {
        for (TextMemo &m : memo)
            m.forget();
    }
};

// Where the texts of an event's own searched fields were written (see Held::text_at).
struct OwnTextPlace {
    bool known = false;
    uint64_t at = 0;
    uint16_t len[kSearchedEventCount] = {};
};

struct RunText {
    std::string text;  // always stripped

    // Appends one event's part: `values` are the kPieceCount values (record fields, then the
    // event's own), borrowed. `memos` carries what the previous event's part left.
    OwnTextPlace append_event(PyObject *const *values, PieceMemos &memos);
    // Replaces the text (memos made against the old text must be forgotten by the caller).
    void assign(std::string value);
    // Whether `needle` (non-empty) occurs in the text.
    bool contains(std::string_view needle);

private:
    // Trigrams of text[0, grams_upto), for long texts only: a search skips a text that lacks one
    // of the needle's trigrams without scanning it.
    static constexpr size_t kFilterFrom = 1024;
    TrigramFilter grams_;
    size_t grams_upto_ = 0;
};

}  // namespace tally
