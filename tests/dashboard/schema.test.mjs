// The page's side of typed messages, from fixtures: the canonical schema of
// examples/motor.toml and frames the gateway published with it
// (tests/dashboard/fixtures), read into the fleet and the log; the compact
// text, the filter, the numbers offered to plot, the send form's inputs and
// the `fields` they make.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

import { Fleet } from '../../tools/dashboard/fleet.js';
import { FrameLog, parseFilter } from '../../tools/dashboard/log.js';
import { parseReply, sendBody, typedCommand } from '../../tools/dashboard/commands.js';
import {
  collectFields, formInputs, messageFor, parseSchema, plottable, valueAt,
} from '../../tools/dashboard/schema.js';
import { fieldChoices } from '../../tools/dashboard/view.js';

const fixture = (name) => readFileSync(new URL(`fixtures/${name}`, import.meta.url), 'utf8');
const SCHEMA_TEXT = fixture('motor.schema.json').trim();
const FRAMES = fixture('motor.frames.jsonl').trim().split('\n');
const T0 = 1_800_000_000;

function motorFleet() {
  const fleet = new Fleet();
  const log = new FrameLog();
  fleet.take('korva/gw/motor/schema', SCHEMA_TEXT, true, T0);
  for (const text of FRAMES) {
    const json = JSON.parse(text);
    const topic = `korva/gw/motor/frame/3/14/${json.message_type}/${json.message_id}`;
    log.add(fleet.take(topic, text, false, T0).frame);
  }
  return { fleet, log, link: fleet.link('gw', 'motor') };
}

test('a link\'s retained schema is read, and cleared by an empty one', () => {
  const { fleet, link } = motorFleet();
  assert.equal(link.schema.name, 'motor');
  assert.equal(link.schema.revision, 2);
  assert.deepEqual(link.schema.enums, { Mode: ['idle', 'run', 'brake'] });
  assert.deepEqual(link.schema.messages.map((message) => `${message.name} ${message.type} ${message.id}`),
    ['set_speed write 5', 'get_speed request 6', 'speed response 6', 'status indicate 7']);
  assert.equal(messageFor(link.schema, 'response', 6).name, 'speed');
  assert.equal(messageFor(link.schema, 'write', 6), undefined);
  for (const bad of ['', 'not json', '[1]', '{"messages": 3}']) {
    fleet.take('korva/gw/motor/schema', bad, true, T0);
    assert.equal(link.schema, null, bad);
  }
});

test('frames show their message and compact fields, a decode error, extra bytes, or nothing', () => {
  const { log } = motorFleet();
  assert.deepEqual(log.entries.map((entry) => entry.text), [
    'set_speed{rpm=-1200, mode=run, ramp_ms=250}',
    'status{temp=21.5, cells=[3300, 3301, 3302, 3303], flags={armed=true, fault=false, mode=brake}, '
      + 'note="ok \\"go\\""}',
    'status{temp=null, cells=[1, 2, 3, 4], flags={armed=false, fault=true, mode=idle}, note=""}',
    'status: 1 byte, fewer than the 11 it always has',
    'set_speed{rpm=1, mode=idle, ramp_ms=100} +2 bytes',
    '',
  ]);
  assert.deepEqual(log.entries.map((entry) => entry.direction), Array(6).fill('in'));
  assert.equal(log.entries[0].data, '50fb01fa00');
});

test('the filter matches the message name exactly and words in the decoded fields', () => {
  const { log } = motorFleet();
  const cases = [['msg=status', [1, 2, 3]], ['msg=set_speed', [0, 4]], ['msg=stat', []], ['-1200', [0]],
    ['brake', [1]], ['fewer', [3]], ['dir=in msg=set_speed +2', [4]], ['dir=out', []]];
  for (const [text, expected] of cases) {
    const passes = parseFilter(text);
    assert.deepEqual(log.entries.flatMap((entry, at) => (passes(entry) ? [at] : [])), expected, text);
  }
  assert.match(log.csv(parseFilter('msg=set_speed')).split('\r\n')[1],
    /,ok,in,"set_speed\{rpm=-1200, mode=run, ramp_ms=250\}"$/);
});

test('a card offers the numbers of each message to plot, and follows the one chosen', () => {
  const { link, log } = motorFleet();
  const status = messageFor(link.schema, 'indicate', 7);
  assert.deepEqual(plottable(status).map((series) => series.label),
    ['temp', 'cells[0]', 'cells[1]', 'cells[2]', 'cells[3]', 'flags.armed', 'flags.fault']);
  assert.deepEqual(fieldChoices(link.schema).map((choice) => choice.label), ['set_speed.rpm (rpm)',
    'set_speed.ramp_ms (ms)', 'speed.rpm (rpm)', 'status.temp (degC)', 'status.cells[0] (mV)', 'status.cells[1] (mV)',
    'status.cells[2] (mV)', 'status.cells[3] (mV)', 'status.flags.armed', 'status.flags.fault']);
  link.watch('status', ['temp'], log.entries);
  assert.deepEqual(link.series.columns(), [[T0 + 1, T0 + 2], [21.5, null]]);
  link.watch('status', ['cells', 2], log.entries);
  const later = JSON.parse(FRAMES[1]);
  later.ts = T0 + 9;
  later.fields.cells[2] = 4000;
  link.addFrame({ ...later, message: later.message, fields: later.fields, ts: later.ts }, T0 + 9);
  assert.deepEqual(link.series.columns(), [[T0 + 1, T0 + 2, T0 + 9], [3302, 3, 4000]]);
  const values = [[{ v: '18446744073709551615' }, 18446744073709552000], [{ v: true }, 1], [{ v: 'NaN' }, null],
    [{ v: 'run' }, null], [{}, null], [{ v: -0.5 }, -0.5]];
  for (const [fields, expected] of values) assert.equal(valueAt(fields, ['v']), expected, JSON.stringify(fields));
});

test('the send form has an input per value, with the schema\'s ranges, choices and defaults', () => {
  const { link } = motorFleet();
  const inputs = (name) => formInputs(link.schema, link.schema.messages.find((message) => message.name === name));
  const brief = (input) => [input.label, input.kind, input.min, input.max, input.options?.join('|'), input.value];
  assert.deepEqual(inputs('set_speed').map(brief), [
    ['rpm', 'integer', -6000, 6000, undefined, ''],
    ['mode', 'choice', undefined, undefined, 'idle|run|brake', ''],
    ['ramp_ms', 'integer', 0, 65535, undefined, '100'],
  ]);
  assert.deepEqual(inputs('status').map(brief), [
    ['temp', 'float', -3276.8, 3276.7, undefined, ''],
    ...[0, 1, 2, 3].map((at) => [`cells[${at}]`, 'integer', 0, 65535, undefined, '']),
    ['flags.armed', 'flag', undefined, undefined, undefined, false],
    ['flags.fault', 'flag', undefined, undefined, undefined, false],
    ['flags.mode', 'choice', undefined, undefined, 'idle|run|brake', ''],
    ['note', 'text', undefined, undefined, undefined, ''],
  ]);
  assert.deepEqual(inputs('get_speed'), []);
  const wide = parseSchema('{"messages":[{"name":"w","id":1,"type":"write","fields":[{"name":"big","type":"u64"},'
    + '{"name":"blob","type":"bytes","max":4},{"name":"ok","type":"bool","count":2,"default":[true,false]}]}]}');
  assert.deepEqual(formInputs(wide, wide.messages[0]).map(brief), [
    ['big', 'wide', '0', '18446744073709551615', undefined, ''], ['blob', 'hex', undefined, undefined, undefined, ''],
    ['ok[0]', 'flag', undefined, undefined, undefined, true], ['ok[1]', 'flag', undefined, undefined, undefined, false],
  ]);
});

test('what the inputs hold becomes `fields` in the gateway\'s JSON mapping; the body is not encoded here', () => {
  const { link } = motorFleet();
  const message = (name) => link.schema.messages.find((each) => each.name === name);
  const status = formInputs(link.schema, message('status'));
  const fields = collectFields(status, [' -12.5 ', '1', '2', '3', '4', true, false, 'brake', 'hi there']);
  assert.deepEqual(fields, { temp: -12.5, cells: [1, 2, 3, 4], flags: { armed: true, fault: false, mode: 'brake' },
    note: 'hi there' });
  const setSpeed = formInputs(link.schema, message('set_speed'));
  assert.deepEqual(collectFields(setSpeed, ['-1200', 'run', '']), { rpm: -1200, mode: 'run' });
  const command = typedCommand('3', message('set_speed'), { rpm: -1200, mode: 'run' });
  assert.deepEqual(command, { rx: 3, type: 'write', id: 5, fields: { rpm: -1200, mode: 'run' } });
  assert.equal(sendBody(command), '{"fields":{"rpm":-1200,"mode":"run"}}');
  const refused = [[['1.5', 'run', ''], /rpm: a whole number, not "1.5"/], [['x', 'run', ''], /rpm: a whole number/],
    [['1', 'run', '7e'], /ramp_ms: a whole number/]];
  for (const [values, error] of refused) assert.throws(() => collectFields(setSpeed, values), error);
  assert.throws(() => collectFields(status, ['1', '1', '', '3', '4', false, false, 'idle', '']), /cells: give every/);
  assert.throws(() => typedCommand('16', message('set_speed'), {}), /receiver/);
  const wide = parseSchema('{"messages":[{"name":"w","id":1,"type":"write","fields":[{"name":"big","type":"i64"},'
    + '{"name":"x","type":"f32"},{"name":"blob","type":"bytes","max":4}]}]}');
  const inputs = formInputs(wide, wide.messages[0]);
  assert.deepEqual(collectFields(inputs, ['-9223372036854775808', '-Infinity', 'C0 FF ee']),
    { big: '-9223372036854775808', x: '-Infinity', blob: 'c0ffee' });
  assert.throws(() => collectFields(inputs, ['1e3', '', '']), /big: a whole number/);
  assert.throws(() => collectFields(inputs, ['', '', 'c0f']), /blob: hex bytes/);
});

test('a reply shows its message decoded, or why it did not decode', () => {
  const ok = { userProperties: { 'korva-status': 'ok' } };
  const reply = parseReply('{"data":"b004","status":"ok","message":"speed","fields":{"rpm":1200}}', ok);
  assert.deepEqual([reply.status, reply.data, reply.decoded], ['ok', 'b004', 'speed{rpm=1200}']);
  const short = parseReply('{"data":"b0","message":"speed","decode_error":"speed: short"}', ok);
  assert.equal(short.decoded, 'speed: short');
  const bad = parseReply('{"data":"b0","message":"speed","decode_error":"1 byte, fewer than 2"}', ok);
  assert.equal(bad.decoded, 'speed: 1 byte, fewer than 2');
  assert.equal(parseReply('{"data":"b0"}', ok).decoded, '');
});
