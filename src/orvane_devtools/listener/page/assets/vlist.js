// A windowed list: only the rows in view (plus a margin) exist in the DOM, so a list of
// 100,000 rows costs as much to show as one of 50. Rows have one fixed height.
//
// Keyboard: the viewport holds the focus and points at the active row through
// aria-activedescendant; the owner moves the active row with setActive().

let nextListId = 1;

export class VirtualList {
  /**
   * @param {HTMLElement} viewport  scrolling element (gets tabindex=0)
   * @param {object} o
   * @param {number} o.rowHeight
   * @param {(index:number) => HTMLElement} o.create   builds an empty row element
   * @param {(el:HTMLElement, index:number) => void} o.render  fills a row
   * @param {string} [o.rowRole]
   */
  constructor(viewport, { rowHeight, create, render, rowRole = 'option', overscan = 8 }) {
    this.viewport = viewport;
    this.rowHeight = rowHeight;
    this.create = create;
    this.renderRow = render;
    this.rowRole = rowRole;
    this.overscan = overscan;
    this.count = 0;
    this.active = -1;
    this.idBase = `vl${nextListId++}-`;
    this.rows = new Map(); // index -> element
    this.pool = [];
    this.generation = 0; // bumped by refresh(): every row is filled again
    viewport.tabIndex = 0;
    viewport.classList.add('vlist');
    this.spacer = document.createElement('div');
    this.spacer.className = 'vlist-spacer';
    viewport.append(this.spacer);
    this.scheduled = false;
    viewport.addEventListener('scroll', () => this.schedule(), { passive: true });
    this.resizeObserver = new ResizeObserver(() => this.schedule());
    this.resizeObserver.observe(viewport);
  }

  schedule() {
    if (this.scheduled) return;
    this.scheduled = true;
    requestAnimationFrame(() => {
      this.scheduled = false;
      this.draw();
    });
  }

  setCount(n) {
    this.count = n;
    this.spacer.style.height = `${n * this.rowHeight}px`;
    if (this.active >= n) this.active = n - 1;
    this.refresh();
  }

  /** Fill every row again (data changed); drawing happens synchronously. */
  refresh() {
    this.generation++;
    this.draw();
  }

  rowId(i) {
    return `${this.idBase}${i}`;
  }

  draw() {
    const h = this.viewport.clientHeight || 600;
    const top = this.viewport.scrollTop;
    const first = Math.max(0, Math.floor(top / this.rowHeight) - this.overscan);
    const last = Math.min(this.count - 1, Math.ceil((top + h) / this.rowHeight) + this.overscan);
    for (const [i, el] of this.rows) {
      if (i < first || i > last) {
        this.rows.delete(i);
        el.remove();
        this.pool.push(el);
      }
    }
    for (let i = first; i <= last; i++) {
      let el = this.rows.get(i);
      if (!el) {
        el = this.pool.pop() || this.make();
        this.rows.set(i, el);
        el._gen = -1;
        this.spacer.append(el);
      }
      if (el._gen !== this.generation || el._index !== i) {
        el._index = i;
        el._gen = this.generation;
        el.id = this.rowId(i);
        el.style.transform = `translateY(${i * this.rowHeight}px)`;
        this.renderRow(el, i);
      }
      el.classList.toggle('active', i === this.active);
    }
    if (this.active >= 0 && this.active < this.count) {
      this.viewport.setAttribute('aria-activedescendant', this.rowId(this.active));
    } else {
      this.viewport.removeAttribute('aria-activedescendant');
    }
  }

  make() {
    const el = this.create();
    el.classList.add('vrow');
    el.setAttribute('role', this.rowRole);
    el.style.height = `${this.rowHeight}px`;
    return el;
  }

  /** Index of the row under a DOM node inside the list, or -1. */
  indexOf(node) {
    const row = node?.closest?.('.vrow');
    return row && row.parentNode === this.spacer ? row._index : -1;
  }

  setActive(i, { scroll = true } = {}) {
    if (this.count === 0) {
      this.active = -1;
      this.draw();
      return;
    }
    this.active = Math.max(0, Math.min(this.count - 1, i));
    if (scroll) this.scrollIntoView(this.active);
    this.draw();
  }

  scrollIntoView(i, align = 'auto') {
    const vh = this.viewport.clientHeight;
    const y = i * this.rowHeight;
    const top = this.viewport.scrollTop;
    if (align === 'center') {
      this.viewport.scrollTop = Math.max(0, y - (vh - this.rowHeight) / 2);
    } else if (y < top) {
      this.viewport.scrollTop = y;
    } else if (y + this.rowHeight > top + vh) {
      this.viewport.scrollTop = y + this.rowHeight - vh;
    }
  }

  pageSize() {
    return Math.max(1, Math.floor(this.viewport.clientHeight / this.rowHeight) - 1);
  }

  /** Standard moves for ArrowUp/Down, PageUp/Down, Home/End. Returns true when handled. */
  handleMoveKey(ev) {
    const a = this.active < 0 ? -1 : this.active;
    let next = null;
    switch (ev.key) {
      case 'ArrowDown': next = a + 1; break;
      case 'ArrowUp': next = a < 0 ? 0 : a - 1; break;
      case 'PageDown': next = a + this.pageSize(); break;
      case 'PageUp': next = a - this.pageSize(); break;
      case 'Home': next = 0; break;
      case 'End': next = this.count - 1; break;
      default: return false;
    }
    ev.preventDefault();
    this.setActive(next);
    return true;
  }
}
