// Events of a run: a windowed list (stream deltas of one action folded into one row) and the
// detail of one event as formatted JSON.

import { getJSON } from './api.js';
import { h, clock, fullTime, offset, count, duration, runLabel } from './fmt.js';
import { jsonBlock } from './jsonview.js';
import { VirtualList } from './vlist.js';
import { findError, errorButtons } from './errnav.js';

const ROW_HEIGHT = 28;
export const EVENTS_PAGE = 1000;

export function isDelta(ev) {
  const t = ev.event_type || '';
  return t.includes('stream.delta') || t.endsWith('.delta') || t.endsWith('_delta');
}

function textOf(item) {
  if (typeof item === 'string') return item;
  if (item && typeof item === 'object') {
    for (const k of ['delta', 'text', 'content', 'chunk']) if (typeof item[k] === 'string') return item[k];
    if (item.value && typeof item.value === 'object' && typeof item.value.text === 'string') return item.value.text;
  }
  return null;
}

/** A coalesced delta event stands for the items it holds (meta "coalesced" true). */
function coalesced(ev) {
  return ev.meta?.coalesced === true;
}

function deltaText(ev) {
  const p = ev.payload;
  if (coalesced(ev) && Array.isArray(p?.events)) return p.events.map((x) => textOf(x) ?? '').join('');
  return textOf(p) ?? ev.message ?? '';
}

/** How many deltas an event stands for: one, or the count a coalesced event carries. */
export function deltaCount(ev) {
  if (!coalesced(ev)) return 1;
  const n = ev.meta?.coalesced_count;
  if (Number.isInteger(n) && n > 0) return n;
  const items = ev.payload?.events;
  return Array.isArray(items) && items.length ? items.length : 1;
}

/** The call a delta belongs to inside its run, where the producer names one. */
function callOf(ev) {
  const p = ev.payload && typeof ev.payload === 'object' ? ev.payload : {};
  const m = ev.meta || {};
  for (const v of [p.call_id, p.response_id, m.call_id, m.response_id, ev.run?.response_id, ev.run?.execution_id]) {
    if (typeof v === 'string' && v) return v;
  }
  return '';
}

function levelName(ev) {
  return String(ev.level ?? 'info').toLowerCase();
}

const ERROR_LEVELS = new Set(['error', 'critical', 'fatal']);

/** Whether an event counts for "next error": an error level, or a failed/error event type. */
export function isErrorEvent(ev) {
  if (ERROR_LEVELS.has(levelName(ev))) return true;
  return /[._](failed|error)$/.test(ev.event_type || '');
}

export class EventsView {
  /** `onOpen(eventId|null)` when the open event changes through the list. */
  constructor(root, { onOpen, onToggleDescendants, agentOf, runStart, rawSwitch }) {
    this.root = root;
    this.rawSwitch = rawSwitch || null;
    this.raw = false;
    this.onOpen = onOpen;
    this.agentOf = agentOf || (() => null);
    this.runStart = runStart || (() => null);
    this.events = [];
    this.ids = new Set();
    this.blocks = [];
    this.openGroups = new Set(); // first member's event_id of each unfolded group
    this.rows = [];
    this.openId = null;
    this.t0 = null;
    this.seq = 0;

    this.title = h('h3', { className: 'panel-title', text: 'Events' });
    this.desc = h('input', { type: 'checkbox', id: 'ev-desc' });
    this.desc.addEventListener('change', () => onToggleDescendants(this.desc.checked));
    this.summary = h('span', { className: 'list-summary', 'aria-live': 'polite' });
    this.errNav = errorButtons('error', (dir) => this.jumpError(dir));
    const bar = this.bar = h('div', { className: 'panel-bar' }, this.title,
      h('label', { className: 'check', for: 'ev-desc' }, this.desc, ' include child runs'),
      this.summary, h('span', { className: 'spacer' }), this.errNav.el);
    const head = h('div', { className: 'ev-head', role: 'presentation' },
      ...['Time', 'Level', 'Type', 'Source', 'Run', 'Message'].map((t, i) => h('span', { className: `e${i}`, text: t })));
    const viewport = h('div', { className: 'ev-list', role: 'listbox', 'aria-label': 'Events' });
    this.detail = h('aside', { className: 'ev-detail', hidden: true, 'aria-label': 'Event detail' });
    this.listWrap = h('div', { className: 'ev-main' }, head, viewport);
    this.root.append(bar, h('div', { className: 'ev-body' }, this.listWrap, this.detail));
    this.list = new VirtualList(viewport, {
      rowHeight: ROW_HEIGHT,
      create: () => this.makeRow(),
      render: (el, i) => this.renderRow(el, i),
    });
    viewport.addEventListener('click', (e) => {
      const i = this.list.indexOf(e.target);
      if (i < 0) return;
      this.list.setActive(i, { scroll: false });
      this.activate(i, e.target.closest('.twisty') ? 'toggle' : 'open');
    });
    viewport.addEventListener('keydown', (e) => {
      if (this.list.handleMoveKey(e)) return;
      const i = this.list.active;
      if (i < 0) return;
      const row = this.rows[i];
      if (e.key === 'Enter' || e.key === ' ') {
        e.preventDefault();
        this.activate(i, 'open');
      } else if (e.key === 'ArrowRight' && row?.kind === 'group' && !row.open) {
        e.preventDefault();
        this.activate(i, 'toggle');
      } else if (e.key === 'ArrowLeft' && (row?.kind === 'group' || row?.member)) {
        e.preventDefault();
        const g = row.kind === 'group' ? row : row.group;
        if (this.openGroups.has(g.key)) {
          this.openGroups.delete(g.key);
          this.flatten();
          this.list.setActive(this.rows.indexOf(g));
        }
      } else if (e.key === 'Escape' && this.openId) {
        e.preventDefault();
        this.onOpen(null);
      }
    });
    viewport.addEventListener('focus', () => {
      if (this.list.active < 0 && this.rows.length) this.list.setActive(0);
    });
    this.detail.addEventListener('keydown', (e) => {
      if (e.key === 'Escape') {
        e.preventDefault();
        this.onOpen(null);
        this.list.viewport.focus();
      }
    });
  }

  makeRow() {
    const el = h('div', { className: 'ev-row' });
    el._time = h('span', { className: 'e0 mono num' });
    el._level = h('span', { className: 'e1' });
    el._twisty = h('span', { className: 'twisty', 'aria-hidden': 'true' });
    el._type = h('span', { className: 'etype ellip' });
    el._fold = h('span', { className: 'fold-facts muted', hidden: true });
    el._typeCell = h('span', { className: 'e2' }, el._twisty, el._type, el._fold);
    el._source = h('span', { className: 'e3 muted ellip' });
    el._run = h('span', { className: 'e4 ellip' });
    el._msg = h('span', { className: 'e5 ellip' });
    el.append(el._time, el._level, el._typeCell, el._source, el._run, el._msg);
    return el;
  }

  /** Show the events of `runId` (with its descendants when `desc`). */
  async load(runId, { desc, t0, runIds, expectedTotal = null }) {
    const seq = ++this.seq;
    this.runId = runId;
    this.descOn = desc;
    this.desc.checked = desc;
    this.t0 = t0;
    this.runIds = runIds;
    this.summary.textContent = 'Loading…';
    const body = await getJSON(`/runs/${encodeURIComponent(runId)}/events`, {
      limit: EVENTS_PAGE, include_descendants: desc ? 'true' : 'false',
    });
    if (seq !== this.seq) return false;
    this.events = body.events || [];
    this.ids = new Set(this.events.map((e) => e.event_id));
    this.nextCursor = body.next_cursor || null;
    // Without a total from the listener, the run records' event counts tell it.
    this.total = body.total ?? (this.nextCursor ? expectedTotal : this.events.length);
    this.openGroups.clear();
    this.rebuild();
    this.list.viewport.scrollTop = 0;
    this.list.active = -1;
    this.list.refresh();
    return true;
  }

  setScope(runIds, t0) {
    this.runIds = runIds;
    if (t0 !== undefined) this.t0 = t0;
  }

  async loadOlder() {
    if (!this.nextCursor || this.loadingOlder) return;
    this.loadingOlder = true;
    const seq = this.seq;
    try {
      const body = await getJSON(`/runs/${encodeURIComponent(this.runId)}/events`, {
        limit: EVENTS_PAGE, include_descendants: this.descOn ? 'true' : 'false', cursor: this.nextCursor,
      });
      if (seq !== this.seq) return;
      const older = (body.events || []).filter((e) => !this.ids.has(e.event_id));
      for (const e of older) this.ids.add(e.event_id);
      const vp = this.list.viewport;
      const before = this.rows.length;
      const top = vp.scrollTop;
      this.events = older.concat(this.events);
      this.nextCursor = body.next_cursor || null;
      if (body.total !== undefined) this.total = body.total;
      else if (!this.nextCursor) this.total = this.events.length;
      this.rebuild();
      // Keep the rows in view where they were.
      vp.scrollTop = top + (this.rows.length - before) * ROW_HEIGHT;
      this.list.draw();
    } finally {
      this.loadingOlder = false;
    }
  }

  /**
   * Group the events into blocks: single events, and the stream deltas of one call of one run,
   * up to the next other event of that run. Deltas of another run (or another call of the same
   * run) arriving in between do not break a group. The last other event of the run before a
   * group is the call's start, for the time to the first delta.
   */
  rebuild() {
    this.blocks = [];
    this.streams = new Map(); // run id -> {groups: Map(call -> group), start: event or null}
    for (const e of this.events) this.place(e);
    this.flatten();
  }

  place(e) {
    const runId = e.run?.run_id ?? '';
    let st = this.streams.get(runId);
    if (!st) {
      st = { groups: new Map(), start: null };
      this.streams.set(runId, st);
    }
    if (isDelta(e)) {
      const call = callOf(e);
      const open = st.groups.get(call);
      if (open) {
        open.members.push(e);
        open.count += deltaCount(e);
        return;
      }
      // The start is the call's own when no other group took it already.
      const start = st.start;
      st.start = null;
      const g = { kind: 'group', key: e.event_id, members: [e], runId, call, count: deltaCount(e), start };
      this.blocks.push(g);
      st.groups.set(call, g);
      return;
    }
    st.groups.clear();
    st.start = e;
    this.blocks.push({ kind: 'ev', e });
  }

  /** Milliseconds from a group's call start (or its run's start) to its first delta, or null. */
  firstDeltaAfter(g) {
    const first = g.members[0].timestamp;
    const from = g.start ? g.start.timestamp : this.runStart(g.runId);
    return Number.isFinite(from) && Number.isFinite(first) && first >= from ? first - from : null;
  }

  flatten() {
    const rows = [];
    if (this.nextCursor) rows.push({ kind: 'more' });
    for (const b of this.blocks) {
      if (b.kind === 'group' && b.members.length === 1 && b.count === 1) {
        rows.push({ kind: 'ev', e: b.members[0] });
        continue;
      }
      rows.push(b);
      b.open = this.openGroups.has(b.key);
      if (b.open) for (const e of b.members) rows.push({ kind: 'ev', e, member: true, group: b });
    }
    this.rows = rows;
    this.rowOf = null;
    this.list.setCount(rows.length);
    this.updateSummary();
  }

  updateSummary() {
    const shown = this.events.length;
    if (this.total === null || this.total === undefined) {
      this.summary.textContent = `newest ${count(shown)} events`;
      return;
    }
    const total = Math.max(this.total, shown);
    this.summary.textContent = shown === total ? `${count(total)} event${total === 1 ? '' : 's'}` : `newest ${count(shown)} of ${count(total)} events`;
  }

  renderRow(el, i) {
    const row = this.rows[i];
    el.className = 'ev-row vrow';
    el.removeAttribute('aria-expanded');
    el._fold.hidden = true;
    el._type.title = '';
    if (!row) return;
    if (row.kind === 'more') {
      el.classList.add('more-row');
      el._time.textContent = '';
      el._level.replaceChildren();
      el._twisty.textContent = '↑';
      el._type.textContent = this.loadingOlder ? 'Loading…' : `Load older events`;
      el._source.textContent = '';
      el._run.textContent = '';
      el._msg.textContent = this.total === null || this.total === undefined ? ''
        : `${count(Math.max(0, this.total - this.events.length))} not shown`;
      el.dataset.eventId = '';
      return;
    }
    if (row.kind === 'group') {
      const first = row.members[0];
      el.classList.add('group-row');
      el.setAttribute('aria-expanded', String(!!row.open));
      el._time.textContent = offset(first.timestamp - this.t0);
      el._time.title = fullTime(first.timestamp);
      el._level.replaceChildren(h('span', { className: `lvl lvl-${levelName(first)}`, text: levelName(first) }));
      el._twisty.textContent = row.open ? '▾' : '▸';
      el._type.textContent = `${first.event_type} ×${row.count}`;
      el._type.title = row.count === row.members.length ? `${row.count} deltas`
        : `${row.count} deltas in ${row.members.length} events`;
      const after = this.firstDeltaAfter(row);
      if (after !== null) {
        el._fold.hidden = false;
        el._fold.textContent = `first after ${duration(after)}`;
        el._fold.title = `Time from ${row.start ? row.start.event_type : 'the run\'s start'} to the first delta`;
      }
      el._source.textContent = first.source || '';
      el._run.textContent = this.agentOf(first.run?.run_id) || first.run?.agent_name || first.run?.run_id || '';
      let text = '';
      for (const m of row.members) {
        text += deltaText(m);
        if (text.length > 400) break;
      }
      el._msg.textContent = text;
      el._msg.title = text;
      el.dataset.eventId = first.event_id;
      return;
    }
    const e = row.e;
    if (row.member) el.classList.add('member-row');
    const lvl = levelName(e);
    if (lvl === 'error' || lvl === 'critical' || lvl === 'fatal') el.classList.add('is-error');
    else if (lvl === 'warning' || lvl === 'warn') el.classList.add('is-warning');
    if (e.event_id === this.openId) el.classList.add('selected');
    el.setAttribute('aria-selected', String(e.event_id === this.openId));
    el._time.textContent = this.t0 ? offset(e.timestamp - this.t0) : clock(e.timestamp, { millis: true });
    el._time.title = fullTime(e.timestamp);
    el._level.replaceChildren(h('span', { className: `lvl lvl-${lvl}`, text: lvl }));
    el._twisty.textContent = row.member ? '·' : '';
    el._type.textContent = e.event_type;
    el._source.textContent = e.source || '';
    el._source.title = e.source || '';
    el._run.textContent = this.agentOf(e.run?.run_id) || e.run?.agent_name || e.run?.run_id || '';
    el._run.title = e.run?.run_id || '';
    el._msg.textContent = e.message || '';
    el._msg.title = e.message || '';
    el.dataset.eventId = e.event_id;
  }

  activate(i, how) {
    const row = this.rows[i];
    if (!row) return;
    if (row.kind === 'more') {
      this.loadOlder();
      return;
    }
    if (row.kind === 'group') {
      if (this.openGroups.has(row.key)) this.openGroups.delete(row.key);
      else this.openGroups.add(row.key);
      this.flatten();
      this.list.setActive(this.rows.indexOf(row), { scroll: false });
      return;
    }
    if (how === 'open') this.onOpen(row.e.event_id === this.openId ? null : row.e.event_id);
  }

  /** A live event; returns true when it belongs to what is shown. */
  onEvent(e) {
    const runId = e.run?.run_id;
    if (!runId || !this.runIds?.has(runId) || this.ids.has(e.event_id)) return false;
    const vp = this.list.viewport;
    const atBottom = vp.scrollTop + vp.clientHeight >= vp.scrollHeight - ROW_HEIGHT;
    this.ids.add(e.event_id);
    this.events.push(e);
    if (this.total !== null && this.total !== undefined) this.total += 1;
    this.place(e);
    this.pendingFlatten = true;
    requestAnimationFrame(() => {
      if (!this.pendingFlatten) return;
      this.pendingFlatten = false;
      this.flatten();
      if (atBottom && vp.scrollTop > 0) vp.scrollTop = vp.scrollHeight;
    });
    return true;
  }

  /** The loaded events in the order the list shows them, folded groups unfolded. */
  displayOrder() {
    const seq = [];
    for (const b of this.blocks) {
      if (b.kind === 'group') seq.push(...b.members);
      else seq.push(b.e);
    }
    return seq;
  }

  /**
   * Open the next (`dir` 1) or previous (-1) error event after the active row, wrapping
   * around; an error inside a folded group unfolds it. Only loaded events are walked.
   */
  jumpError(dir) {
    const seq = this.displayOrder();
    const row = this.rows[this.list.active];
    let current = null;
    if (row?.kind === 'ev') current = row.e;
    else if (row?.kind === 'group') current = row.members[0];
    else if (this.openId) current = seq.find((e) => e.event_id === this.openId) || null;
    const from = current ? seq.indexOf(current) : -1;
    const r = findError(seq.length, from, dir, (i) => isErrorEvent(seq[i]));
    if (!r) return null;
    const id = seq[r.index].event_id;
    if (id === this.openId) {
      const i = this.findRow(id);
      if (i >= 0) this.list.setActive(i);
    } else {
      this.onOpen(id);
    }
    return r;
  }

  findRow(eventId) {
    for (let i = 0; i < this.rows.length; i++) {
      const r = this.rows[i];
      if (r.kind === 'ev' && r.e.event_id === eventId) return i;
    }
    return -1;
  }

  /** Open the detail of one event (from a click or from the address). */
  async open(eventId) {
    this.openId = eventId;
    if (!eventId) {
      this.detail.hidden = true;
      this.detail.replaceChildren();
      this.root.classList.remove('has-detail');
      this.list.refresh();
      return;
    }
    let ev = this.events.find((e) => e.event_id === eventId);
    if (ev && isDelta(ev)) {
      const g = this.blocks.find((b) => b.kind === 'group' && b.members.includes(ev));
      if (g && (g.members.length > 1 || g.count > 1) && !this.openGroups.has(g.key)) {
        this.openGroups.add(g.key);
        this.flatten();
      }
    }
    const i = this.findRow(eventId);
    if (i >= 0) {
      this.list.scrollIntoView(i, 'auto');
      this.list.active = i;
    }
    this.list.refresh();
    if (!ev) {
      try {
        ev = await getJSON(`/events/${encodeURIComponent(eventId)}`);
      } catch (err) {
        this.showDetail(null, err.message);
        return;
      }
      if (this.openId !== eventId) return;
    }
    this.showDetail(ev);
  }

  showDetail(ev, error) {
    this.root.classList.add('has-detail');
    this.detail.hidden = false;
    // The list just got narrower: keep the opened row in view.
    requestAnimationFrame(() => {
      const i = this.findRow(this.openId);
      if (i >= 0) this.list.scrollIntoView(i);
      this.list.draw();
    });
    const close = h('button', { type: 'button', className: 'btn ghost close', 'aria-label': 'Close event', title: 'Close (Esc)', text: '✕',
      onclick: () => { this.onOpen(null); this.list.viewport.focus(); } });
    if (!ev) {
      this.detail.replaceChildren(h('div', { className: 'detail-head' }, h('h4', { text: 'Event' }), close), h('p', { className: 'muted', text: error || 'Event not found' }));
      return;
    }
    const lvl = levelName(ev);
    const facts = h('dl', { className: 'facts' });
    const fact = (k, v, mono) => {
      if (v === undefined || v === null || v === '') return;
      facts.append(h('dt', { text: k }), h('dd', { className: mono ? 'mono' : '', text: String(v) }));
    };
    fact('Time', `${fullTime(ev.timestamp)}${this.t0 ? `  (${offset(ev.timestamp - this.t0)})` : ''}`, true);
    fact('Source', ev.source);
    fact('Run', ev.run ? `${runLabel(ev.run)} · ${ev.run.run_id}` : null);
    fact('Event id', ev.event_id, true);
    const sections = [];
    const section = (name, value) => {
      const empty = value === null || value === undefined || (typeof value === 'object' && Object.keys(value).length === 0);
      const body = empty ? h('p', { className: 'muted none', text: 'none' })
        : jsonBlock(value, { label: name, parseStrings: !this.raw }).pre;
      const copy = empty ? null : h('button', {
        type: 'button', className: 'btn ghost small', text: 'Copy',
        onclick: async (e) => {
          try {
            await navigator.clipboard.writeText(JSON.stringify(value, null, 2));
            e.target.textContent = 'Copied';
          } catch {
            e.target.textContent = 'Copy failed';
          }
          setTimeout(() => { e.target.textContent = 'Copy'; }, 1200);
        },
      });
      sections.push(h('section', { className: `detail-sec sec-${name.toLowerCase()}` },
        h('div', { className: 'sec-head' }, h('h5', { text: name }), copy), body));
    };
    section('Payload', ev.payload);
    section('Error', ev.error);
    section('Meta', ev.meta);
    section('Run', ev.run);
    this.detail.replaceChildren(...[
      h('div', { className: 'detail-head' },
        h('span', { className: `lvl lvl-${lvl}`, text: lvl }),
        h('h4', { className: 'ellip', text: ev.event_type, title: ev.event_type }),
        this.rawSwitch ? this.rawSwitch() : null,
        close),
      ev.message ? h('p', { className: 'detail-msg', text: ev.message }) : null,
      facts,
      ...sections,
    ].filter(Boolean));
  }
}
