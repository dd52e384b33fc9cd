// ./dev.sh bench --browsers [ROUNDS [BROWSER...]]: bridge-host-sim measured through
// Debian's Chromium and Firefox ESR, in the browser rigs of the client's
// tests (tests/browser), each figure beside the same exchange with the bare
// echo host in the same browser. The columns take turns inside each case,
// and the cases round after round, so that whatever else the machine does
// falls on all of them alike. The host's log goes to the browser (standard
// error, as without install --log) or to a file (install --log FILE). Prints
// a table per browser; asserts nothing.
import { execFileSync, spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { build, lines } from '../../tests/browser/common.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const RIGS = {
  chromium: { rig: '../../tests/browser/chromium.mjs', program: '/usr/lib/chromium/chromium' },
  firefox: { rig: '../../tests/browser/firefox.mjs', program: '/usr/lib/firefox-esr/firefox-esr' },
};
const SAMPLES = 200;       // round trips of a case in one round
const BATCH = 10;          // round trips timed together
const PIPELINED = 2000;    // writes of a pipelined case in one round
const WINDOW = 32;         // pipelined writes awaiting their last message
const SPAWNS = 5;

// Each column's hosts: NAME, and ECHOES where another answers a write with
// its reply and the device's echo (the host does both on an echoing device).
const COLUMNS = [
  { title: 'host, log to standard error', name: 'bench_host', open: true },
  { title: 'host, install --log FILE', name: 'bench_host_logged', open: true },
  { title: 'echo host', name: 'bench_echo', echoes: 'bench_echo_echoes', open: false },
];
const CASES = [
  { title: '"write" to its reply', unit: 'µs', echo: false,
    run: (call, c) => call('writeRoundTrips', c.name, { open: c.open, frames: 1, count: SAMPLES, batch: BATCH }) },
  { title: '"write" to its echo', unit: 'µs', echo: true,
    run: (call, c) => call('writeRoundTrips', c.echoes ?? c.name, { open: c.open, frames: 2, count: SAMPLES, batch: BATCH }) },
  { title: `pipelined "write"s, ${WINDOW} waiting, no echo`, unit: '/s', echo: false,
    run: async (call, c) => [await call('pipelined', c.name,
      { open: c.open, frames: 1, count: PIPELINED, window: WINDOW })] },
  { title: `pipelined "write"s, ${WINDOW} waiting, with their echoes`, unit: '/s', echo: true,
    run: async (call, c) => [await call('pipelined', c.echoes ?? c.name,
      { open: c.open, frames: 2, count: PIPELINED, window: WINDOW })] },
  { title: 'spawn: connectNative to the first reply', unit: 'ms', echo: false,
    run: (call, c) => call('spawns', c.name, { count: SPAWNS }) },
];

// The served device in DIR, echoing the host's writes or not; what it
// prints of them is not needed.
async function plugDevice(dir, echo) {
  const device = spawn(path.join(build, 'bridge-sim-device'), ['--dir', dir, ...(echo ? [] : ['--no-echo'])],
    { stdio: ['ignore', 'ignore', 'pipe'] });
  const ready = await lines(device.stderr)();
  if (!ready.includes('ready')) throw new Error(`the virtual device did not start: ${ready}`);
  device.stderr.resume();
  return {
    echo,
    async unplug() {
      const ended = once(device, 'exit');
      device.kill('SIGTERM');
      await ended;
    },
  };
}

function installBenchHosts(browser, scratch) {
  const sim = path.join(build, 'bridge-host-sim');
  const echo = path.join(build, 'tools/bench/bridge-echo-host');
  const echoes = path.join(scratch, 'echo-echoes.sh');
  fs.writeFileSync(echoes, `#!/bin/sh\nexec "${echo}" --echoes "$@"\n`, { mode: 0o755 });
  browser.install(['--name', 'bench_host', '--host', sim]);
  browser.install(['--name', 'bench_host_logged', '--host', sim, '--log', path.join(scratch, 'bench-host.log')]);
  browser.install(['--name', 'bench_echo', '--host', echo]);
  browser.install(['--name', 'bench_echo_echoes', '--host', echoes]);
}

// All rounds in one browser: samples[case][column].
async function measure(which, rounds) {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), `bridge-bench-${which}-`));
  const hidsimDir = path.join(scratch, 'hidsim');
  fs.mkdirSync(hidsimDir);
  let browser, device;
  try {
    const { start } = await import(RIGS[which].rig);
    browser = await start(scratch, hidsimDir, [path.join(here, 'browser_bench.js')]);
    installBenchHosts(browser, scratch);
    const call = browser.call;
    const clockStep = await call('clockStep');
    const samples = CASES.map(() => COLUMNS.map(() => []));
    for (let round = 0; round < rounds; round++) {
      for (const [c, benchCase] of CASES.entries()) {
        if (device?.echo !== benchCase.echo) {
          await device?.unplug();
          device = await plugDevice(hidsimDir, benchCase.echo);
        }
        for (const [k, column] of COLUMNS.entries()) samples[c][k].push(...await benchCase.run(call, column));
      }
      process.stderr.write(`bench: ${which}, round ${round + 1} of ${rounds}\n`);
    }
    return { samples, clockStep };
  } finally {
    await browser?.stop();
    await device?.unplug();
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

function median(values) {
  return [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
}

// Median / p99 (throughput: the median round), and for the host the
// median's ratio to the echo host's.
function cell(values, unit, echoValues) {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = median(sorted);
  const ratio = echoValues ? ` (${(unit === '/s' ? median(echoValues) / mid : mid / median(echoValues)).toFixed(2)}x)` : '';
  if (unit === '/s') return `${mid.toFixed(0)}/s${ratio}`;
  const p99 = sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * 0.99))];
  const digits = unit === 'ms' ? 1 : 0;
  return `${mid.toFixed(digits)} / ${p99.toFixed(digits)} ${unit}${ratio}`;
}

function machine() {
  const model = fs.readFileSync('/proc/cpuinfo', 'utf8').match(/^model name\s*:\s*(.*)$/m)?.[1] ?? '?';
  return `${os.availableParallelism()} CPUs (nproc), ${model}, Linux ${os.release()}`;
}

const load = () => os.loadavg().map((figure) => figure.toFixed(1)).join(' ');

const rounds = Math.max(1, Number(process.argv[2] ?? 5) || 1);
const which = process.argv.slice(3).length > 0 ? process.argv.slice(3) : Object.keys(RIGS);
const loadBefore = load();
const results = {};
for (const name of which) results[name] = await measure(name, rounds);
console.log(`${machine()}; load average ${loadBefore} before, ${load()} after; ${rounds} rounds; median / p99`);
for (const name of which) {
  const version = execFileSync(RIGS[name].program, ['--version'], { encoding: 'utf8' }).trim();
  const { samples, clockStep } = results[name];
  console.log(`\n${version}; performance.now() in steps of ${clockStep.toFixed(1)} µs\n`);
  console.log(`| case | ${COLUMNS.map((column) => column.title).join(' | ')} |`);
  console.log(`| --- |${' --- |'.repeat(COLUMNS.length)}`);
  for (const [c, benchCase] of CASES.entries()) {
    const echoValues = samples[c].at(-1);
    const cells = samples[c].map((values, k) => cell(values, benchCase.unit, k < COLUMNS.length - 1 && echoValues));
    console.log(`| ${benchCase.title} | ${cells.join(' | ')} |`);
  }
}
