// The fleet as the broker shows it: gateways, their links, the nodes seen on
// each link and per-second counts of frames, damaged frames and seq gaps.
// Fed with (topic, payload) pairs; knows nothing of the page or of MQTT.
// Every link counts its changes and the fleet counts links added, so that
// the page redraws only what changed since it last looked.

import {
  DIRECTION_IN, FRAME_KIND, FRAME_OK, INFO_KIND, LINK_UNKNOWN, RESPONSE, SCHEMA_KIND, STATS_KIND, STATUS_KIND,
  VERSION_REQUEST_ID, parseTopic,
} from './gateway.js';
import { messageText, parseSchema } from './schema.js';
import { FieldSeries } from './series.js';

export const RATE_WINDOW = 120; // seconds of counts kept for the plots

// A frame's JSON as the log entry the page keeps, or null when it is not
// one. With its link's schema the gateway adds the message's name and its
// fields, or why the body did not decode; `text` shows them.
export function parseFrame(gateway, link, text) {
  let json;
  try {
    json = JSON.parse(text);
  } catch {
    return null;
  }
  if (typeof json !== 'object' || json === null || typeof json.data !== 'string') return null;
  const frame = {
    gateway, link,
    seq: json.seq, ts: json.ts,
    tx: json.transmitter_id, rx: json.receiver_id,
    type: json.message_type, id: json.message_id,
    data: json.data, status: json.status,
    direction: json.direction ?? DIRECTION_IN,
    message: json.message, fields: json.fields, decodeError: json.decode_error, extra: json.extra,
  };
  frame.text = messageText(frame);
  return frame;
}

// The engine version carried by a frame, when it is the answer to a
// version request; else undefined.
export function versionIn(frame) {
  if (frame.type !== RESPONSE || frame.id !== VERSION_REQUEST_ID || frame.status !== FRAME_OK) return undefined;
  if (frame.data.length !== 8) return undefined;
  let version = 0;
  for (let at = 6; at >= 0; at -= 2) version = version * 256 + parseInt(frame.data.slice(at, at + 2), 16);
  return version;
}

// Counts per whole second over the last RATE_WINDOW seconds.
class Rates {
  constructor() {
    this.seconds = new Map(); // second -> {frames, damaged, gaps}
  }

  add(second, frames, damaged, gaps) {
    if (!this.seconds.has(second)) this.forget(second);
    const bucket = this.seconds.get(second) || { frames: 0, damaged: 0, gaps: 0 };
    bucket.frames += frames;
    bucket.damaged += damaged;
    bucket.gaps += gaps;
    this.seconds.set(second, bucket);
  }

  // uPlot's columns [seconds, frames, damaged, gaps], oldest first, ending at `now`.
  columns(now) {
    const last = Math.floor(now);
    this.forget(last);
    const columns = [[], [], [], []];
    for (let second = last - RATE_WINDOW + 1; second <= last; second++) {
      const bucket = this.seconds.get(second) || { frames: 0, damaged: 0, gaps: 0 };
      columns[0].push(second);
      columns[1].push(bucket.frames);
      columns[2].push(bucket.damaged);
      columns[3].push(bucket.gaps);
    }
    return columns;
  }

  // Drops the seconds that fell out of the window ending at `last`: once a
  // second, not once a frame.
  forget(last) {
    for (const second of this.seconds.keys()) if (second <= last - RATE_WINDOW) this.seconds.delete(second);
  }
}

class Link {
  constructor(gateway, name) {
    this.gateway = gateway;
    this.name = name;
    this.status = LINK_UNKNOWN;
    this.info = null;
    this.stats = null;
    this.lastSeen = null; // seconds since the epoch of the last live word from the link
    this.frames = 0;
    this.damaged = 0;
    this.gaps = 0;
    this.lastSeq = null;
    this.nodes = new Map(); // transmitter id -> {id, frames, last, version}
    this.rates = new Rates();
    this.schema = null;
    this.series = null; // the field plotted on the link's card, a FieldSeries
    this.changes = 0; // one more on every change the page may show
  }

  // Follows `path` of `message` from now on, starting with what `earlier`
  // frames (oldest first) carried; null: follow nothing.
  watch(message, path, earlier = []) {
    this.series = message === null ? null : new FieldSeries(message, path);
    for (const frame of earlier) {
      if (frame.link === this.name && frame.gateway === this.gateway) this.series?.add(frame);
    }
    this.changes += 1;
  }

  get key() {
    return this.gateway + '/' + this.name;
  }

  addFrame(frame, now) {
    this.changes += 1;
    const gap = this.seqGap(frame.seq);
    const damaged = frame.status === FRAME_OK ? 0 : 1;
    this.frames += 1;
    this.damaged += damaged;
    this.gaps += gap;
    this.seen(typeof frame.ts === 'number' ? frame.ts : now);
    this.rates.add(Math.floor(typeof frame.ts === 'number' ? frame.ts : now), 1, damaged, gap);
    if (!damaged) this.countNode(frame);
    this.series?.add(frame);
  }

  // Frames missing before `seq`. A seq at or below the last one is a frame
  // the broker delivered again (QoS 1 after a reconnect), unless it is 0:
  // the gateway started again. Neither loses anything.
  seqGap(seq) {
    if (typeof seq !== 'number') return 0;
    const previous = this.lastSeq;
    if (previous !== null && seq !== 0 && seq <= previous) return 0;
    this.lastSeq = seq;
    return previous !== null && seq > previous + 1 ? seq - previous - 1 : 0;
  }

  // Only intact frames name their sender reliably.
  countNode(frame) {
    const node = this.nodes.get(frame.tx) || { id: frame.tx, frames: 0, last: null, version: undefined };
    node.frames += 1;
    node.last = frame;
    node.version = versionIn(frame) ?? node.version;
    this.nodes.set(frame.tx, node);
  }

  seen(when) {
    if (this.lastSeen === null || when > this.lastSeen) {
      this.lastSeen = when;
      this.changes += 1;
    }
  }

  // The link's own node from its info, with the version the gateway reports.
  ownNode() {
    if (!this.info || typeof this.info.node_id !== 'number') return null;
    return { id: this.info.node_id, version: this.info.engine_version };
  }
}

// Gateway and link names in the order people read them: "l2" before "l10".
const byName = new Intl.Collator('en', { numeric: true }).compare;

export class Fleet {
  constructor() {
    this.gateways = new Map(); // name -> Map(link name -> Link), both by name
    this.layout = 0; // one more whenever a link is added
    this.sorted = [];
  }

  link(gateway, name) {
    const links = this.gateways.get(gateway);
    const known = links && links.get(name);
    return known || this.add(gateway, name);
  }

  add(gateway, name) {
    const link = new Link(gateway, name);
    const links = new Map([...(this.gateways.get(gateway) || []), [name, link]].sort(([a], [b]) => byName(a, b)));
    this.gateways = new Map([...this.gateways.set(gateway, links)].sort(([a], [b]) => byName(a, b)));
    this.sorted = [...this.gateways.values()].flatMap((each) => [...each.values()]);
    this.layout += 1;
    return link;
  }

  // Every link, by gateway and name.
  links() {
    return this.sorted;
  }

  // Takes one message; returns {link, frame} (frame only for frame topics),
  // or null for a topic that is not a link's frame or state. A retained
  // message is old state, so it does not count as the link being seen.
  take(topic, text, retained, now) {
    const where = parseTopic(topic);
    if (where === null) return null;
    if (where.kind === FRAME_KIND) {
      const link = this.link(where.gateway, where.link);
      const frame = parseFrame(where.gateway, where.link, text);
      if (frame !== null) link.addFrame(frame, now);
      return { link, frame };
    }
    const setter = STATE_SETTERS[where.kind];
    if (setter === undefined) return null;
    const link = this.link(where.gateway, where.link);
    setter(link, text);
    link.changes += 1;
    if (!retained) link.seen(now);
    return { link, frame: null };
  }

  // The last time anything live came from a gateway's links, or null.
  lastSeen(gateway) {
    let last = null;
    for (const link of this.gateways.get(gateway).values()) {
      if (link.lastSeen !== null && (last === null || link.lastSeen > last)) last = link.lastSeen;
    }
    return last;
  }
}

const STATE_SETTERS = {
  [STATUS_KIND]: (link, text) => { link.status = text || LINK_UNKNOWN; },
  [INFO_KIND]: (link, text) => { link.info = parseObject(text); },
  [STATS_KIND]: (link, text) => { link.stats = parseObject(text); },
  [SCHEMA_KIND]: (link, text) => {
    link.schema = text ? parseSchema(text) : null;
    if (link.series && !link.schema?.messages.some((message) => message.name === link.series.message)) link.watch(null);
  },
};

function parseObject(text) {
  try {
    const value = JSON.parse(text);
    return typeof value === 'object' && value !== null ? value : null;
  } catch {
    return null;
  }
}
