// The Sessions view: the list of sessions (runs sharing a session id) with their LLM totals, and
// one session read as its turns in order, each turn opening into its run tree.

import { getJSON, ApiError } from './api.js';
import {
  h, clock, fullTime, duration, count, runDuration, statusBadge, runLabel, debounce, isOpen, totalsCost,
  tokens, llmOf, callCost,
} from './fmt.js';
import { sessionDownload } from './tracefile.js';
import { VirtualList } from './vlist.js';

export const SESSION_KEYS = ['sq', 'sapp'];

const PAGE = 100;
const ROW_HEIGHT = 52;

/** The state of a session as one word: running while a run is open, else failed when one failed. */
export function sessionState(s) {
  const st = s.statuses || {};
  if (st.running || st.waiting || st.unknown) return st.running ? 'running' : st.waiting ? 'waiting' : 'unknown';
  return st.failed ? 'failed' : 'completed';
}

function badge(state) {
  return h('span', { className: `badge st-${state}`, text: state });
}

function statusLine(s) {
  const st = s.statuses || {};
  return ['running', 'waiting', 'completed', 'failed', 'unknown']
    .filter((k) => st[k]).map((k) => `${count(st[k])} ${k}`).join(' · ');
}

function totalsCells(el, t) {
  const calls = t?.llm_calls || 0;
  el._calls.textContent = calls ? count(calls) : '';
  el._tokens.textContent = calls ? tokens(t.total_tokens) : '';
  el._tokens.title = calls ? `${count(t.input_tokens)} in · ${count(t.output_tokens)} out` : '';
  const cost = totalsCost(t);
  el._cost.textContent = cost;
  el._cost.title = calls ? `${cost} for ${count(calls)} LLM call${calls === 1 ? '' : 's'}` : '';
  el._cost.classList.toggle('unpriced', cost === 'unpriced');
}

function numberCells(el) {
  el._calls = h('span', { className: 'sc-calls mono num' });
  el._tokens = h('span', { className: 'sc-tokens mono num' });
  el._cost = h('span', { className: 'sc-cost mono num' });
  return [el._calls, el._tokens, el._cost];
}

export class SessionsView {
  constructor(root, app) {
    this.root = root;
    this.app = app;
    this.filters = {};
    this.sessions = [];
    this.nextCursor = null;
    this.seq = 0;
    this.openId = null;
    this.detail = null; // the open session's answer
    this.build();
  }

  build() {
    // The list of sessions.
    this.search = h('input', {
      type: 'search', name: 'sq', className: 'sessions-search', placeholder: 'Search sessions: session id, agent…',
      'aria-label': 'Search sessions', autocomplete: 'off', spellcheck: 'false',
    });
    this.appInput = h('input', { type: 'text', name: 'sapp', placeholder: 'App', 'aria-label': 'App', className: 'facet',
      autocomplete: 'off', spellcheck: 'false' });
    const typed = debounce(() => this.fromInputs(true), 300);
    for (const input of [this.search, this.appInput]) {
      input.addEventListener('input', typed);
      input.addEventListener('keydown', (e) => {
        if (e.key === 'Enter') { typed.cancel(); this.fromInputs(false); }
        if (e.key === 'ArrowDown') { e.preventDefault(); this.list.viewport.focus(); if (this.list.active < 0) this.list.setActive(0); }
      });
    }
    const form = h('form', { className: 'filters', role: 'search', onsubmit: (e) => e.preventDefault() },
      h('div', { className: 'search-wrap' }, h('span', { className: 'search-icon', 'aria-hidden': 'true' }), this.search),
      this.appInput);
    this.summary = h('div', { className: 'list-summary', 'aria-live': 'polite' });
    const head = h('div', { className: 'list-head sessions-head', role: 'presentation' },
      ...['Status', 'Session', 'Runs', 'App', 'Last activity', 'Span', 'Calls', 'Tokens', 'Cost'].map(
        (t, i) => h('span', { className: `s${i}`, text: t })));
    const viewport = h('div', { className: 'list-body', role: 'listbox', 'aria-label': 'Sessions' });
    this.empty = h('div', { className: 'empty', hidden: true });
    this.more = h('button', { type: 'button', className: 'btn more', text: 'Load older sessions', hidden: true,
      onclick: () => this.loadMore() });
    this.listPane = h('div', { className: 'sessions-pane' },
      h('div', { className: 'sessions-top' }, form, this.summary),
      h('div', { className: 'list-table sessions-table' }, head, viewport, this.empty),
      h('div', { className: 'list-foot' }, this.more));
    this.list = new VirtualList(viewport, {
      rowHeight: ROW_HEIGHT,
      create: () => this.makeSessionRow(),
      render: (el, i) => this.renderSessionRow(el, i),
    });
    this.wire(this.list, (i, e) => this.openSession(i, e));

    // One session: its facts and its turns.
    this.header = h('div', { className: 'session-header' });
    const turnsHead = h('div', { className: 'list-head turns-head', role: 'presentation' },
      ...['#', 'Status', 'Turn', 'Started', 'Duration', 'Calls', 'Tokens', 'Cost'].map(
        (t, i) => h('span', { className: `t${i}`, text: t })));
    const turnsViewport = h('div', { className: 'list-body', role: 'listbox', 'aria-label': 'Turns' });
    this.turnsMore = h('button', { type: 'button', className: 'btn more', text: 'Load more turns', hidden: true,
      onclick: () => this.loadMoreTurns() });
    this.message = h('p', { className: 'empty', hidden: true });
    this.detailPane = h('div', { className: 'sessions-pane', hidden: true },
      this.header, this.message,
      h('div', { className: 'list-table turns-table' }, turnsHead, turnsViewport),
      h('div', { className: 'list-foot' }, this.turnsMore));
    this.turnsList = new VirtualList(turnsViewport, {
      rowHeight: ROW_HEIGHT,
      create: () => this.makeTurnRow(),
      render: (el, i) => this.renderTurnRow(el, i),
    });
    this.wire(this.turnsList, (i, e) => this.openTurn(i, e));
    this.turnsList.viewport.addEventListener('keydown', (e) => {
      if (e.key === 'Escape' && !e.defaultPrevented) {
        e.preventDefault();
        this.app.navigate({ session: '' });
      }
    });
    this.root.append(this.listPane, this.detailPane);
  }

  /** Clicks and keys of a list: arrows move, Enter or a click opens. */
  wire(list, open) {
    const vp = list.viewport;
    vp.addEventListener('click', (e) => {
      const i = list.indexOf(e.target);
      if (i < 0) return;
      list.setActive(i, { scroll: false });
      if (e.target.closest('a') && !(e.ctrlKey || e.metaKey)) {
        e.preventDefault();
      } else if (e.target.closest('a')) {
        return; // the browser opens the link in a new tab
      }
      open(i, e);
    });
    vp.addEventListener('keydown', (e) => {
      if (list.handleMoveKey(e)) return;
      if (e.key === 'Enter' && list.active >= 0) {
        e.preventDefault();
        open(list.active, e);
      }
    });
    vp.addEventListener('focus', () => {
      if (list.active < 0 && list.count) list.setActive(0);
    });
  }

  // -- the list --------------------------------------------------------------------------------

  makeSessionRow() {
    const el = h('div', { className: 'list-row session-row' });
    el._status = h('span', { className: 's0' });
    el._name = h('a', { className: 'list-name mono', tabindex: '-1' });
    el._line2 = h('span', { className: 'list-line2' });
    el._runs = h('span', { className: 's2 mono num' });
    el._app = h('span', { className: 's3 muted ellip' });
    el._last = h('span', { className: 's4 mono' });
    el._span = h('span', { className: 's5 mono num' });
    el.append(el._status, h('span', { className: 's1 list-cell' }, el._name, el._line2), el._runs, el._app, el._last,
      el._span, ...numberCells(el));
    return el;
  }

  renderSessionRow(el, i) {
    const s = this.sessions[i];
    if (!s) return;
    const state = sessionState(s);
    el.dataset.sessionId = s.session_id;
    el.dataset.state = state;
    el.setAttribute('aria-label', `Session ${s.session_id} ${state}`);
    el._status.replaceChildren(badge(state));
    el._name.textContent = s.session_id;
    el._name.href = this.app.href({ tab: 'sessions', session: s.session_id, run: '' });
    el._line2.textContent = [(s.agents || []).join(', '), statusLine(s)].filter(Boolean).join(' — ');
    el._runs.textContent = count(s.runs);
    el._app.textContent = s.app_id || '';
    el._last.textContent = clock(s.last_activity_at);
    el._last.title = fullTime(s.last_activity_at);
    const span = s.first_activity_at && s.last_activity_at ? s.last_activity_at - s.first_activity_at : null;
    el._span.textContent = duration(span);
    totalsCells(el, s.totals);
  }

  fromInputs(replace) {
    this.app.navigate({ sq: this.search.value.trim(), sapp: this.appInput.value.trim() }, { replace });
  }

  params(extra) {
    return { search: this.filters.sq || undefined, app_id: this.filters.sapp || undefined, limit: PAGE, ...extra };
  }

  /** Show what the address asks for: the list, or one session. */
  async show(state, { entering = false } = {}) {
    const changed = SESSION_KEYS.some((k) => (this.filters[k] || '') !== (state[k] || ''));
    this.filters = Object.fromEntries(SESSION_KEYS.map((k) => [k, state[k] || '']));
    if (document.activeElement !== this.search) this.search.value = this.filters.sq;
    if (document.activeElement !== this.appInput) this.appInput.value = this.filters.sapp;
    const sessionId = state.session || null;
    this.listPane.hidden = !!sessionId;
    this.detailPane.hidden = !sessionId;
    if (sessionId) {
      document.title = `Session ${sessionId} · orvane devtools`;
      if (sessionId !== this.openId) await this.loadSession(sessionId);
      else if (entering) await this.refresh();
      return;
    }
    this.openId = null;
    document.title = 'Sessions · orvane devtools';
    if (changed || !this.loadedOnce) await this.reload();
    else if (entering) await this.refresh();
  }

  async reload() {
    const seq = ++this.seq;
    this.lastRefresh = Date.now();
    this.summary.textContent = 'Loading…';
    try {
      const body = await getJSON('/sessions', this.params());
      if (seq !== this.seq) return;
      this.loadedOnce = true;
      this.setSessions(body.sessions, body.next_cursor);
      this.app.clearError('sessions');
    } catch (err) {
      if (seq !== this.seq) return;
      this.summary.textContent = '';
      this.app.showError('sessions', err);
    }
  }

  async loadMore() {
    if (!this.nextCursor) return;
    const seq = this.seq;
    this.more.disabled = true;
    try {
      const body = await getJSON('/sessions', this.params({ cursor: this.nextCursor }));
      if (seq !== this.seq) return;
      const seen = new Set(this.sessions.map((s) => s.session_id));
      this.setSessions(this.sessions.concat(body.sessions.filter((s) => !seen.has(s.session_id))), body.next_cursor);
    } catch (err) {
      this.app.showError('sessions', err);
    } finally {
      this.more.disabled = false;
    }
  }

  setSessions(sessions, nextCursor) {
    const activeId = this.sessions[this.list.active]?.session_id;
    this.sessions = sessions;
    this.nextCursor = nextCursor || null;
    this.list.setCount(sessions.length);
    const at = activeId ? sessions.findIndex((s) => s.session_id === activeId) : -1;
    this.list.active = at;
    this.list.draw();
    const n = sessions.length;
    const filtered = SESSION_KEYS.some((k) => this.filters[k]);
    this.summary.textContent = n ? `${count(n)} session${n === 1 ? '' : 's'}${this.nextCursor ? ' shown' : ''}${filtered ? ' matching' : ''}` : '';
    this.more.hidden = !this.nextCursor;
    this.empty.hidden = n !== 0;
    this.list.viewport.hidden = n === 0;
    this.empty.replaceChildren(h('p', { text: filtered ? 'No session matches these filters.'
      : 'No session yet: runs that carry a session id are grouped here.' }));
  }

  openSession(i, ev) {
    const s = this.sessions[i];
    if (!s) return;
    if (ev && (ev.ctrlKey || ev.metaKey)) {
      window.open(this.app.href({ tab: 'sessions', session: s.session_id, run: '' }), '_blank');
      return;
    }
    this.app.navigate({ session: s.session_id });
  }

  // -- one session -----------------------------------------------------------------------------

  async loadSession(sessionId) {
    this.openId = sessionId;
    this.lastRefresh = Date.now();
    this.detail = null;
    this.turnsList.setCount(0);
    this.turnsList.active = -1;
    this.header.replaceChildren(this.backLink(), h('h2', { className: 'mono', text: sessionId }));
    try {
      const body = await getJSON(`/sessions/${encodeURIComponent(sessionId)}`);
      if (sessionId !== this.openId) return;
      this.message.hidden = true;
      this.setDetail(body);
      this.app.clearError('sessions');
    } catch (err) {
      if (sessionId !== this.openId) return;
      this.message.hidden = false;
      this.message.textContent = err instanceof ApiError && err.status === 404
        ? `No session “${sessionId}” on this listener (yet).` : `Could not load the session: ${err.message}`;
    }
  }

  async loadMoreTurns() {
    const d = this.detail;
    if (!d?.next_cursor) return;
    const id = this.openId;
    this.turnsMore.disabled = true;
    try {
      const body = await getJSON(`/sessions/${encodeURIComponent(id)}`, { cursor: d.next_cursor });
      if (id !== this.openId) return;
      this.setDetail({ ...body, runs: d.runs.concat(body.runs) });
    } catch (err) {
      this.app.showError('sessions', err);
    } finally {
      this.turnsMore.disabled = false;
    }
  }

  backLink() {
    return h('a', { className: 'btn ghost small session-back', href: this.app.href({ session: '', run: '' }), text: '← All sessions',
      onclick: (e) => {
        if (e.ctrlKey || e.metaKey || e.shiftKey) return;
        e.preventDefault();
        this.app.navigate({ session: '' });
      } });
  }

  setDetail(body) {
    const activeId = this.detail?.runs?.[this.turnsList.active]?.run_id;
    this.detail = body;
    const s = body.session;
    const facts = h('dl', { className: 'facts inline' });
    const fact = (k, v, title) => {
      if (v === undefined || v === null || v === '') return;
      facts.append(h('div', {}, h('dt', { text: k }), h('dd', { text: String(v), title })));
    };
    fact('Turns', count(s.turns));
    fact('Runs', count(s.runs), statusLine(s));
    fact('App', s.app_id);
    fact('Agents', (s.agents || []).join(', '));
    fact('First activity', clock(s.first_activity_at), fullTime(s.first_activity_at));
    fact('Last activity', clock(s.last_activity_at), fullTime(s.last_activity_at));
    const t = s.totals || {};
    if (t.llm_calls) {
      fact('LLM calls', count(t.llm_calls));
      fact('Tokens', count(t.total_tokens), `${count(t.input_tokens)} in · ${count(t.output_tokens)} out`);
      fact('Cost', totalsCost(t));
    }
    this.header.replaceChildren(
      this.backLink(),
      h('div', { className: 'run-title' }, badge(sessionState(s)), h('h2', { className: 'mono', text: s.session_id }),
        h('span', { className: 'downloads' }, sessionDownload(s.session_id))),
      facts);
    const runs = body.runs || [];
    this.turnsList.setCount(runs.length);
    const at = activeId ? runs.findIndex((r) => r.run_id === activeId) : -1;
    this.turnsList.active = at;
    this.turnsList.draw();
    this.turnsMore.hidden = !body.next_cursor;
  }

  makeTurnRow() {
    const el = h('div', { className: 'list-row turn-row' });
    el._n = h('span', { className: 't0 mono muted num' });
    el._status = h('span', { className: 't1' });
    el._name = h('a', { className: 'list-name', tabindex: '-1' });
    el._id = h('span', { className: 'list-id mono' });
    el._line2 = h('span', { className: 'list-line2' });
    el._start = h('span', { className: 't3 mono' });
    el._dur = h('span', { className: 't4 mono num' });
    el.append(el._n, el._status,
      h('span', { className: 't2 list-cell' }, h('span', { className: 'list-line1' }, el._name, el._id), el._line2),
      el._start, el._dur, ...numberCells(el));
    return el;
  }

  renderTurnRow(el, i) {
    const run = this.detail?.runs?.[i];
    if (!run) return;
    el.dataset.runId = run.run_id;
    el.setAttribute('aria-label', `Turn ${i + 1}: ${runLabel(run)} ${run.status}`);
    el._n.textContent = String(i + 1);
    el._status.replaceChildren(statusBadge(run));
    el._name.textContent = runLabel(run);
    el._name.href = this.app.href({ run: run.run_id });
    el._id.textContent = run.run_id;
    const llm = llmOf(run);
    el._line2.textContent = run.latest_message || run.latest_event_type || (llm ? `${llm.model || ''} ${callCost(llm)}` : '');
    el._start.textContent = clock(run.started_at);
    el._start.title = fullTime(run.started_at);
    el._dur.textContent = duration(runDuration(run));
    el._dur.classList.toggle('ticking', isOpen(run));
    totalsCells(el, run.totals);
  }

  openTurn(i, ev) {
    const run = this.detail?.runs?.[i];
    if (!run) return;
    if (ev && (ev.ctrlKey || ev.metaKey)) {
      window.open(this.app.href({ run: run.run_id }), '_blank');
      return;
    }
    this.app.navigate({ run: run.run_id });
  }

  // -- live ------------------------------------------------------------------------------------

  /** A run record from the stream: the list (or the open session) is read again soon. */
  onRun(run) {
    if (this.root.hidden || !run.session_id) return;
    if (this.openId && run.session_id !== this.openId) return;
    this.app.soon('sessions-refresh', () => this.refresh(), 1500);
  }

  async refresh() {
    if (this.root.hidden) return;
    this.lastRefresh = Date.now();
    if (this.openId) {
      const id = this.openId;
      try {
        const limit = Math.max(500, this.detail?.runs?.length || 0);
        const body = await getJSON(`/sessions/${encodeURIComponent(id)}`, { limit: Math.min(5000, limit) });
        if (id === this.openId) this.setDetail(body);
      } catch (err) {
        if (!(err instanceof ApiError && err.status === 404)) this.app.showError('sessions', err);
      }
      return;
    }
    if (!this.loadedOnce) return;
    const seq = this.seq;
    try {
      const body = await getJSON('/sessions', this.params({ limit: Math.min(1000, Math.max(PAGE, this.sessions.length)) }));
      if (seq === this.seq) this.setSessions(body.sessions, body.next_cursor);
    } catch (err) {
      this.app.showError('sessions', err);
    }
  }

  tick() {
    if (!this.detail) return;
    for (const el of this.turnsList.rows.values()) {
      const run = this.detail.runs[el._index];
      if (run && isOpen(run)) el._dur.textContent = duration(runDuration(run));
    }
  }

  focus() {
    const list = this.openId ? this.turnsList : this.list;
    if (list.count) {
      list.viewport.focus();
      if (list.active < 0) list.setActive(0);
    } else if (!this.openId) {
      this.search.focus();
    }
  }
}
