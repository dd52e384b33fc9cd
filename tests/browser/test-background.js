// The background script of the test's copy of the example: the example's own,
// and the driver that the test calls.
import './background.js';
import { connectHost } from './client/bridge-host-client.js';
import { makeDriver } from './driver.js';

self.driver = makeDriver(connectHost);
