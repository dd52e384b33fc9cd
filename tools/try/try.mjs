// ./dev.sh try [EXTENSION_DIR] [--browser chromium|firefox] [--headless]
// [--page FILE] [--name HOST]: an extension in Debian's Chromium or Firefox
// ESR on a throwaway profile, the virtual host installed there for its IDs and
// an echoing virtual device plugged in, its page open. Everything goes when the
// browser closes. With --headless it ends by itself: 0 once the host has sent
// the extension a reply (its log shows "Outputting JSON"), 1 with the reason
// after 60 s.
import { spawn, execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const build = process.env.BRIDGE_BUILD_DIR ?? path.join(here, '../../build');
const CHROMIUM = '/usr/lib/chromium/chromium';
const FIREFOX = '/usr/bin/firefox-esr';
const WEB_EXT = path.join(here, 'node_modules/web-ext/bin/web-ext.js');
const HEADLESS_LIMIT_MS = 60000;
// The host's log line of every reply it sends to the extension.
const REPLY = 'Outputting JSON ';
const OPENER = 'try-open-page.js';
const USAGE = 'usage: ./dev.sh try [EXTENSION_DIR] [--browser chromium|firefox] [--headless] [--page FILE] [--name HOST]';

const say = (text) => console.error(`try: ${text}`);

function parseArguments(args) {
  const options = { dir: path.join(here, '../../examples/extension'), browser: 'chromium', headless: false,
    page: undefined, name: 'bridge_host' };
  for (let i = 0; i < args.length; i++) {
    const value = () => {
      if (i + 1 >= args.length) throw new Error(`${args[i]} needs a value`);
      return args[++i];
    };
    if (args[i] === '--browser') options.browser = value();
    else if (args[i] === '--headless') options.headless = true;
    else if (args[i] === '--page') options.page = value();
    else if (args[i] === '--name') options.name = value();
    else if (args[i].startsWith('-')) throw new Error(`unknown option ${args[i]}`);
    else options.dir = args[i];
  }
  if (!['chromium', 'firefox'].includes(options.browser)) throw new Error(`unknown browser "${options.browser}"`);
  options.dir = fs.realpathSync(options.dir);
  return options;
}

// The page a person would open first: the one named, else the toolbar popup,
// the options page, or a page.html beside the manifest.
function extensionPage(dir, manifest, named) {
  const page = named ?? manifest.action?.default_popup ?? manifest.browser_action?.default_popup
    ?? manifest.options_ui?.page ?? manifest.options_page
    ?? (fs.existsSync(path.join(dir, 'page.html')) ? 'page.html' : undefined);
  if (page !== undefined && !fs.existsSync(path.join(dir, page))) throw new Error(`no page ${page} in ${dir}`);
  return page;
}

// Chromium's ID for an extension: from its key when the manifest has one,
// else from the folder it is loaded from, as for any unpacked extension: the
// SHA-256 of either, its first 32 hex digits written with the letters a to p.
function chromiumId(manifest, dir) {
  const hashed = manifest.key !== undefined ? Buffer.from(manifest.key, 'base64') : Buffer.from(dir);
  const digest = createHash('sha256').update(hashed).digest('hex').slice(0, 32);
  return [...digest].map((digit) => String.fromCharCode(97 + parseInt(digit, 16))).join('');
}

function firefoxId(manifest) {
  const id = (manifest.browser_specific_settings ?? manifest.applications)?.gecko?.id;
  if (!id) {
    throw new Error('Firefox lets only an add-on with a fixed ID start a native host: give the manifest\n' +
      '  "browser_specific_settings": { "gecko": { "id": "my-extension@example.org" } }');
  }
  return id;
}

function setup(args) {
  execFileSync(path.join(build, 'bridge-host-setup'), ['install', ...args], { stdio: ['ignore', 'ignore', 'inherit'] });
}

// The echoing device of the served kind, in a folder of its own; its first
// line on standard error says it is ready.
async function plugDevice(dir, forward) {
  const device = spawn(path.join(build, 'bridge-sim-device'), ['--dir', dir, '--manufacturer', 'Virtual maker',
    '--product-name', 'Echoing device'], { stdio: ['ignore', 'pipe', 'pipe'] });
  const ended = once(device, 'exit').then(([code, signal]) => { throw new Error(`the virtual device ended (${code ?? signal})`); });
  ended.catch(() => {});
  let lines = 0;
  const ready = new Promise((resolve) => {
    readline.createInterface({ input: device.stderr }).on('line', (line) => {
      if (lines++ === 0) resolve(line);
      else if (forward) console.error(`device: ${line}`);
    });
  });
  readline.createInterface({ input: device.stdout }).on('line', (line) => forward && console.error(`device: wrote ${line}`));
  say(await Promise.race([ready, ended]));
  return device;
}

// Resolves with the host's first reply line, from its log or the previous
// run's (each new host keeps its predecessor's log as .1), re-read on every
// change the kernel reports in their folder.
async function firstReply(log, signal) {
  const watcher = fs.watch(path.dirname(log), { signal });
  try {
    for (;;) {
      for (const file of [log, `${log}.1`]) {
        const text = fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : '';
        const line = text.split('\n').find((entry) => entry.startsWith(REPLY));
        if (line) return line;
      }
      await once(watcher, 'change', { signal });
    }
  } finally {
    watcher.close();
  }
}

async function startChromium({ dir, manifest, page, headless, name }, scratch, env, log) {
  const { chromium } = await import('playwright-core');
  const id = chromiumId(manifest, dir);
  const profile = path.join(scratch, 'profile');
  setup(['--dir', path.join(profile, 'NativeMessagingHosts'), '--extension', id, '--name', name,
    '--host', path.join(build, 'bridge-host-sim'), '--log', log]);
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless,
    chromiumSandbox: process.getuid() !== 0,   // Chromium's sandbox refuses to run as root
    env,   // the browser hands it on to the host
    viewport: null,
    ignoreDefaultArgs: ['--enable-automation'],
    args: [
      `--disable-extensions-except=${dir}`, `--load-extension=${dir}`,
      // The machine may have no network: nothing in the background reaches for it.
      '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--disable-quic', ...(headless ? ['--disable-gpu'] : []),
    ],
  });
  const ended = new Promise((resolve) => context.on('close', resolve));
  say(`Chromium has the extension ${id} from ${dir}`);
  try {
    // A page opened before the extension is loaded would stay blocked: where
    // it has a service worker, wait for it, which also proves the ID.
    const worker = manifest.background?.service_worker;
    if (worker) {
      const ours = (w) => new URL(w.url()).pathname === `/${worker}`;
      const found = context.serviceWorkers().find(ours)
        ?? await context.waitForEvent('serviceworker', { predicate: ours, timeout: HEADLESS_LIMIT_MS });
      const host = new URL(found.url()).host;
      if (host !== id) throw new Error(`Chromium gave the extension the ID ${host}, the host was installed for ${id}`);
    }
    if (page) {
      const tab = context.pages()[0] ?? await context.newPage();
      await tab.goto(`chrome-extension://${id}/${page}`);
    }
  } catch (error) {
    await context.close();
    throw error;
  }
  return { ended, output: () => '', stop: () => context.close() };
}

// A copy of the extension whose background also opens its page once
// installed: Firefox names an extension's pages by an ID of its own that
// exists only from then on.
function firefoxCopy(dir, manifest, page, copy) {
  fs.cpSync(dir, copy, { recursive: true, dereference: true,
    filter: (source) => !['node_modules', '.git'].includes(path.basename(source)) });
  if (!page) return;
  fs.writeFileSync(path.join(copy, OPENER), `// Added by ./dev.sh try: opens ${page} once the add-on is installed.
chrome.runtime.onInstalled.addListener(() => chrome.tabs.create({ url: chrome.runtime.getURL(${JSON.stringify(page)}) }));
`);
  const background = manifest.background ?? {};
  fs.writeFileSync(path.join(copy, 'manifest.json'), JSON.stringify({
    ...manifest, background: { ...background, scripts: [...(background.scripts ?? []), OPENER] },
  }, null, 2));
}

async function startFirefox({ dir, manifest, page, headless, name }, scratch, env, log) {
  const id = firefoxId(manifest);
  const home = path.join(scratch, 'home');
  const copy = path.join(scratch, 'extension');
  firefoxCopy(dir, manifest, page, copy);
  // Firefox reads the hosts' manifests from ~/.mozilla: a home of our own.
  setup(['--browser', 'firefox', '--user', '--home', home, '--root', path.join(scratch, 'root'), '--extension', id,
    '--name', name, '--host', path.join(build, 'bridge-host-sim'), '--log', log]);
  // web-ext and Firefox in a process group of their own, ended together.
  const webExt = spawn(process.execPath, [WEB_EXT, 'run', '--source-dir', copy, '--firefox', FIREFOX,
    '--firefox-profile', path.join(scratch, 'profile'), '--profile-create-if-missing', '--keep-profile-changes',
    '--no-input', '--no-reload', '--no-config-discovery',
    '--pref', 'datareporting.policy.dataSubmissionEnabled=false', '--pref', 'browser.shell.checkDefaultBrowser=false',
    ...(headless ? ['--arg=--headless'] : [])], {
    env: { ...env, HOME: home, MOZ_CRASHREPORTER_DISABLE: '1', NO_UPDATE_NOTIFIER: '1' },
    stdio: ['ignore', 'pipe', 'pipe'], detached: true,
  });
  let output = '';
  for (const stream of [webExt.stdout, webExt.stderr]) {
    stream.on('data', (text) => {
      output = (output + text).slice(-4000);
      if (!headless) process.stderr.write(text);
    });
  }
  const ended = once(webExt, 'exit');
  say(`Firefox gets the add-on ${id} from a copy of ${dir}`);
  const signalGroup = (signal) => {
    try {
      process.kill(-webExt.pid, signal);
    } catch {
      // the group has ended
    }
  };
  return {
    ended,
    output: () => output,
    async stop() {
      if (webExt.exitCode === null && webExt.signalCode === null) signalGroup('SIGTERM');
      await ended;
      // Whatever of Firefox outlived web-ext.
      signalGroup('SIGKILL');
    },
  };
}

async function main() {
  let options;
  try {
    options = parseArguments(process.argv.slice(2));
    options.manifest = JSON.parse(fs.readFileSync(path.join(options.dir, 'manifest.json'), 'utf8'));
    options.page = extensionPage(options.dir, options.manifest, options.page);
  } catch (error) {
    console.error(`try: ${error.message}\n${USAGE}`);
    return 2;
  }
  if (!options.headless && !process.env.DISPLAY && !process.env.WAYLAND_DISPLAY) {
    say('no display to show the browser on (DISPLAY is not set): give --headless');
    return 2;
  }

  const started = Date.now();
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'bridge-try-'));
  const hid = path.join(scratch, 'hid');
  const logs = path.join(scratch, 'log');
  const log = path.join(logs, 'host.log');
  for (const folder of [hid, logs]) fs.mkdirSync(folder);
  let device;
  let browser;
  const done = new AbortController();
  // Ctrl-C ends the browser too, and everything else with it.
  const interrupted = new Promise((resolve) => {
    for (const signal of ['SIGINT', 'SIGTERM']) process.once(signal, () => resolve(signal));
  });
  try {
    device = await plugDevice(hid, !options.headless);
    const env = { ...process.env, HIDSIM_DIR: hid };
    const start = options.browser === 'chromium' ? startChromium : startFirefox;
    browser = await start(options, scratch, env, log);
    if (!options.page) say('the extension names no page: only its background runs (--page FILE opens one)');
    const replied = firstReply(log, done.signal).then((line) => ({ line }));
    replied.catch(() => {});
    if (options.headless) {
      const outcome = await Promise.race([
        replied,
        browser.ended.then(() => ({ failure: 'the browser ended' })),
        interrupted.then((signal) => ({ failure: `ended by ${signal}` })),
        new Promise((resolve) => setTimeout(resolve, started + HEADLESS_LIMIT_MS - Date.now(), {
          failure: `no reply from the host within ${HEADLESS_LIMIT_MS / 1000} s`,
        })),
      ]);
      if (outcome.line) {
        say(`the extension had a reply from the host: ${outcome.line.slice(REPLY.length, REPLY.length + 200)}`);
        return 0;
      }
      say(`${outcome.failure}; ${explainSilence(log, options.name)}`);
      const output = browser.output();
      if (output) console.error(`the browser's last output:\n${output}`);
      return 1;
    }
    say(`the host's log: ${log}; close the browser to end`);
    replied.then(() => say('the extension had its first reply from the host'), () => {});
    const signal = await Promise.race([browser.ended.then(() => undefined), interrupted]);
    if (signal === undefined) return 0;
    return signal === 'SIGINT' ? 130 : 143;
  } catch (error) {
    say(error.message);
    return 1;
  } finally {
    done.abort();
    await browser?.stop().catch(() => {});
    if (device) {
      if (device.exitCode === null && device.signalCode === null) {
        const ended = once(device, 'exit');
        device.kill('SIGTERM');
        await ended;
      }
    }
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

// Why the host sent nothing: never started, or started and never answered.
function explainSilence(log, name) {
  if (!fs.existsSync(log)) {
    return `the browser never started the host: does the extension call connectHost({ name: '${name}' }) ` +
      '(or connectNative) when it starts or when its page opens?';
  }
  const tail = fs.readFileSync(log, 'utf8').split('\n').slice(-20).join('\n');
  return `the host started but sent no reply; the end of its log:\n${tail}`;
}

if (process.argv[1] === fileURLToPath(import.meta.url)) process.exit(await main());
