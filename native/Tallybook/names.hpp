// Interned names of the Tallybook sources, declared once for all of them. Prefixes as in the
// legend of orvane/support.hpp: a_ attribute, m_ method, k_ keyword, d_ mapping key, o_ outside
// name. The names of RunRecord's fields are the interned strings of globals() (record.hpp).
#pragma once

#include "orvane/outside.hpp"

namespace tally::names {

using orvane::outside::Name;

// ---- attributes: of events and their run contexts, of models, of modules
inline Name a_dict{"__dict__"};
inline Name a_fields_set{"__pydantic_fields_set__"};
inline Name a_event_id{"event_id"};
inline Name a_event_type{"event_type"};
inline Name a_timestamp{"timestamp"};
inline Name a_source{"source"};
inline Name a_message{"message"};
inline Name a_error{"error"};  // an event's error; also re.error
inline Name a_meta{"meta"};
inline Name a_run{"run"};
inline Name a_run_id{"run_id"};
inline Name a_root_run_id{"root_run_id"};
inline Name a_parent_run_id{"parent_run_id"};
inline Name a_run_kind{"run_kind"};

// ---- methods
inline Name m_add{"add"};
inline Name m_compile{"compile"};
inline Name m_endswith{"endswith"};
inline Name m_search{"search"};

// ---- keywords
inline Name k_maxlen{"maxlen"};

// ---- mapping keys (of event and run meta)
inline Name d_app_id{"app_id"};
inline Name d_group_id{"group_id"};
inline Name d_environment{"environment"};
inline Name d_flow_name{"flow_name"};

// ---- outside names (module attributes)
inline Name o_re{"re"};
inline Name o_deque{"deque"};
inline Name o_runtime_event{"RuntimeEvent"};

}  // namespace tally::names
