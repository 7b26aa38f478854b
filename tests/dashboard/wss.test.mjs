// The dashboard over wss://: mosquitto's websockets listener with a
// certificate made here by openssl for 127.0.0.1, chromium trusting that
// certificate's key and nothing else, the page showing a link from the
// broker's retained state.
//
// Environment: as bench.mjs.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';

import { Bench, waitForText } from './bench.mjs';

const USERS = { gw1: 'gateway-secret', viewer: 'viewer-secret' };
const LINK_KEY = 'gw1/bench';

const bench = new Bench(USERS);

function openssl(...args) {
  return execFileSync('openssl', args, { stdio: ['ignore', 'pipe', 'pipe'] });
}

// A key and a self-signed certificate for 127.0.0.1; and the base64 SHA-256
// of the key's public part, which is how chromium is told to trust it.
function certificate(folder) {
  const [cert, key] = [join(folder, 'broker.crt'), join(folder, 'broker.key')];
  openssl('req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes', '-keyout', key,
    '-out', cert, '-days', '2', '-subj', '/CN=korva dashboard test', '-addext', 'subjectAltName=IP:127.0.0.1');
  const publicKey = openssl('pkey', '-in', key, '-pubout', '-outform', 'DER');
  const spki = execFileSync('openssl', ['dgst', '-sha256', '-binary'], { input: publicKey });
  return { cert, key, spki: spki.toString('base64') };
}

function publishRetained(topic, payload) {
  const file = join(bench.folder, 'payload');
  writeFileSync(file, payload);
  execFileSync('mosquitto_pub', ['-p', String(bench.ports.mqtt), '-h', '127.0.0.1', '-u', 'gw1', '-P', USERS.gw1,
    '-V', 'mqttv5', '-q', '1', '-r', '-t', topic, '-f', file]);
}

const VIEWPORT = { width: 1280, height: 800 };
let trusted = null; // the option that has chromium trust the broker's key

before(() => bench.reporting(async () => {
  const tls = certificate(bench.folder);
  trusted = `--ignore-certificate-errors-spki-list=${tls.spki}`;
  await bench.startBroker([], tls);
  publishRetained(`korva/${LINK_KEY}/status`, 'up');
  await bench.startDashboard();
}));

after(() => bench.stop());

test('a browser that does not trust the certificate cannot connect, and the page says what to check',
  () => bench.reporting(async () => {
    await bench.startBrowser(VIEWPORT);
    const page = await bench.browser.newPage();
    await page.goto(bench.address);
    await page.fill('#user', 'viewer');
    await page.fill('#password', USERS.viewer);
    await page.click('#connect');
    await waitForText(page, '#connection', new RegExp(`^cannot reach ${bench.websockets}: is its certificate one `
      + 'this browser trusts\\?$'));
    await bench.browser.close();
    bench.browser = null;
  }));

test('the page reaches the broker over wss:// and shows its link', () => bench.reporting(async () => {
  assert.match(bench.websockets, /^wss:\/\/127\.0\.0\.1:\d+$/);
  await bench.startBrowser(VIEWPORT, [trusted]);
  const page = await bench.openPage('viewer');
  await waitForText(page, `#fleet tr[data-link="${LINK_KEY}"] td.status`, /^up$/);
}));
