// What the tests ask of the client, run where the client runs (a Chromium
// service worker, a Firefox background script, or node): each call's outcome
// as a value, and the client's events one at a time as they come. Everything
// it returns is plain JSON, as it crosses into the test's process.
// Bytes no JSON carries into the driver: made here.
const ODD_BYTES = [() => [Object.create(null)], () => [{ toString() { throw new Error('no text'); } }],
  () => Object.defineProperty([0], 0, { get() { throw new Error('no byte'); } })];

export function makeDriver(connectHost, connectPort = (name) => (globalThis.browser ?? globalThis.chrome).runtime
  .connectNative(name)) {
  let host = null;
  let other = null;
  let events = [];
  let waiting = null;
  const deliver = (event) => {
    if (waiting) waiting(event);
    else events.push(event);
    waiting = null;
  };
  const outcome = (promise) => promise.then(
    (value) => ({ value: value ?? null }),
    (error) => ({ error: error?.code ?? String(error) }));

  return {
    // A new client; the one before is closed, and its events are no more told.
    connect(name, { presence, ...options } = {}, port) {
      host?.close();
      other?.close();
      other = null;
      events = [];
      const client = connectHost({ name, port, ...options });
      const from = (event) => (value) => client === host && deliver(event(value));
      client.onReport(from((report) => ({ report: Array.from(report) })));
      if (presence) client.onDeviceArrived(from(() => ({ deviceArrived: true })));
      client.onDeviceGone(from(() => ({ deviceGone: true })));
      client.onClose(from((error) => ({ closed: error.code, text: error.message })));
      host = client;
    },

    call: (method, ...args) => outcome(host[method](...args)),
    // A second client's call, as a popup's beside the background: a host of its own.
    other: (name, method, ...args) => outcome(Promise.resolve((other ??= connectHost({ name }))[method](...args))),

    // A call's outcome if it settled in the task that made it, before any
    // message could have come from the host, else "pending".
    callNow(method, ...args) {
      const later = new Promise((resolve) => { setTimeout(() => resolve('pending'), 0); });
      return Promise.race([outcome(host[method](...args)), later]);
    },
    writeOdd(kind) { return this.callNow('write', ODD_BYTES[kind]()); },

    close: () => host.close(),

    // Closes the client with the call still waiting.
    closeDuring(method) {
      const result = outcome(host[method]());
      host.close();
      return result;
    },

    nextEvent: () => (events.length > 0 ? events.shift() : new Promise((resolve) => { waiting = resolve; })),
    eventsSoFar: () => events.splice(0),
    // The first three bytes of each report, up to one that begins as `last`.
    async reportsUntil(last, seen = []) {
      while (seen.at(-1)?.join() !== last.join()) seen.push((await this.nextEvent()).report.slice(0, 3));
      return seen;
    },

    // A write the device refused, held for the "getDevices" the client sends at once, while the port ends:
    // by close() after the client's listener, or by the host's end at a frame too long sent before the client's.
    async heldWrite(name, ending) {
      const port = connectPort(name);
      const onWrite = (act) => port.onMessage.addListener((message) => message?.call === 'write' && act());
      if (ending === 'host-ended') onWrite(() => port.postMessage({ call: 'write', data: 'x'.repeat(20000) }));
      this.connect(name, {}, port);
      await host.open();
      if (ending === 'closed') onWrite(() => host.close());
      return outcome(host.write([1]));
    },

    // Writes 0 to count - 1, two bytes each, without waiting, and tells the
    // order in which they settled and how many failed, by error.
    async writeMany(count) {
      const order = [];
      const refused = {};
      await Promise.all(Array.from({ length: count }, async (_, i) => {
        const { error } = await outcome(host.write([i >> 8, i & 0xff]));
        order.push(i);
        if (error) refused[error] = (refused[error] ?? 0) + 1;
      }));
      return { order, refused };
    },

    sendOnce: (name, message) => (globalThis.browser ?? globalThis.chrome).runtime.sendNativeMessage(name, message),
  };
}
