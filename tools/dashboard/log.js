// The frame log: the entries kept, the filter typed over them and their
// export as CSV.

const LOG_LIMIT = 10000; // entries kept; the oldest go first
const TRIM_SLACK = 0.1; // trimmed in batches: shifting one entry per frame is linear each time

// Filter words: KEY=VALUE matches that field exactly, anything else must
// appear in the body's hex or text or in its decoded message.
const FILTER_FIELDS = {
  gw: 'gateway', link: 'link', tx: 'tx', rx: 'rx', type: 'type', id: 'id', status: 'status', msg: 'message',
  dir: 'direction',
};

const CSV_COLUMNS = ['time', 'gateway', 'link', 'seq', 'tx', 'rx', 'type', 'id', 'data', 'text', 'status', 'direction',
  'message'];

// The body as text, one character a byte, '.' for what is not printable ASCII.
export function printable(hex) {
  let text = '';
  for (let at = 0; at + 1 < hex.length; at += 2) {
    const byte = parseInt(hex.slice(at, at + 2), 16);
    text += byte >= 0x20 && byte < 0x7f ? String.fromCharCode(byte) : '.';
  }
  return text;
}

// "05 ff" for "05ff": hex bytes spaced for reading.
export function spacedHex(hex) {
  return (hex.match(/../g) || []).join(' ');
}

// Frame time as an ISO date in UTC with milliseconds.
export function isoTime(ts) {
  return typeof ts === 'number' ? new Date(ts * 1000).toISOString() : '';
}

// The filter text as a predicate over log entries; throws on an unknown key.
export function parseFilter(text) {
  const checks = text.trim().split(/\s+/).filter(Boolean).map(parseWord);
  return (entry) => checks.every((check) => check(entry));
}

function parseWord(word) {
  const equals = word.indexOf('=');
  if (equals < 0) {
    const wanted = word.toLowerCase();
    return (entry) => entry.data.includes(wanted) || printable(entry.data).toLowerCase().includes(wanted)
      || (entry.text ?? '').toLowerCase().includes(wanted);
  }
  const key = word.slice(0, equals);
  const value = word.slice(equals + 1);
  const field = FILTER_FIELDS[key];
  if (field === undefined) throw new Error(`unknown filter key "${key}": use ${Object.keys(FILTER_FIELDS).join(', ')}`);
  return (entry) => String(entry[field]) === value;
}

export class FrameLog {
  constructor(limit = LOG_LIMIT) {
    this.limit = limit;
    this.entries = [];
    this.dropped = 0;
    this.added = 0; // entries ever added: the next one's number
  }

  // Keeps `entry`, numbered: its `n` says which came later.
  add(entry) {
    entry.n = this.added;
    this.added += 1;
    this.entries.push(entry);
    if (this.entries.length > this.limit * (1 + TRIM_SLACK)) {
      const excess = this.entries.length - this.limit;
      this.entries.splice(0, excess);
      this.dropped += excess;
    }
  }

  // The newest `count` entries that pass and came after the one numbered
  // `after` (-1: any), newest first.
  latest(passes, count, after = -1) {
    const shown = [];
    for (let at = this.entries.length - 1; at >= 0 && shown.length < count && this.entries[at].n > after; at--) {
      if (passes(this.entries[at])) shown.push(this.entries[at]);
    }
    return shown;
  }

  // Every kept entry that passes, oldest first, as CSV with a header line.
  csv(passes) {
    const rows = this.entries.filter(passes).map(csvRow);
    return [CSV_COLUMNS.join(','), ...rows].join('\r\n') + '\r\n';
  }
}

function csvRow(entry) {
  const values = [isoTime(entry.ts), entry.gateway, entry.link, entry.seq, entry.tx, entry.rx, entry.type, entry.id,
    entry.data, printable(entry.data), entry.status, entry.direction, entry.text];
  return values.map(csvField).join(',');
}

// Quoted when it holds a separator, a quote or a line break, quotes doubled.
export function csvField(value) {
  const text = value === undefined || value === null ? '' : String(value);
  return /[",\r\n]/.test(text) ? '"' + text.replace(/"/g, '""') + '"' : text;
}
