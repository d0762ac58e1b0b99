// The run filters of list_runs and query_runs, declared once.
//
// The run store's list_runs, the facade's list_runs and query_runs, the calls the facade makes to
// the store and to the log service, the query model ObservationRunQuery and the Python stubs all
// speak this vocabulary, in this order. The table below yields everything the native side needs:
//   Values        one value per filter (as given: None when not given), a named member each
//   kFilters        name, interned keyword and kind of each filter, in table order
//   check()       the type check of each kind, with the house wording of type errors
//   bind()        a method signature of keyword-only filters, each defaulting to None
// tests/desk_queries/test_desk_queries_vocabulary.py holds the Python-visible places to it.
//
// GIL: everything here needs it. The keyword names are interned names kept for the process
// (support.hpp), one set per extension.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>

#include "orvane/args.hpp"
#include "orvane/outside.hpp"

// X(name, kind) per filter, in the order of the keyword arguments. `text`: a str or None;
// `integer`: an int or None (since and until in epoch milliseconds).
#define ORVANE_RUN_FILTERS(X) \
    X(run_id, text)           \
    X(root_run_id, text)      \
    X(parent_run_id, text)    \
    X(run_kind, text)         \
    X(status, text)           \
    X(agent_id, text)         \
    X(session_id, text)       \
    X(app_id, text)           \
    X(app_id_pattern, text)   \
    X(group_id, text)         \
    X(flow_name, text)        \
    X(search, text)           \
    X(since, integer)         \
    X(until, integer)         \
    X(limit, integer)

namespace orvane::run_filters {

namespace nb = nanobind;

enum class Kind : uint8_t { text, integer };

// The keyword of each filter: k_run_id, k_root_run_id, ...
#define ORVANE_RUN_FILTER_KEYWORD(name, kind) inline outside::Name k_##name{#name};
ORVANE_RUN_FILTERS(ORVANE_RUN_FILTER_KEYWORD)
#undef ORVANE_RUN_FILTER_KEYWORD

struct Filter {
    const char *name;
    outside::Name *keyword;
    Kind kind;
};

inline constexpr Filter kFilters[] = {
#define ORVANE_RUN_FILTER_ENTRY(name, kind) {#name, &k_##name, Kind::kind},
    ORVANE_RUN_FILTERS(ORVANE_RUN_FILTER_ENTRY)
#undef ORVANE_RUN_FILTER_ENTRY
};
inline constexpr size_t kCount = std::size(kFilters);

// The position of each filter in the table: at_run_id, at_root_run_id, ...
enum Position : size_t {
#define ORVANE_RUN_FILTER_POSITION(name, kind) at_##name,
    ORVANE_RUN_FILTERS(ORVANE_RUN_FILTER_POSITION)
#undef ORVANE_RUN_FILTER_POSITION
};

// One value per filter. Members hold strong references; a default-made Values holds invalid
// handles until filled (bind() and the readers below fill every member).
struct Values {
#define ORVANE_RUN_FILTER_MEMBER(name, kind) nb::object name;
    ORVANE_RUN_FILTERS(ORVANE_RUN_FILTER_MEMBER)
#undef ORVANE_RUN_FILTER_MEMBER

    nb::object &operator[](size_t i);
    const nb::object &operator[](size_t i) const { return const_cast<Values &>(*this)[i]; }
};

inline constexpr nb::object Values::*kMembers[] = {
#define ORVANE_RUN_FILTER_POINTER(name, kind) &Values::name,
    ORVANE_RUN_FILTERS(ORVANE_RUN_FILTER_POINTER)
#undef ORVANE_RUN_FILTER_POINTER
};
static_assert(std::size(kMembers) == kCount, "one member per filter");

inline nb::object &Values::operator[](size_t i) { return this->*kMembers[i]; }

// The house type error unless `value` suits filter `i`: a text filter takes a str or None, an
// integer filter an int (bool included) or None; a float is refused, not truncated.
inline void check(size_t i, nb::handle value) {
    const Filter &filter = kFilters[i];
    if (filter.kind == Kind::text)
        args::require_str(value, filter.name, /*none_ok=*/true);
    else
        args::require_int(value, filter.name, /*none_ok=*/true);
}

// Every filter, in table order (the first wrong one raises), before anything runs.
inline void check(const Values &v) {
    for (size_t i = 0; i < kCount; ++i)
        check(i, v[i]);
}

// An integer filter's value once checked, clamped to 64 bits (args::int_or_none).
inline std::optional<int64_t> integer(const Values &v, Position at) {
    return args::int_or_none(v[at], kFilters[at].name);
}

namespace detail {

template <size_t I>
using Handle = nb::handle;

template <class Self, class Body, class Bind, size_t... I>
void bind(Body body, Bind &&bind, std::index_sequence<I...>) {
    std::forward<Bind>(bind)(
        [body](Self self, Handle<I>... given) {
            Values v;
            ((v[I] = nb::borrow(given)), ...);
            return body(self, v);
        },
        nb::kw_only(), (nb::arg(kFilters[I].name).none() = nb::none())...);
}

}  // namespace detail

// Registers a method whose arguments are the filters, keyword-only, each defaulting to None, in
// table order: calls `bind(fn, nb::kw_only(), nb::arg("run_id").none() = None, ...)`, where
// fn(Self self, run_id, ..., limit) gathers the values and returns body(self, Values).
template <class Self, class Body, class Bind>
void bind(Body body, Bind &&bind) {
    detail::bind<Self>(body, std::forward<Bind>(bind), std::make_index_sequence<kCount>());
}

}  // namespace orvane::run_filters
