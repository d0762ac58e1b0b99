// The page: the address holds what is shown (filters, the open run, the open event), the live
// stream feeds both views, and a pause toggle holds updates back while counting them.

import { RunsView, FILTER_KEYS } from './runs.js';
import { RunView } from './runview.js';
import { LiveStream } from './stream.js';
import { TraceFiles } from './tracefile.js';
import { SessionsView, SESSION_KEYS } from './sessions.js';

const STATE_KEYS = [...FILTER_KEYS, ...SESSION_KEYS, 'tab', 'session', 'run', 'event', 'desc', 'view', 'raw'];
const REFRESH_MS = 5000;

function readAddress() {
  const q = new URLSearchParams(location.search);
  const s = {};
  for (const k of STATE_KEYS) s[k] = q.get(k) || '';
  return s;
}

class App {
  constructor() {
    this.state = readAddress();
    this.timers = new Map();
    this.errors = new Map();
    this.paused = false;
    this.pending = { runs: new Set(), events: 0 };
    this.listScroll = 0;
    this.cameFromList = false;

    this.runsEl = document.getElementById('runs-view');
    this.runEl = document.getElementById('run-view');
    this.sessionsEl = document.getElementById('sessions-view');
    this.tabs = document.getElementById('view-tabs');
    this.banner = document.getElementById('banner');
    this.conn = document.getElementById('conn');
    this.pauseBtn = document.getElementById('pause');
    this.marker = document.getElementById('new-marker');

    this.runs = new RunsView(this.runsEl, this);
    this.runView = new RunView(this.runEl, this);
    this.sessions = new SessionsView(this.sessionsEl, this);
    for (const tab of this.tabs.querySelectorAll('a[data-tab]')) {
      tab.addEventListener('click', (e) => {
        if (e.ctrlKey || e.metaKey || e.shiftKey) return;
        e.preventDefault();
        this.navigate({ tab: tab.dataset.tab, session: '', run: '', event: '' });
      });
    }
    this.traceFiles = new TraceFiles(this);

    this.pauseBtn.addEventListener('click', () => this.setPaused(!this.paused));
    this.marker.addEventListener('click', () => this.setPaused(false));
    document.getElementById('home-link').addEventListener('click', (e) => {
      if (e.ctrlKey || e.metaKey || e.shiftKey) return;
      e.preventDefault();
      this.navigate(Object.fromEntries(STATE_KEYS.map((k) => [k, ''])));
    });
    window.addEventListener('popstate', () => {
      this.state = readAddress();
      this.apply();
    });
    document.addEventListener('keydown', (e) => this.globalKey(e));

    this.stream = new LiveStream({
      onMessage: (m) => this.onMessage(m),
      onState: (s, detail) => this.setConnection(s, detail),
      onResync: () => this.resync(),
    });

    this.apply({ first: true });
    this.stream.start();
    setInterval(() => this.tick(), 1000);
    setInterval(() => this.refresh(), REFRESH_MS);
  }

  /** Link to a state: `patch` over the current state. */
  href(patch) {
    const s = { ...this.state, ...patch };
    if (patch.run !== undefined && patch.event === undefined) s.event = '';
    const q = new URLSearchParams();
    for (const k of STATE_KEYS) if (s[k]) q.set(k, s[k]);
    const str = q.toString();
    return `${location.pathname}${str ? `?${str}` : ''}`;
  }

  navigate(patch, { replace = false } = {}) {
    const url = this.href(patch);
    const wasList = !this.state.run;
    if (url === `${location.pathname}${location.search}`) return;
    if (wasList && patch.run) {
      this.listScroll = this.runs.list.viewport.scrollTop;
      this.cameFromList = true;
    }
    if (replace) history.replaceState(null, '', url);
    else history.pushState(null, '', url);
    this.state = readAddress();
    this.apply();
  }

  goBackToList() {
    if (this.cameFromList && history.length > 1) history.back();
    else this.navigate({ run: '', event: '', desc: '', view: '' });
  }

  /** Which view the address shows: a run, the sessions (a list or one session), or the runs. */
  shownView() {
    if (this.state.run) return 'run';
    return this.state.tab === 'sessions' ? 'sessions' : 'runs';
  }

  apply({ first = false } = {}) {
    const s = this.state;
    const shown = this.shownView();
    this.tabs.hidden = shown === 'run';
    for (const tab of this.tabs.querySelectorAll('a[data-tab]')) {
      const current = (tab.dataset.tab === 'sessions') === (shown === 'sessions');
      if (current) tab.setAttribute('aria-current', 'page');
      else tab.removeAttribute('aria-current');
      tab.href = this.href({ tab: tab.dataset.tab, session: '', run: '', event: '' });
    }
    this.runs.setFilters(s);
    if (shown !== 'sessions') this.sessionsEl.hidden = true;
    if (shown === 'sessions') {
      const entering = this.sessionsEl.hidden;
      this.runsEl.hidden = true;
      this.runEl.hidden = true;
      this.sessionsEl.hidden = false;
      const wasOpen = this.sessions.openId;
      this.sessions.show(s, { entering: entering && !first }).then(() => {
        // Take the focus into the list shown, unless the reader moved it meanwhile.
        const idle = document.activeElement === document.body || !this.sessionsEl.contains(document.activeElement);
        if ((first || entering || wasOpen !== this.sessions.openId) && idle) this.sessions.focus();
      });
    } else if (s.run) {
      const entering = this.runEl.hidden;
      if (entering) {
        this.runsEl.hidden = true;
        this.runEl.hidden = false;
      }
      this.runView.show(s).then(() => {
        // Take the focus along into the run, unless the reader moved it meanwhile.
        const idle = document.activeElement === document.body || this.runsEl.contains(document.activeElement)
          || this.sessionsEl.contains(document.activeElement);
        if ((first || entering) && idle) this.runView.focus();
      });
    } else {
      document.title = 'Runs · orvane devtools';
      if (this.runsEl.hidden) {
        this.runEl.hidden = true;
        this.runsEl.hidden = false;
        if (Date.now() - (this.runs.lastRefresh || 0) > REFRESH_MS) this.runs.refresh();
        this.runs.list.viewport.scrollTop = this.listScroll;
        this.runs.list.draw();
        this.runs.focus();
      }
      if (first) this.runs.search.focus();
    }
  }

  onMessage({ event, data }) {
    if (event === 'gap') {
      // The listener dropped messages for this page: read what is shown again.
      if (!this.paused) this.resync();
      else this.pending.events += data?.dropped || 1;
      this.updateMarker();
      return;
    }
    if (this.paused) {
      if (event === 'run' && !this.runs.index.has(data.run_id)) this.pending.runs.add(data.run_id);
      if (event === 'event' && this.state.run && this.runView.events.runIds?.has(data.run?.run_id)) this.pending.events++;
      this.updateMarker();
      return;
    }
    if (event === 'run') {
      this.runs.onRun(data);
      this.runView.onRun(data);
      this.sessions.onRun(data);
    } else if (event === 'event') {
      if (this.state.run) this.runView.onEvent(data);
    }
  }

  setPaused(paused) {
    this.paused = paused;
    this.pauseBtn.setAttribute('aria-pressed', String(paused));
    this.pauseBtn.querySelector('.pause-text').textContent = paused ? 'Resume' : 'Pause';
    this.pauseBtn.title = paused ? 'Resume live updates (p)' : 'Pause live updates (p)';
    document.body.classList.toggle('paused', paused);
    if (!paused) {
      const had = this.pending.runs.size + this.pending.events;
      this.pending = { runs: new Set(), events: 0 };
      if (had) this.resync();
    }
    this.updateMarker();
    this.setConnection(this.connState);
  }

  updateMarker() {
    const n = this.pending.runs.size + this.pending.events;
    this.marker.hidden = !this.paused || n === 0;
    const parts = [];
    if (this.pending.runs.size) parts.push(`${this.pending.runs.size} new run${this.pending.runs.size === 1 ? '' : 's'}`);
    if (this.pending.events) parts.push(`${this.pending.events} new event${this.pending.events === 1 ? '' : 's'}`);
    this.marker.textContent = parts.join(' · ');
    this.marker.title = 'Resume to show them';
  }

  setConnection(state, detail) {
    this.connState = state;
    const text = {
      connecting: 'Connecting…',
      live: this.paused ? 'Paused' : 'Live',
      reconnecting: 'Reconnecting…',
    }[state] || state;
    this.conn.dataset.state = this.paused && state === 'live' ? 'paused' : state;
    this.conn.querySelector('.conn-text').textContent = text;
    this.conn.title = state === 'reconnecting' ? `The listener cannot be reached${detail ? ` (${detail})` : ''}; retrying` : '';
    if (state === 'live') this.clearError('stream');
  }

  resync() {
    if (this.paused) return;
    this.runs.refresh();
    if (this.state.run) this.runView.resync();
    else if (!this.sessionsEl.hidden) this.sessions.refresh();
  }

  tick() {
    if (document.hidden) return;
    if (!this.runsEl.hidden) this.runs.tick();
    if (!this.runEl.hidden) this.runView.tick();
    if (!this.sessionsEl.hidden) this.sessions.tick();
  }

  /**
   * Open runs may be judged stale or orphaned without any event arriving, so what is shown is
   * read again now and then; with nothing open the stream tells every change and a slow re-read
   * is enough. A re-read that costs the listener more waits longer (20 times its own time), so a
   * page left open never keeps a busy listener busier.
   */
  refresh() {
    if (this.paused || document.hidden || this.connState !== 'live') return;
    const now = Date.now();
    if (!this.runsEl.hidden) {
      const gap = Math.max(REFRESH_MS, 20 * (this.runs.refreshCost || 0));
      const every = this.runs.anyOpen() ? gap : Math.max(60_000, gap);
      if (now - (this.runs.lastRefresh || 0) >= every) this.runs.refresh();
    } else if (!this.runEl.hidden) {
      this.runView.refresh();
    } else if (!this.sessionsEl.hidden && now - (this.sessions.lastRefresh || 0) >= 2 * REFRESH_MS) {
      this.sessions.refresh();
    }
  }

  /** Run `fn` once after `ms`, however often this is asked for meanwhile. */
  soon(key, fn, ms) {
    if (this.timers.has(key)) return;
    this.timers.set(key, setTimeout(() => {
      this.timers.delete(key);
      fn();
    }, ms));
  }

  showError(key, err) {
    this.errors.set(key, err.message || String(err));
    this.renderBanner();
  }

  clearError(key) {
    if (this.errors.delete(key)) this.renderBanner();
  }

  renderBanner() {
    const msgs = [...new Set(this.errors.values())];
    this.banner.hidden = msgs.length === 0;
    this.banner.textContent = msgs.join(' ');
  }

  globalKey(e) {
    const t = e.target;
    const typing = t instanceof HTMLInputElement || t instanceof HTMLSelectElement || t instanceof HTMLTextAreaElement;
    if (e.ctrlKey || e.metaKey || e.altKey) return;
    if (e.key === '/' && !typing) {
      e.preventDefault();
      if (this.state.run) this.navigate({ run: '', event: '' });
      if (this.shownView() === 'sessions') {
        if (this.state.session) this.navigate({ session: '' });
        this.sessions.search.focus();
        this.sessions.search.select();
        return;
      }
      this.runs.search.focus();
      this.runs.search.select();
    } else if ((e.key === 'e' || e.key === 'E') && !typing && this.state.run && !document.querySelector('dialog[open]')) {
      // e: the next error, Shift+E: the previous one, in the tree or the events (where the focus is).
      e.preventDefault();
      this.runView.jumpError(e.key === 'E' ? -1 : 1, t);
    } else if ((e.key === 'p' || e.key === 'P') && !typing) {
      e.preventDefault();
      this.setPaused(!this.paused);
    } else if (e.key === 'Escape' && this.state.run && !document.querySelector('dialog[open]')) {
      if (e.defaultPrevented) return; // a list already used it
      e.preventDefault();
      if (this.state.event) this.navigate({ event: '' }, { replace: true });
      else this.goBackToList();
    }
  }
}

window.orvaneApp = new App();
