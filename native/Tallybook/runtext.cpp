#include "runtext.hpp"

#include "orvane/searchtext.hpp"

namespace tally {

void RunText::assign(std::string value) {
    text = std::move(value);
    grams_.clear();
    grams_upto_ = 0;
}

bool RunText::contains(std::string_view needle) {
    if (text.size() >= kFilterFrom) {
        if (grams_upto_ < text.size()) {
            // Trigrams starting before the old end that reach into the new text are added too.
            size_t from = grams_upto_ >= 2 ? grams_upto_ - 2 : 0;
            grams_.add_range(text, from, text.size());
            grams_upto_ = text.size();
        }
        if (!grams_.may_contain(needle))
            return false;
    }
    return tally::contains(text, needle);
}

OwnTextPlace RunText::append_event(PyObject *const *values, PieceMemos &memos) {
    std::string &buf = text;
    const size_t start = buf.size();
    struct Piece {
        size_t begin, end;
    };
    Piece pieces[kPieceCount];
    bool present[kPieceCount] = {};
    bool fresh[kPieceCount] = {};  // normalised afresh here: remembered afterwards
    try {
        if (start != 0)
            buf.push_back(' ');
        bool first = true;
        for (size_t slot = 0; slot < kPieceCount; ++slot) {
            PyObject *v = values[slot];
            size_t mark = buf.size();
            if (!first)
                buf.push_back(' ');
            size_t before = buf.size();
            TextMemo &memo = memos.memo[slot];
            bool repeated = memo.check(v);
            // An event field holding the very str object of a record field (message and
            // latest_message, ...) has that field's text.
            int dup = -1;
            if (slot >= kSearchedRecordCount && PyUnicode_CheckExact(v))
                for (size_t j = 0; j < kSearchedRecordCount; ++j)
                    if (values[j] == v) {
                        dup = static_cast<int>(j);
                        break;
                    }
            if (repeated || dup >= 0) {
                size_t from, len;
                if (dup >= 0) {
                    from = present[dup] ? pieces[dup].begin : 0;
                    len = present[dup] ? pieces[dup].end - pieces[dup].begin : 0;
                } else {
                    from = memo.offset();
                    len = memo.length();
                }
                buf.reserve(buf.size() + len);  // no reallocation while copying from itself
                buf.append(buf.data() + from, len);
                if (!repeated) {
                    memo.forget();
                    fresh[slot] = true;
                }
            } else {
                memo.forget();
                orvane::search::append_searchable(v, buf);
                fresh[slot] = true;
            }
            if (buf.size() == before) {
                buf.resize(mark);  // empty texts are dropped
                pieces[slot] = {before, before};
            } else {
                first = false;
                present[slot] = true;
                pieces[slot] = {before, buf.size()};
            }
        }
    } catch (...) {
        buf.resize(start);
        memos.forget();
        throw;
    }
    size_t lead = 0;
    if (start == 0) {
        size_t n0 = buf.size();
        orvane::search::lstrip(buf, 0);
        lead = n0 - buf.size();
    }
    orvane::search::rstrip(buf, start);
    // Remember the fresh texts where they now stand (not when stripping moved or cut them).
    for (size_t slot = 0; slot < kPieceCount; ++slot) {
        if (!fresh[slot])
            continue;
        const Piece &p = pieces[slot];
        if (lead == 0 && p.end <= buf.size())
            memos.memo[slot].remember(values[slot], p.begin, p.end - p.begin);
        else
            memos.memo[slot].forget();
    }
    if (lead != 0)
        memos.forget();  // offsets moved

    // Where this event's own field texts stand, for event searches. Not known when stripping
    // moved the text or cut into one of them, or when one is too long to note.
    OwnTextPlace place;
    if (lead != 0)
        return place;
    bool first_own = true;
    size_t expect = 0;
    for (size_t k = 0; k < kSearchedEventCount; ++k) {
        size_t slot = kSearchedRecordCount + k;
        if (!present[slot])
            continue;
        const Piece &p = pieces[slot];
        size_t len = p.end - p.begin;
        if (p.end > buf.size() || len > UINT16_MAX)
            return place;
        if (first_own) {
            place.at = p.begin;
            first_own = false;
        } else if (p.begin != expect) {
            return place;
        }
        place.len[k] = static_cast<uint16_t>(len);
        expect = p.end + 1;
    }
    place.known = true;
    return place;
}

}  // namespace tally
