// @ts-check
// The window that asks the person: an origin's access, or one operation.
// It answers the background with a ConsentMessage (constants.js). Deny has
// the focus, Enter answers the focused button, Escape closes the window,
// which the background takes as closing it: no answer.
'use strict';

/** @typedef {import('./constants.js').ConsentMessage} ConsentMessage */
/** @typedef {import('./constants.js').KeepaliveMessage} KeepaliveMessage */

// Firefox's promise-based namespace where there is one, else Chromium's.
const api = globalThis.browser ?? globalThis.chrome;

/**
 * An element of consent.html, which has them all.
 * @param {string} id
 */
function byId(id) {
  const element = document.getElementById(id);
  if (!element) throw new Error(`consent.html has no #${id}`);
  return element;
}

const params = new URLSearchParams(location.search);
const nonce = params.get('nonce') || '';
const origin = params.get('origin') || '(unknown)';
// Set: this window confirms one operation rather than the origin's access.
const op = params.has('op') ? globalThis.keloRules.confirmedOperation(params.get('op')) : null;
const allowButton = /** @type {HTMLButtonElement} */ (byId('allow'));
const denyButton = /** @type {HTMLButtonElement} */ (byId('deny'));

byId('name').textContent = api.runtime.getManifest().name;
// Shown as text only: the origin comes from the browser, but a page's name
// must never become markup here.
byId('origin').textContent = origin;
if (op) {
  const strong = document.createElement('strong');
  strong.textContent = origin;
  byId('title').textContent = op.title;
  byId('question').replaceChildren('Allow ', strong, ` to ${op.effect}?`);
  byId('permits').textContent = op.consequence;
  byId('note').textContent = `You are asked every time a site wants this (${op.name}), even a site you allowed. ` +
    'Deny leaves the token as it is.';
  allowButton.textContent = op.allow;
  allowButton.classList.replace('primary', 'danger');
  document.title = `${op.title} (${origin})`;
} else if (params.has('op')) {
  // An operation this page cannot name is never offered for approval.
  byId('title').textContent = 'Unknown request';
  byId('question').textContent = 'The extension cannot say what this request would do, so it cannot be allowed.';
  byId('permits').replaceChildren();
  byId('note').replaceChildren();
  allowButton.disabled = true;
} else {
  document.title = `Security token access (${origin})`;
}

/** @param {boolean} allow */
function answer(allow) {
  for (const b of document.querySelectorAll('button')) b.disabled = true;
  /** @type {ConsentMessage} */
  const msg = { type: 'consent', nonce, allow };
  api.runtime.sendMessage(msg).finally(() => window.close());
}

allowButton.addEventListener('click', () => answer(true));
denyButton.addEventListener('click', () => answer(false));
// Enter on a focused button is the browser's own click; Escape is closing.
document.addEventListener('keydown', (e) => {
  if (e.key === 'Escape') window.close();
});
// The safe answer has the focus.
denyButton.focus();
/** @type {KeepaliveMessage} */
const keepalive = { type: 'keepalive' };
setInterval(() => api.runtime.sendMessage(keepalive).catch(() => {}), 20000);

// The window opens at a guessed size (or, where the browser ignores that, at
// its default): make it WIDTH wide, then fit its height to what is shown.
// The frame (title bar, borders) is what the outer size has beyond the page.
const WIDTH = 480;

/** @param {number} ms */
const resized = (ms) => new Promise((resolve) => {
  window.addEventListener('resize', resolve, { once: true });
  setTimeout(resolve, ms);
});

async function fitWindow() {
  const w = await api.windows.getCurrent();
  if (w.id === undefined) return;
  const frameX = Math.max(0, window.outerWidth - window.innerWidth);
  if (Math.abs(window.innerWidth - WIDTH) > 2) {
    const done = resized(500);
    await api.windows.update(w.id, { width: WIDTH + frameX });
    await done;
  }
  const style = getComputedStyle(document.body);
  const wanted = Math.ceil(byId('content').getBoundingClientRect().height +
    parseFloat(style.marginTop) + parseFloat(style.marginBottom));
  const frameY = Math.max(0, window.outerHeight - window.innerHeight);
  if (Math.abs(wanted - window.innerHeight) > 2) await api.windows.update(w.id, { height: wanted + frameY });
}
window.addEventListener('load', () => fitWindow().catch(() => {}));
