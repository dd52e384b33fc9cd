// The Firefox test drives the add-on through this port: each command names a
// function of the driver with its arguments, and its result goes back with
// the command's number.
const control = chrome.runtime.connectNative('bridge_test_control');
control.onMessage.addListener(async ({ id, fn, args }) => {
  try {
    control.postMessage({ id, result: (await self.driver[fn](...args)) ?? null });
  } catch (error) {
    control.postMessage({ id, error: String(error) });
  }
});
