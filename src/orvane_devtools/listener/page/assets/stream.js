// The live connection: Server-Sent Events read with fetch and a streaming reader (so the API key
// travels in a header, never in the address), reconnecting by itself with a short back-off.

import { apiUrl, authHeaders, keyRefused, AUTH_REQUIRED } from './api.js';

/** Incremental parser of the text/event-stream format. */
export class SSEParser {
  constructor(onMessage) {
    this.onMessage = onMessage;
    this.buffer = '';
    this.reset();
  }

  reset() {
    this.event = '';
    this.data = [];
    this.id = null;
  }

  push(text) {
    this.buffer += text;
    let start = 0;
    for (;;) {
      const nl = this.buffer.slice(start).search(/\r\n|\r|\n/);
      if (nl < 0) break;
      const end = start + nl;
      // A lone \r at the very end may be the first half of \r\n: wait for more.
      if (this.buffer[end] === '\r' && end + 1 === this.buffer.length) break;
      const line = this.buffer.slice(start, end);
      start = end + (this.buffer.startsWith('\r\n', end) ? 2 : 1);
      this.line(line);
    }
    this.buffer = this.buffer.slice(start);
  }

  line(line) {
    if (line === '') {
      if (this.data.length || this.event) {
        this.onMessage({ event: this.event || 'message', data: this.data.join('\n'), id: this.id });
      }
      this.reset();
      return;
    }
    if (line.startsWith(':')) {
      this.onMessage({ event: 'comment', data: line.slice(1).trim(), id: null });
      return;
    }
    const colon = line.indexOf(':');
    const field = colon < 0 ? line : line.slice(0, colon);
    let value = colon < 0 ? '' : line.slice(colon + 1);
    if (value.startsWith(' ')) value = value.slice(1);
    if (field === 'event') this.event = value;
    else if (field === 'data') this.data.push(value);
    else if (field === 'id' && !value.includes('\0')) this.id = value;
  }
}

const QUIET_LIMIT_MS = 40_000; // the listener sends a heartbeat every 15 s

/**
 * A live stream. `onMessage({event, data, id})` receives each message (data already parsed as
 * JSON for event/run/gap); `onState(state, detail)` receives "connecting", "live", "reconnecting".
 * `onResync()` is called after a reconnect, when what the page shows may have missed messages.
 */
export class LiveStream {
  constructor({ params = {}, onMessage, onState, onResync }) {
    this.params = params;
    this.onMessage = onMessage;
    this.onState = onState || (() => {});
    this.onResync = onResync || (() => {});
    this.lastId = null;
    this.controller = null;
    this.stopped = true;
    this.failures = 0;
    this.connectedOnce = false;
    this.watchdog = null;
  }

  start() {
    if (!this.stopped) return;
    this.stopped = false;
    this.loop();
  }

  stop() {
    this.stopped = true;
    this.controller?.abort();
    clearTimeout(this.watchdog);
  }

  /** Drop the current connection and open a new one at once. */
  reconnect() {
    this.failures = 0;
    this.controller?.abort();
  }

  armWatchdog() {
    clearTimeout(this.watchdog);
    this.watchdog = setTimeout(() => this.controller?.abort(), QUIET_LIMIT_MS);
  }

  async loop() {
    while (!this.stopped) {
      this.onState(this.connectedOnce ? 'reconnecting' : 'connecting');
      try {
        await this.connectOnce();
      } catch (err) {
        if (this.stopped) return;
        this.lastError = err;
      }
      clearTimeout(this.watchdog);
      if (this.stopped) return;
      this.onState('reconnecting', this.lastError?.message);
      const delay = Math.min(250 * 2 ** this.failures, 3000);
      this.failures = Math.min(this.failures + 1, 6);
      await new Promise((r) => setTimeout(r, delay));
    }
  }

  async connectOnce() {
    this.controller = new AbortController();
    const headers = { Accept: 'text/event-stream', ...(await authHeaders()) };
    if (this.lastId) headers['Last-Event-ID'] = this.lastId;
    const res = await fetch(apiUrl('/stream', this.params), {
      headers,
      signal: this.controller.signal,
      cache: 'no-store',
    });
    if (res.status === 401 && AUTH_REQUIRED) {
      await keyRefused();
      return;
    }
    if (!res.ok || !res.body) throw new Error(`stream answered HTTP ${res.status}`);
    const resumed = this.connectedOnce;
    this.connectedOnce = true;
    this.failures = 0;
    this.onState('live');
    if (resumed) this.onResync();
    this.armWatchdog();
    const parser = new SSEParser((msg) => this.dispatch(msg));
    const reader = res.body.getReader();
    const decoder = new TextDecoder();
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      this.armWatchdog();
      parser.push(decoder.decode(value, { stream: true }));
    }
  }

  dispatch(msg) {
    if (msg.id) this.lastId = msg.id;
    if (msg.event === 'comment') return;
    let data = msg.data;
    if (msg.event === 'event' || msg.event === 'run' || msg.event === 'gap') {
      try {
        data = JSON.parse(msg.data);
      } catch {
        return;
      }
    }
    try {
      this.onMessage({ event: msg.event, data, id: msg.id });
    } catch (err) {
      console.error('stream message handler failed', err);
    }
  }
}
