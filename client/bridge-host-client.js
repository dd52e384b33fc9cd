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
//
// The device's coming and going is learnt the same way: while a presence
// listener is registered and nothing waits, every LOOK_EVERY_MS the client
// sends a "getDevices", and while it has the device open a "write" without
// data before it. The host answers that write with an error and writes
// nothing while it has a device, and does not answer it once it has lost the
// device, even if the device is back by then: so an unplug and plug between
// two looks shows as the device going and arriving.

/** The served device's ids, as the host writes them in its replies. */
const SERVED_VENDOR_ID = '2765';    // 0x0acd
const SERVED_PRODUCT_ID = '14368';  // 0x3820
/** Data bytes of one output report; the host puts report id 1 before them. */
export const MAX_WRITE_BYTES = 64;
/** Quiet time after which writes still waiting are checked on. */
export const PROBE_AFTER_MS = 1000;
/** Time between two looks for the device's coming and going, while a presence listener is registered. */
export const LOOK_EVERY_MS = 1000;

export class BridgeHostError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'BridgeHostError';
    this.code = code;
  }
}

// What a refused element is, told without calling anything of it: a
// toString of its own may throw, and an object without a prototype has none.
function describe(value) {
  if (typeof value === 'number' || typeof value === 'boolean' || value === null || value === undefined) {
    return String(value);
  }
  if (typeof value === 'string') return JSON.stringify(value);
  return Array.isArray(value) ? 'an array' : `a value of type ${typeof value}`;
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
  return bad < 0 ? null : `byte ${bad} is ${describe(bytes[bad])}, not an integer from 0 to 255`;
}

// The host writes "NULL" for a string the device does not have.
const absentAsNull = (text) => (text === 'NULL' ? null : text);
const named = (device) => (device !== null && typeof device === 'object' ? {
  ...device,
  manufacturerName: absentAsNull(device.manufacturerName),
  productName: absentAsNull(device.productName),
} : device);

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

export function connectHost({
  name = 'bridge_host', port, probeAfterMs = PROBE_AFTER_MS, lookEveryMs = LOOK_EVERY_MS,
} = {}) {
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
  let lookTimer = null;
  // Whether onDeviceArrived was told of the device now listed; a device
  // unlisted, or lost while open, is told again when it is listed anew.
  let arrivalTold = false;
  const listeners = { report: new Set(), deviceArrived: new Set(), deviceGone: new Set(), close: new Set() };

  // Listeners run on their own, so that one that throws does not stop the
  // client in the middle of settling its requests.
  const emit = (set, value) => set.forEach((listener) => queueMicrotask(() => listener(value)));
  const subscribe = (set) => (listener) => {
    set.add(listener);
    watchPresence();
    return () => {
      set.delete(listener);
      watchPresence();
    };
  };

  function settle(entry, error, value) {
    if (entry.settled) return;
    entry.settled = true;
    if (error) entry.reject(error);
    else entry.resolve(value);
  }

  function send(call, message, look = false) {
    if (ended) return Promise.reject(ended);
    return new Promise((resolve, reject) => {
      try {
        link.postMessage(message);
      } catch (error) {
        reject(new BridgeHostError('host-ended', String(error?.message ?? error)));
        return;
      }
      waiting.push({ call, resolve, reject, settled: false, look });
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

  // Looks while anyone listens for presence. A request waiting tells as much
  // as a look would, so a look goes only into silence, and never two at once.
  function watchPresence() {
    const wanted = !ended && listeners.deviceArrived.size + listeners.deviceGone.size > 0;
    if (wanted && lookTimer === null) {
      lookTimer = setInterval(() => {
        if (waiting.length > 0) return;
        if (deviceOpen) send('write', { call: 'write' }, true).catch(() => {});
        askForDevices();
      }, lookEveryMs);
    } else if (!wanted && lookTimer !== null) {
      clearInterval(lookTimer);
      lookTimer = null;
    }
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
      arrivalTold = false;
      emit(listeners.deviceGone, undefined);
    }
  }

  function answer(entry, response) {
    if (entry.call === 'getDevices') {
      const devices = Array.isArray(response) ? response.map(named) : [];   // the host's null: no HID device at all
      const listed = devices.some(served);
      if ((deviceOpen || failedWrites.length > 0) && !listed) deviceWent([], true);
      for (const failed of failedWrites) settle(failed.entry, failed.error);
      failedWrites = [];
      if (!listed) {
        arrivalTold = false;
      } else if (!deviceOpen && !arrivalTold) {
        arrivalTold = true;
        emit(listeners.deviceArrived, undefined);
      }
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
    } else if (response?.success || entry.look) {
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

  // A write held after "Unable to write" waits for a "getDevices" reply that
  // will not come now: it ends as everything else does.
  function end(error) {
    ended = error;
    deviceOpen = false;
    clearTimeout(probeTimer);
    watchPresence();
    for (const entry of waiting) settle(entry, error);
    for (const failed of failedWrites) settle(failed.entry, error);
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
      let reason;
      let data;
      try {
        reason = refusal(bytes);
        data = Array.from(bytes);
      } catch {
        reason = 'the bytes could not be read';   // such as an element whose getter throws
      }
      if (reason) return Promise.reject(new BridgeHostError('invalid-data', reason));
      if (!deviceOpen) return Promise.reject(new BridgeHostError('no-device', 'no device is open'));
      return send('write', { call: 'write', data });
    },
    onReport: subscribe(listeners.report),
    onDeviceArrived: subscribe(listeners.deviceArrived),
    onDeviceGone: subscribe(listeners.deviceGone),
    onClose: subscribe(listeners.close),
    close() {
      if (ended) return;
      link.disconnect();
      end(new BridgeHostError('closed', 'the connection was closed'));
    },
  };
}
