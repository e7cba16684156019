'use strict';

// Firefox's promise-based namespace where there is one, else Chromium's.
const api = globalThis.browser ?? globalThis.chrome;

const params = new URLSearchParams(location.search);
const nonce = params.get('nonce') || '';
const origin = params.get('origin') || '(unknown)';
// Set: this window confirms one operation rather than the origin's access.
const op = params.has('op') ? globalThis.keloRules.confirmedOperation(params.get('op')) : null;

// Shown as text only: the origin comes from the browser, but a page's name
// must never become markup here.
document.getElementById('origin').textContent = origin;
if (op) {
  const strong = document.createElement('strong');
  strong.textContent = origin;
  document.getElementById('question').replaceChildren(
    'Allow ', strong, ` to ${op.effect}?`);
  document.getElementById('detail').textContent =
    `The page asks for ${op.name}. You are asked every time; Deny leaves the token as it is.`;
  document.getElementById('allow').textContent = 'Allow once';
  document.title = `${op.name} on the security token: ${origin}`;
} else if (params.has('op')) {
  // An operation this page cannot name is never offered for approval.
  document.getElementById('question').textContent = 'Unknown request.';
  document.getElementById('allow').disabled = true;
} else {
  document.title = `Security token access: ${origin}`;
}

function answer(allow) {
  for (const b of document.querySelectorAll('button')) b.disabled = true;
  api.runtime.sendMessage({ type: 'consent', nonce, allow }).finally(() => window.close());
}

document.getElementById('allow').addEventListener('click', () => answer(true));
document.getElementById('deny').addEventListener('click', () => answer(false));
setInterval(() => api.runtime.sendMessage({ type: 'keepalive' }).catch(() => {}), 20000);
