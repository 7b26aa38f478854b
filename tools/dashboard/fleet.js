// The fleet as the broker shows it: gateways, their links, the nodes seen on
// each link and per-second counts of frames, damaged frames and seq gaps.
// Fed with (topic, payload) pairs; knows nothing of the page or of MQTT.

export const TYPE_NAMES = ['write', 'request', 'response', 'indicate'];
export const ROOT = 'korva';
export const RATE_WINDOW = 120; // seconds of counts kept for the plots

const VERSION_REQUEST_ID = 63; // the engine answers it with its version, 4 bytes, LSB first

// korva/<gateway>/<link>/<kind>/... as {gateway, link, kind, rest}, or null.
export function parseTopic(topic) {
  const [root, gateway, link, kind, ...rest] = topic.split('/');
  if (root !== ROOT || !gateway || !link || !kind) return null;
  return { gateway, link, kind, rest };
}

// A frame's JSON as the log entry the page keeps, or null when it is not one.
function parseFrame(gateway, link, text) {
  let json;
  try {
    json = JSON.parse(text);
  } catch {
    return null;
  }
  if (typeof json !== 'object' || json === null || typeof json.data !== 'string') return null;
  return {
    gateway, link,
    seq: json.seq, ts: json.ts,
    tx: json.transmitter_id, rx: json.receiver_id,
    type: json.message_type, id: json.message_id,
    data: json.data, status: json.status,
  };
}

// The engine version carried by a frame, when it is the answer to a
// version request; else undefined.
export function versionIn(frame) {
  if (frame.type !== 'response' || frame.id !== VERSION_REQUEST_ID || frame.status !== 'ok') return undefined;
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
    const bucket = this.seconds.get(second) || { frames: 0, damaged: 0, gaps: 0 };
    bucket.frames += frames;
    bucket.damaged += damaged;
    bucket.gaps += gaps;
    this.seconds.set(second, bucket);
  }

  // uPlot's columns [seconds, frames, damaged, gaps], oldest first, ending at `now`.
  columns(now) {
    const last = Math.floor(now);
    for (const second of this.seconds.keys()) if (second <= last - RATE_WINDOW) this.seconds.delete(second);
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
}

class Link {
  constructor(gateway, name) {
    this.gateway = gateway;
    this.name = name;
    this.status = 'unknown';
    this.info = null;
    this.stats = null;
    this.lastSeen = null; // seconds since the epoch of the last live word from the link
    this.frames = 0;
    this.damaged = 0;
    this.gaps = 0;
    this.lastSeq = null;
    this.nodes = new Map(); // transmitter id -> {id, frames, last, version}
    this.rates = new Rates();
  }

  get key() {
    return this.gateway + '/' + this.name;
  }

  addFrame(frame, now) {
    const gap = this.seqGap(frame.seq);
    const damaged = frame.status === 'ok' ? 0 : 1;
    this.frames += 1;
    this.damaged += damaged;
    this.gaps += gap;
    this.seen(typeof frame.ts === 'number' ? frame.ts : now);
    this.rates.add(Math.floor(typeof frame.ts === 'number' ? frame.ts : now), 1, damaged, gap);
    if (!damaged) this.countNode(frame);
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
    if (this.lastSeen === null || when > this.lastSeen) this.lastSeen = when;
  }

  // The link's own node from its info, with the version the gateway reports.
  ownNode() {
    if (!this.info || typeof this.info.node_id !== 'number') return null;
    return { id: this.info.node_id, version: this.info.engine_version };
  }
}

export class Fleet {
  constructor() {
    this.gateways = new Map(); // name -> Map(link name -> Link)
  }

  link(gateway, name) {
    if (!this.gateways.has(gateway)) this.gateways.set(gateway, new Map());
    const links = this.gateways.get(gateway);
    if (!links.has(name)) links.set(name, new Link(gateway, name));
    return links.get(name);
  }

  links() {
    return [...this.gateways.values()].flatMap((links) => [...links.values()]);
  }

  // Takes one message; returns {link, frame} (frame only for frame topics),
  // or null for a topic that is not a link's. A retained message is old
  // state, so it does not count as the link being seen.
  take(topic, text, retained, now) {
    const where = parseTopic(topic);
    if (where === null) return null;
    const link = this.link(where.gateway, where.link);
    if (where.kind === 'frame') {
      const frame = parseFrame(where.gateway, where.link, text);
      if (frame !== null) link.addFrame(frame, now);
      return { link, frame };
    }
    if (!this.setState(link, where.kind, text)) return null;
    if (!retained) link.seen(now);
    return { link, frame: null };
  }

  setState(link, kind, text) {
    if (kind === 'status') link.status = text || 'unknown';
    else if (kind === 'info') link.info = parseObject(text);
    else if (kind === 'stats') link.stats = parseObject(text);
    else return false;
    return true;
  }

  // The last time anything live came from a gateway's links, or null.
  lastSeen(gateway) {
    const times = [...this.gateways.get(gateway).values()].map((link) => link.lastSeen).filter((t) => t !== null);
    return times.length ? Math.max(...times) : null;
  }
}

function parseObject(text) {
  try {
    const value = JSON.parse(text);
    return typeof value === 'object' && value !== null ? value : null;
  } catch {
    return null;
  }
}
