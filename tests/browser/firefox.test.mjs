// The host as Firefox runs it: Debian's Firefox ESR, headless on a fresh
// profile, gets a test add-on force-installed by an enterprise policy; the
// add-on starts the host through the manifest that the setup command wrote to
// ~/.mozilla/native-messaging-hosts, while the test plays the device.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import {
  here, build, SERVED_DEVICE, setup, waitForLines, VirtualDevice, exchangeOverPort,
} from './common.mjs';

const FIREFOX = '/usr/lib/firefox-esr';
const ADDON = path.join(here, 'firefox-addon');
const ADDON_ID = JSON.parse(fs.readFileSync(path.join(ADDON, 'manifest.json'), 'utf8'))
  .browser_specific_settings.gecko.id;
const SIM_HOST = 'bridge_host_test_sim';
const CONTROL_HOST = 'bridge_test_control';
const STARTUP_MS = 60000;   // Firefox's first start on a fresh profile, on a busy machine
const ENDED = 'bridge-host-setup: the host ended with exit status';

let scratch, home, firefox, firefoxLog = '', server, addOn, device, simLog;

// Firefox reads enterprise policies from the machine's folder or from the
// "distribution" folder of its installation, which is the folder of its real
// executable. A copy of the small launcher among links to the rest of
// Debian's installation is an installation of our own, whose policies touch
// nothing outside the scratch folder.
function privateInstallation(folder, policies) {
  fs.mkdirSync(path.join(folder, 'distribution'), { recursive: true });
  for (const entry of fs.readdirSync(FIREFOX)) {
    if (entry !== 'distribution' && entry !== 'firefox-esr') {
      fs.symlinkSync(path.join(FIREFOX, entry), path.join(folder, entry));
    }
  }
  const launcher = path.join(folder, 'firefox-esr');
  fs.copyFileSync(path.join(FIREFOX, 'firefox-esr'), launcher);
  fs.chmodSync(launcher, 0o755);
  fs.writeFileSync(path.join(folder, 'distribution/policies.json'), JSON.stringify({ policies }));
  return launcher;
}

// The add-on as Firefox installs it: a zip of its files, the shared
// background.js among them.
function packAddOn(xpi) {
  execFileSync('zip', ['-q', '-j', xpi, path.join(ADDON, 'manifest.json'), path.join(ADDON, 'control.js'),
    path.join(here, 'extension/background.js')]);
}

// Commands to the add-on over the control host's socket, answered by number.
class AddOn {
  constructor(socket) {
    this.socket = socket;
    this.waiting = new Map();
    this.count = 0;
    readline.createInterface({ input: socket }).on('line', (line) => {
      const { id, result, error } = JSON.parse(line);
      const { resolve, reject } = this.waiting.get(id);
      this.waiting.delete(id);
      if (error) reject(new Error(error));
      else resolve(result);
    });
  }

  call(fn, ...args) {
    const id = ++this.count;
    this.socket.write(`${JSON.stringify({ id, fn, args })}\n`);
    return new Promise((resolve, reject) => this.waiting.set(id, { resolve, reject }));
  }

  post = (message) => this.call('post', message);
  next = () => this.call('next');
}

// The add-on connects to the control host as soon as Firefox has installed
// and started it.
async function addOnStarted() {
  const ended = once(firefox, 'exit').then(([code, signal]) => {
    throw new Error(`Firefox ended (${code ?? signal})`);
  });
  ended.catch(() => {});
  try {
    const [socket] = await Promise.race([
      once(server, 'connection', { signal: AbortSignal.timeout(STARTUP_MS) }), ended]);
    return new AddOn(socket);
  } catch (error) {
    assert.fail(`the add-on did not start: ${error.message}; Firefox's output:\n${firefoxLog.slice(-4000)}`);
  }
}

before(async () => {
  scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'bridge-firefox-'));
  home = path.join(scratch, 'home');
  const root = path.join(scratch, 'root');   // root's install writes the udev rule here, not on the machine
  const hidsimDir = path.join(scratch, 'hidsim');
  const profile = path.join(scratch, 'profile');
  for (const folder of [home, root, profile, path.join(scratch, 'logs')]) fs.mkdirSync(folder);
  simLog = path.join(scratch, 'logs/sim.log');

  const xpi = path.join(scratch, 'addon.xpi');
  packAddOn(xpi);
  const launcher = privateInstallation(path.join(scratch, 'firefox'), {
    ExtensionSettings: { [ADDON_ID]: { installation_mode: 'force_installed', install_url: `file://${xpi}` } },
  });
  // ESR installs an unsigned add-on when told so.
  fs.writeFileSync(path.join(profile, 'user.js'), [
    'user_pref("xpinstall.signatures.required", false);',
    'user_pref("datareporting.policy.dataSubmissionEnabled", false);',
    'user_pref("browser.shell.checkDefaultBrowser", false);',
  ].join('\n'));

  const socketPath = path.join(scratch, 'control.sock');
  server = net.createServer();
  server.listen(socketPath);
  await once(server, 'listening');
  const controlWrapper = path.join(scratch, 'control-host.sh');
  fs.writeFileSync(controlWrapper, `#!/bin/sh
exec "${process.execPath}" "${path.join(here, 'control-host.mjs')}" "${socketPath}"
`, { mode: 0o755 });

  const install = ['install', '--browser', 'firefox', '--user', '--home', home, '--root', root,
    '--extension', ADDON_ID];
  setup([...install, '--name', CONTROL_HOST, '--host', controlWrapper]);
  setup([...install, '--name', SIM_HOST, '--host', path.join(build, 'bridge-host-sim'), '--log', simLog]);
  device = await VirtualDevice.plug(hidsimDir);

  firefox = spawn(launcher, ['--headless', '--no-remote', '--profile', profile, 'about:blank'], {
    // Firefox hands its environment on to the hosts it starts.
    env: { ...process.env, HOME: home, HIDSIM_DIR: hidsimDir, MOZ_CRASHREPORTER_DISABLE: '1' },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  for (const stream of [firefox.stdout, firefox.stderr]) stream.on('data', (text) => { firefoxLog += text; });
  addOn = await addOnStarted();
}, { timeout: STARTUP_MS + 30000 });

after(async () => {
  if (firefox?.exitCode === null && firefox.signalCode === null) {
    const ended = once(firefox, 'exit');
    firefox.kill('SIGTERM');
    await ended;
  }
  server?.close();
  if (device?.plugged) await device.unplug();
  if (scratch) fs.rmSync(scratch, { recursive: true, force: true });
}, { timeout: 30000 });

const endings = (found) => found.filter((line) => line.startsWith(ENDED));

test('a port carries requests, replies and reports, and closing it ends the host', { timeout: 30000 }, async () => {
  await addOn.call('connect', SIM_HOST);
  await exchangeOverPort(addOn, device);
  await addOn.call('disconnect');
  const found = await waitForLines(simLog, (lines) => endings(lines).length === 1);
  assert.ok(found.includes('CALL present in JSON message: open'), found.join('\n'));
  assert.deepEqual(endings(found), [`${ENDED} 0`]);
});

test('sendNativeMessage starts a host for one message', { timeout: 30000 }, async () => {
  assert.deepEqual(await addOn.call('sendOnce', SIM_HOST, { call: 'getDevices' }),
    { call: 'getDevices', response: [SERVED_DEVICE] });
  // The setup command's wrapper kept the port's log as the previous one.
  const found = await waitForLines(simLog, (lines) => endings(lines).length === 1);
  assert.deepEqual(endings(found), [`${ENDED} 0`]);
  assert.ok(!found.includes('CALL present in JSON message: open'), found.join('\n'));
  assert.ok(fs.readFileSync(`${simLog}.1`, 'utf8').includes('CALL present in JSON message: open'));
});
