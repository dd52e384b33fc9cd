// The browser test drives this service worker: it talks to a native host the
// way an extension does and hands back, one at a time, what comes from it.
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
  port = chrome.runtime.connectNative(host);
  port.onMessage.addListener((message) => deliver({ message }));
  // The host ended or could not be started; lastError says which.
  port.onDisconnect.addListener(() => deliver({ disconnected: chrome.runtime.lastError?.message ?? '' }));
};

self.post = (message) => port.postMessage(message);

// The next message from the host, or the port's end.
self.next = () => (inbox.length > 0 ? inbox.shift() : new Promise((resolve) => { waiting = resolve; }));

self.disconnect = () => port.disconnect();

// One request through a host started for it alone.
self.sendOnce = (host, message) => chrome.runtime.sendNativeMessage(host, message);
