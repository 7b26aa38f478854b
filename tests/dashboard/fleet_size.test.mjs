// The dashboard at fleet size: 64 links and over 1,000 frames/s through a
// real mosquitto into Debian's chromium. The frames do not come from 64
// real lines: tests/dashboard/load.py publishes them straight to the broker
// as two gateways, with the gateway's own topic and payload code.
//
// Environment: as bench.mjs.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';

import { Bench, PAGE_TIMEOUT, SOURCE, START_TIMEOUT, waitForText } from './bench.mjs';
import { sleep, waitFor } from './programs.mjs';

const GATEWAYS = ['gw1', 'gw2']; // gateways of the access list
const LINKS_EACH = 32;
const LINKS = GATEWAYS.length * LINKS_EACH;
const RATE = 17; // frames/s per link: 1,088 in all
const PASSWORD = 'gateway-secret';
const USERS = { ...Object.fromEntries(GATEWAYS.map((gateway) => [gateway, PASSWORD])), viewer: 'viewer-secret' };
const MARKED_LINK = 'gw2/l17';
const MARKS = 6; // one every MINUTE / MARKS
const MINUTE = 60000; // ms under load while the heap is watched
const MARK_BOUND = 1000; // ms from a marker's publish to its row on the page
const FULL_LOG = 10000; // entries the log keeps: the heap is looked at once it holds them
const HEAP_GROWTH = 1.25; // the heap after the minute at most this times the one before, plus HEAP_SLACK
const HEAP_SLACK = 2 * 1024 * 1024; // bytes
const HOLD = 2000; // ms a selection is held while frames pour in
const CATCH_UP = 30000; // ms for the page to count every frame once the load stops

const bench = new Bench(USERS);
let load = null;
let page = null;

// The queue and in-flight limits of the committed broker configuration:
// the page must keep up with the broker a fleet would run.
function committedLimits() {
  const config = readFileSync(join(SOURCE, 'tools/mosquitto/korva.conf'), 'utf8');
  return config.split('\n').filter((line) => /^max_\w+ \d+$/.test(line));
}

// Frames counted in the fleet table, over every link.
async function framesCounted() {
  return page.$$eval('#fleet tr[data-link] td.frames',
    (cells) => cells.reduce((sum, cell) => sum + Number(cell.textContent), 0));
}

async function heapAfterGc(cdp) {
  await cdp.send('HeapProfiler.collectGarbage');
  return (await cdp.send('Runtime.getHeapUsage')).usedSize;
}

async function busyTime(cdp) {
  const { metrics } = await cdp.send('Performance.getMetrics');
  return metrics.find((metric) => metric.name === 'TaskDuration').value;
}

// Publishes marker `text` on MARKED_LINK; ms from its publish to the
// page's drawing a log row with it (the page records that time itself).
async function markerLatency(text) {
  load.tell(`mark ${MARKED_LINK} ${text}`);
  const [, published] = await load.said(new RegExp(`marked ${text} at ([\\d.]+)`), START_TIMEOUT);
  const shown = await page.waitForFunction((mark) => window.marksShown[mark], text, { timeout: START_TIMEOUT });
  return (await shown.jsonValue()) - Number(published) * 1000;
}

// Records in window.marksShown when a log row holding a marker was drawn.
function watchMarks() {
  window.marksShown = {};
  new MutationObserver((changes) => {
    for (const change of changes) {
      for (const row of change.addedNodes) {
        const mark = row.textContent.match(/MARK\d+/);
        if (mark) window.marksShown[mark[0]] ??= Date.now();
      }
    }
  }).observe(document.querySelector('#log tbody'), { childList: true });
}

describe(`dashboard with ${LINKS} links at ${LINKS * RATE} frames/s`, () => {
  const needPage = () => assert.ok(page !== null, 'the page never showed every link (see the first test)');

  before(() => bench.reporting(async () => {
    await bench.startBroker(committedLimits());
    load = bench.python('load', [join(SOURCE, 'tests/dashboard/load.py'), String(bench.ports.mqtt), PASSWORD,
      String(LINKS_EACH), String(RATE), ...GATEWAYS], { stdin: true });
    await load.said(/load: \d+ links .*ready/, START_TIMEOUT);
    await bench.startDashboard();
    await bench.startBrowser({ width: 1280, height: 1000 });
  }));

  after(() => bench.stop());

  test('every link shows up', () => bench.reporting(async () => {
    const viewer = await bench.openPage('viewer');
    const up = viewer.locator('#fleet tr[data-link] td.status-up');
    await waitFor(`${LINKS} links up`, async () => (await up.count()) === LINKS, PAGE_TIMEOUT);
    for (const gateway of GATEWAYS) {
      const summary = new RegExp(`${LINKS_EACH} of ${LINKS_EACH} links up`);
      await waitForText(viewer, `#fleet tr[data-gateway="${gateway}"]`, summary);
    }
    assert.equal(await viewer.locator('.link-card').count(), LINKS);
    page = viewer;
    load.tell('start'); // the page counts every frame from here on
  }));

  test('for a minute: a marker frame shows within a second, the script heap stays bounded', async (t) => {
    needPage();
    await page.evaluate(watchMarks);
    await page.fill('#filter', 'mark');
    await waitFor('a full frame log', async () => Number((await page.textContent('#log-count')).split(' ')[0])
      >= FULL_LOG, START_TIMEOUT * 2);
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Performance.enable');
    const heaps = [await heapAfterGc(cdp)];
    const busyBefore = await busyTime(cdp);
    const latencies = [];
    for (let mark = 0; mark < MARKS; mark++) {
      await sleep(MINUTE / MARKS);
      latencies.push(await bench.reporting(() => markerLatency(`MARK${mark}`)));
      heaps.push(await heapAfterGc(cdp));
    }
    const busy = (await busyTime(cdp)) - busyBefore;
    const megabytes = heaps.map((bytes) => (bytes / 2 ** 20).toFixed(1));
    t.diagnostic(`marker latencies: ${latencies.map((ms) => ms.toFixed(0)).join(', ')} ms`);
    t.diagnostic(`script heap after GC, every ${MINUTE / MARKS / 1000} s: ${megabytes.join(', ')} MB`);
    t.diagnostic(`page's main thread busy ${(100 * busy * 1000 / MINUTE).toFixed(0)}% of the minute`);
    assert.ok(Math.max(...latencies) < MARK_BOUND, `marker latencies ${latencies} ms`);
    assert.ok(heaps.at(-1) <= heaps[0] * HEAP_GROWTH + HEAP_SLACK, `heap ${megabytes} MB`);
    await page.fill('#filter', '');
  });

  test('text selected in the live log stays selected while frames pour in', async () => {
    needPage();
    const selected = await page.evaluate(() => {
      const cell = document.querySelector('#log tbody tr:nth-child(3) td.hex');
      window.selectedCell = cell;
      const range = document.createRange();
      range.selectNodeContents(cell);
      document.getSelection().removeAllRanges();
      document.getSelection().addRange(range);
      return document.getSelection().toString();
    });
    assert.match(selected, /^([0-9a-f]{2} ){3}[0-9a-f]{2}$/);
    await sleep(HOLD);
    await waitForText(page, '#log-held', /^held while text is selected: [1-9]\d* newer frames$/);
    const kept = await page.evaluate(() => [document.getSelection().toString(), window.selectedCell.isConnected]);
    assert.deepEqual(kept, [selected, true]);
    await page.evaluate(() => document.getSelection().removeAllRanges());
    await page.waitForFunction(() => !window.selectedCell.isConnected);
    assert.equal(await page.textContent('#log-held'), '');
  });

  test('a redraw writes only what changed', async () => {
    needPage();
    const changes = await page.evaluate(async (hold) => {
      const seen = { fleetRows: 0, logRowsRewritten: 0, statsCells: 0, logRowsAdded: 0, fleetCells: 0 };
      const fleet = document.querySelector('#fleet tbody');
      const log = document.querySelector('#log tbody');
      const observer = new MutationObserver((records) => {
        for (const record of records) {
          if (record.target === fleet) seen.fleetRows += 1;
          else if (fleet.contains(record.target)) seen.fleetCells += 1;
          else if (record.target === log) seen.logRowsAdded += record.addedNodes.length;
          else if (log.contains(record.target)) seen.logRowsRewritten += 1;
          else if (record.target.closest('details.stats')) seen.statsCells += 1;
        }
      });
      observer.observe(document.body, { childList: true, characterData: true, subtree: true, attributes: true });
      await new Promise((resolve) => setTimeout(resolve, hold));
      observer.disconnect();
      return seen;
    }, HOLD);
    assert.ok(changes.logRowsAdded > 0 && changes.fleetCells > 0, JSON.stringify(changes));
    assert.deepEqual([changes.fleetRows, changes.logRowsRewritten, changes.statsCells], [0, 0, 0]);
  });

  test('every frame published is counted once the load stops', async (t) => {
    needPage();
    load.tell('stop');
    const [, sent, seconds] = await load.said(/load: (\d+) frames in ([\d.]+) s/, START_TIMEOUT);
    t.diagnostic(`${sent} frames in ${seconds} s: ${(sent / seconds).toFixed(0)} frames/s`);
    assert.ok(Number(sent) / Number(seconds) > 1000, `${sent} frames in ${seconds} s`);
    await bench.reporting(() => waitFor(`${sent} frames counted`, async () => (await framesCounted()) === Number(sent),
      CATCH_UP)).catch(async (error) => {
      error.message += `\n(the page counted ${await framesCounted()})`;
      throw error;
    });
    const gaps = await page.$$eval('#fleet tr[data-link] td.gaps', (cells) => cells.map((cell) => cell.textContent));
    assert.deepEqual(new Set(gaps), new Set(['0']));
  });
});
