// Firefox's own port goes to connectHost without a cast (alone: its typings and Chromium's both declare `browser`).
import { connectHost } from '../../client/bridge-host-client.js';
declare const port: browser.runtime.Port;
connectHost({ port });
