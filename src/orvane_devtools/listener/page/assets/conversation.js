// One LLM call as a conversation: its system instructions, the messages sent by role, tool calls
// with their arguments and their results, the answer, the finish reasons, tokens and cost. The
// call is the run answer's `llm` (the listener's normalised record); "Raw" shows it as stored.

import { h, count, duration, callCost, llmOf } from './fmt.js';
import { jsonBlock, jsonInString } from './jsonview.js';

const TEXT_FOLD_CHARS = 1200; // longer texts show their start and "show all"
const TEXT_FOLD_LINES = 12;

// Marks a producer leaves where it cut a text ("… [truncated]", "[1,234 chars truncated]").
const CUT_SUFFIX = /(\[(truncated|cut|trimmed|\d[\d,]*\s+(more\s+)?(chars?|characters|bytes|tokens)(\s+(truncated|omitted|cut|trimmed))?)\]|\((truncated|cut|trimmed)\)|<truncated>)\s*$/i;
// A text that begins as a JSON document (an object or array of strings, objects or arrays).
const JSON_START = /^\s*[[{]\s*["[{]/;

/**
 * Whether a text was cut before it reached the listener: a cut mark at its end, or a JSON
 * document that does not close (an exporter's attribute length limit cuts JSON texts mid-way).
 */
export function cutAtSource(text) {
  if (typeof text !== 'string' || !text) return false;
  if (CUT_SUFFIX.test(text)) return true;
  return JSON_START.test(text) && jsonInString(text) === undefined && unclosed(text);
}

/** Whether a JSON-like text ends inside a string or with brackets left open. */
function unclosed(text) {
  let depth = 0;
  let inString = false;
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (inString) {
      if (c === '\\') i++;
      else if (c === '"') inString = false;
    } else if (c === '"') {
      inString = true;
    } else if (c === '{' || c === '[') {
      depth++;
    } else if (c === '}' || c === ']') {
      depth--;
    }
  }
  return inString || depth > 0;
}

function cutMark() {
  return h('span', { className: 'cut-mark', text: '✂ cut at the source',
    title: 'This text ends where its producer (or its exporter\'s length limit) cut it; the rest never reached the listener' });
}

/** A text, its start only when long, with "show all" and the mark of a cut at the source. */
export function textBlock(text, { className = '' } = {}) {
  const s = String(text ?? '');
  const box = h('div', { className: `conv-text ${className}`.trim() });
  const body = h('div', { className: 'conv-text-body' });
  const lines = s.split('\n');
  let short = null;
  if (s.length > TEXT_FOLD_CHARS) short = s.slice(0, TEXT_FOLD_CHARS);
  if (lines.length > TEXT_FOLD_LINES) {
    const byLines = lines.slice(0, TEXT_FOLD_LINES).join('\n');
    if (short === null || byLines.length < short.length) short = byLines;
  }
  box.append(body);
  if (short === null) {
    body.textContent = s;
  } else {
    let open = false;
    const more = h('button', { type: 'button', className: 'btn ghost small show-all' });
    const draw = () => {
      body.textContent = open ? s : `${short}…`;
      more.textContent = open ? 'show less' : `show all (${count(s.length)} characters)`;
      more.setAttribute('aria-expanded', String(open));
      box.classList.toggle('folded', !open);
    };
    more.addEventListener('click', () => { open = !open; draw(); });
    draw();
    box.append(more);
  }
  if (cutAtSource(s)) box.append(cutMark());
  return box;
}

/** A value that may be JSON text (arguments, a tool's result): formatted JSON, else text. */
function valueBlock(value, label) {
  if (value === undefined) return h('p', { className: 'muted none', text: 'none' });
  const parsed = typeof value === 'string' ? jsonInString(value) : value;
  if (parsed !== undefined && parsed !== null && typeof parsed === 'object') {
    const block = jsonBlock(parsed, { label, parseStrings: true }).pre;
    block.classList.add('conv-json');
    return block;
  }
  if (typeof value === 'string') return textBlock(value, { className: 'mono' });
  return jsonBlock(value, { label }).pre;
}

function partHead(kind, ...bits) {
  return h('div', { className: 'part-head' }, h('span', { className: 'part-kind', text: kind }), ...bits);
}

function renderPart(part, calls) {
  if (!part || typeof part !== 'object') return textBlock(String(part));
  const type = part.type;
  if (type === 'text') {
    const box = textBlock(part.content ?? '');
    box.classList.add('part', 'part-text');
    return box;
  }
  if (type === 'reasoning') {
    return h('div', { className: 'part part-reasoning' }, partHead('reasoning'), textBlock(part.content ?? ''));
  }
  if (type === 'tool_call') {
    return h('div', { className: 'part part-tool-call' },
      partHead('tool call', h('span', { className: 'tool-name mono', text: part.name || '?' }),
        part.id ? h('span', { className: 'tool-id mono muted', text: part.id }) : null),
      valueBlock(part.arguments, `Arguments of ${part.name || 'the tool call'}`));
  }
  if (type === 'tool_call_response') {
    const name = part.id ? calls.get(part.id) : undefined;
    const value = part.response !== undefined ? part.response : part.result;
    return h('div', { className: 'part part-tool-result' },
      partHead('tool result', name ? h('span', { className: 'tool-name mono', text: name }) : null,
        part.id ? h('span', { className: 'tool-id mono muted', text: part.id }) : null),
      valueBlock(value, `Result of ${name || 'the tool call'}`));
  }
  // Parts of other types (uri, blob, file, custom ones) as they came, their JSON texts parsed.
  return h('div', { className: 'part part-other' }, partHead(String(type ?? 'part')),
    jsonBlock(part, { label: `${type} part`, parseStrings: true }).pre);
}

function renderMessage(msg, calls, { answer = false } = {}) {
  if (!msg || typeof msg !== 'object') return null;
  const role = String(msg.role ?? (answer ? 'assistant' : 'unknown'));
  const parts = Array.isArray(msg.parts) ? msg.parts : [];
  const head = h('div', { className: 'msg-head' },
    h('span', { className: 'msg-role', text: role }),
    msg.name ? h('span', { className: 'muted', text: msg.name }) : null,
    msg.finish_reason ? h('span', { className: 'finish chip', text: `finish: ${msg.finish_reason}` }) : null);
  const el = h('div', { className: `msg role-${role.replace(/[^a-z0-9_-]/gi, '')}`, dataset: { role } }, head);
  if (!parts.length) el.append(h('p', { className: 'muted none', text: 'no content' }));
  for (const p of parts) el.append(renderPart(p, calls));
  return el;
}

function tokenFacts(llm) {
  const rows = [];
  const add = (k, v, cls) => { if (v !== null && v !== undefined && v !== '') rows.push([k, v, cls]); };
  const n = (x) => (Number.isInteger(x) ? count(x) : null);
  add('Model', [llm.model, llm.provider ? `(${llm.provider})` : null].filter(Boolean).join(' ') || null, 'conv-model');
  if (llm.request_model && llm.response_model && llm.request_model !== llm.response_model) add('Asked for', llm.request_model);
  const input = n(llm.input_tokens);
  const inParts = [];
  if (Number.isInteger(llm.cache_read_tokens)) inParts.push(`${count(llm.cache_read_tokens)} cache read`);
  if (Number.isInteger(llm.cache_write_tokens)) inParts.push(`${count(llm.cache_write_tokens)} cache write`);
  if (input !== null || inParts.length) add('Input tokens', `${input ?? '?'}${inParts.length ? ` (${inParts.join(', ')})` : ''}`, 'conv-in');
  const output = n(llm.output_tokens);
  const reasoning = Number.isInteger(llm.reasoning_tokens) ? ` (${count(llm.reasoning_tokens)} reasoning)` : '';
  if (output !== null || reasoning) add('Output tokens', `${output ?? '?'}${reasoning}`, 'conv-out');
  add('Total tokens', n(llm.total_tokens), 'conv-total');
  add('Cost', callCost(llm), llm.priced === true ? 'conv-cost' : 'conv-cost unpriced');
  const reasons = Array.isArray(llm.finish_reasons) ? llm.finish_reasons.filter((r) => typeof r === 'string') : [];
  add('Finish', reasons.join(', ') || null, 'conv-finish');
  if (Number.isFinite(llm.time_to_first_token_ms)) add('First token', duration(llm.time_to_first_token_ms), 'conv-ttft');
  const dl = h('dl', { className: 'facts inline conv-facts' });
  for (const [k, v, cls] of rows) dl.append(h('div', { className: cls || '' }, h('dt', { text: k }), h('dd', { text: String(v) })));
  return dl;
}

function section(title, className, ...children) {
  return h('section', { className: `conv-sec ${className}` }, h('h5', { text: title }), ...children);
}

/** The conversation of the call `llm`; `raw` shows the stored record as JSON instead. */
export function renderConversation(llm, { raw = false } = {}) {
  const out = h('div', { className: 'conv', dataset: { mode: raw ? 'raw' : 'formatted' } });
  if (raw) {
    out.append(jsonBlock(llm, { label: 'The LLM call as stored' }).pre);
    return out;
  }
  out.append(tokenFacts(llm));
  const list = (k) => (Array.isArray(llm[k]) ? llm[k] : []);
  // Tool call ids to their names, so a result says which call it answers.
  const calls = new Map();
  for (const m of [...list('input_messages'), ...list('output_messages')]) {
    for (const p of Array.isArray(m?.parts) ? m.parts : []) {
      if (p?.type === 'tool_call' && p.id) calls.set(p.id, p.name);
    }
  }
  const system = list('system_instructions');
  if (system.length) {
    out.append(section('System instructions', 'conv-system',
      h('div', { className: 'msg role-system' }, ...system.map((p) => renderPart(p, calls)))));
  }
  const tools = list('tool_definitions');
  if (tools.length) {
    const body = tools.map((t) => h('div', { className: 'tool-def' },
      h('div', { className: 'part-head' }, h('span', { className: 'tool-name mono', text: t?.name || '?' }),
        t?.description ? h('span', { className: 'muted', text: t.description }) : null),
      t?.parameters !== undefined ? valueBlock(t.parameters, `Parameters of ${t?.name}`) : null));
    out.append(h('details', { className: 'conv-sec conv-tools' },
      h('summary', { text: `Tools offered (${tools.length})` }), ...body));
  }
  const input = list('input_messages');
  out.append(section('Messages', 'conv-input',
    ...(input.length ? input.map((m) => renderMessage(m, calls)) : [h('p', { className: 'muted none', text: 'not recorded' })])));
  const output = list('output_messages');
  out.append(section('Answer', 'conv-answer',
    ...(output.length ? output.map((m) => renderMessage(m, calls, { answer: true })) : [h('p', { className: 'muted none', text: 'not recorded' })])));
  return out;
}

export { llmOf };
