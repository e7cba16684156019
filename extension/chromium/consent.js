'use strict';

// Firefox's promise-based namespace where there is one, else Chromium's.
const api = globalThis.browser ?? globalThis.chrome;

const params = new URLSearchParams(location.search);
const nonce = params.get('nonce') || '';
// Shown as text only: the origin comes from the browser, but a page's name
// must never become markup here.
document.getElementById('origin').textContent = params.get('origin') || '(unknown)';
document.title = `Security token access: ${params.get('origin') || ''}`;

function answer(allow) {
  for (const b of document.querySelectorAll('button')) b.disabled = true;
  api.runtime.sendMessage({ type: 'consent', nonce, allow }).finally(() => window.close());
}

document.getElementById('allow').addEventListener('click', () => answer(true));
document.getElementById('deny').addEventListener('click', () => answer(false));
setInterval(() => api.runtime.sendMessage({ type: 'keepalive' }).catch(() => {}), 20000);
