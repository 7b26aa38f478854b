// The dashboard in a real browser: Debian's chromium, driven headless by
// playwright-core, shows a real gateway's link through a real mosquitto,
// with a scripted peer node on a socat pseudo-terminal at the other end.
//
// Environment: KORVA_PYTHON (the interpreter korva is built for), PYTHONPATH
// (the built package), KORVA_SCREENSHOT (where the page's picture goes),
// KORVA_PYTHON_PRELOAD (a sanitizer build's runtime, for the interpreters).

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir, userInfo } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { execFileSync } from 'node:child_process';

import { Program, freePort, listening, waitFor } from './programs.mjs';

const SOURCE = fileURLToPath(new URL('../..', import.meta.url));
const require = createRequire(join(SOURCE, 'tools/dashboard/package.json'));
const { chromium } = require('playwright-core');

const CHROMIUM = '/usr/bin/chromium';
const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const START_TIMEOUT = 15000; // ms for a program to come up on a loaded machine
const PAGE_TIMEOUT = 15000; // ms for the page to show what the broker sent
const CUT_BOUND = 5000; // ms: the page must show the cut link down by then (a second is the aim)
const GATEWAY = 'gw1'; // a gateway of the access list
const LINK = 'bench';
const LINK_KEY = `${GATEWAY}/${LINK}`;
const GATEWAY_ID = 14; // must match tests/dashboard/peer.py
const PEER_ID = 3;
const ECHO_ID = 9; // a request id the access list lets the operator send to the peer
const USERS = { [GATEWAY]: 'gateway-secret', operator: 'operator-secret', viewer: 'viewer-secret' };

const python = process.env.KORVA_PYTHON || 'python3';
const pythonEnv = process.env.KORVA_PYTHON_PRELOAD
  ? { ...process.env, LD_PRELOAD: process.env.KORVA_PYTHON_PRELOAD } : process.env;
const folder = mkdtempSync(join(tmpdir(), 'korva-dashboard-'));
const programs = [];
const ports = {};
let browser = null;
let line = null; // socat, whose end is the cut

function run(name, command, args, env = process.env) {
  const program = new Program(name, command, args, { env });
  programs.push(program);
  return program;
}

// A broker like tools/mosquitto/korva.conf on this test's ports, with the
// committed access list and this test's users.
function writeBrokerConfig() {
  const passwords = join(folder, 'korva.passwd');
  writeFileSync(join(folder, 'korva.conf'), [
    `listener ${ports.mqtt} 127.0.0.1`, `listener ${ports.websockets} lo`, 'protocol websockets',
    'allow_anonymous false', `password_file ${passwords}`, `acl_file ${join(SOURCE, 'tools/mosquitto/korva.acl')}`,
    // Started by root, mosquitto would become user "mosquitto", who may not
    // read the test's folder or the source tree: it stays who started it.
    'persistence false', `user ${userInfo().username}`, ''].join('\n'));
  writeFileSync(passwords, '');
  for (const [user, password] of Object.entries(USERS)) {
    execFileSync('mosquitto_passwd', ['-b', passwords, user, password]);
  }
}

async function startBroker() {
  writeBrokerConfig();
  run('mosquitto', 'mosquitto', ['-c', join(folder, 'korva.conf')]);
  for (const port of [ports.mqtt, ports.websockets]) {
    await waitFor(`mosquitto on port ${port}`, () => listening(port), START_TIMEOUT);
  }
}

async function startLine() {
  const [gatewayEnd, peerEnd] = [join(folder, 'gateway-end'), join(folder, 'peer-end')];
  line = run('socat', 'socat', [`pty,raw,echo=0,link=${gatewayEnd}`, `pty,raw,echo=0,link=${peerEnd}`]);
  await waitFor('socat\'s pseudo-terminals', () => existsSync(gatewayEnd) && existsSync(peerEnd), START_TIMEOUT);
  await run('peer', python, [join(SOURCE, 'tests/dashboard/peer.py'), peerEnd], pythonEnv)
    .said(/peer \d+ on/, START_TIMEOUT);
  return gatewayEnd;
}

function startGateway(tty) {
  const options = ['--broker', `mqtt://127.0.0.1:${ports.mqtt}`, '--name', GATEWAY, '--password', USERS[GATEWAY],
    '--id', String(GATEWAY_ID), '--link', `${LINK}=${tty}`];
  run('gateway', python, ['-m', 'korva', 'gateway', ...options], pythonEnv);
}

async function startDashboard() {
  const server = run('dashboard', python, ['-m', 'korva', 'dashboard', '--broker',
    `ws://127.0.0.1:${ports.websockets}`, '--listen', '0'], pythonEnv);
  const [, address] = await server.said(/dashboard at (http:\/\/127\.0\.0\.1:\d+\/)/, START_TIMEOUT);
  return address;
}

const pageErrors = []; // uncaught errors in the pages, for the report

async function openPage(address, user) {
  const page = await browser.newPage();
  page.on('pageerror', (error) => pageErrors.push(`${user}'s page: ${error.message}`));
  page.setDefaultTimeout(PAGE_TIMEOUT);
  await page.goto(address);
  await page.fill('#user', user);
  await page.fill('#password', USERS[user]);
  await page.click('#connect');
  await waitForText(page, '#connection', /^connected to ws:/);
  return page;
}

// Waits until the element's text matches; the error names what it showed.
async function waitForText(page, selector, pattern) {
  try {
    await page.waitForFunction(([css, source, flags]) => new RegExp(source, flags)
      .test(document.querySelector(css)?.textContent ?? ''), [selector, pattern.source, pattern.flags]);
  } catch (error) {
    const shown = await page.textContent(selector).catch(() => null);
    throw new Error(`${selector} never matched ${pattern}; it shows ${JSON.stringify(shown)}`);
  }
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

function report() {
  return pageErrors.map((error) => `--- ${error}\n`).join('') + programs.map((program) => `--- ${program.name} (${program.running ? 'running' : program.exit}):\n`
    + program.output.slice(-2000)).join('\n');
}

describe('dashboard in chromium', () => {
  let address;
  let operator = null; // the operator's page, once it showed the link up

  // The later steps build on the first; without it they would each wait out their bounds.
  const needLinkUp = () => assert.ok(operator !== null, 'the page never showed the link up (see the first test)');

  before(async () => {
    try {
      for (const name of ['mqtt', 'websockets']) ports[name] = await freePort();
      await startBroker();
      startGateway(await startLine());
      address = await startDashboard();
      browser = await chromium.launchPersistentContext(join(folder, 'chromium'), {
        executablePath: CHROMIUM, args: CHROMIUM_ARGS, viewport: { width: 1280, height: 1000 }, acceptDownloads: true,
      });
    } catch (error) {
      error.message += '\n' + report();
      throw error;
    }
  });

  after(async () => {
    if (browser !== null) await browser.close().catch(() => {});
    for (const program of programs.reverse()) await program.stop();
    rmSync(folder, { recursive: true, force: true });
  });

  test('the link is up, its frames count up and the peer has a node row', async () => {
    try {
      const page = await openPage(address, 'operator');
      await waitForText(page, linkCell('status'), /^up$/);
      operator = page;
      const count = async () => Number(await page.textContent(linkCell('frames')));
      const first = await waitFor('a first frame', count, PAGE_TIMEOUT);
      const later = await waitFor('more frames', async () => (await count()) > first && count(), PAGE_TIMEOUT);
      assert.ok(later > first);
      await waitForText(page, `tr[data-node="${LINK_KEY}/${PEER_ID}"]`, /indicate id 5 to 14/);
      assert.equal(await page.locator(`.link-card[data-link="${LINK_KEY}"] .uplot canvas`).count(), 1);
      await waitForText(page, `.link-card[data-link="${LINK_KEY}"] details.stats`, /gateway\.line_up\s*true/);
    } catch (error) {
      error.message += '\n' + report();
      throw error;
    }
  });

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
    await operator.screenshot({ path: process.env.KORVA_SCREENSHOT || join(folder, 'dashboard.png'), fullPage: true });
  });

  test('a viewer\'s send is refused by the broker and never reaches the line', async () => {
    needLinkUp();
    const viewer = await openPage(address, 'viewer');
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
    await waitForText(operator, linkCell('status'), /^down$/).catch(async (error) => {
      error.message += '\n' + report();
      throw error;
    });
    const latency = performance.now() - started;
    t.diagnostic(`link cut to "down" on the page: ${latency.toFixed(0)} ms`);
    assert.ok(latency < CUT_BOUND, `took ${latency} ms`);
  });
});
