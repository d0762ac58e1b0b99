// Interned names of the TraceDesk sources, declared once for all of them.
//
// Legend (the prefix says what the name is used as):
//   a_    attribute of the RuntimeTraceDesk instance (its state, see desk.hpp)
//   f_    attribute of another object: an event, a run record, a run context, a collaborator
//   m_    method called by name
//   k_    keyword argument of an outside call
//   key_  key of a mapping (meta entries) or of the settings object
//   o_    outside name: an attribute of the TraceDesk module, read at call time
//   v_    a value compared against or written (status texts)
//
// Each is interned on first use and kept for the life of the process.
#pragma once

#include "orvane/outside.hpp"

namespace orvane::desk::names {

using orvane::outside::Name;

// ---- facade state
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

// ---- fields of events, run contexts and run records
inline Name f_event_id{"event_id"};
inline Name f_event_type{"event_type"};
inline Name f_source{"source"};
inline Name f_level{"level"};
inline Name f_message{"message"};
inline Name f_payload{"payload"};
inline Name f_error{"error"};
inline Name f_meta{"meta"};
inline Name f_run{"run"};
inline Name f_timestamp{"timestamp"};
inline Name f_run_id{"run_id"};
inline Name f_root_run_id{"root_run_id"};
inline Name f_parent_run_id{"parent_run_id"};
inline Name f_status{"status"};
inline Name f_started_at{"started_at"};
inline Name f_updated_at{"updated_at"};
inline Name f_completed_at{"completed_at"};
inline Name f_failed_at{"failed_at"};
inline Name f_children{"children"};
inline Name f_maxlen{"maxlen"};
inline Name f_backend_name{"backend_name"};
inline Name f_name{"name"};
inline Name f_cancelled_error{"CancelledError"};
inline Name f_error_class{"error"};  // re.error

// ---- methods
inline Name m_get{"get"};
inline Name m_reset{"reset"};
inline Name m_append{"append"};
inline Name m_appendleft{"appendleft"};
inline Name m_pop{"pop"};
inline Name m_popleft{"popleft"};
inline Name m_remove{"remove"};
inline Name m_clear{"clear"};
inline Name m_add{"add"};
inline Name m_discard{"discard"};
inline Name m_capture_event{"capture_event"};
inline Name m_append_event{"append_event"};
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

// ---- keyword arguments
inline Name k_settings{"settings"};
inline Name k_max_events{"max_events"};
inline Name k_filter{"filter"};
inline Name k_event_types{"event_types"};
inline Name k_run_id{"run_id"};
inline Name k_run_ids{"run_ids"};
inline Name k_root_run_id{"root_run_id"};
inline Name k_parent_run_id{"parent_run_id"};
inline Name k_run_kind{"run_kind"};
inline Name k_status{"status"};
inline Name k_agent_id{"agent_id"};
inline Name k_session_id{"session_id"};
inline Name k_include_descendants{"include_descendants"};
inline Name k_source{"source"};
inline Name k_level{"level"};
inline Name k_app_id{"app_id"};
inline Name k_app_id_pattern{"app_id_pattern"};
inline Name k_group_id{"group_id"};
inline Name k_flow_name{"flow_name"};
inline Name k_search{"search"};
inline Name k_since{"since"};
inline Name k_until{"until"};
inline Name k_limit{"limit"};
inline Name k_maxsize{"maxsize"};
inline Name k_definition{"definition"};
inline Name k_mermaid{"mermaid"};
inline Name k_return_exceptions{"return_exceptions"};
inline Name k_maxlen{"maxlen"};
inline Name k_run{"run"};
inline Name k_children{"children"};
inline Name k_mode{"mode"};

// ---- mapping and settings keys
inline Name key_app_id{"app_id"};
inline Name key_group_id{"group_id"};
inline Name key_stale_reason{"devtools_stale_reason"};
inline Name key_stale_detected_at{"devtools_stale_detected_at"};
inline Name key_stale_anchor_at{"devtools_stale_anchor_at"};
inline Name key_buffer_limit{"observation.buffer_limit"};
inline Name key_channel_limit{"observation.channel_buffer_limit"};
inline Name key_stale{"observation.run_stale_after_seconds"};
inline Name key_orphan{"observation.run_orphan_after_seconds"};
inline Name key_jsonl_enabled{"observation.jsonl.enabled"};
inline Name key_jsonl_path{"observation.jsonl.path"};
inline Name key_logs_enabled{"logs.enabled"};
inline Name key_enabled{"observation.enabled"};

// ---- outside names (module attributes)
inline Name o_create_store{"create_observation_store"};
inline Name o_subscriptions{"RuntimeObservationSubscriptions"};
inline Name o_flow_registry{"RuntimeFlowRegistry"};
inline Name o_log_service{"RuntimeLogService"};
inline Name o_jsonl{"JSONLTraceSink"};
inline Name o_asyncio{"asyncio"};
inline Name o_warnings{"warnings"};
inline Name o_run_query{"ObservationRunQuery"};
inline Name o_event_query{"ObservationEventQuery"};
inline Name o_tree_node{"RunTreeNode"};
inline Name o_matches_event_type{"matches_wavelane_event_type"};
inline Name o_re{"re"};

// ---- values
inline Name v_completed{"completed"};
inline Name v_failed{"failed"};
inline Name v_waiting{"waiting"};
inline Name v_json{"json"};

}  // namespace orvane::desk::names
