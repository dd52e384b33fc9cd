// The benchmark's part of the test's copy of the example: exchanges with a
// host over the browser's own native-messaging port, timed where an extension
// sees them, so that every figure holds the browser's share as well as the
// host's. The driver the test calls gets these beside its own.
import './test-background.js';

const runtime = (globalThis.browser ?? globalThis.chrome).runtime;

// Request n: 64 bytes of data, n's four bytes first, as bridge-bench sends.
const write = (n) => ({
  call: 'write',
  data: Array.from({ length: 64 }, (_, i) => (i < 4 ? (n >>> (8 * i)) & 0xff : (n + i) & 0xff)),
});

// A port to the host NAME whose messages are taken one at a time as they
// come; a host that ends fails the message waited for.
function connect(name) {
  const port = runtime.connectNative(name);
  const messages = [];
  let waiting = null;
  let ended = null;
  port.onMessage.addListener((message) => {
    if (waiting) waiting.resolve(message);
    else messages.push(message);
    waiting = null;
  });
  port.onDisconnect.addListener((gone) => {
    ended = new Error(`${name} ended: ${(gone.error ?? runtime.lastError)?.message ?? 'no reason given'}`);
    waiting?.reject(ended);
    waiting = null;
  });
  const next = () => {
    if (messages.length > 0) return Promise.resolve(messages.shift());
    if (ended) return Promise.reject(ended);
    return new Promise((resolve, reject) => { waiting = { resolve, reject }; });
  };
  return { port, next };
}

// A port to a host with its device open; the echo host is not asked.
async function opened(name, open) {
  const link = connect(name);
  if (open) {
    link.port.postMessage({ call: 'open' });
    const reply = await link.next();
    if (reply.response?.success !== 'Device Open') throw new Error(`${name}: ${JSON.stringify(reply)}`);
  }
  return link;
}

Object.assign(self.driver, {
  // Microseconds from a write to the last of the FRAMES messages it brings
  // (its reply, then its echo), COUNT writes one at a time: the mean of each
  // BATCH in a row, as Chromium gives performance.now() in steps of 100 µs
  // (each step up or down at random, so that a mean comes out right).
  async writeRoundTrips(name, { open, frames, count, batch }) {
    const link = await opened(name, open);
    const samples = [];
    for (let n = 0; n < count; n += batch) {
      const start = performance.now();
      for (let k = n; k < n + batch; k++) {
        link.port.postMessage(write(k));
        for (let frame = 0; frame < frames; frame++) await link.next();
      }
      samples.push((performance.now() - start) * 1000 / batch);
    }
    link.port.disconnect();
    return samples;
  },

  // Writes a second, WINDOW waiting at a time: a write counts as done once
  // FRAMES messages came back for it, whichever write they belong to.
  async pipelined(name, { open, frames, count, window }) {
    const link = await opened(name, open);
    let sent = 0;
    const start = performance.now();
    for (let received = 0; received < count * frames; received++) {
      while (sent < count && sent - Math.floor(received / frames) < window) link.port.postMessage(write(sent++));
      const message = await link.next();
      if (message.response?.error) throw new Error(JSON.stringify(message));
    }
    const rate = count / ((performance.now() - start) / 1000);
    link.port.disconnect();
    return rate;
  },

  // Milliseconds from connectNative to the reply to the first request.
  async spawns(name, { count }) {
    const samples = [];
    for (let n = 0; n < count; n++) {
      const start = performance.now();
      const link = connect(name);
      link.port.postMessage({ call: 'getDevices' });
      const reply = await link.next();
      if (reply.call !== 'getDevices') throw new Error(JSON.stringify(reply));
      samples.push(performance.now() - start);
      link.port.disconnect();
    }
    return samples;
  },

  // The clock's finest step here: browsers coarsen performance.now().
  clockStep() {
    let step = Infinity;
    for (let i = 0, last = performance.now(); i < 1000; i++) {
      let now;
      while ((now = performance.now()) === last);
      step = Math.min(step, now - last);
      last = now;
    }
    return step * 1000;
  },
});
