// One number of one message over time, for a link card's field plot: the
// times and values of the frames that carried it, the newest SERIES_LIMIT.

import { valueAt } from './schema.js';

export const SERIES_LIMIT = 2000; // points kept; the oldest go first

export class FieldSeries {
  // `message`: its name; `path`: where the number is in its fields (see schema.js).
  constructor(message, path) {
    this.message = message;
    this.path = path;
    this.times = [];
    this.values = [];
    this.changes = 0;
  }

  // Takes the value a frame carries, if it is this message's.
  add(frame) {
    if (frame.message !== this.message || !frame.fields || typeof frame.ts !== 'number') return;
    this.times.push(frame.ts);
    this.values.push(valueAt(frame.fields, this.path));
    if (this.times.length > SERIES_LIMIT) {
      this.times.shift();
      this.values.shift();
    }
    this.changes += 1;
  }

  // uPlot's columns [times, values].
  columns() {
    return [this.times, this.values];
  }
}
