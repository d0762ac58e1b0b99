// Talking to the listener: the API prefix, the API key (kept for this tab only) and JSON requests.

function metaContent(name) {
  const v = document.querySelector(`meta[name="${name}"]`)?.getAttribute('content');
  // An unfilled template placeholder counts as absent.
  return v && !v.includes('{') ? v : null;
}

export const PREFIX = (metaContent('orvane-prefix') ?? '/observation').replace(/\/+$/, '');
export const AUTH_REQUIRED = metaContent('orvane-auth') === 'key';

const KEY_ITEM = 'orvane-devtools.api-key';

export class ApiError extends Error {
  constructor(status, message, parameter) {
    super(message);
    this.status = status;
    this.parameter = parameter || null;
  }
}

let keyPrompt = null; // the pending prompt, shared by every request that waits for a key

function storedKey() {
  try {
    return sessionStorage.getItem(KEY_ITEM);
  } catch {
    return null;
  }
}

function keepKey(key) {
  try {
    if (key) sessionStorage.setItem(KEY_ITEM, key);
    else sessionStorage.removeItem(KEY_ITEM);
  } catch {
    /* storage unavailable: the key lives only in memory */
  }
  memoryKey = key;
}

let memoryKey = null;

/** Ask for the key in the page's dialog; resolves with the key the user entered. */
function askForKey(message) {
  if (keyPrompt) return keyPrompt;
  const dialog = document.getElementById('key-dialog');
  const input = dialog.querySelector('input');
  const note = dialog.querySelector('.key-note');
  note.textContent = message || '';
  note.hidden = !message;
  input.value = '';
  keyPrompt = new Promise((resolve) => {
    const form = dialog.querySelector('form');
    const done = (ev) => {
      ev.preventDefault();
      const key = input.value.trim();
      if (!key) {
        input.focus();
        return;
      }
      form.removeEventListener('submit', done);
      dialog.close();
      keepKey(key);
      keyPrompt = null;
      resolve(key);
    };
    form.addEventListener('submit', done);
    // Escape would leave the page with nothing to show: keep the dialog open.
    dialog.addEventListener('cancel', (ev) => ev.preventDefault());
    dialog.showModal();
    input.focus();
  });
  return keyPrompt;
}

/** Headers for a request, asking for the key first when the listener wants one. */
export async function authHeaders() {
  if (!AUTH_REQUIRED) return {};
  let key = memoryKey || storedKey();
  if (!key) key = await askForKey();
  memoryKey = key;
  return { Authorization: `Bearer ${key}` };
}

/** The key was refused: forget it and ask again. */
export async function keyRefused() {
  keepKey(null);
  await askForKey('The listener did not accept that key. Enter it again.');
}

function query(params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params || {})) {
    if (v === undefined || v === null || v === '') continue;
    q.set(k, String(v));
  }
  const s = q.toString();
  return s ? `?${s}` : '';
}

export function apiUrl(path, params) {
  return `${PREFIX}${path}${query(params)}`;
}

/** GET a JSON document from the listener. Throws ApiError with the listener's message. */
export async function getJSON(path, params, { signal } = {}) {
  for (let attempt = 0; ; attempt++) {
    const headers = { Accept: 'application/json', ...(await authHeaders()) };
    let res;
    try {
      res = await fetch(apiUrl(path, params), { headers, signal, cache: 'no-store' });
    } catch (err) {
      if (err.name === 'AbortError') throw err;
      throw new ApiError(0, 'The listener cannot be reached.');
    }
    if (res.status === 401 && AUTH_REQUIRED && attempt < 5) {
      await keyRefused();
      continue;
    }
    let body = null;
    try {
      body = await res.json();
    } catch {
      body = null;
    }
    if (!res.ok) {
      throw new ApiError(res.status, body?.error || `HTTP ${res.status}`, body?.parameter);
    }
    return body;
  }
}

/** The ingest address to give a RemoteTraceSink, as this page sees the listener. */
export function ingestUrl() {
  return `${location.origin}${PREFIX}/ingest`;
}
