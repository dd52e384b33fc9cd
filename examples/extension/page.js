// The example's page: one connection to the host for as long as the page is
// open. ?host=NAME connects to a host installed under another name.
import { connectHost, BridgeHostError } from './client/bridge-host-client.js';

const hostName = new URLSearchParams(location.search).get('host') ?? 'bridge_host';
const host = connectHost({ name: hostName });
const KEPT_REPORTS = 200;   // older reports leave the page, so that a chatty device does not fill it

/** @param {string} id */
const element = (id) => /** @type {HTMLElement} */ (document.getElementById(id));

/** @param {string} text @param {boolean} [problem] */
function say(text, problem = false) {
  element('status').textContent = text;
  element('status').className = problem ? 'problem' : '';
  element('install').hidden = true;
}

/** @param {ArrayLike<number>} bytes */
const hex = (bytes) => Array.from(bytes, (byte) => byte.toString(16).padStart(2, '0')).join(' ');

/** What a person can do about each failure. @param {unknown} error */
function explain(error) {
  if (!(error instanceof BridgeHostError)) {
    say(String(error), true);
    return;
  }
  switch (error.code) {
    case 'host-not-found':
    case 'host-forbidden':
      say(`The bridge host "${hostName}" is not installed for this extension. Install it with:`, true);
      element('install').textContent = `bridge-host-setup install --extension ${chrome.runtime.id}`;
      element('install').hidden = false;
      break;
    case 'device-gone':
      showPresence(false);
      say('The device went away. It is opened again once it is back.', true);
      break;
    case 'no-device':
      say('Open the device first.', true);
      break;
    case 'open-failed':
      say(`The device could not be opened (${error.message}). Is it plugged in? bridge-host-setup check says why not.`,
        true);
      break;
    case 'invalid-data':
      say(`Nothing was written: ${error.message}.`, true);
      break;
    default:
      say(`${error.message || 'The host ended.'} (${error.code})`, true);
  }
}

async function listDevices() {
  const devices = await host.getDevices();
  const rows = devices.map((device) => {
    const row = document.createElement('tr');
    const ids = [device.vendorId, device.productId].map((id) => Number(id).toString(16).padStart(4, '0'));
    if (ids.join(':') === '0acd:3820') row.className = 'served';
    for (const text of [device.manufacturerName, device.productName, ids.join(':')]) {
      row.appendChild(document.createElement('td')).textContent = text;
    }
    return row;
  });
  element('devices').querySelector('tbody')?.replaceChildren(...rows);
  element('devices').hidden = false;
  say(devices.length === 0 ? 'No HID device is attached.' : `${devices.length} HID devices.`);
}

/** @param {boolean} connected */
const showPresence = (connected) => { element('presence').textContent = connected ? 'connected' : 'not connected'; };

async function openDevice() {
  await host.open();
  showPresence(true);
  say('The device is open: type bytes to write, and its reports appear below.');
}

async function writeBytes() {
  const text = /** @type {HTMLInputElement} */ (element('bytes')).value.replace(/[\s,]/g, '');
  if (!/^([0-9a-f]{2})*$/i.test(text)) {
    say('Type the bytes as pairs of hex digits, such as 01 02 ff.', true);
    return;
  }
  const bytes = (text.match(/../g) ?? []).map((pair) => parseInt(pair, 16));
  await host.write(bytes);
  say(`Wrote ${bytes.length} bytes after report id 01.`);
}

/** @param {() => Promise<void>} action */
const onClick = (action) => () => action().catch(explain);
element('list').addEventListener('click', onClick(listDevices));
element('open').addEventListener('click', onClick(openDevice));
element('send').addEventListener('submit', (event) => {
  event.preventDefault();
  onClick(writeBytes)();
});

host.onReport((report) => {
  const reports = element('reports');
  reports.appendChild(document.createElement('li')).textContent = hex(report);
  while (reports.childElementCount > KEPT_REPORTS) reports.firstElementChild?.remove();
  reports.scrollTop = reports.scrollHeight;
});
// Told while the page is idle too: the device is opened whenever it comes, so
// that it stays open across replugs.
host.onDeviceArrived(onClick(openDevice));
host.onDeviceGone(() => {
  showPresence(false);
  say('The device went away. It is opened again once it is back.', true);
});
host.onClose(explain);

// The first request shows at once whether the host is there.
onClick(listDevices)();
