// Chromium's own port goes to connectHost without a cast, and a device's name may be absent.
import { connectHost, type Device } from '../../client/bridge-host-client.js';
declare const port: chrome.runtime.Port;
declare const device: Device;
connectHost({ port });
// @ts-expect-error: the host's "NULL" arrives as null
export const productName: string = device.productName;
