// What the client's tests share in every browser: the built programs, the
// example extension as the tests load it, the hosts they install, and the
// virtual device the test plays.
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';

export const here = path.dirname(fileURLToPath(import.meta.url));
export const build = process.env.BRIDGE_BUILD_DIR ?? path.join(here, '../../build');

export const EXAMPLE = path.join(here, '../../examples/extension');
export const SERVED_DEVICE = {
  manufacturerName: 'Test Maker',
  productId: String(0x3820),
  productName: 'Test Device',
  vendorId: String(0x0acd),
};

export function setup(args) {
  return execFileSync(path.join(build, 'bridge-host-setup'), args, { encoding: 'utf8' });
}

// The example extension with the test's driver: its own files (the client's
// among them, the link followed), the driver, and a background script that
// runs the example's and gives the driver to the test; `scripts` (in this
// folder, or paths) join it. Chromium's service worker is one script: the
// last, which imports what it needs of those before it.
export function testExtension(folder, scripts = []) {
  fs.cpSync(EXAMPLE, folder, { recursive: true, dereference: true });
  const names = ['driver.js', 'test-background.js', ...scripts].map((file) => {
    fs.copyFileSync(path.resolve(here, file), path.join(folder, path.basename(file)));
    return path.basename(file);
  });
  const manifest = JSON.parse(fs.readFileSync(path.join(folder, 'manifest.json'), 'utf8'));
  manifest.background = { service_worker: names.at(-1), scripts: names.slice(1), type: 'module' };
  fs.writeFileSync(path.join(folder, 'manifest.json'), JSON.stringify(manifest, null, 2));
  return manifest;
}

// Chromium's ID for an extension with a fixed key: the key's SHA-256, its
// first 32 hex digits written with the letters a to p.
export function chromiumId({ key }) {
  const digest = createHash('sha256').update(Buffer.from(key, 'base64')).digest('hex').slice(0, 32);
  return [...digest].map((digit) => String.fromCharCode(97 + parseInt(digit, 16))).join('');
}

// The hosts each browser gets: the virtual-device host with its log, the
// real host, one that ends as soon as it starts, one for another extension
// only; MISSING is installed nowhere.
export const HOSTS = {
  SIM: 'bridge_host_test_sim', REAL: 'bridge_host_test_real', ENDS: 'bridge_host_test_ends',
  FORBIDDEN: 'bridge_host_test_forbidden', MISSING: 'bridge_host_test_missing',
};

// install(ARGS, EXTENSION) runs the setup command's install for the
// browser at hand; EXTENSION is the one allowed, the test's when absent.
// Returns the virtual-device host's log.
export function installHosts(scratch, install, otherExtension) {
  const log = path.join(scratch, 'sim.log');
  const ends = path.join(scratch, 'ends.sh');
  fs.writeFileSync(ends, '#!/bin/sh\nexit 3\n', { mode: 0o755 });
  install(['--name', HOSTS.SIM, '--host', path.join(build, 'bridge-host-sim'), '--log', log]);
  install(['--name', HOSTS.REAL, '--host', path.join(build, 'bridge-host')]);
  install(['--name', HOSTS.ENDS, '--host', ends]);
  install(['--name', HOSTS.FORBIDDEN, '--host', path.join(build, 'bridge-host-sim')], otherExtension);
  return log;
}

// Lines of a stream, read one at a time as they come.
export function lines(stream) {
  const iterator = readline.createInterface({ input: stream })[Symbol.asyncIterator]();
  return async () => {
    const { value, done } = await iterator.next();
    assert.ok(!done, 'the stream ended');
    return value;
  };
}

// Resolves with the file's lines once they satisfy the predicate, re-reading
// on every change the kernel reports in its folder (the file may be replaced).
export async function waitForLines(file, predicate) {
  const watcher = fs.watch(path.dirname(file));
  try {
    for (;;) {
      const found = fs.existsSync(file) ? fs.readFileSync(file, 'utf8').split('\n') : [];
      if (predicate(found)) return found;
      await once(watcher, 'change');
    }
  } finally {
    watcher.close();
  }
}

// The virtual device of the served kind, played by the test: what the host
// writes comes as lines of hex bytes, and reports are sent the same way.
export class VirtualDevice {
  static async plug(dir, options = ['--no-echo']) {
    const device = new VirtualDevice();
    device.process = spawn(path.join(build, 'bridge-sim-device'), [
      '--dir', dir, '--manufacturer', SERVED_DEVICE.manufacturerName,
      '--product-name', SERVED_DEVICE.productName, ...options,
    ], { stdio: ['pipe', 'pipe', 'pipe'] });
    device.written = lines(device.process.stdout);
    assert.match(await lines(device.process.stderr)(), /ready/);
    return device;
  }

  async nextWrite() {
    return (await this.written()).trim().split(/\s+/).map((byte) => parseInt(byte, 16));
  }

  report(text) {
    this.process.stdin.write(`${text}\n`);
  }

  get plugged() {
    return this.process.exitCode === null && this.process.signalCode === null;
  }

  async unplug() {
    const ended = once(this.process, 'exit');
    this.process.kill('SIGTERM');
    await ended;
  }
}
