// What the tests ask of the client, run where the client runs (a Chromium
// service worker, a Firefox background script, or node): each call's outcome
// as a value, and the client's events one at a time as they come. Everything
// it returns is plain JSON, as it crosses into the test's process.
const connectNative = (name) => (globalThis.browser ?? globalThis.chrome).runtime.connectNative(name);

// Bytes that no JSON can carry into the driver, made here.
const ODD_BYTES = {
  'no prototype': () => [Object.create(null)],
  'a toString that throws': () => [{ toString() { throw new Error('no text'); } }],
  'a getter that throws': () => Object.defineProperty([0], 0, { get() { throw new Error('no byte'); } }),
};

export function makeDriver(connectHost, connectPort = connectNative) {
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

  // A call's outcome if it settled in the task that made it, before any
  // message could have come from the host, else "pending".
  const callNow = (method, ...args) => {
    const later = new Promise((resolve) => { setTimeout(() => resolve('pending'), 0); });
    return Promise.race([outcome(host[method](...args)), later]);
  };
  const nextEvent = () => (events.length > 0 ? events.shift()
    : new Promise((resolve) => { waiting = resolve; }));

  return {
    // A new client; the one before is closed, and its events are no more told.
    // With presence, its arrivals are told too.
    connect(name, { presence = false, ...options } = {}, port = undefined) {
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

    // A call of a second client beside the first, as of a popup beside the
    // background script: a host of its own on the same device.
    other(name, method, ...args) {
      other ??= connectHost({ name });
      return outcome(Promise.resolve(other[method](...args)));
    },

    call: (method, ...args) => outcome(host[method](...args)),

    callNow,
    writeOdd: (kind) => callNow('write', ODD_BYTES[kind]()),

    close: () => host.close(),

    // Closes the client with the call still waiting.
    closeDuring(method) {
      const result = outcome(host[method]());
      host.close();
      return result;
    },

    nextEvent,
    eventsSoFar: () => events.splice(0),

    // The first three bytes of each report up to the one that begins so.
    async reportsUntil(last) {
      const seen = [];
      while (seen.length === 0 || seen.at(-1).join() !== last.join()) {
        const { report } = await nextEvent();
        if (report) seen.push(report.slice(0, 3));
      }
      return seen;
    },

    // A write the host refuses ("Unable to write"; the device must refuse
    // them), ended by the client's close() or by the host's end (in node,
    // where the test can end it) before the "getDevices" that the client
    // sends at once is answered: the port's listener runs after the client's.
    async heldWrite(name, ending) {
      const port = connectPort(name);
      this.connect(name, {}, port);
      const client = host;
      await client.open();
      port.onMessage.addListener((message) => {
        if (message?.call === 'write') (ending === 'closed' ? client.close() : port.end());
      });
      return outcome(client.write([1]));
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
