// Interned names of the TraceDesk sources, declared once for all of them.
//
// Prefixes as in the legend of orvane/support.hpp: a_ attribute (the facade's state, and the
// attributes of events, run records, run contexts and collaborators), m_ method, k_ keyword,
// d_ key (of a mapping, of the settings object, a module global read from the module's dict),
// o_ outside name (an attribute of the TraceDesk module, read at call time). Interned values that
// are not names are named for what they hold. The keywords of the run filters are those of
// orvane/run_filters.hpp.
//
// Each is interned on first use and kept for the life of the process.
#pragma once

#include "orvane/outside.hpp"
#include "orvane/run_filters.hpp"

namespace orvane::desk::names {

using orvane::outside::Name;

// ---- attributes: the facade's state (desk.hpp)
inline Name a_settings{"settings"};
inline Name a_stale_ms{"_run_stale_after_ms"};
inline Name a_orphan_ms{"_run_orphan_after_ms"};
inline Name a_store{"_run_store"};
inline Name a_channel{"_channel_buffer"};
inline Name a_seen{"_seen_event_ids"};
inline Name a_seen_buffer{"_seen_event_id_buffer"};
inline Name a_subscriptions{"_subscriptions"};
inline Name a_backends{"_backends"};
inline Name a_log_service{"_log_service"};
inline Name a_flow_registry{"_flow_registry"};
inline Name a_failure_counts{"_backend_failure_counts"};
inline Name a_failing{"_failing_backends"};
inline Name a_given_log_service{"_given_log_service"};
inline Name a_given_backends{"_given_backends"};

// ---- attributes: of events, run contexts and run records
inline Name a_event_id{"event_id"};
inline Name a_event_type{"event_type"};
inline Name a_source{"source"};
inline Name a_level{"level"};
inline Name a_error{"error"};  // an event's error; also re.error
inline Name a_meta{"meta"};
inline Name a_run{"run"};
inline Name a_timestamp{"timestamp"};
inline Name a_run_id{"run_id"};
inline Name a_root_run_id{"root_run_id"};
inline Name a_parent_run_id{"parent_run_id"};
inline Name a_status{"status"};
inline Name a_started_at{"started_at"};
inline Name a_updated_at{"updated_at"};
inline Name a_completed_at{"completed_at"};
inline Name a_failed_at{"failed_at"};
inline Name a_children{"children"};  // RunTreeNode
inline Name a_fields_set{"__pydantic_fields_set__"};
inline Name a_model_config{"model_config"};
inline Name a_setattr{"__setattr__"};

// ---- attributes: of collaborators, classes and modules
inline Name a_maxlen{"maxlen"};
inline Name a_backend_name{"backend_name"};
inline Name a_name{"name"};
inline Name a_module{"__module__"};
inline Name a_cancelled_error{"CancelledError"};
inline Name a_data{"_data"};                  // Settings
inline Name a_flow_runs{"_flow_runs"};        // RuntimeFlowRegistry
inline Name a_active{"_active"};              // RuntimeObservationSubscriptions
inline Name a_track_links{"_track_links"};
inline Name a_parents{"_parents"};
inline Name a_event_types{"event_types"};     // RuntimeObservationSubscription
inline Name a_app_id{"app_id"};
inline Name a_group_id{"group_id"};
inline Name a_needs_meta{"_needs_meta"};
inline Name a_app_id_search{"_app_id_search"};
inline Name a_include_descendants{"include_descendants"};
inline Name a_closed{"_closed"};
inline Name a_record_copies{"_record_copies"};  // a log service
inline Name a_reads_event_at_once{"_reads_event_at_once"};  // a log service
inline Name a_queue{"_queue"};
inline Name a_waiters{"_waiters"};
inline Name a_maxsize{"maxsize"};
inline Name a_dropped_count{"dropped_count"};

// ---- methods
inline Name m_get{"get"};
inline Name m_reset{"reset"};
inline Name m_append{"append"};
inline Name m_extend{"extend"};
inline Name m_appendleft{"appendleft"};
inline Name m_pop{"pop"};
inline Name m_remove{"remove"};
inline Name m_clear{"clear"};
inline Name m_add{"add"};
inline Name m_discard{"discard"};
inline Name m_capture_event{"capture_event"};
inline Name m_append_event{"append_event"};
inline Name m_append_events{"append_events"};
inline Name m_serialize_event{"_serialize_event"};
inline Name m_publish{"publish"};
inline Name m_subscribe{"subscribe"};
inline Name m_unsubscribe{"unsubscribe"};
inline Name m_register{"register"};
inline Name m_resolve{"resolve"};
inline Name m_is_enabled{"_is_enabled"};
inline Name m_remember{"_remember_event_id"};
inline Name m_warn{"warn"};
inline Name m_gather{"gather"};
inline Name m_current_task{"current_task"};
inline Name m_cancelling{"cancelling"};
inline Name m_get_run{"get_run"};
inline Name m_get_run_children{"get_run_children"};
inline Name m_list_runs{"list_runs"};
inline Name m_query_runs{"query_runs"};
inline Name m_query_events{"query_events"};
inline Name m_get_run_events{"get_run_events"};
inline Name m_get_recent_events{"get_recent_events"};
inline Name m_get_event{"get_event"};
inline Name m_collect_descendants{"collect_descendant_run_ids"};
inline Name m_model_dump{"model_dump"};
inline Name m_strip{"strip"};
inline Name m_compile{"compile"};
inline Name m_search{"search"};
inline Name m_popitem{"popitem"};
inline Name m_move_to_end{"move_to_end"};
inline Name m_flow_key{"_flow_key"};             // RuntimeFlowRegistry
inline Name m_record_flow_run{"_record_flow_run"};
inline Name m_match{"_match"};                   // RuntimeObservationSubscriptions
inline Name m_deliver{"_deliver"};
inline Name m_run_matches{"_run_matches"};
inline Name m_remember_link{"_remember"};
inline Name m_put{"_put"};                       // RuntimeObservationSubscription
inline Name m_wake_one{"_wake_one"};

// ---- keyword arguments (the run filters' own: orvane::run_filters::k_run_id, ...)
using run_filters::k_app_id;
using run_filters::k_app_id_pattern;
using run_filters::k_flow_name;
using run_filters::k_group_id;
using run_filters::k_limit;
using run_filters::k_parent_run_id;
using run_filters::k_run_id;
using run_filters::k_search;
using run_filters::k_since;
using run_filters::k_until;
inline Name k_settings{"settings"};
inline Name k_max_events{"max_events"};
inline Name k_filter{"filter"};
inline Name k_event_types{"event_types"};
inline Name k_run_ids{"run_ids"};
inline Name k_include_descendants{"include_descendants"};
inline Name k_source{"source"};
inline Name k_level{"level"};
inline Name k_maxsize{"maxsize"};
inline Name k_definition{"definition"};
inline Name k_mermaid{"mermaid"};
inline Name k_return_exceptions{"return_exceptions"};
inline Name k_maxlen{"maxlen"};
inline Name k_run{"run"};
inline Name k_children{"children"};
inline Name k_mode{"mode"};
inline Name k_last{"last"};

// ---- keys: of meta mappings, of the settings, of model_config, globals of the package's modules
inline Name d_app_id{"app_id"};
inline Name d_group_id{"group_id"};
inline Name d_flow_name{"flow_name"};
inline Name d_stale_reason{"devtools_stale_reason"};
inline Name d_stale_detected_at{"devtools_stale_detected_at"};
inline Name d_stale_anchor_at{"devtools_stale_anchor_at"};
inline Name d_buffer_limit{"observation.buffer_limit"};
inline Name d_channel_limit{"observation.channel_buffer_limit"};
inline Name d_stale{"observation.run_stale_after_seconds"};
inline Name d_orphan{"observation.run_orphan_after_seconds"};
inline Name d_jsonl_enabled{"observation.jsonl.enabled"};
inline Name d_jsonl_path{"observation.jsonl.path"};
inline Name d_logs_enabled{"logs.enabled"};
inline Name d_otlp_enabled{"observation.otlp.enabled"};
inline Name d_enabled{"observation.enabled"};
inline Name d_validate_assignment{"validate_assignment"};
inline Name d_frozen{"frozen"};
inline Name d_settings_class{"Settings"};         // orvane.utils
inline Name d_lookup{"_lookup"};
inline Name d_meta_flow_name{"_meta_flow_name"};  // flow_registry
inline Name d_max_flows{"MAX_FLOWS"};
inline Name d_max_runs_per_flow{"MAX_RUNS_PER_FLOW"};
inline Name d_max_ancestry_depth{"MAX_ANCESTRY_DEPTH"};  // subscriptions
inline Name d_matches_event_type{"matches_wavelane_event_type"};
inline Name d_mapping{"Mapping"};

// ---- outside names (module attributes)
inline Name o_create_store{"create_observation_store"};
inline Name o_subscriptions{"RuntimeObservationSubscriptions"};
inline Name o_flow_registry{"RuntimeFlowRegistry"};
inline Name o_log_service{"RuntimeLogService"};
inline Name o_jsonl{"JSONLTraceSink"};
inline Name o_otlp{"OtlpTraceSink"};
inline Name m_for_settings{"_for_settings"};
inline Name o_asyncio{"asyncio"};
inline Name o_warnings{"warnings"};
inline Name o_run_query{"ObservationRunQuery"};
inline Name o_event_query{"ObservationEventQuery"};
inline Name o_tree_node{"RunTreeNode"};
inline Name o_matches_event_type{"matches_wavelane_event_type"};
inline Name o_re{"re"};

// ---- interned values
inline Name status_completed{"completed"};  // run statuses
inline Name status_failed{"failed"};
inline Name status_waiting{"waiting"};
inline Name mode_json{"json"};  // model_dump(mode="json")

}  // namespace orvane::desk::names
