// Commands to a link through its gateway: the topic and JSON body of a
// send, and requests as MQTT v5 publishes whose replies come back with the
// same correlation data.

import { MAX_BODY, MAX_MESSAGE_ID, MAX_NODE_ID, REPLY_STATUS_PROPERTY, TYPE_NAMES } from './gateway.js';
import { messageText } from './schema.js';

export const REQUEST_TIMEOUT = 5; // seconds a request waits for its reply; also its message expiry
export const NO_REPLY = 'no reply'; // the page's status of a request whose reply did not come in time

// The form's fields checked and made into {rx, type, id, hex}; throws an
// Error that says what is wrong.
export function parseCommand(fields) {
  const rx = parseRanged('receiver', fields.rx, MAX_NODE_ID);
  const id = parseRanged('message id', fields.id, MAX_MESSAGE_ID);
  if (!TYPE_NAMES.includes(fields.type)) throw new Error(`type must be one of ${TYPE_NAMES.join(', ')}`);
  const hex = fields.data.replace(/\s+/g, '').toLowerCase();
  if (!/^([0-9a-f]{2})*$/.test(hex)) throw new Error('data must be hex bytes such as "01 02 ff"');
  if (hex.length / 2 > MAX_BODY) throw new Error(`data is at most ${MAX_BODY} bytes`);
  return { rx, type: fields.type, id, hex };
}

// A send of `message` (from a link's schema) with its `fields` (see
// schema.collectFields) to the receiver typed in the form.
export function typedCommand(rx, message, fields) {
  return { rx: parseRanged('receiver', rx, MAX_NODE_ID), type: message.type, id: message.id, fields };
}

function parseRanged(name, text, top) {
  const value = Number(String(text).trim());
  if (String(text).trim() === '' || !Number.isInteger(value) || value < 0 || value > top) {
    throw new Error(`${name} must be a whole number from 0 to ${top}`);
  }
  return value;
}

// The command's JSON: its fields, for the gateway to encode, or its body in hex.
export function sendBody(command) {
  return JSON.stringify(command.fields ? { fields: command.fields } : { data: command.hex });
}

// A reply as {status, data, decoded, body}: the gateway's status property
// and its JSON body (the reply frame's data in hex, and its message decoded
// as text when the link has a schema) or, failing that, the raw text.
export function parseReply(text, properties) {
  const users = (properties && properties.userProperties) || {};
  const status = [].concat(users[REPLY_STATUS_PROPERTY] ?? 'unknown')[0];
  try {
    const body = JSON.parse(text);
    if (typeof body === 'object' && body !== null) {
      const decoded = messageText({ message: body.message, fields: body.fields, decodeError: body.decode_error,
        extra: body.extra });
      return { status, data: body.data ?? null, decoded, body };
    }
  } catch {
    // not JSON: shown as it came
  }
  return { status, data: null, decoded: '', body: text };
}

// Requests waiting for replies, by correlation data.
export class Requests {
  constructor() {
    this.waiting = new Map();
    this.count = 0;
  }

  // A fresh correlation string and a promise of the reply ({status, ...},
  // or {status: NO_REPLY} after REQUEST_TIMEOUT).
  open(prefix) {
    this.count += 1;
    const correlation = `${prefix}-${this.count}`;
    const reply = new Promise((resolve) => {
      const late = { status: NO_REPLY, data: null, decoded: '', body: null };
      const timer = setTimeout(() => this.settle(correlation, late), REQUEST_TIMEOUT * 1000);
      this.waiting.set(correlation, { resolve, timer });
    });
    return { correlation, reply };
  }

  // Ends the wait of the request with this correlation; false for a reply
  // nobody here waits for.
  settle(correlation, reply) {
    const entry = this.waiting.get(correlation);
    if (entry === undefined) return false;
    clearTimeout(entry.timer);
    this.waiting.delete(correlation);
    entry.resolve(reply);
    return true;
  }
}
