// Real programs the browser test runs (mosquitto, socat, the gateway, the
// peer, the dashboard server): started as children, their output kept for
// the report, waited for with a bound, stopped by pid.

import { spawn } from 'node:child_process';
import { createConnection, createServer } from 'node:net';

const STOP_GRACE = 5000; // ms a program has after SIGTERM before SIGKILL
const POLL = 50; // ms between checks while waiting

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Resolves with condition()'s first truthy value; throws `what` after `timeout` ms.
export async function waitFor(what, condition, timeout) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`gave up after ${timeout} ms waiting for ${what}`);
    await sleep(POLL);
  }
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export function listening(port) {
  return new Promise((resolve) => {
    const socket = createConnection({ host: '127.0.0.1', port });
    socket.on('connect', () => { socket.destroy(); resolve(true); });
    socket.on('error', () => resolve(false));
  });
}

export class Program {
  // `stdin`: true for a program that takes lines from tell().
  constructor(name, command, args, { env = process.env, stdin = false } = {}) {
    this.name = name;
    this.output = '';
    this.exit = null;
    this.child = spawn(command, args, { stdio: [stdin ? 'pipe' : 'ignore', 'pipe', 'pipe'], env });
    this.exited = new Promise((resolve) => this.child.on('exit', (code, signal) => {
      this.exit = signal || code;
      resolve();
    }));
    this.child.on('error', (error) => { this.output += `\n(${name} did not start: ${error.message})`; });
    for (const stream of [this.child.stdout, this.child.stderr]) {
      stream.on('data', (chunk) => { this.output += chunk.toString(); });
    }
  }

  get running() {
    return this.exit === null && this.child.pid !== undefined;
  }

  // Resolves with the first match of `pattern` in the program's output.
  async said(pattern, timeout) {
    return waitFor(`${this.name} to print ${pattern}`, () => {
      if (!this.running && !pattern.test(this.output)) {
        throw new Error(`${this.name} ended (${this.exit}) before printing ${pattern}:\n${this.output}`);
      }
      return this.output.match(pattern);
    }, timeout);
  }

  tell(line) {
    this.child.stdin.write(line + '\n');
  }

  async stop() {
    if (!this.running) return;
    process.kill(this.child.pid, 'SIGTERM');
    const ended = await Promise.race([this.exited.then(() => true), sleep(STOP_GRACE).then(() => false)]);
    if (!ended) {
      process.kill(this.child.pid, 'SIGKILL');
      await this.exited;
    }
  }
}
