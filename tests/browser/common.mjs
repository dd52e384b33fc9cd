// What the browser tests share: the built programs, the virtual device the
// test plays, and the exchange an extension has with the host over a port.
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';

export const here = path.dirname(fileURLToPath(import.meta.url));
export const build = process.env.BRIDGE_BUILD_DIR ?? path.join(here, '../../build');

export const REPORT_LENGTH = 65;   // report id 1, then 64 data bytes
export const SERVED_DEVICE = {
  manufacturerName: 'Test Maker',
  productId: String(0x3820),
  productName: 'Test Device',
  vendorId: String(0x0acd),
};

export function setup(args) {
  return execFileSync(path.join(build, 'bridge-host-setup'), args, { encoding: 'utf8' });
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
  static async plug(dir) {
    const device = new VirtualDevice();
    device.process = spawn(path.join(build, 'bridge-sim-device'), [
      '--dir', dir, '--no-echo', '--manufacturer', SERVED_DEVICE.manufacturerName,
      '--product-name', SERVED_DEVICE.productName,
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

// "getDevices" lists the device, "open" opens it, a "write" reaches it as one
// whole report and is answered "Sent", and a report from it comes as "receive".
// `extension` posts to the port and hands back what comes from it.
export async function exchangeOverPort(extension, device) {
  await extension.post({ call: 'getDevices' });
  assert.deepEqual(await extension.next(), { message: { call: 'getDevices', response: [SERVED_DEVICE] } });

  await extension.post({ call: 'open' });
  assert.deepEqual(await extension.next(), { message: { call: 'open', response: {
    success: 'Device Open', vendorId: String(0x0acd), productId: String(0x3820) } } });

  const data = Array.from({ length: REPORT_LENGTH - 1 }, (_, i) => (i * 7 + 3) % 256);
  await extension.post({ call: 'write', data });
  assert.deepEqual(await extension.next(), { message: { call: 'write', response: { success: 'Sent' } } });
  assert.deepEqual(await device.nextWrite(), [1, ...data]);

  device.report('02 fe 00 7f');
  assert.deepEqual(await extension.next(), { message: { call: 'receive', response: [2, 254, 0, 127] } });
}
