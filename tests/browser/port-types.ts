// Chromium's own port goes to connectHost without a cast (Firefox's: in
// port-types-firefox.ts, as the two typings cannot be loaded together), and
// a device's names may be absent.
import { connectHost, type Device } from '../../client/bridge-host-client.js';

declare const port: chrome.runtime.Port;
connectHost({ port });

declare const device: Device;
// @ts-expect-error: the host's "NULL" arrives as null
const productName: string = device.productName;
const manufacturerName: string | null = device.manufacturerName;
export { productName, manufacturerName };
