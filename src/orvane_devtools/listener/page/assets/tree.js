// The run tree and its waterfall: one windowed list whose rows hold the tree on the left and the
// run's bar on a shared time axis on the right.

import {
  h, duration, offset, clock, fullTime, runState, judgement, runDuration, activityEnd, isOpen, runLabel,
  llmOf, callCost, tokens, count, withKnownCall,
} from './fmt.js';
import { VirtualList } from './vlist.js';
import { findError } from './errnav.js';

const ERROR_STATES = new Set(['failed', 'stale', 'orphaned', 'judged']);

/** Whether a run counts for "next error": failed, or judged stale or orphaned. */
export function isErrorRun(run) {
  return !!run && ERROR_STATES.has(runState(run));
}

const ROW_HEIGHT = 30;
const INDENT = 14;
const MAX_INDENT_LEVELS = 24; // deeper levels are drawn at this indent with their depth written

/** Time at which a run's own activity ends: its last event for open runs too. */
function barEnd(run) {
  return activityEnd(run);
}

function terminalTime(run) {
  if (!run || isOpen(run) || run.status === 'waiting') return null;
  const anchor = run.meta?.devtools_stale_anchor_at;
  if (Number.isInteger(anchor)) return anchor;
  return activityEnd(run);
}

/**
 * The rows of one root's tree: the nodes reachable from the root in depth-first order, then the
 * runs whose parent has not arrived yet (each with its own subtree), under a section row.
 */
export class TreeModel {
  constructor(flat) {
    this.rootId = flat.root_run_id;
    const rows = [];
    const byStart = (a, b) => (a.started_at || a.updated_at || 0) - (b.started_at || b.updated_at || 0)
      || (a.run_id < b.run_id ? -1 : a.run_id > b.run_id ? 1 : 0);
    // Depth-first from the root with siblings in start order, so the waterfall reads top-down.
    const nodes = (flat.nodes || []).map((n) => (n.llm && !n.run.llm ? { ...n, run: { ...n.run, llm: n.llm } } : n));
    // The LLM calls of the whole tree, where the listener sums them.
    this.totals = flat.totals || nodes[0]?.totals || nodes[0]?.run?.totals || null;
    const kidsOf = new Map();
    for (let k = 1; k < nodes.length; k++) {
      const p = nodes[k].parent_run_id ?? nodes[k].run.parent_run_id;
      if (!kidsOf.has(p)) kidsOf.set(p, []);
      kidsOf.get(p).push(nodes[k].run);
    }
    if (nodes.length) {
      const seen = new Set();
      const stack = [[nodes[0].run, 0]];
      while (stack.length) {
        const [r, d] = stack.pop();
        if (seen.has(r.run_id)) continue;
        seen.add(r.run_id);
        rows.push({ run: r, depth: d, parentId: r.parent_run_id ?? null });
        const c = kidsOf.get(r.run_id);
        if (c) {
          c.sort(byStart);
          for (let k = c.length - 1; k >= 0; k--) stack.push([c[k], d + 1]);
        }
      }
      for (const n of nodes) if (!seen.has(n.run.run_id)) rows.push({ run: n.run, depth: n.depth, parentId: n.parent_run_id ?? null });
    }
    const detached = flat.detached || [];
    if (detached.length) {
      rows.push({ section: `Waiting for their parent run (${detached.length})`, depth: 0 });
      const ids = new Set(detached.map((r) => r.run_id));
      const kids = new Map();
      const tops = [];
      for (const r of detached) {
        if (r.parent_run_id && ids.has(r.parent_run_id) && r.parent_run_id !== r.run_id) {
          if (!kids.has(r.parent_run_id)) kids.set(r.parent_run_id, []);
          kids.get(r.parent_run_id).push(r);
        } else {
          tops.push(r);
        }
      }
      tops.sort(byStart);
      const placed = new Set();
      for (const top of tops) {
        const stack = [[top, 0]];
        while (stack.length) {
          const [r, d] = stack.pop();
          if (placed.has(r.run_id)) continue;
          placed.add(r.run_id);
          rows.push({ run: r, depth: d, parentId: r.parent_run_id ?? null, missingParent: d === 0 ? r.parent_run_id : null });
          const c = (kids.get(r.run_id) || []).slice().sort(byStart).reverse();
          for (const k of c) stack.push([k, d + 1]);
        }
      }
      // A loop of runs each waiting for another: show them rather than lose them.
      for (const r of detached) {
        if (!placed.has(r.run_id)) rows.push({ run: r, depth: 0, parentId: r.parent_run_id, missingParent: r.parent_run_id });
      }
    }
    this.rows = rows;
    this.hasLlm = rows.some((r) => llmOf(r.run));
    this.index = new Map();
    rows.forEach((r, i) => { if (r.run) this.index.set(r.run.run_id, i); });
    // end[i]: the first row after i's subtree.
    const end = new Int32Array(rows.length);
    const stack = [];
    for (let i = 0; i < rows.length; i++) {
      const d = rows[i].section ? -1 : rows[i].depth;
      while (stack.length && rows[stack[stack.length - 1]].depthKey >= d) end[stack.pop()] = i;
      rows[i].depthKey = d;
      stack.push(i);
    }
    while (stack.length) end[stack.pop()] = rows.length;
    this.end = end;
    this.parentRow = new Int32Array(rows.length).fill(-1);
    const path = [];
    for (let i = 0; i < rows.length; i++) {
      const d = rows[i].depthKey;
      while (path.length && rows[path[path.length - 1]].depthKey >= d) path.pop();
      const top = path[path.length - 1];
      if (top !== undefined && !rows[i].section && !rows[top].section) this.parentRow[i] = top;
      path.push(i);
    }
    this.collapsed = new Set();
    this.computeRange();
  }

  hasChildren(i) {
    return !this.rows[i].section && this.end[i] > i + 1;
  }

  computeRange(now = Date.now()) {
    let t0 = Infinity;
    let t1 = -Infinity;
    for (const r of this.rows) {
      if (!r.run) continue;
      const s = r.run.started_at || r.run.updated_at;
      if (s) t0 = Math.min(t0, s);
      const e = barEnd(r.run);
      if (e) t1 = Math.max(t1, e);
    }
    if (!Number.isFinite(t0)) t0 = now;
    const root = this.rows[0]?.run;
    this.rootEnd = root && root.run_id === this.rootId ? terminalTime(root) : null;
    if (this.rootEnd) t1 = Math.max(t1, this.rootEnd);
    if (!Number.isFinite(t1) || t1 <= t0) t1 = t0 + 1;
    // While the root runs, the axis runs on with the clock. Once it has ended, runs still open
    // or judged stale/orphaned were never closed: their bar goes on past their last activity to
    // the right edge, given some room after the real timeline instead of a scale stretched up
    // to now (which would squash every real bar into a sliver).
    this.live = !!root && isOpen(root);
    if (this.live) t1 = Math.max(t1, now);
    const unclosed = this.rows.some((r) => r.run && (r.run.meta?.devtools_stale_reason || isOpen(r.run)));
    if (unclosed && !this.live) t1 += Math.max((t1 - t0) * 0.15, 1);
    this.t0 = t0;
    this.t1 = t1;
  }

  /** Collapse every node deeper than `depth` (nodes above stay open). */
  collapseBelow(depth) {
    this.collapsed.clear();
    for (let i = 0; i < this.rows.length; i++) {
      if (this.rows[i].depth >= depth && this.hasChildren(i)) this.collapsed.add(this.rows[i].run.run_id);
    }
  }

  /** Open every ancestor of a row so it is visible. */
  reveal(i) {
    for (let p = this.parentRow[i]; p >= 0; p = this.parentRow[p]) this.collapsed.delete(this.rows[p].run.run_id);
  }

  visibleRows() {
    const out = [];
    const rows = this.rows;
    for (let i = 0; i < rows.length;) {
      out.push(i);
      const r = rows[i];
      i = r.run && this.collapsed.has(r.run.run_id) ? this.end[i] : i + 1;
    }
    return out;
  }

  /** A record from the stream for a run of this tree: false when the tree does not hold it. */
  updateRun(run) {
    const i = this.index.get(run.run_id);
    if (i === undefined) return false;
    const [shown, ask] = withKnownCall(run, this.rows[i].run);
    this.rows[i].run = shown;
    if (ask) this.stale = true;
    return true;
  }

  runIds(fromRow = 0) {
    const ids = [];
    for (let i = fromRow; i < this.end[fromRow]; i++) if (this.rows[i].run) ids.push(this.rows[i].run.run_id);
    return ids;
  }

  stats() {
    let failed = 0;
    let orphaned = 0;
    let stale = 0;
    let running = 0;
    let n = 0;
    for (const r of this.rows) {
      if (!r.run) continue;
      n++;
      const s = runState(r.run);
      if (s === 'orphaned') orphaned++;
      else if (s === 'stale') stale++;
      else if (s === 'failed') failed++;
      else if (s === 'running') running++;
    }
    return { n, failed, orphaned, stale, running };
  }
}

function niceStep(span, maxTicks) {
  const raw = span / Math.max(1, maxTicks);
  const p = 10 ** Math.floor(Math.log10(raw));
  for (const m of [1, 2, 5, 10]) if (m * p >= raw) return m * p;
  return 10 * p;
}

export class TreeView {
  /** `onSelect(runId)` when a node is chosen (click, Enter). */
  constructor(root, { onSelect }) {
    this.root = root;
    this.onSelect = onSelect;
    this.model = null;
    this.visible = [];
    this.selectedId = null;
    this.axis = h('div', { className: 'wf-axis', 'aria-hidden': 'true' });
    this.head = h('div', { className: 'tree-head' },
      h('span', { className: 'th-name', text: 'Run' }),
      h('span', { className: 'th-dur', text: 'Duration' }),
      h('span', { className: 'th-llm', text: 'Tokens · cost' }),
      this.axis);
    const viewport = h('div', { className: 'tree-list', role: 'tree', 'aria-label': 'Run tree' });
    root.append(this.head, viewport);
    this.list = new VirtualList(viewport, {
      rowHeight: ROW_HEIGHT,
      rowRole: 'treeitem',
      create: () => this.makeRow(),
      render: (el, i) => this.renderRow(el, i),
    });
    viewport.addEventListener('click', (e) => {
      const v = this.list.indexOf(e.target);
      if (v < 0) return;
      const i = this.visible[v];
      this.list.setActive(v, { scroll: false });
      if (e.target.closest('.twisty')) {
        this.toggle(i);
        return;
      }
      const row = this.model.rows[i];
      if (row.run) this.choose(row.run.run_id);
    });
    viewport.addEventListener('keydown', (e) => this.key(e));
    viewport.addEventListener('focus', () => {
      if (this.list.active < 0 && this.visible.length) {
        const sel = this.selectedId ? this.visible.indexOf(this.model.index.get(this.selectedId)) : 0;
        this.list.setActive(Math.max(0, sel));
      }
    });
    new ResizeObserver(() => this.drawAxis()).observe(this.axis);
  }

  makeRow() {
    const el = h('div', { className: 'tree-row' });
    el._indent = h('span', { className: 'indent' });
    el._twisty = h('span', { className: 'twisty', 'aria-hidden': 'true' });
    el._dot = h('span', { className: 'sdot' });
    el._name = h('span', { className: 'tname ellip' });
    el._kind = h('span', { className: 'tkind' });
    el._chip = h('span', { className: 'chip', hidden: true });
    el._dur = h('span', { className: 'tdur mono num' });
    el._bar = h('span', { className: 'bar' });
    el._ext = h('span', { className: 'bar-ext' });
    el._mark = h('span', { className: 'root-end' });
    el._wf = h('span', { className: 'wcell' }, el._mark, el._bar, el._ext);
    el._cell = h('span', { className: 'tcell' }, el._indent, el._twisty, el._dot, el._name, el._kind, el._chip);
    el._llm = h('span', { className: 'tllm mono num ellip' });
    el.append(el._cell, el._dur, el._llm, el._wf);
    return el;
  }

  setModel(model, { keepState = false } = {}) {
    const old = this.model;
    const activeRow = old ? old.rows[this.visible[this.list.active]] : null;
    const activeId = activeRow?.run?.run_id;
    if (keepState && old) {
      model.collapsed = new Set([...old.collapsed].filter((id) => model.index.has(id)));
    } else if (model.rows.length > 200) {
      // A big tree opens with the root's children closed: a calm overview, one level at a time.
      model.collapseBelow(1);
    }
    this.model = model;
    this.root.classList.toggle('has-llm', model.hasLlm);
    this.visible = [];
    this.list.active = -1;
    this.relayout();
    if (activeId && model.index.has(activeId)) {
      const v = this.visible.indexOf(model.index.get(activeId));
      if (v >= 0) this.list.setActive(v, { scroll: false });
    }
  }

  relayout() {
    const m = this.model;
    if (!m) return;
    const activeRow = this.visible[this.list.active];
    this.visible = m.visibleRows();
    // As tall as its rows; the panel around it caps the height and the list scrolls.
    this.list.viewport.style.height = `${this.visible.length * ROW_HEIGHT + 4}px`;
    this.list.setCount(this.visible.length);
    if (activeRow !== undefined) {
      const v = this.visible.indexOf(activeRow);
      this.list.active = v;
    }
    this.list.draw();
    this.drawAxis();
  }

  /** The reader picked a node here: mark it at once, then let the page follow. */
  choose(runId) {
    this.selectedId = runId;
    this.list.refresh();
    this.onSelect(runId);
  }

  /** Select a node chosen elsewhere (the address); a node picked here keeps the keyboard's place. */
  select(runId, { scroll = true } = {}) {
    const m = this.model;
    if (m && runId === this.selectedId && m.index.has(runId) && this.list.active >= 0) {
      this.list.refresh();
      return;
    }
    this.selectedId = runId;
    if (!m) return;
    const i = m.index.get(runId);
    if (i !== undefined && m.parentRow[i] >= 0) {
      let hidden = false;
      for (let p = m.parentRow[i]; p >= 0; p = m.parentRow[p]) if (m.collapsed.has(m.rows[p].run.run_id)) hidden = true;
      if (hidden) {
        m.reveal(i);
        this.relayout();
      }
    }
    const v = i === undefined ? -1 : this.visible.indexOf(i);
    if (v >= 0 && scroll) this.list.scrollIntoView(v, 'center');
    if (v >= 0) this.list.active = v;
    this.list.refresh();
  }

  toggle(i, open) {
    const m = this.model;
    if (!m.hasChildren(i)) return;
    const id = m.rows[i].run.run_id;
    const isOpenNow = !m.collapsed.has(id);
    const want = open === undefined ? !isOpenNow : open;
    if (want === isOpenNow) return;
    if (want) m.collapsed.delete(id);
    else m.collapsed.add(id);
    this.relayout();
  }

  expandAll() {
    this.model.collapsed.clear();
    this.relayout();
  }

  collapseAll() {
    this.model.collapseBelow(1);
    this.relayout();
  }

  key(e) {
    if (!this.model) return;
    if (this.list.handleMoveKey(e)) return;
    const v = this.list.active;
    if (v < 0) return;
    const i = this.visible[v];
    const m = this.model;
    const row = m.rows[i];
    switch (e.key) {
      case 'ArrowRight':
        e.preventDefault();
        if (m.hasChildren(i) && m.collapsed.has(row.run.run_id)) this.toggle(i, true);
        else if (m.hasChildren(i)) this.list.setActive(v + 1);
        break;
      case 'ArrowLeft':
        e.preventDefault();
        if (row.run && m.hasChildren(i) && !m.collapsed.has(row.run.run_id)) this.toggle(i, false);
        else if (m.parentRow[i] >= 0) this.list.setActive(this.visible.indexOf(m.parentRow[i]));
        break;
      case 'Enter':
      case ' ':
        e.preventDefault();
        if (row.run) this.choose(row.run.run_id);
        break;
      case '*':
        e.preventDefault();
        this.expandAll();
        break;
      default:
        break;
    }
  }

  x(t) {
    const m = this.model;
    return ((t - m.t0) / (m.t1 - m.t0)) * 100;
  }

  renderRow(el, v) {
    const m = this.model;
    const i = this.visible[v];
    const row = m.rows[i];
    el.classList.toggle('section', !!row.section);
    if (row.section) {
      el._cell.hidden = false;
      el._indent.style.width = '0px';
      el._twisty.textContent = '';
      el._dot.className = 'sdot none';
      el._name.textContent = row.section;
      el._kind.textContent = '';
      el._chip.hidden = true;
      el._dur.textContent = '';
      el._llm.textContent = '';
      el._bar.hidden = el._ext.hidden = el._mark.hidden = true;
      el.removeAttribute('aria-level');
      el.removeAttribute('aria-expanded');
      el.setAttribute('aria-selected', 'false');
      el.dataset.runId = '';
      return;
    }
    const run = row.run;
    const state = runState(run);
    const shownDepth = Math.min(row.depth, MAX_INDENT_LEVELS);
    el._indent.style.width = `${shownDepth * INDENT}px`;
    el._indent.textContent = row.depth > MAX_INDENT_LEVELS ? `${row.depth}` : '';
    const kids = m.hasChildren(i);
    const closed = kids && m.collapsed.has(run.run_id);
    el._twisty.textContent = kids ? (closed ? '▸' : '▾') : '';
    el.dataset.runId = run.run_id;
    el.dataset.state = state;
    el.setAttribute('aria-level', String(row.depth + 1));
    if (kids) el.setAttribute('aria-expanded', String(!closed));
    else el.removeAttribute('aria-expanded');
    el.setAttribute('aria-selected', String(run.run_id === this.selectedId));
    el.classList.toggle('selected', run.run_id === this.selectedId);
    el._dot.className = `sdot st-${state}`;
    el._dot.title = state;
    el._name.textContent = runLabel(run);
    el._name.title = run.run_id;
    el._kind.textContent = el._name.textContent !== run.run_id ? run.run_id : '';
    const why = judgement(run);
    if (row.missingParent) {
      el._chip.hidden = false;
      el._chip.className = 'chip missing';
      el._chip.textContent = 'parent not arrived';
      el._chip.title = `Its parent run ${row.missingParent} has not reached the listener yet`;
    } else if (why) {
      el._chip.hidden = false;
      el._chip.className = `chip st-${state}`;
      el._chip.textContent = state;
      el._chip.title = why;
    } else if (state === 'failed' || state === 'waiting') {
      el._chip.hidden = false;
      el._chip.className = `chip st-${state}`;
      el._chip.textContent = state;
      el._chip.title = run.latest_message || '';
    } else {
      el._chip.hidden = true;
    }
    const llm = llmOf(run);
    if (llm) {
      const n = Number.isInteger(llm.total_tokens) ? tokens(llm.total_tokens) : '';
      el._llm.textContent = [n, callCost(llm)].filter(Boolean).join(' · ');
      el._llm.title = [llm.model, Number.isInteger(llm.total_tokens) ? `${count(llm.total_tokens)} tokens` : null, callCost(llm)]
        .filter(Boolean).join(' · ');
    } else {
      el._llm.textContent = '';
      el._llm.title = '';
    }
    this.renderTiming(el, run, state);
  }

  renderTiming(el, run, state) {
    const m = this.model;
    const now = Date.now();
    el._dur.textContent = duration(runDuration(run, now));
    const start = run.started_at || run.updated_at;
    el._bar.hidden = !start;
    el._ext.hidden = true;
    if (start) {
      const open = isOpen(run);
      const solidEnd = open && m.live ? now : (activityEnd(run) || start);
      const left = this.x(start);
      el._bar.className = `bar st-${state}`;
      el._bar.style.left = `${left}%`;
      el._bar.style.width = `max(2px, ${Math.max(0, this.x(solidEnd) - left)}%)`;
      el._bar.title = `${clock(start, { millis: true })} → ${open ? 'running' : clock(solidEnd, { millis: true })} (${duration(solidEnd - start)})`;
      if (run.meta?.devtools_stale_reason || (open && !m.live)) {
        const from = this.x(solidEnd);
        el._ext.hidden = false;
        el._ext.className = `bar-ext st-${state}`;
        el._ext.style.left = `${from}%`;
        el._ext.style.width = `${Math.max(0, 100 - from)}%`;
        el._ext.title = open ? 'Still open after its root ended' : `${judgement(run)} (never closed)`;
      }
    }
    if (m.rootEnd) {
      el._mark.hidden = false;
      el._mark.style.left = `${this.x(m.rootEnd)}%`;
    } else {
      el._mark.hidden = true;
    }
  }

  /** Move the axis on with the clock while something runs. */
  tick() {
    const m = this.model;
    if (!m) return;
    let open = false;
    for (const r of m.rows) if (r.run && isOpen(r.run)) { open = true; break; }
    if (!open) return;
    m.computeRange();
    this.list.refresh();
    this.drawAxis();
  }

  drawAxis() {
    const m = this.model;
    if (!m) return;
    const width = this.axis.clientWidth || 400;
    const span = m.t1 - m.t0;
    const step = niceStep(span, Math.max(2, Math.floor(width / 90)));
    const ticks = [];
    for (let t = 0; t <= span + 1e-9; t += step) {
      ticks.push(h('span', { className: 'tick', style: { left: `${(t / span) * 100}%` }, text: t === 0 ? '0' : offset(t) }));
    }
    if (m.rootEnd) {
      ticks.push(h('span', {
        className: 'tick root-end-label', style: { left: `${this.x(m.rootEnd)}%` },
        text: 'root ended', title: fullTime(m.rootEnd),
      }));
    }
    this.axis.replaceChildren(...ticks);
  }

  /**
   * Move to the next (`dir` 1) or previous (-1) failed, stale or orphaned run after the active
   * row, in tree order, wrapping around; runs inside closed nodes count and are revealed.
   */
  jumpError(dir) {
    const m = this.model;
    if (!m) return null;
    const v = this.list.active;
    let from = v >= 0 ? this.visible[v] : -1;
    if (from === undefined || from < 0) from = this.selectedId ? (m.index.get(this.selectedId) ?? -1) : -1;
    const r = findError(m.rows.length, from, dir, (i) => isErrorRun(m.rows[i].run));
    if (!r) return null;
    const i = r.index;
    m.reveal(i);
    this.relayout();
    const at = this.visible.indexOf(i);
    this.list.scrollIntoView(at, 'center');
    this.list.setActive(at, { scroll: false });
    this.choose(m.rows[i].run.run_id);
    return r;
  }

  focus() {
    this.list.viewport.focus();
  }
}
