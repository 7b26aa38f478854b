// The dashboard's logic without a browser: topics and frames into the fleet,
// seq gaps, versions, rates, the log's filter and CSV, command checks.

import { test } from 'node:test';
import assert from 'node:assert/strict';

import { Fleet, RATE_WINDOW, versionIn } from '../../tools/dashboard/fleet.js';
import { FrameLog, csvField, parseFilter, printable } from '../../tools/dashboard/log.js';
import { parseCommand, parseReply, sendBody } from '../../tools/dashboard/commands.js';
import { SUBSCRIPTIONS, parseTopic, replyTopic, sendTopic } from '../../tools/dashboard/gateway.js';
import { agoText, closedText, flatten } from '../../tools/dashboard/view.js';

const T0 = 1_800_000_000; // a whole second, seconds since the epoch

function frameJson(seq, fields = {}) {
  return JSON.stringify({
    transmitter_id: 3, receiver_id: 14, message_type: 'indicate', message_id: 5, data: '4869', status: 'ok',
    seq, ts: T0 + seq / 10, ...fields,
  });
}

function feed(fleet, seqs, fields) {
  for (const seq of seqs) fleet.take('korva/gw/bench/frame/3/14/indicate/5', frameJson(seq, fields), false, T0);
}

test('topics outside a link tree are not taken', () => {
  assert.deepEqual(parseTopic('korva/gw/bench/frame/3/14/write/1'),
    { gateway: 'gw', link: 'bench', kind: 'frame', rest: ['3', '14', 'write', '1'] });
  for (const topic of ['other/gw/bench/status', 'korva/gw/bench', 'korva//bench/status']) {
    assert.equal(parseTopic(topic), null, topic);
  }
  const fleet = new Fleet();
  assert.equal(fleet.take('korva/gw/bench/send/3/write/1', '{}', false, T0), null);
  assert.equal(fleet.links().length, 0);
  assert.equal(fleet.take('korva/gw/bench/frame/3/14/write/1', 'not json', false, T0).frame, null);
  assert.equal(fleet.links()[0].frames, 0);
  assert.deepEqual(SUBSCRIPTIONS, ['korva/+/+/status', 'korva/+/+/info', 'korva/+/+/stats', 'korva/+/+/schema',
    'korva/+/+/frame/#']);
  assert.equal(replyTopic('', 'page-1'), 'korva-reply/anonymous/page-1');
});

test('links are listed by gateway and name, numbers in order; each counts its changes', () => {
  const fleet = new Fleet();
  for (const [gateway, link] of [['gw10', 'l2'], ['gw2', 'l10'], ['gw2', 'l9'], ['gw10', 'l1']]) {
    fleet.take(`korva/${gateway}/${link}/status`, 'up', true, T0);
  }
  assert.deepEqual(fleet.links().map((link) => link.key), ['gw2/l9', 'gw2/l10', 'gw10/l1', 'gw10/l2']);
  assert.equal(fleet.layout, 4);
  const link = fleet.link('gw2', 'l9');
  const before = link.changes;
  fleet.take('korva/gw2/l9/frame/3/14/indicate/5', frameJson(0), false, T0);
  fleet.take('korva/gw2/l9/stats', '{"drops":0}', true, T0);
  assert.ok(link.changes >= before + 2);
  assert.equal(fleet.link('gw10', 'l1').changes, 1);
  assert.equal(fleet.layout, 4);
});

test('seq gaps count the frames missing; a restart or a repeat is no gap', () => {
  const cases = [[[0, 1, 2, 5, 6, 9, 0, 1, 3], 2 + 2 + 1], [[4, 5, 6, 5, 6, 7, 9], 1], [[7, 8], 0]];
  for (const [seqs, gaps] of cases) {
    const fleet = new Fleet();
    feed(fleet, seqs);
    assert.equal(fleet.link('gw', 'bench').frames, seqs.length, String(seqs));
    assert.equal(fleet.link('gw', 'bench').gaps, gaps, String(seqs));
  }
});

test('damaged frames are counted but name no node', () => {
  const fleet = new Fleet();
  feed(fleet, [0, 1]);
  feed(fleet, [2], { transmitter_id: 9, status: 'crc_error' });
  const link = fleet.link('gw', 'bench');
  assert.equal(link.damaged, 1);
  assert.deepEqual([...link.nodes.keys()], [3]);
  assert.equal(link.nodes.get(3).frames, 2);
});

test('the engine version comes from an intact answer to request 63', () => {
  const answer = { type: 'response', id: 63, status: 'ok', data: 'a4860100' };
  assert.equal(versionIn(answer), 100004);
  assert.equal(versionIn({ ...answer, id: 62 }), undefined);
  assert.equal(versionIn({ ...answer, status: 'crc_error' }), undefined);
  assert.equal(versionIn({ ...answer, data: 'a48601' }), undefined);
  const fleet = new Fleet();
  feed(fleet, [0], { message_type: 'response', message_id: 63, data: 'a4860100' });
  feed(fleet, [1]);
  assert.equal(fleet.link('gw', 'bench').nodes.get(3).version, 100004);
});

test('state topics set status, info and stats; only live ones count as seen', () => {
  const fleet = new Fleet();
  fleet.take('korva/gw/bench/status', 'up', true, T0);
  fleet.take('korva/gw/bench/info', '{"node_id":14,"target":"/dev/ttyS0","engine_version":100004}', true, T0);
  const link = fleet.link('gw', 'bench');
  assert.equal(link.status, 'up');
  assert.equal(link.lastSeen, null);
  assert.deepEqual(link.ownNode(), { id: 14, version: 100004 });
  fleet.take('korva/gw/bench/status', 'down', false, T0 + 7);
  assert.equal(link.status, 'down');
  assert.equal(fleet.lastSeen('gw'), T0 + 7);
});

test('rates put each frame in the second of its ts, over the plotted window', () => {
  const fleet = new Fleet();
  feed(fleet, [0, 1, 2, 13, 14]); // seconds T0 (three), T0+1 (two, after a gap of ten)
  feed(fleet, [15], { status: 'crc_error' });
  const [seconds, frames, damaged, gaps] = fleet.link('gw', 'bench').rates.columns(T0 + 1.5);
  assert.equal(seconds.length, RATE_WINDOW);
  assert.equal(seconds.at(-1), T0 + 1);
  assert.deepEqual([frames.at(-2), frames.at(-1)], [3, 3]);
  assert.deepEqual([damaged.at(-2), damaged.at(-1)], [0, 1]);
  assert.deepEqual([gaps.at(-2), gaps.at(-1)], [0, 10]);
  assert.equal(frames.slice(0, -2).reduce((a, b) => a + b), 0);
});

test('rates keep only the seconds of the window, also when nobody plots them', () => {
  const fleet = new Fleet();
  for (let second = 0; second < 3 * RATE_WINDOW; second++) {
    fleet.take('korva/gw/bench/frame/3/14/indicate/5', frameJson(second * 10), false, T0);
  }
  const { seconds } = fleet.link('gw', 'bench').rates;
  assert.equal(seconds.size, RATE_WINDOW);
  assert.equal(Math.min(...seconds.keys()), T0 + 2 * RATE_WINDOW);
});

test('the log filter matches fields exactly and words in the body', () => {
  const entries = [
    { gateway: 'gw', link: 'bench', tx: 3, rx: 14, type: 'indicate', id: 5, data: '48690a', status: 'ok' },
    { gateway: 'gw', link: 'lab', tx: 4, rx: 14, type: 'request', id: 7, data: 'ff00', status: 'crc_error' },
  ];
  const cases = [['', [0, 1]], ['tx=3', [0]], ['type=request id=7', [1]], ['link=bench tx=4', []],
    ['hi', [0]], ['ff', [1]], ['status=crc_error', [1]], ['id=5 0a', [0]]];
  for (const [text, expected] of cases) {
    const passes = parseFilter(text);
    assert.deepEqual(entries.map((entry, at) => (passes(entry) ? at : -1)).filter((at) => at >= 0), expected, text);
  }
  assert.throws(() => parseFilter('colour=red'), /unknown filter key "colour"/);
});

test('CSV has a header, quotes what needs it and keeps only what passes', () => {
  const log = new FrameLog();
  log.add({ gateway: 'gw', link: 'a,b', seq: 0, ts: T0, tx: 3, rx: 14, type: 'write', id: 1, data: '222c41',
    status: 'ok' });
  log.add({ gateway: 'gw', link: 'c', seq: 1, ts: T0, tx: 4, rx: 14, type: 'write', id: 1, data: '', status: 'ok' });
  const lines = log.csv(parseFilter('tx=3')).split('\r\n');
  assert.deepEqual(lines, ['time,gateway,link,seq,tx,rx,type,id,data,text,status,direction,message',
    '2027-01-15T08:00:00.000Z,gw,"a,b",0,3,14,write,1,222c41,""",A",ok,,', '']);
  assert.equal(csvField('plain'), 'plain');
  assert.equal(printable('00417f'), '.A.');
});

test('the log keeps its limit, dropping the oldest', () => {
  const log = new FrameLog(10);
  for (let seq = 0; seq < 25; seq++) log.add({ seq, data: '', status: 'ok' });
  assert.ok(log.entries.length <= 11);
  assert.equal(log.entries.length + log.dropped, 25);
  assert.equal(log.entries.at(-1).seq, 24);
  assert.deepEqual(log.latest(() => true, 3).map((entry) => entry.seq), [24, 23, 22]);
  assert.equal(log.added, 25);
  assert.deepEqual(log.latest((entry) => entry.seq % 2 === 0, 10, 19).map((entry) => entry.seq), [24, 22, 20]);
  assert.deepEqual(log.latest(() => true, 10, 24), []);
});

test('commands are checked before they are sent', () => {
  const command = parseCommand({ rx: '3', type: 'request', id: '63', data: '01 02 FF' });
  assert.deepEqual(command, { rx: 3, type: 'request', id: 63, hex: '0102ff' });
  assert.equal(sendTopic('gw', 'bench', command), 'korva/gw/bench/send/3/request/63');
  assert.equal(sendBody(command), '{"data":"0102ff"}');
  const refused = [[{ rx: '16' }, /receiver/], [{ rx: '' }, /receiver/], [{ id: '64' }, /message id/],
    [{ id: '1.5' }, /message id/], [{ type: 'poke' }, /type/], [{ data: '123' }, /hex/],
    [{ data: 'zz' }, /hex/], [{ data: '00'.repeat(256) }, /255/]];
  for (const [change, error] of refused) {
    assert.throws(() => parseCommand({ rx: '3', type: 'write', id: '1', data: '', ...change }), error,
      JSON.stringify(change).slice(0, 40));
  }
});

test('a reply carries the gateway status and the reply frame or its error', () => {
  const ok = parseReply('{"transmitter_id":3,"data":"0201","status":"ok"}',
    { userProperties: { 'korva-status': 'ok' } });
  assert.equal(ok.status, 'ok');
  assert.equal(ok.data, '0201');
  const down = parseReply('{"error":"the link is down"}', { userProperties: { 'korva-status': 'link_down' } });
  assert.deepEqual([down.status, down.data, down.body.error], ['link_down', null, 'the link is down']);
  assert.equal(parseReply('raw', {}).status, 'unknown');
});

test('link statistics flatten to dotted names; times read as ages', () => {
  assert.deepEqual(flatten({ drops: 0, results: { KORVA_SUCCESS: 7 }, gateway: { line_up: true, answers: {} } }),
    [['drops', 0], ['results.KORVA_SUCCESS', 7], ['gateway.line_up', true]]);
  assert.deepEqual([null, T0 - 4.4, T0 - 600, T0 - 7200, T0 + 3].map((when) => agoText(when, T0)),
    ['never', '4 s ago', '10 min ago', '2 h ago', '0 s ago']);
});

test('a connection that never came up says so, and over wss:// names the certificate', () => {
  assert.equal(closedText('ws://h:9001', true), 'disconnected from ws://h:9001');
  assert.equal(closedText('wss://h:9443', true), 'disconnected from wss://h:9443');
  assert.equal(closedText('ws://h:9001', false), 'cannot reach ws://h:9001');
  assert.equal(closedText('wss://h:9443', false),
    'cannot reach wss://h:9443: is its certificate one this browser trusts?');
});
