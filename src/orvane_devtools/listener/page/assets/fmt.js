// Formatting helpers: times, durations, run status, and DOM building without innerHTML.

/** Create an element; `props` may hold className, text, title, attrs, dataset, on*. */
export function h(tag, props, ...children) {
  const el = document.createElement(tag);
  if (props) {
    for (const [k, v] of Object.entries(props)) {
      if (v === undefined || v === null || v === false) continue;
      if (k === 'className') el.className = v;
      else if (k === 'text') el.textContent = v;
      else if (k === 'dataset') Object.assign(el.dataset, v);
      else if (k.startsWith('on') && typeof v === 'function') el.addEventListener(k.slice(2), v);
      else if (k === 'style' && typeof v === 'object') Object.assign(el.style, v);
      else el.setAttribute(k, v === true ? '' : String(v));
    }
  }
  for (const c of children) {
    if (c === null || c === undefined || c === false) continue;
    el.append(c instanceof Node ? c : String(c));
  }
  return el;
}

const pad2 = (n) => String(n).padStart(2, '0');
const pad3 = (n) => String(n).padStart(3, '0');

/** "14:02:11" for today, "3 Dec 14:02:11" otherwise. */
export function clock(ms, { millis = false } = {}) {
  if (ms === null || ms === undefined) return '—';
  const d = new Date(ms);
  let s = `${pad2(d.getHours())}:${pad2(d.getMinutes())}:${pad2(d.getSeconds())}`;
  if (millis) s += `.${pad3(d.getMilliseconds())}`;
  const now = new Date();
  if (d.toDateString() !== now.toDateString()) {
    const month = d.toLocaleString('en', { month: 'short' });
    s = `${d.getDate()} ${month}${d.getFullYear() !== now.getFullYear() ? ' ' + d.getFullYear() : ''} ${s}`;
  }
  return s;
}

/** Full local date and time, for titles. */
export function fullTime(ms) {
  if (ms === null || ms === undefined) return '';
  const d = new Date(ms);
  return `${d.getFullYear()}-${pad2(d.getMonth() + 1)}-${pad2(d.getDate())} ` +
    `${pad2(d.getHours())}:${pad2(d.getMinutes())}:${pad2(d.getSeconds())}.${pad3(d.getMilliseconds())}`;
}

/** A duration in milliseconds, short and readable. */
export function duration(ms) {
  if (ms === null || ms === undefined || !Number.isFinite(ms)) return '—';
  if (ms < 0) ms = 0;
  if (ms < 1000) return `${Math.round(ms)} ms`;
  if (ms < 10_000) return `${(ms / 1000).toFixed(2)} s`;
  if (ms < 60_000) return `${(ms / 1000).toFixed(1)} s`;
  const s = Math.floor(ms / 1000);
  if (s < 3600) return `${Math.floor(s / 60)} min ${pad2(s % 60)} s`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ${pad2(Math.floor((s % 3600) / 60))} min`;
  return `${Math.floor(s / 86400)} d ${Math.floor((s % 86400) / 3600)} h`;
}

/** An offset from a start time: "+1.234 s", "+85 ms". */
export function offset(ms) {
  if (ms === null || ms === undefined || !Number.isFinite(ms)) return '';
  const sign = ms < 0 ? '−' : '+';
  const a = Math.abs(ms);
  if (a < 1000) return `${sign}${Math.round(a)} ms`;
  if (a < 60_000) return `${sign}${(a / 1000).toFixed(3)} s`;
  return `${sign}${duration(a)}`;
}

export function count(n) {
  return (n ?? 0).toLocaleString('en');
}

/** A cost in USD, short: "$1.23", "$0.0123", "$0.00031"; 0 (a known price for nothing) is "$0". */
export function money(c) {
  if (!Number.isFinite(c) || c < 0) return '';
  if (c === 0) return '$0';
  if (c >= 1) return `$${c.toFixed(2)}`;
  if (c >= 0.01) return `$${c.toFixed(4).replace(/0+$/, '').replace(/\.$/, '')}`;
  if (c >= 1e-6) return `$${c.toFixed(1 - Math.floor(Math.log10(c)))}`;
  return '< $0.000001';
}

/** The cost of one LLM call: "unpriced" when it has none, never a stand-in $0. */
export function callCost(llm) {
  if (!llm) return '';
  return llm.priced === true && Number.isFinite(llm.cost_usd) ? money(llm.cost_usd) : 'unpriced';
}

/** The cost of several calls (a tree's `totals`): what is priced, and how many are not. */
export function totalsCost(t) {
  if (!t || !t.llm_calls) return '';
  const unpriced = t.unpriced_calls || 0;
  if (unpriced >= t.llm_calls || !Number.isFinite(t.cost_usd)) return 'unpriced';
  return unpriced ? `${money(t.cost_usd)} + ${count(unpriced)} unpriced` : money(t.cost_usd);
}

/** The LLM call of a run answer (`llm`), when it has one. */
export function llmOf(run) {
  const l = run?.llm;
  return l && typeof l === 'object' ? l : null;
}

/**
 * A run record from the live stream carries no LLM call or totals (the run routes add them):
 * the ones already shown are kept. Returns [the record to show, whether the listener should
 * be asked again] -- a run that changed status may have brought its call's usage with it.
 */
export function withKnownCall(fresh, known) {
  if (!known || 'llm' in fresh || 'totals' in fresh) return [fresh, false];
  const kept = { ...fresh, llm: known.llm ?? null, totals: known.totals ?? null };
  const moved = fresh.status !== known.status || fresh.event_count !== known.event_count;
  return [kept, moved && (!!known.llm || !!known.totals?.llm_calls || fresh.run_kind === 'llm')];
}

/** A token count for a narrow column: "1,234", "12.3k", "1.2M". */
export function tokens(n) {
  if (!Number.isFinite(n)) return '';
  if (n < 10_000) return count(n);
  if (n < 1_000_000) return `${(n / 1000).toFixed(n < 100_000 ? 1 : 0)}k`;
  return `${(n / 1_000_000).toFixed(1)}M`;
}

export const REASONS = {
  stale_timeout: 'stale',
  orphaned_after_ancestor_terminal: 'orphaned',
};

/** The status to show: the record's status, or "stale"/"orphaned" for a judged run. */
export function runState(run) {
  const reason = run?.meta?.devtools_stale_reason;
  if (run?.status === 'failed' && reason) return REASONS[reason] || 'judged';
  return run?.status || 'unknown';
}

/** One sentence saying why and when a run was judged failed, or null. */
export function judgement(run) {
  const meta = run?.meta || {};
  const reason = meta.devtools_stale_reason;
  if (!reason) return null;
  const when = meta.devtools_stale_detected_at;
  if (reason === 'orphaned_after_ancestor_terminal') {
    const anchor = meta.devtools_stale_anchor_at;
    const ended = anchor ? ` at ${clock(anchor, { millis: true })}` : '';
    return `Orphaned: left running after its parent run ended${ended}; judged at ${clock(when)}`;
  }
  if (reason === 'stale_timeout') {
    const last = run.updated_at || run.started_at;
    return `Stale: no activity since ${clock(last)}; judged at ${clock(when)}`;
  }
  return `Judged failed (${reason}) at ${clock(when)}`;
}

/** The end of a run's own activity: its terminal time, or the last update for open/judged runs. */
export function activityEnd(run) {
  if (!run) return null;
  if (run.meta?.devtools_stale_reason) return run.updated_at || run.started_at;
  if (run.status === 'completed') return run.completed_at || run.updated_at || run.started_at;
  if (run.status === 'failed') return run.failed_at || run.updated_at || run.started_at;
  return run.updated_at || run.started_at;
}

export function isOpen(run) {
  return run && (run.status === 'running' || run.status === 'unknown') && !run.meta?.devtools_stale_reason;
}

/** Duration shown for a run: start to end, or start to now while it runs. */
export function runDuration(run, now = Date.now()) {
  if (!run || !run.started_at) return null;
  if (run.status === 'running') return now - run.started_at;
  const end = activityEnd(run);
  return end ? end - run.started_at : null;
}

export function statusBadge(run, { small = false } = {}) {
  const state = runState(run);
  const el = h('span', { className: `badge st-${state}${small ? ' small' : ''}`, text: state });
  const why = judgement(run);
  if (why) el.title = why;
  return el;
}

/** The name to show for a run: its agent, else the name of the span it came from, else its id. */
export function runLabel(run) {
  const span = run?.meta?.['otel.span_name'];
  return run?.agent_name || run?.agent_id || (typeof span === 'string' && span) || run?.run_id || '?';
}

export function where(run) {
  const m = run?.meta || {};
  return [m.app_id, m.group_id, m.environment].filter((x) => x !== undefined && x !== null && x !== '');
}

/** Run a function at most once per animation frame. */
export function rafThrottle(fn) {
  let queued = false;
  return () => {
    if (queued) return;
    queued = true;
    requestAnimationFrame(() => {
      queued = false;
      fn();
    });
  };
}

export function debounce(fn, ms) {
  let t = null;
  const d = (...args) => {
    clearTimeout(t);
    t = setTimeout(() => fn(...args), ms);
  };
  d.cancel = () => clearTimeout(t);
  return d;
}
