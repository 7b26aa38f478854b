// The live frame log on the page: the newest frames that pass the filter,
// newest first. A redraw adds the rows of frames that came since the last
// one and drops the oldest; rows already shown are never rewritten. While
// the reader has text selected in the log it holds still, so that the text
// can be copied.

import { DIRECTION_IN, FRAME_OK } from './gateway.js';
import { isoTime, printable, spacedHex } from './log.js';
import { Row, Text } from './rows.js';

export const LOG_ROWS = 200; // rows shown; the log keeps more for the CSV
const LOG_CELLS = ['', '', 'number', '', '', 'number', 'message', 'hex', 'text', 'status'];

export class LogView {
  constructor(tbody, note) {
    this.tbody = tbody;
    this.note = new Text(note);
    this.rows = []; // the row elements shown, newest first
    this.after = -1; // the number of the newest entry looked at
  }

  // Adds what came since the last redraw; with `refiltered`, starts again
  // from the newest entries, selection or not.
  render(log, passes, refiltered) {
    if (refiltered) {
      this.rows = [];
      this.after = -1;
      this.tbody.replaceChildren();
    } else if (this.selecting()) {
      this.note.show(`held while text is selected: ${log.added - 1 - this.after} newer frames`);
      return;
    }
    const fresh = log.latest(passes, LOG_ROWS, this.after).map(entryRow);
    this.after = log.added - 1;
    this.note.show('');
    if (fresh.length === 0) return;
    this.tbody.prepend(...fresh);
    this.rows = fresh.concat(this.rows);
    for (const old of this.rows.splice(LOG_ROWS)) old.remove();
  }

  selecting() {
    const selection = document.getSelection();
    return selection !== null && !selection.isCollapsed
      && (this.tbody.contains(selection.anchorNode) || this.tbody.contains(selection.focusNode));
  }
}

function entryRow(entry) {
  const row = new Row(LOG_CELLS);
  row.mark('damaged', entry.status !== FRAME_OK);
  row.mark('out', entry.direction !== DIRECTION_IN);
  row.show([isoTime(entry.ts).slice(11, 23), `${entry.gateway}/${entry.link}`, entry.seq, `${entry.tx} → ${entry.rx}`,
    entry.type, entry.id, entry.text, spacedHex(entry.data), printable(entry.data), entry.status]);
  return row.element;
}
