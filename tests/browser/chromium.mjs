// The client in Chromium: Debian's Chromium, driven by playwright-core, loads
// the test's copy of the example; its service worker reaches the hosts through
// the manifests that the setup command wrote to the profile's
// NativeMessagingHosts, and the example's page is used as a person would.
import assert from 'node:assert/strict';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { setup, testExtension, chromiumId, installHosts } from './common.mjs';

const CHROMIUM = '/usr/lib/chromium/chromium';

export async function start(scratch, hidsimDir, scripts = []) {
  const profile = path.join(scratch, 'profile');
  const extension = path.join(scratch, 'extension');
  const id = chromiumId(testExtension(extension, scripts));
  const install = (args, allowed = id) => setup(['install', '--dir', path.join(profile, 'NativeMessagingHosts'),
    '--extension', allowed, ...args]);
  const simLog = installHosts(scratch, install, 'abcdefghijklmnopabcdefghijklmnop');

  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    chromiumSandbox: false,   // we run as root
    env: { ...process.env, HIDSIM_DIR: hidsimDir },   // the browser hands it on to the host
    args: [
      `--disable-extensions-except=${extension}`, `--load-extension=${extension}`,
      '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync',
    ],
  });
  const worker = context.serviceWorkers()[0] ?? await context.waitForEvent('serviceworker');
  assert.equal(new URL(worker.url()).host, id);
  return {
    name: 'chromium',
    simLog,
    call: (fn, ...args) => worker.evaluate(([f, a]) => self.driver[f](...a), [fn, args]),
    // The example's page, connected to the host given.
    async page(host) {
      const page = await context.newPage();
      await page.goto(`chrome-extension://${id}/page.html?host=${host}`);
      return page;
    },
    extensionId: id,
    install,
    stop: () => context.close(),
  };
}
