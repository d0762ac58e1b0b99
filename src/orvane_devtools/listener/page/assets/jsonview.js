// Formatted JSON, coloured by token kind, built from text nodes (no HTML is ever parsed).

import { h } from './fmt.js';

const HIGHLIGHT_LIMIT = 200_000; // characters; bigger documents are shown as plain text

function tok(cls, text) {
  const s = document.createElement('span');
  s.className = cls;
  s.textContent = text;
  return s;
}

function build(out, value, indent) {
  if (value === null) return out.append(tok('j-null', 'null'));
  switch (typeof value) {
    case 'string': return out.append(tok('j-str', JSON.stringify(value)));
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
      build(out, v, indent + 1);
      out.append(i < value.length - 1 ? ',\n' : '\n');
    });
    return out.append(`${close}]`);
  }
  const keys = Object.keys(value);
  if (keys.length === 0) return out.append('{}');
  out.append('{\n');
  keys.forEach((k, i) => {
    out.append(pad, tok('j-key', JSON.stringify(k)), ': ');
    build(out, value[k], indent + 1);
    out.append(i < keys.length - 1 ? ',\n' : '\n');
  });
  return out.append(`${close}}`);
}

/** A <pre> holding `value` as indented JSON. */
export function jsonBlock(value, { label } = {}) {
  const text = JSON.stringify(value, null, 2) ?? 'undefined';
  const pre = h('pre', { className: 'json', tabindex: '0', 'aria-label': label || 'JSON' });
  if (text.length > HIGHLIGHT_LIMIT) {
    pre.textContent = text;
  } else {
    const frag = document.createDocumentFragment();
    build(frag, value, 0);
    pre.append(frag);
  }
  pre.dataset.json = 'true';
  return { pre, text };
}
