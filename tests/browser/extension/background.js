// The browser tests drive this background script (Chromium's service worker,
// Firefox's background page): it talks to a native host the way an extension
// does and hands back, one at a time, what comes from it. Firefox's promises
// are on `browser`; its `chrome` takes callbacks.
const api = globalThis.browser ?? chrome;
let port = null;
const inbox = [];
let waiting = null;

function deliver(item) {
  if (waiting) {
    const resolve = waiting;
    waiting = null;
    resolve(item);
  } else {
    inbox.push(item);
  }
}

self.connect = (host) => {
  inbox.length = 0;
  port = api.runtime.connectNative(host);
  port.onMessage.addListener((message) => deliver({ message }));
  // The host ended or could not be started; Chromium's lastError or
  // Firefox's port.error says which.
  port.onDisconnect.addListener((ended) => deliver({
    disconnected: ended.error?.message ?? api.runtime.lastError?.message ?? '',
  }));
};

self.post = (message) => port.postMessage(message);

// The next message from the host, or the port's end.
self.next = () => (inbox.length > 0 ? inbox.shift() : new Promise((resolve) => { waiting = resolve; }));

self.disconnect = () => port.disconnect();

// One request through a host started for it alone.
self.sendOnce = (host, message) => api.runtime.sendNativeMessage(host, message);
