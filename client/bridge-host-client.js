// The extension's side of the bridge host: one port to the native host, each
// request a promise and each message the host sends unasked a listener's call.
//
// The host makes this harder than it looks. Its replies carry no request id,
// so they are matched to requests by their order (one worker answers them in
// the order they came). A "write" while the host has no device gets no reply
// at all, and an unplugged device is closed without a word. "getDevices" and
// "open" are always answered, so a reply to one of them that comes while a
// "write" sent before it is still unanswered proves that the write got none:
// the device is gone. When writes wait and nothing has come for
// PROBE_AFTER_MS, a "getDevices" goes behind them to ask; its reply settles
// them either way. A timer thus only decides when to ask, never what happened.

/** The served device's ids, as the host writes them in its replies. */
const SERVED_VENDOR_ID = '2765';    // 0x0acd
const SERVED_PRODUCT_ID = '14368';  // 0x3820
/** Data bytes of one output report; the host puts report id 1 before them. */
export const MAX_WRITE_BYTES = 64;
/** Quiet time after which writes still waiting are checked on. */
export const PROBE_AFTER_MS = 1000;

export class BridgeHostError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'BridgeHostError';
    this.code = code;
  }
}

// Why bytes cannot be written, or null when they can.
function refusal(bytes) {
  if (!Array.isArray(bytes) && !(bytes instanceof Uint8Array)) {
    return 'the bytes must be an array or a Uint8Array';
  }
  if (bytes.length > MAX_WRITE_BYTES) {
    return `${bytes.length} bytes are more than the ${MAX_WRITE_BYTES} a report holds`;
  }
  const bad = Array.prototype.findIndex.call(bytes, (byte) => !Number.isInteger(byte) || byte < 0 || byte > 255);
  return bad < 0 ? null : `byte ${bad} is ${String(bytes[bad])}, not an integer from 0 to 255`;
}

// The port's end, told apart by the browser's text: Chromium's "Specified
// native messaging host not found." and "Access to the specified native
// messaging host is forbidden.", Firefox's "No such native application NAME"
// (which Firefox also says when the host's manifest does not allow the
// extension). Anything else, such as Chromium's "Native host has exited.",
// is the end of a host that had started; Firefox gives no text for that.
function portEnd(text) {
  if (/not found|^No such native application/i.test(text)) return new BridgeHostError('host-not-found', text);
  if (/forbidden/i.test(text)) return new BridgeHostError('host-forbidden', text);
  return new BridgeHostError('host-ended', text || 'the host ended');
}

const served = (device) => device?.vendorId === SERVED_VENDOR_ID && device?.productId === SERVED_PRODUCT_ID;

export function connectHost({ name = 'bridge_host', port, probeAfterMs = PROBE_AFTER_MS } = {}) {
  const runtime = (globalThis.browser ?? globalThis.chrome)?.runtime;
  const link = port ?? runtime.connectNative(name);
  // Requests sent and not yet answered, oldest first. A write refused before
  // its reply stays here, settled, until its reply comes or is proved never
  // to come, so that a late reply is not taken for a later write's.
  const waiting = [];
  // Writes the host answered with an error, held until a "getDevices" reply
  // says whether the device is still there: its absence makes them device-gone.
  let failedWrites = [];
  let deviceOpen = false;
  let ended = null;
  let probeTimer = null;
  const listeners = { report: new Set(), deviceGone: new Set(), close: new Set() };

  // Listeners run on their own, so that one that throws does not stop the
  // client in the middle of settling its requests.
  const emit = (set, value) => set.forEach((listener) => queueMicrotask(() => listener(value)));
  const subscribe = (set) => (listener) => {
    set.add(listener);
    return () => {
      set.delete(listener);
    };
  };

  function settle(entry, error, value) {
    if (entry.settled) return;
    entry.settled = true;
    if (error) entry.reject(error);
    else entry.resolve(value);
  }

  function send(call, message) {
    if (ended) return Promise.reject(ended);
    return new Promise((resolve, reject) => {
      try {
        link.postMessage(message);
      } catch (error) {
        reject(new BridgeHostError('host-ended', String(error?.message ?? error)));
        return;
      }
      waiting.push({ call, resolve, reject, settled: false });
      watchWrites();
    });
  }

  const lastIsWaitingWrite = () => waiting.at(-1)?.call === 'write' && !waiting.at(-1).settled;

  function watchWrites() {
    if (probeTimer !== null || !lastIsWaitingWrite()) return;
    probeTimer = setTimeout(() => {
      probeTimer = null;
      if (lastIsWaitingWrite()) askForDevices();
    }, probeAfterMs);
  }

  function askForDevices() {
    send('getDevices', { call: 'getDevices' }).catch(() => {});
  }

  // The device went: writes that got no reply and failed ones are refused,
  // and, unless an "open" that may have opened it anew told, the waiting ones
  // up to the next "open" too, as the host has no device for them.
  function deviceWent(unanswered, refuseBehind) {
    const gone = new BridgeHostError('device-gone', 'the device was unplugged or closed');
    const nextOpen = waiting.findIndex((entry) => entry.call === 'open');
    const behind = !refuseBehind ? []
      : waiting.slice(0, nextOpen < 0 ? waiting.length : nextOpen).filter((entry) => entry.call === 'write');
    for (const entry of [...unanswered, ...failedWrites.map((failed) => failed.entry), ...behind]) settle(entry, gone);
    failedWrites = [];
    if (deviceOpen) {
      deviceOpen = false;
      emit(listeners.deviceGone, undefined);
    }
  }

  function answer(entry, response) {
    if (entry.call === 'getDevices') {
      const devices = Array.isArray(response) ? response : [];   // the host's null: no HID device at all
      if ((deviceOpen || failedWrites.length > 0) && !devices.some(served)) deviceWent([], true);
      for (const failed of failedWrites) settle(failed.entry, failed.error);
      failedWrites = [];
      settle(entry, null, devices);
    } else if (entry.call === 'open') {
      if (response?.success) {
        deviceOpen = true;
        settle(entry, null, response);
      } else {
        // The host has no device now; if the client thought it had one, it went.
        deviceWent([], true);
        settle(entry, new BridgeHostError('open-failed', String(response?.error)));
      }
    } else if (response?.success) {
      settle(entry, null, undefined);
    } else if (!entry.settled) {
      failedWrites.push({ entry, error: new BridgeHostError('write-failed', String(response?.error)) });
      if (!waiting.some((later) => later.call === 'getDevices')) askForDevices();
    }
  }

  link.onMessage.addListener((message) => {
    if (ended) return;
    if (message?.call === 'receive') {
      if (Array.isArray(message.response)) emit(listeners.report, Uint8Array.from(message.response));
      return;
    }
    const index = waiting.findIndex((entry) => entry.call === message?.call);
    if (index < 0) return;   // nothing asked for it
    // Only writes go unanswered: those before this reply never will be.
    const unanswered = waiting.splice(0, index);
    const entry = waiting.shift();
    clearTimeout(probeTimer);
    probeTimer = null;
    if (unanswered.some((write) => !write.settled)) deviceWent(unanswered, entry.call !== 'open');
    answer(entry, message.response);
    watchWrites();
  });

  function end(error) {
    ended = error;
    deviceOpen = false;
    clearTimeout(probeTimer);
    for (const entry of waiting) settle(entry, error);
    for (const failed of failedWrites) settle(failed.entry, failed.error);
    waiting.length = 0;
    failedWrites = [];
    emit(listeners.close, error);
  }

  // Chromium gives the reason in runtime.lastError, Firefox in port.error.
  link.onDisconnect.addListener((ending) => {
    if (!ended) end(portEnd(String(ending?.error?.message ?? runtime?.lastError?.message ?? '')));
  });

  return {
    getDevices: () => send('getDevices', { call: 'getDevices' }),
    open: () => send('open', { call: 'open' }),
    write(bytes) {
      if (ended) return Promise.reject(ended);
      const reason = refusal(bytes);
      if (reason) return Promise.reject(new BridgeHostError('invalid-data', reason));
      if (!deviceOpen) return Promise.reject(new BridgeHostError('no-device', 'no device is open'));
      return send('write', { call: 'write', data: Array.from(bytes) });
    },
    onReport: subscribe(listeners.report),
    onDeviceGone: subscribe(listeners.deviceGone),
    onClose: subscribe(listeners.close),
    close() {
      if (ended) return;
      link.disconnect();
      end(new BridgeHostError('closed', 'the connection was closed'));
    },
  };
}
