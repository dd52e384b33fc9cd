// runtime.connectNative for node, so that the client runs against a real
// host process without a browser: as Chromium does, the host's manifest is
// found by name in a folder and its program started with its standard input
// and output as the port, and the port's end says so in Chromium's words.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { connectHost } from '../../client/bridge-host-client.js';
import { setup, installHosts, chromiumId, EXAMPLE } from './common.mjs';
import { makeDriver } from './driver.js';
import { frame, readFrames } from './frames.mjs';

export function connectNative(folder, name, origin) {
  const listeners = { message: [], disconnect: [] };
  let child = null;
  let open = true;
  const end = (text) => {
    if (!open) return;
    open = false;
    const port = { error: { message: text } };
    for (const listener of listeners.disconnect) listener(port);
  };
  const port = {
    postMessage(message) {
      if (!open) throw new Error('Attempting to use a disconnected port object');
      child?.stdin.write(frame(JSON.stringify(message)));
    },
    disconnect() {
      open = false;
      child?.stdin.end();
    },
    onMessage: { addListener: (listener) => listeners.message.push(listener) },
    onDisconnect: { addListener: (listener) => listeners.disconnect.push(listener) },
  };

  let program;
  try {
    program = JSON.parse(fs.readFileSync(path.join(folder, `${name}.json`), 'utf8')).path;
  } catch {
    setImmediate(() => end('Specified native messaging host not found.'));
    return port;
  }
  child = spawn(program, [origin], { stdio: ['pipe', 'pipe', 'ignore'] });
  child.stdin.on('error', () => {});   // the host ended; its exit tells the port
  child.on('error', () => end('Failed to start native messaging host.'));
  child.on('close', () => end('Native host has exited.'));   // after the last of its output

  readFrames(child.stdout, (body) => {
    if (open) for (const listener of listeners.message) listener(JSON.parse(body));
  });
  return port;
}

// The client in node, on the hosts installed in Chromium's format.
export async function start(scratch, hidsimDir) {
  const folder = path.join(scratch, 'NativeMessagingHosts');
  const id = chromiumId(JSON.parse(fs.readFileSync(path.join(EXAMPLE, 'manifest.json'), 'utf8')));
  const install = (args, allowed = id) => setup(['install', '--dir', folder, '--extension', allowed, ...args]);
  const simLog = installHosts(scratch, install, 'abcdefghijklmnopabcdefghijklmnop');
  process.env.HIDSIM_DIR = hidsimDir;   // what the hosts started here inherit, as from a browser
  const port = (name) => connectNative(folder, name, `chrome-extension://${id}/`);
  const driver = makeDriver((options) => connectHost({ ...options, port: options.port ?? port(options.name) }), port);
  return { name: 'node', simLog, call: async (fn, ...args) => driver[fn](...args), stop: async () => {} };
}
