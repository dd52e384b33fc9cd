// The host as a browser runs it: Debian's Chromium loads a test extension,
// which starts the host through a manifest that the setup command wrote, and
// talks to it while the test plays the device on the other side.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  here, build, SERVED_DEVICE, setup, waitForLines, VirtualDevice, exchangeOverPort,
} from './common.mjs';

const CHROMIUM = '/usr/lib/chromium/chromium';
const EXTENSION = path.join(here, 'extension');

const SIM_HOST = 'bridge_host_test_sim';
const REAL_HOST = 'bridge_host_test_real';

// Chromium's ID for an extension with a fixed key: the key's SHA-256, its
// first 32 hex digits written with the letters a to p.
function extensionId() {
  const { key } = JSON.parse(fs.readFileSync(path.join(EXTENSION, 'manifest.json'), 'utf8'));
  const digest = createHash('sha256').update(Buffer.from(key, 'base64')).digest('hex').slice(0, 32);
  return [...digest].map((digit) => String.fromCharCode(97 + parseInt(digit, 16))).join('');
}

const exits = (found) => found.filter((line) => line.startsWith('host exited with status'));

let scratch, hidsimDir, context, worker, device;
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
  setup([
    'install', '--dir', path.join(profile, 'NativeMessagingHosts'), '--name', name,
    '--host', writeHostWrapper(name, program), '--extension', extensionId(),
  ]);
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
  device = await VirtualDevice.plug(hidsimDir);

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
  if (device?.plugged) await device.unplug();
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

  await exchangeOverPort({ post, next }, device);

  // Once the host has noticed the unplug it has no device to write to, and
  // says nothing: the next reply is the one to the request after.
  await device.unplug();
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
