// One run: its root's tree with the waterfall, and the events of the selected run.

import { getJSON, ApiError } from './api.js';
import {
  h, clock, fullTime, duration, count, judgement, runDuration, statusBadge, runLabel, where, isOpen,
  llmOf, callCost, totalsCost,
} from './fmt.js';
import { renderConversation } from './conversation.js';
import { TreeModel, TreeView } from './tree.js';
import { EventsView } from './events.js';
import { downloadLinks } from './tracefile.js';
import { errorButtons } from './errnav.js';

/** "Formatted | Raw": two buttons, the one pressed shows the mode; `onSet(raw)` on a change. */
export function rawSwitch(onSet, raw = false) {
  const fmt = h('button', { type: 'button', className: 'seg-btn', text: 'Formatted', onclick: () => onSet(false) });
  const rawBtn = h('button', { type: 'button', className: 'seg-btn', text: 'Raw', onclick: () => onSet(true) });
  const el = h('div', { className: 'seg raw-switch', role: 'group', 'aria-label': 'Show as' }, fmt, rawBtn);
  el.set = (on) => {
    fmt.setAttribute('aria-pressed', String(!on));
    rawBtn.setAttribute('aria-pressed', String(on));
  };
  el.set(raw);
  return el;
}

export class RunView {
  constructor(root, app) {
    this.root = root;
    this.app = app;
    this.rootId = null;
    this.selectedId = null;
    this.desc = true;
    this.treeSeq = 0;
    this.unplaced = [];
    this.lastTreeMs = 0;

    this.back = h('a', { className: 'back', href: app.href({ run: '' }), text: '← All runs',
      onclick: (e) => {
        if (e.ctrlKey || e.metaKey || e.shiftKey) return;
        e.preventDefault();
        app.goBackToList();
      } });
    this.header = h('div', { className: 'run-header' });
    this.treeErrNav = errorButtons('failed run', (dir) => this.tree.jumpError(dir));
    this.treeTools = h('div', { className: 'panel-bar' },
      h('h3', { className: 'panel-title', text: 'Run tree' }),
      this.treeStats = h('span', { className: 'list-summary' }),
      h('span', { className: 'spacer' }),
      this.treeErrNav.el,
      h('button', { type: 'button', className: 'btn ghost small', text: 'Expand all', onclick: () => this.tree.expandAll() }),
      h('button', { type: 'button', className: 'btn ghost small', text: 'Collapse', onclick: () => this.tree.collapseAll() }));
    const treePanel = h('section', { className: 'panel tree-panel', 'aria-label': 'Run tree and timeline' }, this.treeTools);
    const treeBody = h('div', { className: 'tree-body' });
    treePanel.append(treeBody);
    const eventsPanel = h('section', { className: 'panel events-panel', 'aria-label': 'Events' });
    this.message = h('div', { className: 'empty', hidden: true });
    // An LLM run shows its call as a conversation, with the events one tab away.
    this.tabConv = h('button', { type: 'button', role: 'tab', className: 'tab', id: 'tab-conv', text: 'Conversation',
      onclick: () => this.app.navigate({ view: '' }, { replace: true }) });
    this.tabEvents = h('button', { type: 'button', role: 'tab', className: 'tab', id: 'tab-events', text: 'Events',
      onclick: () => this.app.navigate({ view: 'events' }, { replace: true }) });
    this.tabs = h('div', { className: 'tabs', role: 'tablist', 'aria-label': 'Run detail' }, this.tabConv, this.tabEvents);
    this.tabs.addEventListener('keydown', (e) => {
      if (e.key !== 'ArrowLeft' && e.key !== 'ArrowRight') return;
      e.preventDefault();
      const toEvents = e.key === 'ArrowRight';
      this.app.navigate({ view: toEvents ? 'events' : '' }, { replace: true });
      (toEvents ? this.tabEvents : this.tabConv).focus();
    });
    this.rawSwitch = rawSwitch((raw) => this.app.navigate({ raw: raw ? '1' : '' }, { replace: true }));
    this.convFacts = h('span', { className: 'list-summary ellip' });
    this.convBody = h('div', { className: 'conv-body', tabindex: '0', 'aria-label': 'Conversation' });
    const convPanel = h('section', { className: 'panel conv-panel', 'aria-labelledby': 'tab-conv', role: 'tabpanel', hidden: true },
      this.convBar = h('div', { className: 'panel-bar' }, this.convFacts, h('span', { className: 'spacer' }), this.rawSwitch),
      this.convBody);
    this.convPanel = convPanel;
    this.eventsPanel = eventsPanel;
    this.view = '';
    this.raw = false;
    this.root.append(h('div', { className: 'run-top' }, this.back), this.header, this.message, treePanel, convPanel, eventsPanel);
    this.tree = new TreeView(treeBody, { onSelect: (id) => this.app.navigate({ run: id, event: '' }, { replace: true }) });
    this.events = new EventsView(eventsPanel, {
      rawSwitch: () => rawSwitch((raw) => this.app.navigate({ raw: raw ? '1' : '' }, { replace: true }), this.raw),
      onOpen: (id) => this.app.navigate({ event: id || '' }, { replace: true }),
      onToggleDescendants: (on) => this.app.navigate({ desc: on ? '' : '0' }, { replace: true }),
      agentOf: (runId) => {
        const i = this.model?.index.get(runId);
        return i === undefined ? null : runLabel(this.model.rows[i].run);
      },
      runStart: (runId) => {
        const i = this.model?.index.get(runId);
        return i === undefined ? null : this.model.rows[i].run.started_at ?? null;
      },
    });
    this.treePanel = treePanel;
  }

  /** Show what the address asks for: run, event, descendants. */
  async show(state) {
    const runId = state.run;
    const desc = state.desc !== '0';
    const eventId = state.event || null;
    const sameRun = runId === this.selectedId && this.loaded;
    const sameScope = sameRun && desc === this.desc;
    this.desc = desc;
    const view = state.view === 'events' ? 'events' : '';
    const raw = state.raw === '1';
    const modeChanged = view !== this.view || raw !== this.raw;
    this.view = view;
    this.raw = raw;
    this.events.raw = raw;
    if (!sameRun) {
      const ok = await this.selectRun(runId);
      if (!ok) return;
    } else if (!sameScope) {
      await this.loadEvents();
    }
    if (sameRun && modeChanged) this.renderCall();
    if (eventId !== this.events.openId) await this.events.open(eventId);
    else if (modeChanged && eventId) await this.events.open(eventId);
  }

  async selectRun(runId) {
    this.selectedId = runId;
    this.loaded = false;
    let record;
    try {
      record = await getJSON(`/runs/${encodeURIComponent(runId)}`);
    } catch (err) {
      if (runId !== this.selectedId) return false;
      this.showMessage(err instanceof ApiError && err.status === 404
        ? `No run “${runId}” on this listener (yet). It will open here when it arrives.`
        : `Could not load the run: ${err.message}`);
      this.waitingFor = runId;
      return false;
    }
    if (runId !== this.selectedId) return false;
    this.waitingFor = null;
    this.message.hidden = true;
    const rootId = record.root_run_id || record.run_id;
    if (rootId !== this.rootId || !this.model) {
      this.rootId = rootId;
      this.rootMissing = null;
      this.model = null;
      if (!(await this.loadTree())) {
        if (this.treeStatus !== 404 || rootId === record.run_id || runId !== this.selectedId) return false;
        // Its root has not reached the listener yet: show the run's own subtree meanwhile.
        this.rootMissing = rootId;
        this.rootId = record.run_id;
        if (!(await this.loadTree())) return false;
      }
    }
    if (runId !== this.selectedId) return false;
    this.tree.select(runId);
    this.renderHeader();
    this.renderCall();
    await this.loadEvents();
    this.loaded = true;
    document.title = `${runLabel(this.currentRun() || record)} · orvane devtools`;
    return true;
  }

  /** The conversation tab of an LLM run (the events stay one tab away); nothing for other runs. */
  renderCall() {
    const run = this.currentRun();
    const llm = llmOf(run);
    const showConv = !!llm && this.view !== 'events';
    this.tabs.hidden = !llm;
    this.events.title.hidden = !!llm;
    if (llm) {
      const bar = showConv ? this.convBar : this.events.bar;
      if (this.tabs.parentNode !== bar) bar.prepend(this.tabs);
    }
    this.tabConv.setAttribute('aria-selected', String(showConv));
    this.tabEvents.setAttribute('aria-selected', String(!showConv));
    this.tabConv.tabIndex = showConv ? 0 : -1;
    this.tabEvents.tabIndex = showConv ? -1 : 0;
    this.convPanel.hidden = !showConv;
    this.eventsPanel.hidden = showConv;
    this.root.classList.toggle('showing-call', showConv);
    if (!showConv) {
      this.shownCall = null;
      return;
    }
    this.rawSwitch.set(this.raw);
    const key = `${this.raw}|${run.run_id}|${JSON.stringify(llm)}`;
    if (key === this.shownCall) return;
    const sameRun = this.shownCall?.startsWith(`${this.raw}|${run.run_id}|`);
    const top = this.convBody.scrollTop;
    this.shownCall = key;
    this.convFacts.textContent = [llm.model, callCost(llm)].filter(Boolean).join(' · ');
    this.convBody.replaceChildren(renderConversation(llm, { raw: this.raw }));
    this.convBody.scrollTop = sameRun ? top : 0;
  }

  showMessage(text) {
    this.message.hidden = false;
    this.message.textContent = text;
    this.header.replaceChildren();
  }

  currentRun() {
    const i = this.model?.index.get(this.selectedId);
    return i === undefined ? null : this.model.rows[i].run;
  }

  async loadTree({ keepState = false } = {}) {
    const seq = ++this.treeSeq;
    const t = performance.now();
    let flat;
    this.treeStatus = 200;
    try {
      flat = await getJSON(`/runs/${encodeURIComponent(this.rootId)}/tree`, { format: 'flat' });
    } catch (err) {
      this.treeStatus = err.status;
      if (seq === this.treeSeq && err.status !== 404) this.app.showError('tree', err);
      return false;
    }
    if (seq !== this.treeSeq) return false;
    this.app.clearError('tree');
    const model = new TreeModel(flat);
    this.model = model;
    this.tree.setModel(model, { keepState });
    this.lastTreeMs = performance.now() - t;
    this.lastTreeAt = Date.now();
    this.updateTreeStats();
    this.root.dataset.treeReady = String(model.rows.length);
    return true;
  }

  updateTreeStats() {
    const s = this.model.stats();
    const parts = [`${count(s.n)} run${s.n === 1 ? '' : 's'}`];
    if (s.running) parts.push(`${count(s.running)} running`);
    if (s.failed) parts.push(`${count(s.failed)} failed`);
    if (s.orphaned) parts.push(`${count(s.orphaned)} orphaned`);
    if (s.stale) parts.push(`${count(s.stale)} stale`);
    const t = this.model.totals;
    if (t && t.llm_calls) {
      parts.push(`${count(t.llm_calls)} LLM call${t.llm_calls === 1 ? '' : 's'}`);
      if (Number.isInteger(t.total_tokens)) parts.push(`${count(t.total_tokens)} tokens`);
      parts.push(totalsCost(t));
    }
    this.treeStats.textContent = parts.join(' · ');
  }

  scopeIds() {
    const i = this.model.index.get(this.selectedId);
    if (i === undefined) return new Set([this.selectedId]);
    return new Set(this.desc ? this.model.runIds(i) : [this.selectedId]);
  }

  async loadEvents() {
    this.unplaced = [];
    const run = this.currentRun();
    try {
      const scope = this.scopeIds();
      let expectedTotal = 0;
      for (const id of scope) {
        const i = this.model.index.get(id);
        expectedTotal += i === undefined ? 0 : (this.model.rows[i].run.event_count || 0);
      }
      await this.events.load(this.selectedId, {
        desc: this.desc, t0: this.model.t0 || run?.started_at, runIds: scope, expectedTotal: expectedTotal || null,
      });
      this.app.clearError('events');
    } catch (err) {
      this.app.showError('events', err);
    }
  }

  renderHeader() {
    const run = this.currentRun();
    if (!run) return;
    const root = this.model.rows[0]?.run;
    const facts = h('dl', { className: 'facts inline' });
    const fact = (k, v, opts = {}) => {
      if (v === undefined || v === null || v === '') return;
      facts.append(h('div', {}, h('dt', { text: k }), h('dd', { className: opts.mono ? 'mono' : '', text: String(v), title: opts.title })));
    };
    fact('Run id', run.run_id, { mono: true });
    fact('Kind', run.run_kind);
    fact('Where', where(run).join(' · '));
    fact('Session', run.session_id, { mono: true });
    fact('Started', clock(run.started_at, { millis: true }), { title: fullTime(run.started_at) });
    this.durFact = null;
    fact('Duration', duration(runDuration(run)));
    this.durFact = facts.lastChild?.querySelector('dd');
    fact('Events', count(run.event_count));
    const llm = llmOf(run);
    if (llm) {
      fact('Model', llm.model);
      if (Number.isInteger(llm.total_tokens)) fact('Tokens', count(llm.total_tokens));
      fact('Cost', callCost(llm));
    }
    if (root && root.run_id !== run.run_id) fact('Root', `${runLabel(root)} · ${root.run_id}`);
    if (run.parent_run_id && run.parent_run_id !== root?.run_id) fact('Parent', run.parent_run_id, { mono: true });
    const why = judgement(run);
    this.header.replaceChildren(...[
      h('div', { className: 'run-title' }, statusBadge(run), h('h2', { text: runLabel(run) }),
        run.latest_message && run.latest_message !== runLabel(run) ? h('span', { className: 'latest muted ellip', text: run.latest_message, title: run.latest_message }) : null,
        downloadLinks(run.run_id, run.session_id)),
      why ? h('p', { className: 'judged-note', text: why }) : null,
      this.rootMissing ? h('p', { className: 'missing-note', text: `Its root run ${this.rootMissing} has not reached the listener yet; showing this run's own subtree.` }) : null,
      facts,
    ].filter(Boolean));
  }

  tick() {
    if (!this.model) return;
    this.tree.tick();
    const run = this.currentRun();
    if (run && isOpen(run) && this.durFact) this.durFact.textContent = duration(runDuration(run));
  }

  /** A run record from the stream. */
  onRun(run) {
    if (this.waitingFor && run.run_id === this.waitingFor) {
      this.selectRun(this.waitingFor);
      return;
    }
    if (this.rootMissing && run.run_id === this.rootMissing) {
      // The root has arrived: show the whole tree.
      this.rootMissing = null;
      this.model = null;
      this.rootId = null;
      this.selectRun(this.selectedId);
      return;
    }
    if (!this.model) return;
    const inTree = (run.root_run_id || run.run_id) === this.rootId || this.model.index.has(run.run_id)
      || (this.rootMissing && run.root_run_id === this.rootMissing);
    if (!inTree) return;
    const at = this.model.index.get(run.run_id);
    const held = at === undefined ? null : this.model.rows[at].run;
    if (held && ((held.parent_run_id || null) !== (run.parent_run_id || null)
      || (held.root_run_id || held.run_id) !== (run.root_run_id || run.run_id))) {
      // The run moved: its parent arrived after it and the listener joined it to the parent's
      // tree. The selected run's new root is a tree of its own to show; any other move reshapes
      // this one, read again.
      this.model.updateRun(run);
      if (run.run_id === this.selectedId && (run.root_run_id || run.run_id) !== this.rootId) {
        this.rootMissing = null;
        this.model = null;
        this.rootId = null;
        this.selectRun(this.selectedId);
      } else {
        this.app.soon('tree-refresh', () => this.refreshTree(), Math.max(250, this.lastTreeMs * 4));
      }
      return;
    }
    if (this.model.updateRun(run)) {
      if (this.model.stale) {
        // Its LLM call (or a descendant's) may have changed: read the tree again soon.
        this.model.stale = false;
        this.app.soon('tree-refresh', () => this.refreshTree(), Math.max(250, this.lastTreeMs * 4));
      }
      this.model.computeRange();
      this.tree.list.refresh();
      this.tree.drawAxis();
      this.updateTreeStats();
      if (run.run_id === this.selectedId) {
        this.renderHeader();
        this.renderCall();
      }
    } else {
      // A new run in this tree: read the tree again, not more often than it takes to read it.
      this.app.soon('tree-refresh', () => this.refreshTree(), Math.max(250, this.lastTreeMs * 4));
    }
  }

  onEvent(ev) {
    if (!this.model) return false;
    if (this.events.onEvent(ev)) return true;
    // An event of a run this tree does not know yet (a new child): keep it until the tree has
    // been read again, then offer it once more.
    const run = ev.run;
    if (run && !this.model.index.has(run.run_id) && (run.root_run_id === this.rootId || run.root_run_id === this.rootMissing)) {
      if (this.unplaced.length < 5000) this.unplaced.push(ev);
      this.app.soon('tree-refresh', () => this.refreshTree(), Math.max(250, this.lastTreeMs * 4));
    }
    return false;
  }

  async refreshTree() {
    if (!this.rootId) return;
    const ok = await this.loadTree({ keepState: true });
    if (!ok) return;
    this.tree.select(this.selectedId, { scroll: false });
    this.events.setScope(this.scopeIds());
    const waiting = this.unplaced;
    this.unplaced = [];
    for (const ev of waiting) this.events.onEvent(ev);
    this.renderHeader();
    this.renderCall();
  }

  /** Periodic re-read: open runs may have been judged stale or orphaned meanwhile. */
  async refresh() {
    if (!this.model || !this.loaded || this.refreshingTree) return;
    // Paced by what reading the tree costs the listener (see App.refresh).
    if (Date.now() - (this.lastTreeAt || 0) < Math.max(5000, 20 * this.lastTreeMs)) return;
    const anyOpen = this.model.rows.some((r) => r.run && isOpen(r.run));
    if (!anyOpen) return;
    this.refreshingTree = true;
    try {
      await this.refreshTree();
    } finally {
      this.refreshingTree = false;
    }
  }

  /** After a reconnect: read everything shown again. */
  async resync() {
    if (!this.selectedId) return;
    await this.refreshTree();
    await this.loadEvents();
    if (this.events.openId) await this.events.open(this.events.openId);
  }

  /** `e` / Shift+E: the next or previous error of the panel holding the focus (the tree by default). */
  jumpError(dir, target) {
    if (!this.model) return;
    const inEvents = target instanceof Element && !!target.closest('.events-panel');
    if (inEvents) this.events.errNav.go(dir);
    else this.treeErrNav.go(dir);
  }

  focus() {
    this.tree.focus();
  }
}
