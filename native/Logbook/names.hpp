// Interned names of the Logbook sources, declared once for all of them. Prefixes as in the
// legend of orvane/support.hpp: a_ attribute, k_ keyword, d_ mapping key, o_ outside name.
#pragma once

#include "orvane/outside.hpp"

namespace orvane::logbook::names {

using orvane::outside::Name;

// ---- attributes: of events and their run contexts, of models
inline Name a_dict{"__dict__"};
inline Name a_extra{"__pydantic_extra__"};
inline Name a_event_id{"event_id"};
inline Name a_event_type{"event_type"};
inline Name a_timestamp{"timestamp"};
inline Name a_source{"source"};
inline Name a_level{"level"};
inline Name a_message{"message"};
inline Name a_payload{"payload"};
inline Name a_error{"error"};
inline Name a_meta{"meta"};
inline Name a_run{"run"};
inline Name a_run_id{"run_id"};

// ---- keywords
inline Name k_fallback{"fallback"};
inline Name k_exclude{"exclude"};

// ---- mapping keys (of event meta)
inline Name d_app_id{"app_id"};
inline Name d_group_id{"group_id"};

// ---- outside names (module attributes)
inline Name o_runtime_event{"RuntimeEvent"};

}  // namespace orvane::logbook::names
