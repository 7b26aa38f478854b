// The dashboard in a real browser: Debian's chromium, driven headless by
// playwright-core, shows a real gateway's link through a real mosquitto,
// with a scripted peer node on a socat pseudo-terminal at the other end.
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
    USERS[GATEWAY], '--id', String(GATEWAY_ID), '--link', `${LINK}=${tty}`];
  bench.python('gateway', ['-m', 'korva', 'gateway', ...options]);
}

const linkCell = (name) => `#fleet tr[data-link="${LINK_KEY}"] td.${name}`;

async function sendFromForm(page, fields) {
  await page.selectOption('#send-link', LINK_KEY);
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
      row.cells[8].textContent]));
    await operator.fill('#filter', '');
    assert.ok(rows.length >= 1);
    assert.deepEqual(new Set(rows.map(String)), new Set(['damaged,crc_error']));
    assert.equal(await operator.textContent(linkCell('gaps')), '0');
  });

  test('requests from the form are answered: the peer\'s reply, the engine\'s version', async () => {
    needLinkUp();
    await sendFromForm(operator, { rx: PEER_ID, type: 'request', id: ECHO_ID, data: '01 02 03' });
    await waitForText(operator, '#send-result', /^reply: ok, data 03 02 01$/);
    await sendFromForm(operator, { rx: PEER_ID, type: 'request', id: 63, data: '' });
    await waitForText(operator, '#send-result', /^reply: ok, data a4 86 01 00$/);
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
    assert.equal(lines[0], 'time,gateway,link,seq,tx,rx,type,id,data,text,status');
    assert.equal(lines.length, types.length + 1);
    assert.match(lines[1], new RegExp(`^[0-9T:.Z-]+,${GATEWAY},${LINK},\\d+,${PEER_ID},${GATEWAY_ID},response,63,`
      + 'a4860100,\\.\\.\\.\\.,ok$'));
    await operator.fill('#filter', '');
    await operator.screenshot({ path: process.env.KORVA_SCREENSHOT || join(bench.folder, 'dashboard.png'),
      fullPage: true });
  });

  test('a viewer\'s send is refused by the broker and never reaches the line', async () => {
    needLinkUp();
    const viewer = await bench.openPage('viewer');
    await waitForText(viewer, linkCell('status'), /^up$/);
    await sendFromForm(viewer, { rx: PEER_ID, type: 'request', id: ECHO_ID, data: 'ee ee' });
    await waitForText(viewer, '#send-result', /^refused by the broker: Not authorized \(reason code 135\)$/);
    await sendFromForm(operator, { rx: PEER_ID, type: 'request', id: ECHO_ID, data: 'dd' });
    await waitForText(operator, '#send-result', /^reply: ok, data dd$/);
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
