// The toolbar button opens the example's page, which talks to the host for as
// long as it is open. Chromium runs this as the service worker, Firefox as
// the background script: one manifest names both.
chrome.action.onClicked.addListener(() => {
  chrome.tabs.create({ url: chrome.runtime.getURL('page.html') });
});
