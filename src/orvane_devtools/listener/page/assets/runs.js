// The runs list: filters, one search box, a windowed list of runs (newest first), paging, and
// live updates from the stream.

import { getJSON, ingestUrl, ApiError } from './api.js';
import {
  h, clock, fullTime, duration, count, runState, judgement, runDuration, statusBadge, runLabel,
  where, debounce, isOpen, llmOf, callCost, totalsCost, tokens, withKnownCall,
} from './fmt.js';
import { VirtualList } from './vlist.js';

export const STATUS_CHOICES = [
  ['', 'Any status'],
  ['running', 'Running'],
  ['waiting', 'Waiting'],
  ['completed', 'Completed'],
  ['failed', 'Failed (all)'],
  ['stale', 'Stale'],
  ['orphaned', 'Orphaned'],
];

export const WINDOW_CHOICES = [
  ['', 'Any time'],
  ['15m', 'Last 15 minutes'],
  ['1h', 'Last hour'],
  ['24h', 'Last 24 hours'],
  ['7d', 'Last 7 days'],
];

const WINDOW_MS = { '15m': 15 * 60_000, '1h': 3600_000, '24h': 86400_000, '7d': 7 * 86400_000 };

export const SORT_CHOICES = [
  ['', 'Newest first'],
  ['cost', 'Highest cost'],
  ['tokens', 'Most tokens'],
  ['duration', 'Longest'],
];

export const FILTER_KEYS = ['q', 'status', 'kind', 'app', 'group', 'env', 'window', 'top', 'sort'];

// Filters that are switches: '1' in the address when on.
const SWITCH_KEYS = new Set(['top']);

const PAGE = 100;
const NO_ORDER_ITEM = 'orvane-devtools.no-start-order';
const ROW_HEIGHT = 52;

function casefold(s) {
  return String(s ?? '').toLowerCase();
}

/** Whether a record fits the filters the page can check by itself (everything but search). */
function fitsFilters(run, f) {
  if (f.status) {
    const state = runState(run);
    if (f.status === 'failed' ? run.status !== 'failed' : state !== f.status) return false;
  }
  if (f.top && run.parent_run_id) return false;
  if (f.kind && run.run_kind !== f.kind) return false;
  const m = run.meta || {};
  if (f.app && m.app_id !== f.app) return false;
  if (f.group && m.group_id !== f.group) return false;
  if (f.env && m.environment !== f.env) return false;
  if (f.window) {
    const t = run.updated_at || run.started_at;
    if (!t || t < Date.now() - WINDOW_MS[f.window]) return false;
  }
  return true;
}

/** A cheap, conservative version of the listener's search: true means "surely matches". */
function surelyMatchesSearch(run, q) {
  const needle = casefold(q.trim());
  if (!needle) return true;
  const fields = [run.run_id, run.root_run_id, run.parent_run_id, run.run_kind, run.agent_id,
    run.agent_name, run.session_id, run.status, run.latest_event_type, run.latest_source,
    run.latest_message];
  return fields.some((v) => v && casefold(v).includes(needle));
}

export class RunsView {
  constructor(root, app) {
    this.root = root;
    this.app = app;
    this.filters = {};
    this.runs = [];
    this.index = new Map(); // run_id -> position in this.runs
    this.nextCursor = null;
    this.loading = false;
    this.refreshAsked = false; // a re-read was asked for while another read was under way
    this.seq = 0;
    // Newest started first when the listener offers that order (remembered for the tab when not).
    try {
      this.orderParam = sessionStorage.getItem(NO_ORDER_ITEM) !== '1';
    } catch {
      this.orderParam = true;
    }
    this.known = { kind: new Set(), app: new Set(), group: new Set(), env: new Set() };
    this.build();
  }

  build() {
    const f = (this.form = h('form', { className: 'filters', role: 'search', onsubmit: (e) => e.preventDefault() }));
    this.search = h('input', {
      type: 'search', name: 'q', className: 'search', placeholder: 'Search runs: agent, id, message, payload…',
      'aria-label': 'Search runs', autocomplete: 'off', spellcheck: 'false',
    });
    const sel = (name, label, choices) => {
      const s = h('select', { name, 'aria-label': label });
      for (const [v, t] of choices) s.append(h('option', { value: v, text: t }));
      return s;
    };
    const text = (name, label, list) => h('input', {
      type: 'text', name, placeholder: label, 'aria-label': label, list, autocomplete: 'off',
      spellcheck: 'false', className: 'facet',
    });
    this.inputs = {
      q: this.search,
      status: sel('status', 'Status', STATUS_CHOICES),
      kind: text('kind', 'Kind', 'dl-kind'),
      app: text('app', 'App', 'dl-app'),
      group: text('group', 'Group', 'dl-group'),
      env: text('env', 'Environment', 'dl-env'),
      window: sel('window', 'Time window', WINDOW_CHOICES),
      top: h('input', { type: 'checkbox', name: 'top', id: 'runs-top-only' }),
      sort: sel('sort', 'Sort', SORT_CHOICES),
    };
    const topSwitch = h('label', { className: 'switch', title: 'Only runs without a parent run, each with its tree\'s tokens and cost' },
      this.inputs.top, h('span', { text: 'Top-level only' }));
    this.datalists = {};
    for (const k of ['kind', 'app', 'group', 'env']) this.datalists[k] = h('datalist', { id: `dl-${k}` });
    this.clearBtn = h('button', { type: 'button', className: 'btn ghost', text: 'Clear', hidden: true,
      onclick: () => this.app.navigate(Object.fromEntries(FILTER_KEYS.map((k) => [k, '']))) });
    f.append(
      h('div', { className: 'search-wrap' }, h('span', { className: 'search-icon', 'aria-hidden': 'true' }), this.search),
      this.inputs.status, this.inputs.kind, this.inputs.app, this.inputs.group, this.inputs.env,
      this.inputs.window, topSwitch, this.inputs.sort, this.clearBtn, ...Object.values(this.datalists),
    );
    const typed = debounce(() => this.fromInputs(true), 250);
    this.search.addEventListener('input', typed);
    this.search.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') { typed.cancel(); this.fromInputs(false); }
      if (e.key === 'ArrowDown') { e.preventDefault(); this.list.viewport.focus(); if (this.list.active < 0) this.list.setActive(0); }
    });
    for (const k of ['kind', 'app', 'group', 'env']) {
      const facetTyped = debounce(() => this.fromInputs(true), 400);
      this.inputs[k].addEventListener('input', facetTyped);
      this.inputs[k].addEventListener('change', () => { facetTyped.cancel(); this.fromInputs(false); });
    }
    for (const k of ['status', 'window', 'top', 'sort']) this.inputs[k].addEventListener('change', () => this.fromInputs(false));

    this.summary = h('div', { className: 'list-summary', 'aria-live': 'polite' });
    const head = h('div', { className: 'runs-head', role: 'presentation' },
      ...['Status', 'Run', 'Kind', 'App · group · env', 'Started', 'Duration', 'Events', 'Model', 'Tokens', 'Cost'].map(
        (t, i) => h('span', { className: `c${i}`, text: t })));
    const viewport = h('div', { className: 'runs-list', role: 'listbox', 'aria-label': 'Runs' });
    this.empty = h('div', { className: 'empty', hidden: true });
    this.more = h('button', { type: 'button', className: 'btn more', text: 'Load older runs', hidden: true,
      onclick: () => this.loadMore() });
    this.table = h('div', { className: 'runs-table' }, head, viewport, this.empty);
    this.root.append(h('div', { className: 'runs-top' }, f, this.summary),
      this.table,
      h('div', { className: 'runs-foot' }, this.more));

    this.list = new VirtualList(viewport, {
      rowHeight: ROW_HEIGHT,
      create: () => this.makeRow(),
      render: (el, i) => this.renderRow(el, i),
    });
    viewport.addEventListener('click', (e) => {
      const i = this.list.indexOf(e.target);
      if (i < 0) return;
      this.list.setActive(i, { scroll: false });
      if (e.target.closest('a')) return; // the link navigates itself
      this.open(i, e);
    });
    viewport.addEventListener('keydown', (e) => {
      if (this.list.handleMoveKey(e)) return;
      if (e.key === 'Enter' && this.list.active >= 0) {
        e.preventDefault();
        this.open(this.list.active, e);
      }
    });
    viewport.addEventListener('focus', () => {
      if (this.list.active < 0 && this.runs.length) this.list.setActive(0);
    });
  }

  makeRow() {
    const el = h('div', { className: 'run-row' });
    el._status = h('span', { className: 'c0' });
    el._name = h('a', { className: 'run-name', tabindex: '-1' });
    el._id = h('span', { className: 'run-id mono' });
    el._line2 = h('span', { className: 'run-line2' });
    el._narrow = h('span', { className: 'run-narrow muted ellip' });
    el._kind = h('span', { className: 'c2 muted ellip' });
    el._where = h('span', { className: 'c3 muted ellip' });
    el._start = h('span', { className: 'c4 mono' });
    el._dur = h('span', { className: 'c5 mono num' });
    el._events = h('span', { className: 'c6 mono num' });
    el._model = h('span', { className: 'c7 muted ellip' });
    el._tokens = h('span', { className: 'c8 mono num' });
    el._cost = h('span', { className: 'c9 mono num' });
    el.append(el._status,
      h('span', { className: 'c1' }, h('span', { className: 'run-line1' }, el._name, el._id, el._narrow), el._line2),
      el._kind, el._where, el._start, el._dur, el._events, el._model, el._tokens, el._cost);
    return el;
  }

  renderRow(el, i) {
    const run = this.runs[i];
    if (!run) return;
    el.dataset.runId = run.run_id;
    el.dataset.state = runState(run);
    el.setAttribute('aria-label', `${runLabel(run)} ${runState(run)}`);
    el._status.replaceChildren(statusBadge(run));
    el._name.textContent = (run.parent_run_id ? '↳ ' : '') + runLabel(run);
    el._name.href = this.app.href({ run: run.run_id });
    el._name.title = run.parent_run_id ? `child of ${run.parent_run_id}` : '';
    el._id.textContent = run.run_id;
    const why = judgement(run);
    el._line2.textContent = why || run.latest_message || run.latest_event_type || '';
    el._line2.classList.toggle('judged', !!why);
    el._kind.textContent = run.run_kind || '';
    const w = where(run);
    el._where.textContent = w.join(' · ');
    el._where.title = w.join(' · ');
    el._narrow.textContent = [run.run_kind, ...w].filter(Boolean).join(' · ');
    el._start.textContent = clock(run.started_at);
    el._start.title = fullTime(run.started_at);
    this.renderTicking(el, run);
    el._events.textContent = count(run.event_count);
    this.renderLlm(el, run);
  }

  /** Model, tokens and cost: the run's own call, else the sum over its tree's calls (Σ). */
  renderLlm(el, run) {
    const llm = llmOf(run);
    const t = run.totals && run.totals.llm_calls ? run.totals : null;
    el._cost.classList.remove('unpriced');
    if (llm) {
      el._model.textContent = llm.model || '';
      el._model.title = [llm.provider, llm.model].filter(Boolean).join(' · ');
      el._tokens.textContent = Number.isInteger(llm.total_tokens) ? tokens(llm.total_tokens) : '';
      el._tokens.title = Number.isInteger(llm.total_tokens) ? `${count(llm.total_tokens)} tokens` : '';
      el._cost.textContent = callCost(llm);
      el._cost.title = llm.priced === true ? `${llm.cost_source === 'reported' ? 'reported by its producer' : 'priced from the table'}`
        : 'no price: its model or provider is not in the price table, or it has no token counts';
      el._cost.classList.toggle('unpriced', llm.priced !== true);
    } else if (t) {
      const calls = `${count(t.llm_calls)} LLM call${t.llm_calls === 1 ? '' : 's'}`;
      el._model.textContent = calls;
      el._model.title = `${calls} in this run and its descendants`;
      el._tokens.textContent = Number.isInteger(t.total_tokens) ? `Σ ${tokens(t.total_tokens)}` : '';
      el._tokens.title = Number.isInteger(t.total_tokens) ? `${count(t.total_tokens)} tokens in ${calls}` : '';
      el._cost.textContent = totalsCost(t);
      el._cost.title = `${totalsCost(t)} for ${calls}`;
      el._cost.classList.toggle('unpriced', totalsCost(t) === 'unpriced');
    } else {
      el._model.textContent = el._tokens.textContent = el._cost.textContent = '';
      el._model.title = el._tokens.title = el._cost.title = '';
    }
  }

  /** The model, tokens and cost columns, when the listener gives LLM calls on these runs. */
  updateLlmColumns() {
    const any = this.runs.some((r) => llmOf(r) || r.totals?.llm_calls);
    if (any !== this.table.classList.contains('has-llm')) this.table.classList.toggle('has-llm', any);
  }

  renderTicking(el, run) {
    el._dur.textContent = duration(runDuration(run));
    el._dur.classList.toggle('ticking', isOpen(run));
  }

  /** Redraw durations of running runs (called every second). */
  tick() {
    for (const el of this.list.rows.values()) {
      const run = this.runs[el._index];
      if (run && isOpen(run)) this.renderTicking(el, run);
    }
  }

  open(i, ev) {
    const run = this.runs[i];
    if (!run) return;
    if (ev && (ev.ctrlKey || ev.metaKey)) {
      window.open(this.app.href({ run: run.run_id }), '_blank');
      return;
    }
    this.app.navigate({ run: run.run_id });
  }

  fromInputs(replace) {
    const patch = {};
    for (const k of FILTER_KEYS) patch[k] = SWITCH_KEYS.has(k) ? (this.inputs[k].checked ? '1' : '') : this.inputs[k].value.trim();
    this.app.navigate(patch, { replace });
  }

  /** Apply filters from the address; reloads when they changed. */
  setFilters(filters) {
    const changed = FILTER_KEYS.some((k) => (this.filters[k] || '') !== (filters[k] || ''));
    this.filters = Object.fromEntries(FILTER_KEYS.map((k) => [k, filters[k] || '']));
    for (const k of FILTER_KEYS) {
      if (SWITCH_KEYS.has(k)) this.inputs[k].checked = !!this.filters[k];
      else if (document.activeElement !== this.inputs[k] && this.inputs[k].value !== this.filters[k]) {
        this.inputs[k].value = this.filters[k];
      }
    }
    this.clearBtn.hidden = !FILTER_KEYS.some((k) => this.filters[k]);
    if (changed || !this.loadedOnce) this.reload();
  }

  params(extra) {
    const f = this.filters;
    const p = {
      search: f.q || undefined,
      run_kind: f.kind || undefined,
      app_id: f.app || undefined,
      group_id: f.group || undefined,
      environment: f.env || undefined,
      limit: PAGE,
      ...extra,
    };
    if (f.status) p.status = f.status === 'stale' || f.status === 'orphaned' ? 'failed' : f.status;
    if (f.window && WINDOW_MS[f.window]) p.since = Date.now() - WINDOW_MS[f.window];
    if (f.top) p.top = 1;
    if (SORT_CHOICES.some(([v]) => v && v === f.sort)) p.sort = f.sort;
    else if (this.orderParam) p.order = 'started';
    return p;
  }

  /** Runs as the listener returns them, narrowed to stale/orphaned when asked for. */
  narrow(runs) {
    const s = this.filters.status;
    if (s === 'stale' || s === 'orphaned') return runs.filter((r) => runState(r) === s);
    return runs;
  }

  async fetchRuns(extra) {
    try {
      return await getJSON('/runs', this.params(extra));
    } catch (err) {
      if (err instanceof ApiError && err.status === 400 && err.parameter === 'order' && this.orderParam) {
        this.orderParam = false;
        try {
          sessionStorage.setItem(NO_ORDER_ITEM, '1');
        } catch {
          /* storage unavailable */
        }
        return getJSON('/runs', this.params(extra));
      }
      throw err;
    }
  }

  async reload() {
    const seq = ++this.seq;
    this.loading = true;
    this.summary.textContent = 'Loading…';
    try {
      const body = await this.fetchRuns();
      if (seq !== this.seq) return;
      this.loadedOnce = true;
      this.setRuns(this.narrow(body.runs), body.next_cursor);
      this.list.viewport.scrollTop = 0;
      this.app.clearError('runs');
    } catch (err) {
      if (seq !== this.seq || err.name === 'AbortError') return;
      this.summary.textContent = '';
      this.app.showError('runs', err);
    } finally {
      if (seq === this.seq) {
        this.loading = false;
        this.refreshIfAsked();
      }
    }
  }

  async loadMore() {
    if (!this.nextCursor || this.loading) return;
    const seq = this.seq;
    this.loading = true;
    this.more.disabled = true;
    try {
      const body = await this.fetchRuns({ cursor: this.nextCursor });
      if (seq !== this.seq) return;
      const fresh = this.narrow(body.runs).filter((r) => !this.index.has(r.run_id));
      this.setRuns(this.runs.concat(fresh), body.next_cursor);
    } catch (err) {
      this.app.showError('runs', err);
    } finally {
      this.loading = false;
      this.more.disabled = false;
      this.refreshIfAsked();
    }
  }

  /** Re-read what is loaded (statuses change by judgement without any event arriving). */
  async refresh() {
    if (this.loading || this.refreshing) {
      // The answer on its way may have been read before what asks for this re-read (a gap
      // while the previous gap's re-read is under way): read once more when it has landed.
      this.refreshAsked = true;
      return;
    }
    if (!this.loadedOnce) return;
    this.refreshing = true;
    this.lastRefresh = Date.now();
    const seq = this.seq;
    const limit = Math.min(1000, Math.max(PAGE, this.runs.length));
    try {
      const t0 = performance.now();
      const body = await this.fetchRuns({ limit });
      this.refreshCost = performance.now() - t0;
      if (seq !== this.seq || this.loading) return;
      const head = this.narrow(body.runs);
      const seen = new Set(head.map((r) => r.run_id));
      const tail = this.runs.length > limit ? this.runs.slice(limit).filter((r) => !seen.has(r.run_id)) : [];
      this.setRuns(head.concat(tail), tail.length ? this.nextCursor : body.next_cursor, { keep: true });
      this.app.clearError('runs');
    } catch (err) {
      if (err.name !== 'AbortError') this.app.showError('runs', err);
    } finally {
      this.refreshing = false;
      this.lastRefresh = Date.now();
      this.refreshIfAsked();
    }
  }

  refreshIfAsked() {
    if (!this.refreshAsked || this.loading || this.refreshing) return;
    this.refreshAsked = false;
    this.refresh();
  }

  setRuns(runs, nextCursor, { keep = false } = {}) {
    const activeId = keep ? this.runs[this.list.active]?.run_id : null;
    this.runs = runs;
    this.reindex();
    this.nextCursor = nextCursor || null;
    for (const r of runs) this.learn(r);
    this.updateLlmColumns();
    this.list.setCount(runs.length);
    if (activeId && this.index.has(activeId)) this.list.active = this.index.get(activeId);
    else if (!keep) this.list.active = -1;
    this.list.draw();
    this.updateSummary();
  }

  reindex() {
    this.index = new Map(this.runs.map((r, i) => [r.run_id, i]));
  }

  learn(run) {
    const m = run.meta || {};
    const add = (k, v) => {
      if (v === undefined || v === null || v === '' || this.known[k].has(v)) return;
      this.known[k].add(String(v));
      this.datalists[k].append(h('option', { value: String(v) }));
    };
    add('kind', run.run_kind);
    add('app', m.app_id);
    add('group', m.group_id);
    add('env', m.environment);
  }

  updateSummary() {
    const n = this.runs.length;
    const filtered = FILTER_KEYS.some((k) => this.filters[k]);
    this.summary.textContent = n === 0 ? '' : `${count(n)} run${n === 1 ? '' : 's'}${this.nextCursor ? ' shown' : ''}${filtered ? ' matching' : ''}`;
    this.more.hidden = !this.nextCursor;
    this.empty.hidden = n !== 0;
    this.list.viewport.hidden = n === 0;
    if (n === 0) {
      this.empty.replaceChildren(filtered
        ? h('p', {}, 'No run matches these filters. ', h('button', { type: 'button', className: 'linkish', text: 'Clear filters',
          onclick: () => this.app.navigate(Object.fromEntries(FILTER_KEYS.map((k) => [k, '']))) }))
        : h('div', {},
          h('p', { className: 'empty-title', text: 'Waiting for the first run' }),
          h('p', { text: 'Point a RemoteTraceSink at this listener and runs appear here as they happen:' }),
          h('pre', { className: 'snippet', text: `RemoteTraceSink(endpoint="${ingestUrl()}")` })));
    }
  }

  /** A run record from the stream. */
  onRun(run) {
    this.learn(run);
    const at = this.index.get(run.run_id);
    if (at !== undefined) {
      const [shown, ask] = withKnownCall(run, this.runs[at]);
      this.runs[at] = shown;
      if (ask) this.app.soon('runs-refresh', () => this.refresh(), 1000);
      this.updateLlmColumns();
      const el = this.list.rows.get(at);
      if (el) this.renderRow(el, at);
      return;
    }
    if (!this.loadedOnce || !fitsFilters(run, this.filters)) return;
    const s = this.filters.status;
    if ((s === 'stale' || s === 'orphaned') && runState(run) !== s) return;
    if (!surelyMatchesSearch(run, this.filters.q || '') || this.filters.sort) {
      // It may still match through its events' text, or (sorted by cost, tokens or duration)
      // its place is one only the listener knows: let the listener decide.
      this.app.soon('runs-refresh', () => this.refresh(), 1000);
      return;
    }
    this.insertNew(run);
  }

  insertNew(run) {
    // Newest first: a new run goes above every run that started before it.
    const t = run.started_at || run.updated_at || 0;
    let pos = 0;
    while (pos < this.runs.length && (this.runs[pos].started_at || this.runs[pos].updated_at || 0) > t) pos++;
    const activeId = this.runs[this.list.active]?.run_id;
    const vp = this.list.viewport;
    const scrolled = vp.scrollTop > 0;
    this.runs.splice(pos, 0, run);
    this.reindex();
    this.updateLlmColumns();
    this.list.setCount(this.runs.length);
    if (activeId) this.list.active = this.index.get(activeId);
    // Keep the rows the reader is looking at still when a run lands above them.
    if (scrolled && pos * ROW_HEIGHT < vp.scrollTop + ROW_HEIGHT) vp.scrollTop += ROW_HEIGHT;
    this.list.draw();
    this.updateSummary();
  }

  focus() {
    if (this.runs.length) {
      this.list.viewport.focus();
      if (this.list.active < 0) this.list.setActive(0);
    } else {
      this.search.focus();
    }
  }

  anyOpen() {
    return this.runs.some(isOpen);
  }
}
