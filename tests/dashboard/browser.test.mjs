// The dashboard in a real browser: Debian's chromium, driven headless by
// playwright-core, shows a real gateway's link through a real mosquitto,
// with a scripted peer node on a socat pseudo-terminal at the other end.
// The link has the peer's schema (tests/dashboard/bench.toml).
//
// Environment: as bench.mjs, and KORVA_SCREENSHOT (where the page's picture goes).

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';

import { Bench, PAGE_TIMEOUT, SOURCE, START_TIMEOUT, waitForText } from './bench.mjs';
import { waitFor } from './programs.mjs';

const CUT_BOUND = 5000; // ms: the page must show the cut link down by then (a second is the aim)
const GATEWAY = 'gw1'; // a gateway of the access list
const LINK = 'bench';
const LINK_KEY = `${GATEWAY}/${LINK}`;
const GATEWAY_ID = 14; // must match tests/dashboard/peer.py
const PEER_ID = 3;
const ECHO_ID = 9; // a request id the access list lets the operator send to the peer
const USERS = { [GATEWAY]: 'gateway-secret', operator: 'operator-secret', viewer: 'viewer-secret' };
const SCHEMA = join(SOURCE, 'tests/dashboard/bench.toml');
const PLOT_GREEN = [0x17, 0x80, 0x3d]; // the field plot's stroke (tools/dashboard/plots.js)

const bench = new Bench(USERS);
let line = null; // socat, whose end is the cut

async function startLine() {
  const [gatewayEnd, peerEnd] = [join(bench.folder, 'gateway-end'), join(bench.folder, 'peer-end')];
  line = bench.run('socat', 'socat', [`pty,raw,echo=0,link=${gatewayEnd}`, `pty,raw,echo=0,link=${peerEnd}`]);
  await waitFor('socat\'s pseudo-terminals', () => existsSync(gatewayEnd) && existsSync(peerEnd), START_TIMEOUT);
  await bench.python('peer', [join(SOURCE, 'tests/dashboard/peer.py'), peerEnd]).said(/peer \d+ on/, START_TIMEOUT);
  return gatewayEnd;
}

function startGateway(tty) {
  const options = ['--broker', `mqtt://127.0.0.1:${bench.ports.mqtt}`, '--name', GATEWAY, '--password',
    USERS[GATEWAY], '--id', String(GATEWAY_ID), '--link', `${LINK}=${tty}`, '--schema', SCHEMA];
  bench.python('gateway', ['-m', 'korva', 'gateway', ...options]);
}

const linkCell = (name) => `#fleet tr[data-link="${LINK_KEY}"] td.${name}`;

async function sendFromForm(page, fields) {
  await page.selectOption('#send-link', LINK_KEY);
  await page.selectOption('#send-message', { label: 'raw bytes' });
  await page.fill('#send-rx', String(fields.rx));
  await page.selectOption('#send-type', fields.type);
  await page.fill('#send-id', String(fields.id));
  await page.fill('#send-data', fields.data);
  await page.click('#send-button');
}

describe('dashboard in chromium', () => {
  let operator = null; // the operator's page, once it showed the link up

  // The later steps build on the first; without it they would each wait out their bounds.
  const needLinkUp = () => assert.ok(operator !== null, 'the page never showed the link up (see the first test)');

  before(() => bench.reporting(async () => {
    await bench.startBroker();
    startGateway(await startLine());
    await bench.startDashboard();
    await bench.startBrowser({ width: 1280, height: 1000 });
  }));

  after(() => bench.stop());

  test('the link is up, its frames count up and the peer has a node row', () => bench.reporting(async () => {
    const page = await bench.openPage('operator');
    await waitForText(page, linkCell('status'), /^up$/);
    operator = page;
    const count = async () => Number(await page.textContent(linkCell('frames')));
    const first = await waitFor('a first frame', count, PAGE_TIMEOUT);
    const later = await waitFor('more frames', async () => (await count()) > first && count(), PAGE_TIMEOUT);
    assert.ok(later > first);
    await waitForText(page, `tr[data-node="${LINK_KEY}/${PEER_ID}"]`, /indicate id 5 to 14/);
    assert.equal(await page.locator(`.link-card[data-link="${LINK_KEY}"] .uplot canvas`).count(), 1);
    await waitForText(page, `.link-card[data-link="${LINK_KEY}"] details.stats`, /gateway\.line_up\s*true/);
  }));

  test('damaged frames are counted and marked; seq runs without gaps', async () => {
    needLinkUp();
    await waitForText(operator, linkCell('damaged'), /^[1-9]\d*$/);
    await operator.fill('#filter', 'status=crc_error');
    const rows = await operator.$$eval('#log tbody tr', (all) => all.map((row) => [row.className,
      row.cells[9].textContent]));
    await operator.fill('#filter', '');
    assert.ok(rows.length >= 1);
    assert.deepEqual(new Set(rows.map(String)), new Set(['damaged,crc_error']));
    assert.equal(await operator.textContent(linkCell('gaps')), '0');
  });

  test('requests from the form are answered: the peer\'s reply, the engine\'s version', async () => {
    needLinkUp();
    await sendFromForm(operator, { rx: PEER_ID, type: 'request', id: ECHO_ID, data: '01 02 03' });
    await waitForText(operator, '#send-result', /^reply: ok, echo_reply\{x=515, y=1\}, data 03 02 01$/);
    await sendFromForm(operator, { rx: PEER_ID, type: 'request', id: 63, data: '' });
    await waitForText(operator, '#send-result',
      /^reply: ok, engine_version_reply\{version=100004\}, data a4 86 01 00$/);
    await waitForText(operator, `tr[data-node="${LINK_KEY}/${PEER_ID}"] td.version`, /^100004$/);
  });

  test('the log filters and exports what it shows as CSV', async () => {
    needLinkUp();
    await operator.fill('#filter', 'type=response id=63');
    await waitForText(operator, '#log tbody', /a4 86 01 00/);
    const types = await operator.$$eval('#log tbody tr td:nth-child(5)', (cells) => cells.map((c) => c.textContent));
    assert.ok(types.length >= 1);
    assert.deepEqual(new Set(types), new Set(['response']));
    const [download] = await Promise.all([operator.waitForEvent('download'), operator.click('#export')]);
    const lines = readFileSync(await download.path(), 'utf8').trim().split('\r\n');
    assert.equal(lines[0], 'time,gateway,link,seq,tx,rx,type,id,data,text,status,direction,message');
    assert.equal(lines.length, types.length + 1);
    assert.match(lines[1], new RegExp(`^[0-9T:.Z-]+,${GATEWAY},${LINK},\\d+,${PEER_ID},${GATEWAY_ID},response,63,`
      + 'a4860100,\\.\\.\\.\\.,ok,in,engine_version_reply\\{version=100004\\}$'));
    await operator.fill('#filter', '');
  });

  test('the log shows the peer\'s ticks decoded, and the filter matches their fields', async () => {
    needLinkUp();
    await operator.fill('#filter', 'msg=tick mode=run');
    await waitForText(operator, '#filter-error', /unknown filter key "mode"/);
    await operator.fill('#filter', 'msg=tick run');
    const tick = /^tick\{count=\d+, temp=2\d(\.\d)?, mode=run\}$/;
    await waitForText(operator, '#log tbody tr:first-child td.message', tick);
    const messages = await operator.$$eval('#log tbody td.message', (cells) => cells.map((cell) => cell.textContent));
    assert.ok(messages.every((text) => tick.test(text)), messages[0]);
    await operator.fill('#filter', '');
  });

  test('a card plots a field of a message over time', async () => {
    needLinkUp();
    const card = `.link-card[data-link="${LINK_KEY}"]`;
    await operator.selectOption(`${card} select.field-choice`, { label: 'tick.temp (degC)' });
    await waitForText(operator, `${card} .field-caption`, /^([3-9]|\d\d+) points, last 2\d(\.\d)?$/);
    const stroked = await operator.$eval(`${card} .field-plot canvas`, (canvas, green) => {
      const { data } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
      let count = 0;
      for (let at = 0; at < data.length; at += 4) {
        if (data[at + 3] > 128 && green.every((value, rgb) => Math.abs(data[at + rgb] - value) < 40)) count += 1;
      }
      return count;
    }, PLOT_GREEN);
    assert.ok(stroked > 20, `${stroked} pixels of the plot's colour`);
  });

  test('a send built from the schema\'s form reaches the peer byte-exact; a typed request shows its reply decoded',
    () => bench.reporting(async () => {
      needLinkUp();
      await operator.selectOption('#send-link', LINK_KEY);
      await operator.fill('#send-rx', String(PEER_ID));
      await operator.selectOption('#send-message', { label: 'set_speed (write 5)' });
      assert.equal(await operator.inputValue('#send-fields [data-field="ramp_ms"]'), '100');
      assert.equal(await operator.getAttribute('#send-fields [data-field="rpm"]', 'max'), '6000');
      await operator.fill('#send-fields [data-field="rpm"]', '-1200');
      await operator.selectOption('#send-fields [data-field="mode"]', 'run');
      await operator.fill('#send-fields [data-field="ramp_ms"]', '250');
      await operator.check('#send-fields [data-field="flags.armed"]');
      await operator.fill('#send-fields [data-field="flags.level"]', '5');
      await operator.click('#send-button');
      await waitForText(operator, '#send-result', /^sent: the frame went out$/);
      // rpm -1200 as i16 LE fb50 -> 50 fb; mode run 01; ramp_ms 250 -> fa 00; armed | 5 << 1 = 0b
      const peer = bench.programs.find((program) => program.name === 'peer');
      await peer.said(/peer got write 5 50fb01fa000b\n/, PAGE_TIMEOUT);
      await operator.fill('#filter', 'dir=out msg=set_speed');
      await waitForText(operator, '#log tbody td.message',
        /^set_speed\{rpm=-1200, mode=run, ramp_ms=250, flags=\{armed=true, level=5\}\}$/);
      await operator.fill('#filter', '');
      await operator.selectOption('#send-message', { label: 'echo (request 9)' });
      await operator.fill('#send-fields [data-field="a"]', '1');
      await operator.fill('#send-fields [data-field="b"]', '515');
      await operator.click('#send-button');
      // 01 03 02 reversed by the peer: 02 03 01, x = 0x0302
      await waitForText(operator, '#send-result', /^reply: ok, echo_reply\{x=770, y=1\}, data 02 03 01$/);
      await operator.screenshot({ path: process.env.KORVA_SCREENSHOT || join(bench.folder, 'dashboard.png'),
        fullPage: true });
    }));

  test('a viewer\'s send is refused by the broker and never reaches the line', async () => {
    needLinkUp();
    const viewer = await bench.openPage('viewer');
    await waitForText(viewer, linkCell('status'), /^up$/);
    await sendFromForm(viewer, { rx: PEER_ID, type: 'request', id: ECHO_ID, data: 'ee ee' });
    await waitForText(viewer, '#send-result', /^refused by the broker: Not authorized \(reason code 135\)$/);
    await sendFromForm(operator, { rx: PEER_ID, type: 'request', id: ECHO_ID, data: 'dd' });
    await waitForText(operator, '#send-result',
      /^reply: ok, echo_reply: 1 byte, fewer than the 3 it always has, data dd$/);
    await operator.fill('#filter', 'eeee');
    assert.equal(await operator.$$eval('#log tbody tr', (rows) => rows.length), 0);
    await operator.fill('#filter', '');
    await viewer.close();
  });

  test('a cut link shows down', async (t) => {
    needLinkUp();
    const started = performance.now();
    await line.stop();
    await bench.reporting(() => waitForText(operator, linkCell('status'), /^down$/));
    const latency = performance.now() - started;
    t.diagnostic(`link cut to "down" on the page: ${latency.toFixed(0)} ms`);
    assert.ok(latency < CUT_BOUND, `took ${latency} ms`);
  });
});
