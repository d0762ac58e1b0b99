// Trace files: a file dropped onto the page (or chosen with "Open file") is imported through
// POST /import, in bodies under the listener's body limit sent one after another, with its
// progress in the top bar; a run's tree downloads as JSON Lines or OTLP JSON lines.

import { apiUrl, authHeaders, keyRefused, AUTH_REQUIRED } from './api.js';
import { h, count } from './fmt.js';

const NEWLINE = 10;
// Bodies of at most this much (or the listener's limit, when lower): each one is a commit.
const BODY_BYTES = 2 * 1024 * 1024;
const SHOWN_BAD_LINES = 5;

function maxBody() {
  const v = Number(document.querySelector('meta[name="orvane-max-body"]')?.getAttribute('content'));
  return Number.isFinite(v) && v >= 1024 ? v : 16 * 1024 * 1024;
}

function concat(parts, total) {
  if (parts.length === 1) return parts[0];
  const out = new Uint8Array(total);
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
}

function newlines(bytes) {
  let n = 0;
  for (let i = bytes.indexOf(NEWLINE); i >= 0; i = bytes.indexOf(NEWLINE, i + 1)) n++;
  return n;
}

function plural(n, word) {
  return `${count(n)} ${word}${n === 1 ? '' : 's'}`;
}

class ImportFailed extends Error {}

/** One file's import: its counts, and the bodies it sends. */
class FileImport {
  constructor(file, onProgress) {
    this.file = file;
    this.onProgress = onProgress;
    this.limit = Math.max(1024, Math.min(maxBody(), BODY_BYTES));
    this.read = 0; // bytes of the file read (compressed bytes for a gzip file)
    this.accepted = 0;
    this.duplicates = 0;
    this.badLines = 0;
    this.bad = []; // the first few: {line, error}
    this.otlp = 0;
    this.trees = new Map(); // root run id -> the run to show its tree by
  }

  async run() {
    const head = new Uint8Array(await this.file.slice(0, 2).arrayBuffer());
    const gzip = head[0] === 0x1f && head[1] === 0x8b;
    const counted = new TransformStream({
      transform: (chunk, ctl) => {
        this.read += chunk.length;
        ctl.enqueue(chunk);
      },
    });
    let stream = this.file.stream().pipeThrough(counted);
    if (gzip) {
      if (typeof DecompressionStream !== 'function') throw new ImportFailed('this browser cannot read gzip files');
      stream = stream.pipeThrough(new DecompressionStream('gzip'));
    }
    const reader = stream.getReader();
    let parts = [];
    let size = 0;
    let line = 0; // lines sent (or skipped) before the held bytes
    let skipping = false; // inside a line longer than a body may be
    for (;;) {
      let chunk;
      try {
        ({ value: chunk } = await reader.read());
      } catch (err) {
        // A cut or damaged gzip file: what came out before the damage is imported.
        this.addBad(line + 1, 'cut off: the gzip stream ends (or is damaged) here');
        chunk = undefined;
      }
      if (!chunk) break;
      if (skipping) {
        const end = chunk.indexOf(NEWLINE);
        if (end < 0) continue;
        skipping = false;
        line += 1;
        chunk = chunk.subarray(end + 1);
      }
      parts.push(chunk);
      size += chunk.length;
      while (size >= this.limit) {
        const held = concat(parts, size);
        const cut = held.lastIndexOf(NEWLINE, this.limit - 1);
        if (cut < 0) {
          // One line longer than the listener takes in a body: it cannot be imported.
          this.addBad(line + 1, `longer than the listener's body limit (${count(this.limit)} bytes)`);
          const end = held.indexOf(NEWLINE);
          if (end < 0) {
            skipping = true;
            parts = [];
            size = 0;
          } else {
            line += 1;
            parts = [held.subarray(end + 1)];
            size = parts[0].length;
          }
          continue;
        }
        const body = held.subarray(0, cut + 1);
        await this.send(body, line);
        line += newlines(body);
        parts = [held.subarray(cut + 1)];
        size = parts[0].length;
        this.onProgress(this);
      }
      this.onProgress(this);
    }
    if (size > 0) {
      const body = concat(parts, size);
      if (body.some((b) => b !== 0x20 && b !== 0x0a && b !== 0x0d && b !== 0x09)) await this.send(body, line);
    }
    this.read = this.file.size;
    this.onProgress(this);
  }

  addBad(line, error) {
    this.badLines += 1;
    if (this.bad.length < SHOWN_BAD_LINES) this.bad.push({ line, error });
  }

  /** POST one body; `before` is the number of the file's lines before it. */
  async send(body, before) {
    for (let attempt = 0; ; attempt++) {
      let res;
      try {
        res = await fetch(apiUrl('/import'), {
          method: 'POST',
          headers: { 'Content-Type': 'application/x-ndjson', ...(await authHeaders()) },
          body,
        });
      } catch {
        throw new ImportFailed('the listener cannot be reached');
      }
      if (res.status === 401 && AUTH_REQUIRED && attempt < 5) {
        await keyRefused();
        continue;
      }
      let answer = null;
      try {
        answer = await res.json();
      } catch {
        answer = null;
      }
      if (res.status === 413 && newlines(body) > 1) {
        // The listener takes less than the page thought: in two halves, each at a line's end.
        const middle = body.lastIndexOf(NEWLINE, Math.floor(body.length / 2));
        const cut = middle >= 0 && middle < body.length - 1 ? middle : body.indexOf(NEWLINE);
        const first = body.subarray(0, cut + 1);
        await this.send(first, before);
        await this.send(body.subarray(cut + 1), before + newlines(first));
        return;
      }
      if (res.status === 413) {
        this.addBad(before + 1, "larger than the listener's body limit");
        return;
      }
      if (res.status === 503 && attempt < 3) {
        await new Promise((resolve) => setTimeout(resolve, 500 * (attempt + 1)));
        continue;
      }
      if (res.ok || (res.status === 400 && answer && 'bad_lines' in answer)) {
        this.accepted += answer.accepted || 0;
        this.duplicates += answer.duplicates || 0;
        this.otlp += answer.otlp_not_kept || 0;
        const listed = answer.rejected || [];
        for (const r of listed) {
          if (this.bad.length < SHOWN_BAD_LINES) this.bad.push({ line: before + r.line, error: r.error });
        }
        this.badLines += answer.bad_lines ?? listed.length;
        for (const t of answer.trees || []) {
          const known = this.trees.get(t.root_run_id);
          if (!known || (known !== t.root_run_id && t.run_id === t.root_run_id)) this.trees.set(t.root_run_id, t.run_id);
        }
        return;
      }
      throw new ImportFailed(answer?.error || `the listener answered ${res.status}`);
    }
  }

  summary() {
    const parts = [`${plural(this.accepted, 'event')} stored`, plural(this.duplicates, 'duplicate'),
      plural(this.badLines, 'bad line')];
    return `${this.file.name}: ${parts.join(', ')}`;
  }
}

/** The "Open file" button, the drop target and the import's status in the top bar. */
export class TraceFiles {
  constructor(app) {
    this.app = app;
    this.busy = false;
    this.button = document.getElementById('open-file');
    this.input = document.getElementById('open-file-input');
    this.status = document.getElementById('import-status');
    this.dropZone = document.getElementById('drop-zone');
    this.button.addEventListener('click', () => this.input.click());
    this.input.addEventListener('change', () => {
      const files = [...this.input.files];
      this.input.value = '';
      if (files.length) this.importFiles(files);
    });
    let depth = 0;
    const hasFiles = (e) => [...(e.dataTransfer?.types || [])].includes('Files');
    document.addEventListener('dragenter', (e) => {
      if (!hasFiles(e)) return;
      e.preventDefault();
      depth += 1;
      this.dropZone.hidden = false;
    });
    document.addEventListener('dragover', (e) => {
      if (!hasFiles(e)) return;
      e.preventDefault();
      e.dataTransfer.dropEffect = 'copy';
    });
    document.addEventListener('dragleave', (e) => {
      if (!hasFiles(e)) return;
      depth = Math.max(0, depth - 1);
      if (depth === 0) this.dropZone.hidden = true;
    });
    document.addEventListener('drop', (e) => {
      if (!e.dataTransfer?.files?.length) return;
      e.preventDefault();
      depth = 0;
      this.dropZone.hidden = true;
      this.importFiles([...e.dataTransfer.files]);
    });
  }

  showStatus(...children) {
    this.status.replaceChildren(...children);
    this.status.hidden = false;
  }

  progress(job, index, total) {
    const pct = job.file.size ? Math.min(100, Math.floor((100 * job.read) / job.file.size)) : 100;
    const bar = h('progress', { max: '100', value: String(pct), 'aria-label': `Import of ${job.file.name}` });
    const label = total > 1 ? `${index + 1}/${total} ` : '';
    this.showStatus(bar, h('span', { className: 'import-text',
      text: `Importing ${label}${job.file.name}: ${pct}% · ${plural(job.accepted + job.duplicates, 'event')}` }));
  }

  async importFiles(files) {
    if (this.busy) return;
    this.busy = true;
    this.button.disabled = true;
    const done = [];
    let failure = null;
    try {
      for (const [i, file] of files.entries()) {
        const job = new FileImport(file, (j) => this.progress(j, i, files.length));
        this.progress(job, i, files.length);
        try {
          await job.run();
        } catch (err) {
          failure = `${file.name}: ${err instanceof ImportFailed ? err.message : String(err)}`;
          done.push(job);
          break;
        }
        done.push(job);
      }
    } finally {
      this.busy = false;
      this.button.disabled = false;
    }
    this.showResult(done, failure);
    this.showRuns(done);
  }

  showResult(jobs, failure) {
    const lines = [];
    for (const job of jobs) {
      lines.push(h('li', { text: job.summary() }));
      for (const b of job.bad) lines.push(h('li', { className: 'import-bad', text: `line ${b.line}: ${b.error}` }));
      if (job.badLines > job.bad.length) lines.push(h('li', { className: 'import-bad', text: `… and ${plural(job.badLines - job.bad.length, 'more bad line')}` }));
      if (job.otlp) lines.push(h('li', { className: 'import-bad', text: `OTLP metrics lines taken and not kept (this listener keeps traces and logs): ${plural(job.otlp, 'line')}` }));
    }
    if (failure) lines.push(h('li', { className: 'import-failed', text: `Import stopped: ${failure}` }));
    const close = h('button', { type: 'button', className: 'btn ghost small', text: 'Close', 'aria-label': 'Close the import summary',
      onclick: () => { this.status.hidden = true; this.button.focus(); } });
    this.showStatus(h('ul', { className: 'import-summary' }, ...lines), close);
    this.status.dataset.done = String(Date.now());
  }

  /** The imported runs: the run itself when the files held one tree, else the list. */
  showRuns(jobs) {
    const trees = new Map();
    for (const job of jobs) {
      for (const [root, head] of job.trees) if (!trees.has(root) || head === root) trees.set(root, head);
    }
    if (trees.size === 1) {
      this.app.navigate({ run: [...trees.values()][0], event: '', desc: '' });
    } else if (trees.size > 1) {
      this.app.navigate({ run: '', event: '', desc: '', tab: '', session: '', q: '', status: '', kind: '', app: '', group: '', env: '', window: '' });
      this.app.runs.refresh();
    }
  }
}

/** A link that downloads `path` (an export route) in `format`; with a key, fetched with it. */
function downloadLink(path, format, text, title) {
  const href = apiUrl(path, { format });
  const a = h('a', { className: 'btn small', href, download: '', text, title });
  if (AUTH_REQUIRED) {
    // A link cannot send the key: fetch the file with it and hand the browser its bytes.
    a.addEventListener('click', async (e) => {
      e.preventDefault();
      const res = await fetch(href, { headers: await authHeaders() });
      if (res.status === 401) {
        await keyRefused();
        return;
      }
      if (!res.ok) return;
      const name = /filename="([^"]+)"/.exec(res.headers.get('Content-Disposition') || '')?.[1] || 'trace.jsonl';
      const url = URL.createObjectURL(await res.blob());
      const save = h('a', { href: url, download: name, hidden: true });
      document.body.append(save);
      save.click();
      save.remove();
      setTimeout(() => URL.revokeObjectURL(url), 10_000);
    });
  }
  return a;
}

/** "Download" links of a run: its tree as JSON Lines, and as OTLP JSON lines; with a session,
 * "Download session": every tree of the session as JSON Lines. */
export function downloadLinks(runId, sessionId) {
  const path = `/runs/${encodeURIComponent(runId)}/export`;
  return h('span', { className: 'downloads' },
    downloadLink(path, 'jsonl', 'Download', 'Download this run and its descendants as a JSON Lines trace file'),
    downloadLink(path, 'otlp-json', 'OTLP JSON', 'Download this run and its descendants as OTLP JSON lines (the spans of an OTLP export)'),
    sessionId ? sessionDownload(sessionId) : null);
}

/** "Download session": every run tree of the session as JSON Lines. */
export function sessionDownload(sessionId) {
  return downloadLink(`/sessions/${encodeURIComponent(sessionId)}/export`, 'jsonl', 'Download session',
    `Download every run tree of session ${sessionId} as a JSON Lines trace file`);
}
