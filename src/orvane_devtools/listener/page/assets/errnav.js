// "Next error" and "Previous error": a walk over the items of a list (the tree's runs, the
// events) that stops at the ones a test picks out, wrapping around at both ends.

import { h } from './fmt.js';

/**
 * The next item after `from` in direction `dir` (+1 or -1) that passes `test`, wrapping around.
 * `from` -1 means "before the first" (forward) or "after the last" (backward).
 * Returns null when no item passes, else {index, ordinal (1-based among passing items),
 * total, wrapped (the walk went past an end)}.
 */
export function findError(n, from, dir, test) {
  const hits = [];
  for (let i = 0; i < n; i++) if (test(i)) hits.push(i);
  if (!hits.length) return null;
  let k;
  if (from < 0) {
    k = dir > 0 ? 0 : hits.length - 1;
    return { index: hits[k], ordinal: k + 1, total: hits.length, wrapped: false };
  }
  let wrapped = false;
  if (dir > 0) {
    k = hits.findIndex((i) => i > from);
    if (k < 0) { k = 0; wrapped = true; }
  } else {
    k = -1;
    for (let j = hits.length - 1; j >= 0; j--) if (hits[j] < from) { k = j; break; }
    if (k < 0) { k = hits.length - 1; wrapped = true; }
  }
  return { index: hits[k], ordinal: k + 1, total: hits.length, wrapped };
}

/** The two buttons and the line that says where the walk is; `jump(dir)` returns findError's answer. */
export function errorButtons(noun, jump) {
  const status = h('span', { className: 'err-status muted', role: 'status', 'aria-live': 'polite' });
  const go = (dir) => {
    const r = jump(dir);
    if (!r) {
      status.textContent = `no ${noun}s`;
      return;
    }
    const where = `${noun} ${r.ordinal} of ${r.total}`;
    status.textContent = r.wrapped ? `${where} (wrapped to the ${dir > 0 ? 'first' : 'last'})` : where;
  };
  const prev = h('button', { type: 'button', className: 'btn ghost small err-prev', text: 'Previous error',
    title: `Previous ${noun} (Shift+E)`, onclick: () => go(-1) });
  const next = h('button', { type: 'button', className: 'btn ghost small err-next', text: 'Next error',
    title: `Next ${noun} (e)`, onclick: () => go(1) });
  return { el: h('span', { className: 'err-nav' }, status, prev, next), go, status };
}
