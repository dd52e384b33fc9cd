// The client in Firefox: Debian's Firefox ESR, headless on a fresh profile,
// gets the test's copy of the example force-installed by an enterprise
// policy; its background script reaches the hosts through the manifests that
// the setup command wrote to ~/.mozilla/native-messaging-hosts, and the test
// drives it through a control host of its own.
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import readline from 'node:readline';
import { here, setup, testExtension, installHosts } from './common.mjs';

const FIREFOX = '/usr/lib/firefox-esr';
const CONTROL_HOST = 'bridge_test_control';
export const STARTUP_MS = 60000;   // Firefox's first start on a fresh profile, on a busy machine

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
}

export async function start(scratch, hidsimDir, scripts = []) {
  const home = path.join(scratch, 'home');
  const root = path.join(scratch, 'root');   // root's install writes the udev rule here, not on the machine
  const profile = path.join(scratch, 'profile');
  for (const folder of [home, root, profile]) fs.mkdirSync(folder);

  const extension = path.join(scratch, 'extension');
  const addOnId = testExtension(extension, ['control.js', ...scripts]).browser_specific_settings.gecko.id;
  const xpi = path.join(scratch, 'addon.xpi');
  execFileSync('zip', ['-q', '-r', xpi, '.'], { cwd: extension });
  const launcher = privateInstallation(path.join(scratch, 'firefox'), {
    ExtensionSettings: { [addOnId]: { installation_mode: 'force_installed', install_url: `file://${xpi}` } },
  });
  // ESR installs an unsigned add-on when told so. performance.now() in
  // whole microseconds, not milliseconds, for the benchmark.
  fs.writeFileSync(path.join(profile, 'user.js'), [
    'user_pref("xpinstall.signatures.required", false);',
    'user_pref("datareporting.policy.dataSubmissionEnabled", false);',
    'user_pref("browser.shell.checkDefaultBrowser", false);',
    'user_pref("privacy.reduceTimerPrecision", false);',
  ].join('\n'));

  const socketPath = path.join(scratch, 'control.sock');
  const server = net.createServer();
  server.listen(socketPath);
  await once(server, 'listening');
  const controlWrapper = path.join(scratch, 'control-host.sh');
  fs.writeFileSync(controlWrapper, `#!/bin/sh
exec "${process.execPath}" "${path.join(here, 'control-host.mjs')}" "${socketPath}"
`, { mode: 0o755 });

  const install = (args, allowed = addOnId) => setup(['install', '--browser', 'firefox', '--user', '--home', home,
    '--root', root, '--extension', allowed, ...args]);
  install(['--name', CONTROL_HOST, '--host', controlWrapper]);
  const simLog = installHosts(scratch, install, 'other@example.org');

  const firefox = spawn(launcher, ['--headless', '--no-remote', '--profile', profile, 'about:blank'], {
    // Firefox hands its environment on to the hosts it starts.
    env: { ...process.env, HOME: home, HIDSIM_DIR: hidsimDir, MOZ_CRASHREPORTER_DISABLE: '1' },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let firefoxLog = '';
  for (const stream of [firefox.stdout, firefox.stderr]) stream.on('data', (text) => { firefoxLog += text; });
  const stop = async () => {
    if (firefox.exitCode === null && firefox.signalCode === null) {
      const ended = once(firefox, 'exit');
      firefox.kill('SIGTERM');
      await ended;
    }
    server.close();
  };

  // The add-on connects to the control host as soon as Firefox has installed
  // and started it.
  const ended = once(firefox, 'exit').then(([code, signal]) => {
    throw new Error(`Firefox ended (${code ?? signal})`);
  });
  ended.catch(() => {});
  let addOn;
  try {
    const [socket] = await Promise.race([
      once(server, 'connection', { signal: AbortSignal.timeout(STARTUP_MS) }), ended]);
    addOn = new AddOn(socket);
  } catch (error) {
    await stop();
    assert.fail(`the add-on did not start: ${error.message}; Firefox's output:\n${firefoxLog.slice(-4000)}`);
  }
  return { name: 'firefox', simLog, call: (fn, ...args) => addOn.call(fn, ...args), install, stop };
}
