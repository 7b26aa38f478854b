// Table rows that are made once and then written only where their text
// changed, so that a redraw leaves what the reader looks at (or selected)
// alone. The texts shown are kept here: the page is never read back.
// Every text goes in as textContent: names and bodies come from the broker.

export function textOf(value) {
  return value === undefined || value === null ? '' : String(value);
}

export class Row {
  // One cell per class name ('' for none); `attributes` go on the row.
  constructor(classNames, attributes = {}) {
    this.element = document.createElement('tr');
    for (const [name, value] of Object.entries(attributes)) this.element.setAttribute(name, value);
    this.cells = classNames.map((className) => {
      const td = document.createElement('td');
      if (className) td.className = className;
      return td;
    });
    this.texts = classNames.map(() => '');
    this.classNames = [...classNames];
    this.marks = new Set();
    this.element.append(...this.cells);
  }

  // Writes the values whose text differs from what the cell shows.
  show(values) {
    values.forEach((value, at) => {
      const text = textOf(value);
      if (text === this.texts[at]) return;
      this.cells[at].textContent = text;
      this.texts[at] = text;
    });
  }

  // Gives one cell a class name of its own (a status's colour).
  classify(at, className) {
    if (className === this.classNames[at]) return;
    this.cells[at].className = className;
    this.classNames[at] = className;
  }

  // Sets a class on the row, touching it only when that changes.
  mark(className, on) {
    if (this.marks.has(className) === on) return;
    if (on) this.marks.add(className);
    else this.marks.delete(className);
    this.element.classList.toggle(className, on);
  }
}

// A text on the page written only when it changes.
export class Text {
  constructor(element) {
    this.element = element;
    this.text = null;
  }

  show(value) {
    const text = textOf(value);
    if (text === this.text) return;
    this.element.textContent = text;
    this.text = text;
  }
}

// Makes `parent`'s children exactly `children`, in that order, moving only
// those out of place (new ones, mostly) and removing the rest.
export function placeChildren(parent, children) {
  let cursor = parent.firstChild;
  for (const child of children) {
    if (child === cursor) cursor = cursor.nextSibling;
    else parent.insertBefore(child, cursor);
  }
  while (cursor !== null) {
    const next = cursor.nextSibling;
    cursor.remove();
    cursor = next;
  }
}

// Rows kept by key: made on first sight, reused after, placed in the order
// of the keys asked for at each redraw.
export class KeyedRows {
  constructor(tbody, make) {
    this.tbody = tbody;
    this.make = make;
    this.rows = new Map();
  }

  get(key) {
    if (!this.rows.has(key)) this.rows.set(key, this.make(key));
    return this.rows.get(key);
  }

  // Shows the rows of `keys`, in that order, and only them.
  place(keys) {
    placeChildren(this.tbody, keys.map((key) => this.get(key).element));
  }
}
