// The host as a browser runs it: Debian's Chromium loads a test extension,
// which starts the host through a manifest that the setup command wrote, and
// talks to it while the test plays the device on the other side.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const build = process.env.BRIDGE_BUILD_DIR ?? path.join(here, '../../build');
const CHROMIUM = '/usr/lib/chromium/chromium';
const EXTENSION = path.join(here, 'extension');

const SIM_HOST = 'bridge_host_test_sim';
const REAL_HOST = 'bridge_host_test_real';
const REPORT_LENGTH = 65;   // report id 1, then 64 data bytes
const SERVED_DEVICE = {
  manufacturerName: 'Test Maker',
  productId: String(0x3820),
  productName: 'Test Device',
  vendorId: String(0x0acd),
};

// Chromium's ID for an extension with a fixed key: the key's SHA-256, its
// first 32 hex digits written with the letters a to p.
function extensionId() {
  const { key } = JSON.parse(fs.readFileSync(path.join(EXTENSION, 'manifest.json'), 'utf8'));
  const digest = createHash('sha256').update(Buffer.from(key, 'base64')).digest('hex').slice(0, 32);
  return [...digest].map((digit) => String.fromCharCode(97 + parseInt(digit, 16))).join('');
}

// Lines of a stream, read one at a time as they come.
function lines(stream) {
  const iterator = readline.createInterface({ input: stream })[Symbol.asyncIterator]();
  return async () => {
    const { value, done } = await iterator.next();
    assert.ok(!done, 'the stream ended');
    return value;
  };
}

// Resolves with the file's lines once they satisfy the predicate, re-reading
// on every change the kernel reports.
async function waitForLines(file, predicate) {
  const watcher = fs.watch(file);
  try {
    for (;;) {
      const found = fs.readFileSync(file, 'utf8').split('\n');
      if (predicate(found)) return found;
      await once(watcher, 'change');
    }
  } finally {
    watcher.close();
  }
}

const exits = (found) => found.filter((line) => line.startsWith('host exited with status'));

let scratch, hidsimDir, context, worker, device, deviceLine;
const logs = {};

// The browser starts this script as the host: it runs the real program and
// keeps its log and exit status where the test can read them.
function writeHostWrapper(name, program) {
  const wrapper = path.join(scratch, `${name}.sh`);
  logs[name] = path.join(scratch, `${name}.log`);
  fs.writeFileSync(logs[name], '');
  fs.writeFileSync(wrapper, `#!/bin/sh
"${program}" "$@" 2>>"${logs[name]}"
echo "host exited with status $?" >>"${logs[name]}"
`, { mode: 0o755 });
  return wrapper;
}

function register(name, program, profile) {
  execFileSync(path.join(build, 'bridge-host-setup'), [
    'install', '--dir', path.join(profile, 'NativeMessagingHosts'), '--name', name,
    '--host', writeHostWrapper(name, program), '--extension', extensionId(),
  ]);
}

async function plugDevice() {
  device = spawn(path.join(build, 'bridge-sim-device'), [
    '--dir', hidsimDir, '--no-echo', '--manufacturer', SERVED_DEVICE.manufacturerName,
    '--product-name', SERVED_DEVICE.productName,
  ], { stdio: ['pipe', 'pipe', 'pipe'] });
  deviceLine = lines(device.stdout);
  assert.match(await lines(device.stderr)(), /ready/);
}

async function unplugDevice() {
  const ended = once(device, 'exit');
  device.kill('SIGTERM');
  await ended;
}

const call = (fn, arg) => worker.evaluate(fn, arg);
const post = (message) => call((m) => self.post(m), message);
const next = () => call(() => self.next());
const sendOnce = (host, message) => call(([h, m]) => self.sendOnce(h, m), [host, message]);

before(async () => {
  scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'bridge-browser-'));
  hidsimDir = path.join(scratch, 'hidsim');
  const profile = path.join(scratch, 'profile');
  register(SIM_HOST, path.join(build, 'bridge-host-sim'), profile);
  register(REAL_HOST, path.join(build, 'bridge-host'), profile);
  await plugDevice();

  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    chromiumSandbox: false,   // we run as root
    env: { ...process.env, HIDSIM_DIR: hidsimDir },   // the browser hands it on to the host
    args: [
      `--disable-extensions-except=${EXTENSION}`, `--load-extension=${EXTENSION}`,
      '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync',
    ],
  });
  worker = context.serviceWorkers()[0] ?? await context.waitForEvent('serviceworker');
  assert.equal(new URL(worker.url()).host, extensionId());
});

after(async () => {
  await context?.close();
  if (device?.exitCode === null) await unplugDevice();
  if (scratch) fs.rmSync(scratch, { recursive: true, force: true });
});

test('sendNativeMessage starts a host for each message', async () => {
  assert.deepEqual(await sendOnce(SIM_HOST, { call: 'getDevices' }),
    { call: 'getDevices', response: [SERVED_DEVICE] });
  assert.deepEqual(await sendOnce(SIM_HOST, { call: 'getDevices' }),
    { call: 'getDevices', response: [SERVED_DEVICE] });
  const ended = exits(await waitForLines(logs[SIM_HOST], (found) => exits(found).length === 2));
  assert.deepEqual(ended, ['host exited with status 0', 'host exited with status 0']);
});

test('a port carries requests, replies and reports until it is closed', async () => {
  fs.writeFileSync(logs[SIM_HOST], '');
  await call((host) => self.connect(host), SIM_HOST);

  await post({ call: 'getDevices' });
  assert.deepEqual(await next(), { message: { call: 'getDevices', response: [SERVED_DEVICE] } });

  await post({ call: 'open' });
  assert.deepEqual(await next(), { message: { call: 'open', response: {
    success: 'Device Open', vendorId: String(0x0acd), productId: String(0x3820) } } });

  const data = Array.from({ length: REPORT_LENGTH - 1 }, (_, i) => (i * 7 + 3) % 256);
  await post({ call: 'write', data });
  assert.deepEqual(await next(), { message: { call: 'write', response: { success: 'Sent' } } });
  const written = (await deviceLine()).trim().split(/\s+/).map((byte) => parseInt(byte, 16));
  assert.deepEqual(written, [1, ...data]);

  device.stdin.write('02 fe 00 7f\n');
  assert.deepEqual(await next(), { message: { call: 'receive', response: [2, 254, 0, 127] } });

  // Once the host has noticed the unplug it has no device to write to, and
  // says nothing: the next reply is the one to the request after.
  await unplugDevice();
  await waitForLines(logs[SIM_HOST], (found) => found.includes('hid_read: Unable to read(), closing...'));
  await post({ call: 'write', data: [1, 2, 3] });
  await post({ call: 'getDevices' });
  assert.deepEqual(await next(), { message: { call: 'getDevices', response: null } });

  await call(() => self.disconnect());
  const ended = exits(await waitForLines(logs[SIM_HOST], (found) => exits(found).length === 1));
  assert.deepEqual(ended, ['host exited with status 0']);
});

test('bridge-host itself lists the machine\'s HID devices', async () => {
  const hidraw = fs.existsSync('/sys/class/hidraw') ? fs.readdirSync('/sys/class/hidraw') : [];
  const reply = await sendOnce(REAL_HOST, { call: 'getDevices' });
  assert.equal(reply.call, 'getDevices');
  if (hidraw.length === 0) assert.equal(reply.response, null);
  else assert.ok(Array.isArray(reply.response));
});
