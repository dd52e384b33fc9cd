// The client's promises, kept against the real hosts wherever it runs, while
// the test plays the device: BRIDGE_TEST_ON=node (the default) through a
// port on a spawned host's pipes, chromium in the example's service worker
// and page, firefox in its background script.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { here, build, SERVED_DEVICE, HOSTS, waitForLines, VirtualDevice } from './common.mjs';

const on = process.env.BRIDGE_TEST_ON ?? 'node';
const ENVIRONMENTS = { node: './node-port.mjs', chromium: './chromium.mjs', firefox: './firefox.mjs' };
const STARTUP_MS = 90000;   // a browser's first start on a fresh profile, on a busy machine
const TEST_MS = 30000;
const ENDED = 'bridge-host-setup: the host ended with exit status';
const OPENED = { value: { productId: String(0x3820), success: 'Device Open', vendorId: String(0x0acd) } };
const NO_LOOKS = { lookEveryMs: 2 ** 31 - 1 };   // a client that never looks for its device by itself

let scratch, hidsimDir, device, browser;

before(async () => {
  scratch = fs.mkdtempSync(path.join(os.tmpdir(), `bridge-client-${on}-`));
  hidsimDir = path.join(scratch, 'hidsim');
  device = await VirtualDevice.plug(hidsimDir);
  browser = await (await import(ENVIRONMENTS[on])).start(scratch, hidsimDir);
}, { timeout: STARTUP_MS });

after(async () => {
  await browser?.stop();
  if (device?.plugged) await device.unplug();
  if (scratch) fs.rmSync(scratch, { recursive: true, force: true });
}, { timeout: TEST_MS });

const call = (...args) => browser.call(...args);
const endings = (lines) => lines.filter((line) => line.startsWith(ENDED));

// Closes the client of a host that has answered (so that the log is its
// own), and resolves with that log once the host has ended, so that the
// next one starts with a log of its own.
async function closeSimHost(hosts = 1) {
  await call('close');
  const found = await waitForLines(browser.simLog, (lines) => endings(lines).length === hosts);
  assert.deepEqual(endings(found), new Array(hosts).fill(`${ENDED} 0`));
  return found;
}

test('getDevices, open, write and a report', { timeout: TEST_MS }, async () => {
  await call('connect', HOSTS.SIM);
  assert.deepEqual(await call('call', 'getDevices'), { value: [SERVED_DEVICE] });
  const list = path.join(hidsimDir, 'devices.json'), served = fs.readFileSync(list, 'utf8');
  fs.writeFileSync(list, JSON.stringify([...JSON.parse(served), { vendor_id: 1, product_id: 2 }]));   // no names
  assert.deepEqual((await call('call', 'getDevices')).value[1],
    { manufacturerName: null, productId: '2', productName: null, vendorId: '1' });
  fs.writeFileSync(list, served);
  assert.deepEqual(await call('call', 'open'), OPENED);
  const data = Array.from({ length: 64 }, (_, i) => (i * 7 + 3) % 256);
  assert.deepEqual(await call('call', 'write', data), { value: null });
  assert.deepEqual(await device.nextWrite(), [1, ...data]);
  device.report('02 fe 00 7f');
  assert.deepEqual(await call('nextEvent'), { report: [2, 254, 0, 127] });
  await closeSimHost();
});

test('a write that is no report, or with no device open, is refused at once and sends nothing',
  { timeout: TEST_MS }, async () => {
    await call('connect', HOSTS.SIM);
    const refused = [
      [new Array(65).fill(0), 'invalid-data'], [[256], 'invalid-data'], [[-1], 'invalid-data'],
      [[1.5], 'invalid-data'], [['1'], 'invalid-data'], ['0102', 'invalid-data'], [[1, 2, 3], 'no-device'],
    ];
    for (const [bytes, error] of refused) {
      assert.deepEqual(await call('callNow', 'write', bytes), { error }, JSON.stringify(bytes));
    }
    for (const odd of [0, 1, 2]) assert.deepEqual(await call('writeOdd', odd), { error: 'invalid-data' }, `${odd}`);
    assert.deepEqual(await call('call', 'getDevices'), { value: [SERVED_DEVICE] });
    const log = await closeSimHost();
    assert.ok(log.includes('CALL present in JSON message: getDevices'), log.join('\n'));
    assert.ok(!log.some((line) => line.includes('CALL present in JSON message: write')), log.join('\n'));
  });

test('an unplug refuses the waiting writes and fires device-gone once; open after re-plug works',
  { timeout: TEST_MS }, async () => {
    await call('connect', HOSTS.SIM, NO_LOOKS);
    assert.deepEqual(await call('call', 'open'), OPENED);
    await device.unplug();
    // Whether the host has seen the unplug yet or not: no reply, or "Unable to write".
    assert.deepEqual(await call('writeMany', 3), { order: [0, 1, 2], refused: { 'device-gone': 3 } });
    assert.deepEqual(await call('nextEvent'), { deviceGone: true });
    assert.deepEqual(await call('callNow', 'write', [1]), { error: 'no-device' });

    device = await VirtualDevice.plug(hidsimDir);
    assert.deepEqual(await call('call', 'open'), OPENED);
    assert.deepEqual(await call('call', 'write', [9]), { value: null });
    assert.deepEqual(await device.nextWrite(), [1, 9, ...new Array(63).fill(0)]);
    assert.deepEqual(await call('eventsSoFar'), []);
    await closeSimHost();
  });

test('a write the device refuses is write-failed, or device-gone once the device is no longer listed',
  { timeout: TEST_MS }, async () => {
    await device.unplug();
    device = await VirtualDevice.plug(hidsimDir, ['--no-echo', '--fail-write']);
    await call('connect', HOSTS.SIM, NO_LOOKS);
    assert.deepEqual(await call('call', 'open'), OPENED);
    assert.deepEqual(await call('call', 'write', [1]), { error: 'write-failed' });
    // As after an unplug that the host has not seen yet.
    const list = path.join(hidsimDir, 'devices.json'), served = fs.readFileSync(list, 'utf8');
    fs.writeFileSync(list, '[]');
    assert.deepEqual(await call('call', 'write', [1]), { error: 'device-gone' });
    assert.deepEqual(await call('nextEvent'), { deviceGone: true });
    await closeSimHost();
    fs.writeFileSync(list, served);   // a refused write, held for the client's "getDevices", as the port ends
    for (const ending of ['closed', 'host-ended']) {
      assert.deepEqual(await call('heldWrite', HOSTS.SIM, ending), { error: ending });
    }
    await device.unplug();
    device = await VirtualDevice.plug(hidsimDir);
  });

test('1000 writes sent without waiting all resolve, in order, and all echo', { timeout: TEST_MS }, async () => {
  const COUNT = 1000;
  await device.unplug();
  device = await VirtualDevice.plug(hidsimDir, []);
  await call('connect', HOSTS.SIM);
  assert.deepEqual(await call('call', 'open'), OPENED);
  const writes = call('writeMany', COUNT);
  for (let i = 0; i < COUNT; i++) {
    assert.deepEqual((await device.nextWrite()).slice(0, 3), [1, i >> 8, i & 0xff]);
  }
  assert.deepEqual(await writes, { order: Array.from({ length: COUNT }, (_, i) => i), refused: {} });
  assert.deepEqual(await call('call', 'write', [0xff, 0xff]), { value: null });   // its echo comes last
  const echoes = (await call('reportsUntil', [1, 0xff, 0xff])).map(([, high, low]) => (high << 8) | low);
  assert.ok(echoes.length === COUNT + 1 && echoes.every((echo, i) => echo === (i < COUNT ? i : 0xffff)),
    `${COUNT + 1 - echoes.length} echoes missing`);
  await closeSimHost();
  await device.unplug();
  device = await VirtualDevice.plug(hidsimDir);
});

test('an idle client is told its device went and came back; a second client opening it is no unplug',
  { timeout: TEST_MS }, async () => {
    await call('connect', HOSTS.SIM, { presence: true });
    assert.deepEqual(await call('nextEvent'), { deviceArrived: true });   // listed at the start
    assert.deepEqual(await call('call', 'open'), OPENED);
    await device.unplug();
    assert.deepEqual(await call('nextEvent'), { deviceGone: true });   // no call made
    assert.deepEqual(await call('callNow', 'write', [1]), { error: 'no-device' });
    device = await VirtualDevice.plug(hidsimDir);
    assert.deepEqual(await call('nextEvent'), { deviceArrived: true });
    assert.deepEqual(await call('call', 'open'), OPENED);
    await device.unplug();   // and back at once: told all the same
    device = await VirtualDevice.plug(hidsimDir);
    assert.deepEqual([await call('nextEvent'), await call('nextEvent')], [{ deviceGone: true },
      { deviceArrived: true }]);
    assert.deepEqual(await call('call', 'open'), OPENED);

    // A popup beside the background script: a host of its own on the same device.
    assert.deepEqual(await call('other', HOSTS.SIM, 'open'), OPENED);
    assert.deepEqual(await call('other', HOSTS.SIM, 'write', [2]), { value: null });
    assert.equal((await device.nextWrite())[1], 2);
    assert.deepEqual(await call('call', 'write', [3]), { value: null });
    assert.equal((await device.nextWrite())[1], 3);
    assert.deepEqual(await call('eventsSoFar'), []);
    await call('other', HOSTS.SIM, 'close');
    await closeSimHost(2);   // the second host's log, where the first one's wrapper writes its end too
  });

test('a host not installed, not allowed, or ended, fails every call with its own error',
  { timeout: TEST_MS }, async () => {
    // Firefox says of a host that does not allow the extension what it says
    // of one not installed; the stand-in port does not look.
    const forbidden = { chromium: 'host-forbidden', firefox: 'host-not-found' }[on];
    const ends = [[HOSTS.MISSING, 'host-not-found'], [HOSTS.FORBIDDEN, forbidden], [HOSTS.ENDS, 'host-ended']];
    for (const [host, error] of ends.filter(([, expected]) => expected)) {
      await call('connect', host);
      assert.deepEqual(await call('call', 'getDevices'), { error }, host);
      const { closed, text } = await call('nextEvent');
      assert.equal(closed, error, host);
      assert.notEqual(text, '', host);
      assert.deepEqual(await call('callNow', 'open'), { error }, host);
    }
  });

test('close refuses the calls still waiting, and the host ends with status 0', { timeout: TEST_MS }, async () => {
  await call('connect', HOSTS.SIM);
  // Once the host has answered, the log is its own (it moves the last one away as it starts).
  assert.deepEqual(await call('call', 'getDevices'), { value: [SERVED_DEVICE] });
  assert.deepEqual(await call('closeDuring', 'getDevices'), { error: 'closed' });
  assert.equal((await call('nextEvent')).closed, 'closed');
  assert.deepEqual(await call('callNow', 'getDevices'), { error: 'closed' });
  const found = await waitForLines(browser.simLog, (lines) => endings(lines).length === 1);
  assert.deepEqual(endings(found), [`${ENDED} 0`]);
});

test('bridge-host itself lists the machine\'s HID devices', { timeout: TEST_MS }, async () => {
  const hidraw = fs.existsSync('/sys/class/hidraw') ? fs.readdirSync('/sys/class/hidraw') : [];
  await call('connect', HOSTS.REAL);
  const { value } = await call('call', 'getDevices');
  assert.ok(Array.isArray(value));
  if (hidraw.length === 0) assert.deepEqual(value, []);
  await call('close');
});

test('sendNativeMessage starts a host for the one message', { timeout: TEST_MS, skip: on === 'node' }, async () => {
  assert.deepEqual(await call('sendOnce', HOSTS.SIM, { call: 'getDevices' }),
    { call: 'getDevices', response: [SERVED_DEVICE] });
  const found = await waitForLines(browser.simLog, (lines) => endings(lines).length === 1);
  assert.deepEqual(endings(found), [`${ENDED} 0`]);
});

test('the example page lists, opens, writes, shows reports, shows the device come and go, says the host is missing',
  { timeout: TEST_MS, skip: on !== 'chromium' }, async () => {
    const page = await browser.page(HOSTS.SIM);
    const status = (text) => page.locator('#status', { hasText: text }).waitFor();
    const presence = (text) => page.locator('#presence', { hasText: new RegExp(`^${text}$`) }).waitFor();
    await presence('connected');   // opened as it was listed
    await page.click('#list');
    await status('1 HID devices.');
    await page.click('#open');
    await status('The device is open');
    await page.fill('#bytes', '01 02 ff');
    await page.click('#send button');
    assert.deepEqual((await device.nextWrite()).slice(0, 5), [1, 1, 2, 255, 0]);
    await status('Wrote 3 bytes');
    device.report('01 10 20 30 40');
    device.report('01 11 21 31 41');
    await page.locator('#reports li', { hasText: '01 11 21 31 41' }).waitFor();
    await page.setViewportSize({ width: 800, height: 200 });   // the whole page's height is taken
    await page.screenshot({ path: path.join(build, 'extension-example.png'), fullPage: true });

    await device.unplug();
    await presence('not connected');
    await status('The device went away');
    device = await VirtualDevice.plug(hidsimDir);
    await presence('connected');

    const missing = await browser.page(HOSTS.MISSING);
    await missing.locator('#install', { hasText: `bridge-host-setup install --extension ${browser.extensionId}` })
      .waitFor();
    await Promise.all([page.close(), missing.close()]);
  });

test('npm pack makes a package of the module and its types', { timeout: TEST_MS, skip: on !== 'node' }, () => {
  const [{ files }] = JSON.parse(execFileSync('npm', ['pack', '--dry-run', '--json'],
    { cwd: path.join(here, '../../client'), encoding: 'utf8' }));
  assert.deepEqual(files.map((file) => file.path).sort(),
    ['README.md', 'bridge-host-client.d.ts', 'bridge-host-client.js', 'package.json']);
  assert.ok(JSON.parse(fs.readFileSync(path.join(here, '../../client/package.json'), 'utf8')).license);
});
