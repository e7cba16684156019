// @ts-check
// The window that asks the person: an origin's access, or one operation.
// It answers the background with a ConsentMessage (constants.js).
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

// Shown as text only: the origin comes from the browser, but a page's name
// must never become markup here.
byId('origin').textContent = origin;
if (op) {
  const strong = document.createElement('strong');
  strong.textContent = origin;
  byId('question').replaceChildren(
    'Allow ', strong, ` to ${op.effect}?`);
  byId('detail').textContent =
    `The page asks for ${op.name}. You are asked every time; Deny leaves the token as it is.`;
  byId('allow').textContent = 'Allow once';
  document.title = `${op.name} on the security token: ${origin}`;
} else if (params.has('op')) {
  // An operation this page cannot name is never offered for approval.
  byId('question').textContent = 'Unknown request.';
  const allow = /** @type {HTMLButtonElement} */ (byId('allow'));
  allow.disabled = true;
} else {
  document.title = `Security token access: ${origin}`;
}

/** @param {boolean} allow */
function answer(allow) {
  for (const b of document.querySelectorAll('button')) b.disabled = true;
  /** @type {ConsentMessage} */
  const msg = { type: 'consent', nonce, allow };
  api.runtime.sendMessage(msg).finally(() => window.close());
}

byId('allow').addEventListener('click', () => answer(true));
byId('deny').addEventListener('click', () => answer(false));
/** @type {KeepaliveMessage} */
const keepalive = { type: 'keepalive' };
setInterval(() => api.runtime.sendMessage(keepalive).catch(() => {}), 20000);
