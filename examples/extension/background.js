// The toolbar button opens the printing page in a tab: a tab stays open while a label
// prints and its job is followed, where a popup would close when it loses focus.
chrome.action.onClicked.addListener(() => {
  chrome.tabs.create({ url: chrome.runtime.getURL("print.html") });
});
