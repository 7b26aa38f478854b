// What the browser tests set up around the page: a folder of their own,
// mosquitto with the committed access list and the test's users, `korva
// dashboard`, Debian's chromium driven headless by playwright-core (never a
// downloaded browser), and logged-in pages. Everything started here is
// stopped by pid in stop().
//
// Environment: KORVA_PYTHON (the interpreter korva is built for), PYTHONPATH
// (the built package), KORVA_PYTHON_PRELOAD (a sanitizer build's runtime,
// for the interpreters).

import { execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir, userInfo } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

import { Program, freePort, listening, waitFor } from './programs.mjs';

export const SOURCE = fileURLToPath(new URL('../..', import.meta.url));
const require = createRequire(join(SOURCE, 'tools/dashboard/package.json'));
const { chromium } = require('playwright-core');

const CHROMIUM = '/usr/bin/chromium';
const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
export const START_TIMEOUT = 15000; // ms for a program to come up on a loaded machine
export const PAGE_TIMEOUT = 15000; // ms for the page to show what the broker sent

const python = process.env.KORVA_PYTHON || 'python3';
const pythonEnv = process.env.KORVA_PYTHON_PRELOAD
  ? { ...process.env, LD_PRELOAD: process.env.KORVA_PYTHON_PRELOAD } : process.env;

export class Bench {
  // `users`: MQTT user -> password, for the broker's password file.
  constructor(users) {
    this.users = users;
    this.folder = mkdtempSync(join(tmpdir(), 'korva-dashboard-'));
    this.programs = [];
    this.ports = {};
    this.browser = null;
    this.pageErrors = []; // uncaught errors in the pages, for the report
  }

  run(name, command, args, options = {}) {
    const program = new Program(name, command, args, options);
    this.programs.push(program);
    return program;
  }

  python(name, args, options = {}) {
    return this.run(name, python, args, { env: pythonEnv, ...options });
  }

  // A broker like tools/mosquitto/korva.conf on free ports, with the
  // committed access list, the users and `settings` (lines of its own);
  // its websockets listener over TLS with `tls` ({ cert, key }: paths) if given.
  async startBroker(settings = [], tls = null) {
    for (const name of ['mqtt', 'websockets']) this.ports[name] = await freePort();
    this.websockets = `${tls ? 'wss' : 'ws'}://127.0.0.1:${this.ports.websockets}`;
    const passwords = join(this.folder, 'korva.passwd');
    writeFileSync(join(this.folder, 'korva.conf'), [
      ...settings, `listener ${this.ports.mqtt} 127.0.0.1`, `listener ${this.ports.websockets} lo`,
      'protocol websockets', ...(tls ? [`certfile ${tls.cert}`, `keyfile ${tls.key}`] : []),
      'allow_anonymous false', `password_file ${passwords}`,
      `acl_file ${join(SOURCE, 'tools/mosquitto/korva.acl')}`,
      // Started by root, mosquitto would become user "mosquitto", who may not
      // read the test's folder or the source tree: it stays who started it.
      'persistence false', `user ${userInfo().username}`, ''].join('\n'));
    writeFileSync(passwords, '');
    for (const [user, password] of Object.entries(this.users)) {
      execFileSync('mosquitto_passwd', ['-b', passwords, user, password]);
    }
    this.run('mosquitto', 'mosquitto', ['-c', join(this.folder, 'korva.conf')]);
    for (const port of [this.ports.mqtt, this.ports.websockets]) {
      await waitFor(`mosquitto on port ${port}`, () => listening(port), START_TIMEOUT);
    }
  }

  // `korva dashboard` for the broker's websockets listener; the page's address.
  async startDashboard() {
    const server = this.python('dashboard', ['-m', 'korva', 'dashboard', '--broker', this.websockets,
      '--listen', '0']);
    const [, address] = await server.said(/dashboard at (http:\/\/127\.0\.0\.1:\d+\/)/, START_TIMEOUT);
    this.address = address;
    return address;
  }

  // `args`: chromium's options beyond the usual ones.
  async startBrowser(viewport, args = []) {
    this.browser = await chromium.launchPersistentContext(join(this.folder, 'chromium'), {
      executablePath: CHROMIUM, args: [...CHROMIUM_ARGS, ...args], viewport, acceptDownloads: true,
    });
  }

  // A new page of the dashboard, logged in as `user` and connected.
  async openPage(user) {
    const page = await this.browser.newPage();
    page.on('pageerror', (error) => this.pageErrors.push(`${user}'s page: ${error.message}`));
    page.setDefaultTimeout(PAGE_TIMEOUT);
    await page.goto(this.address);
    await page.fill('#user', user);
    await page.fill('#password', this.users[user]);
    await page.click('#connect');
    await waitForText(page, '#connection', new RegExp(`^connected to ${this.websockets}`));
    return page;
  }

  // The pages' errors and the end of every program's output.
  report() {
    return this.pageErrors.map((error) => `--- ${error}\n`).join('') + this.programs.map((program) => `--- `
      + `${program.name} (${program.running ? 'running' : program.exit}):\n${program.output.slice(-2000)}`).join('\n');
  }

  // Runs `step`; a failure carries the report.
  async reporting(step) {
    try {
      return await step();
    } catch (error) {
      error.message += '\n' + this.report();
      throw error;
    }
  }

  async stop() {
    if (this.browser !== null) await this.browser.close().catch(() => {});
    for (const program of this.programs.reverse()) await program.stop();
    rmSync(this.folder, { recursive: true, force: true });
  }
}

// Waits until the element's text matches; the error names what it showed.
export async function waitForText(page, selector, pattern) {
  try {
    await page.waitForFunction(([css, source, flags]) => new RegExp(source, flags)
      .test(document.querySelector(css)?.textContent ?? ''), [selector, pattern.source, pattern.flags]);
  } catch (error) {
    const shown = await page.textContent(selector).catch(() => null);
    throw new Error(`${selector} never matched ${pattern}; it shows ${JSON.stringify(shown)}`);
  }
}
