// Formatted JSON, coloured by token kind, built from text nodes (no HTML is ever parsed).

import { h } from './fmt.js';

const HIGHLIGHT_LIMIT = 200_000; // characters; bigger documents are shown as plain text

function tok(cls, text) {
  const s = document.createElement('span');
  s.className = cls;
  s.textContent = text;
  return s;
}

/** The value of a string that holds a JSON object or array, else undefined. */
export function jsonInString(s) {
  if (typeof s !== 'string' || s.length < 2) return undefined;
  const head = s.trimStart()[0];
  if (head !== '{' && head !== '[') return undefined;
  try {
    const v = JSON.parse(s);
    return v !== null && typeof v === 'object' ? v : undefined;
  } catch {
    return undefined;
  }
}

function build(out, value, indent, parse = false, depth = 0) {
  if (value === null) return out.append(tok('j-null', 'null'));
  switch (typeof value) {
    case 'string': {
      const inner = parse && depth < 8 ? jsonInString(value) : undefined;
      if (inner === undefined) return out.append(tok('j-str', JSON.stringify(value)));
      // A JSON text inside the value: shown parsed, and marked as such.
      const wrap = tok('j-parsed', '');
      wrap.title = 'A JSON text, shown parsed (Raw shows it as it came)';
      build(wrap, inner, indent, parse, depth + 1);
      return out.append(wrap);
    }
    case 'number': return out.append(tok('j-num', String(value)));
    case 'boolean': return out.append(tok('j-bool', String(value)));
    default: break;
  }
  const pad = '  '.repeat(indent + 1);
  const close = '  '.repeat(indent);
  if (Array.isArray(value)) {
    if (value.length === 0) return out.append('[]');
    out.append('[\n');
    value.forEach((v, i) => {
      out.append(pad);
      build(out, v, indent + 1, parse, depth);
      out.append(i < value.length - 1 ? ',\n' : '\n');
    });
    return out.append(`${close}]`);
  }
  const keys = Object.keys(value);
  if (keys.length === 0) return out.append('{}');
  out.append('{\n');
  keys.forEach((k, i) => {
    out.append(pad, tok('j-key', JSON.stringify(k)), ': ');
    build(out, value[k], indent + 1, parse, depth);
    out.append(i < keys.length - 1 ? ',\n' : '\n');
  });
  return out.append(`${close}}`);
}

/**
 * A <pre> holding `value` as indented JSON. With `parseStrings`, string values that hold a JSON
 * object or array are shown parsed (marked); `text` is always the value as it came.
 */
export function jsonBlock(value, { label, parseStrings = false } = {}) {
  const text = JSON.stringify(value, null, 2) ?? 'undefined';
  const pre = h('pre', { className: 'json', tabindex: '0', 'aria-label': label || 'JSON' });
  if (text.length > HIGHLIGHT_LIMIT) {
    pre.textContent = text;
  } else {
    const frag = document.createDocumentFragment();
    build(frag, value, 0, parseStrings);
    pre.append(frag);
  }
  pre.dataset.json = 'true';
  return { pre, text };
}
