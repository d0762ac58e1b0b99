// Search texts and needles, shared by the run store and the facade's event search, so that both
// ways of searching the store's events agree.
//
// The normalised text of a value is:
//   None            -> ""
//   str             -> str.casefold()
//   anything else   -> json.dumps(value, ensure_ascii=False, sort_keys=True, default=str).casefold()
// as UTF-8, lone surrogates encoded as they are ("surrogatepass") in texts and needles alike.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace orvane::search {

namespace nb = nanobind;

// The fields of an event whose texts are searched, in this order: by the run store (each event's
// part of its run's search text) and by the facade's event search (followed there by the event's
// run context dumped in JSON mode).
inline constexpr const char *kEventFields[] = {"event_id", "event_type", "source", "level",
                                               "message",  "payload",    "error",  "meta"};

// Appends the normalised text of `value` to `out`.
void append_normalized(nb::handle value, std::string &out);

inline std::string normalized(nb::handle value) {
    std::string out;
    append_normalized(value, out);
    return out;
}

// Full Unicode case folding of UTF-8 text (str.casefold), e.g. for a search needle.
std::string casefold(std::string_view utf8);

// The searched text of `value`, appended to `out`: its normalised text, or -- for a value whose
// text cannot be made (it contains itself, it nests too deep, its str() raises, an int too long
// to convert, ...) -- its case-folded repr(), or nothing when that fails too. Never raises, so no
// held value can make a search fail.
void append_searchable(nb::handle value, std::string &out);

// The needle of a search argument (a str): search.strip().casefold() as UTF-8. An exact str is
// stripped and folded here; a str subclass through its own strip() and casefold().
std::string needle(nb::handle search);

// Python's str.strip, str.lstrip and str.rstrip (white space as str.isspace sees it) on UTF-8
// text: strip gives the stripped view; lstrip and rstrip work in place on the part of `text`
// from `from` on.
std::string_view strip(std::string_view text);
void lstrip(std::string &text, size_t from = 0);
void rstrip(std::string &text, size_t from = 0);

}  // namespace orvane::search
