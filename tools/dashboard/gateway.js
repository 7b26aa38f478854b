// What the gateways publish and take, as the page sees it: the topic tree,
// the frame's type names and limits, and the status words of links, frames
// and replies. Every other module takes these words from here.
//
//   korva/<gateway>/<link>/frame/<tx>/<rx>/<type>/<id>   every frame on the line
//   korva/<gateway>/<link>/send/<rx>/<type>/<id>         commands to the line
//   korva/<gateway>/<link>/{status,info,stats,schema}    the link's retained state
//   korva-reply/<user>/<client id>                       answers to this page's requests

export const ROOT = 'korva';
export const REPLY_ROOT = 'korva-reply';

export const TYPE_NAMES = ['write', 'request', 'response', 'indicate'];
export const REQUEST = 'request';
export const RESPONSE = 'response';
export const MAX_NODE_ID = 15;
export const MAX_MESSAGE_ID = 63;
export const MAX_BODY = 255;
export const VERSION_REQUEST_ID = 63; // the engine answers it with its version, 4 bytes, LSB first

// A link's `status` topic; UNKNOWN is the page's own word for a link whose
// status it has not heard.
export const LINK_UP = 'up';
export const LINK_DOWN = 'down';
export const LINK_OFFLINE = 'offline';
export const LINK_UNKNOWN = 'unknown';

// A frame's `status`: FRAME_OK for an intact frame, a checksum or end byte
// error word otherwise.
export const FRAME_OK = 'ok';

// The user property that carries a reply's outcome: REPLY_OK or one of
// `timeout`, `link_down`, `bad_request`.
export const REPLY_STATUS_PROPERTY = 'korva-status';
export const REPLY_OK = 'ok';

export const STATUS_KIND = 'status';
export const INFO_KIND = 'info';
export const STATS_KIND = 'stats';
export const SCHEMA_KIND = 'schema'; // the link's schema, canonical JSON; empty without one
export const STATE_KINDS = [STATUS_KIND, INFO_KIND, STATS_KIND, SCHEMA_KIND];

// A frame's `direction`: DIRECTION_IN for one the line brought, `out` for
// one the gateway's own node sent.
export const DIRECTION_IN = 'in';
export const FRAME_KIND = 'frame';
const SEND_KIND = 'send';

// What the page subscribes to: every link's state and frames.
export const SUBSCRIPTIONS = [...STATE_KINDS.map((kind) => [ROOT, '+', '+', kind].join('/')),
  [ROOT, '+', '+', FRAME_KIND, '#'].join('/')];

// korva/<gateway>/<link>/<kind>/... as {gateway, link, kind, rest}, or null.
export function parseTopic(topic) {
  const [root, gateway, link, kind, ...rest] = topic.split('/');
  if (root !== ROOT || !gateway || !link || !kind) return null;
  return { gateway, link, kind, rest };
}

export function sendTopic(gateway, link, command) {
  return [ROOT, gateway, link, SEND_KIND, command.rx, command.type, command.id].join('/');
}

// Where replies to this page's requests come: under korva-reply/<user>/,
// where gateways may answer and only that user may read.
export function replyTopic(user, clientId) {
  return [REPLY_ROOT, user || 'anonymous', clientId].join('/');
}

export function isReplyTopic(topic) {
  return topic.startsWith(REPLY_ROOT + '/');
}
