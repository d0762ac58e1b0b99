// Stale and orphan judgement of open runs: the arithmetic, free of Python. Used by the facade's
// run resolution (TraceDesk/resolver.cpp) and by the OTLP exporter's runs (Otlp/runs.cpp), so
// that both judge a run alike.
//
// A run that is still open ("running" or "unknown") is judged against two rules, in this order:
//   stale:    no activity for `stale_ms` or more (now - anchor >= stale_ms);
//   orphaned: its nearest terminal ancestor ended at `end`, the run did nothing after that
//             (anchor <= end), and `orphan_ms` or more have passed since (now - end >= orphan_ms).
// A threshold of 0 switches its rule off. The anchor is the run's last activity (updated_at,
// else started_at). Differences are computed in 128 bits, so no input can overflow.
#pragma once

#include <cstdint>
#include <optional>

namespace orvane::resolution {

enum class Reason { none, stale_timeout, orphaned_after_ancestor_terminal };

inline const char *reason_text(Reason r) {
    switch (r) {
    case Reason::stale_timeout:
        return "stale_timeout";
    case Reason::orphaned_after_ancestor_terminal:
        return "orphaned_after_ancestor_terminal";
    case Reason::none:
        break;
    }
    return "";
}

struct Thresholds {
    int64_t stale_ms = 0;
    int64_t orphan_ms = 0;
};

inline bool stale_fires(int64_t now_ms, int64_t anchor, const Thresholds &t) {
    return t.stale_ms > 0 && static_cast<__int128>(now_ms) - anchor >= t.stale_ms;
}

// Whether the orphan rule needs the terminal ancestor at all (stale did not fire, rule on).
inline bool orphan_rule_on(const Thresholds &t) { return t.orphan_ms > 0; }

inline bool orphan_fires(int64_t now_ms, int64_t anchor, std::optional<int64_t> ancestor_end,
                         const Thresholds &t) {
    if (!orphan_rule_on(t) || !ancestor_end)
        return false;
    return anchor <= *ancestor_end &&
           static_cast<__int128>(now_ms) - *ancestor_end >= t.orphan_ms;
}

// Which of a record's own times marks its end: the first non-zero of failed_at, completed_at,
// updated_at, else started_at (which may be absent). A stored anchor (an orphan's ancestor end)
// takes precedence and is handled by the caller, which owns the meta.
enum class EndField { failed_at, completed_at, updated_at, started_at };

// Presence of each time as the record holds it: failed_at, completed_at and updated_at count only
// when truthy (a zero is absent); started_at counts whenever it is set.
struct Times {
    bool failed_at = false, completed_at = false, updated_at = false;
};

inline EndField end_field(const Times &t) {
    if (t.failed_at)
        return EndField::failed_at;
    if (t.completed_at)
        return EndField::completed_at;
    if (t.updated_at)
        return EndField::updated_at;
    return EndField::started_at;
}

// Milliseconds of a wall-clock reading in seconds, truncated toward zero like int(t * 1000).
inline int64_t clock_ms(double seconds) {
    double ms = seconds * 1000.0;
    if (!(ms == ms))
        return 0;
    if (ms >= 9.2e18)
        return INT64_MAX;
    if (ms <= -9.2e18)
        return INT64_MIN;
    return static_cast<int64_t>(ms);
}

}  // namespace orvane::resolution
