// What the tests ask of the client, run where the client runs (a Chromium
// service worker, a Firefox background script, or node): each call's outcome
// as a value, and the client's events one at a time as they come. Everything
// it returns is plain JSON, as it crosses into the test's process.
export function makeDriver(connectHost) {
  let host = null;
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
    connect(name) {
      host?.close();
      events = [];
      const client = connectHost({ name });
      const from = (event) => (value) => client === host && deliver(event(value));
      client.onReport(from((report) => ({ report: Array.from(report) })));
      client.onDeviceGone(from(() => ({ deviceGone: true })));
      client.onClose(from((error) => ({ closed: error.code, text: error.message })));
      host = client;
    },

    call: (method, ...args) => outcome(host[method](...args)),

    // A call's outcome if it settled in the task that made it, before any
    // message could have come from the host, else "pending".
    callNow(method, ...args) {
      const later = new Promise((resolve) => { setTimeout(() => resolve('pending'), 0); });
      return Promise.race([outcome(host[method](...args)), later]);
    },

    close: () => host.close(),

    // Closes the client with the call still waiting.
    closeDuring(method) {
      const result = outcome(host[method]());
      host.close();
      return result;
    },

    nextEvent: () => (events.length > 0 ? events.shift() : new Promise((resolve) => { waiting = resolve; })),
    eventsSoFar: () => events.splice(0),

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
