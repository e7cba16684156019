// Consent per origin in the Firefox extension: the extension's own window
// asks, the answer is remembered, the options page lists and revokes it.
// Firefox is driven over WebDriver BiDi (its own, no browser download); the
// page's two origins are http://127.0.0.1:PORT and http://localhost:PORT.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { EXT_BASE, FirefoxRun, waitFor } from './firefox_harness.mjs';

const PRESET = 'https://preset.example';

const PAGE = `<!doctype html><meta charset="utf-8"><title>kelo-ca firefox consent</title>
<script>window.marked = document.documentElement.getAttribute('data-kelo-ca-extension');</script>
<script type="module">
import * as kelo from '/kelo-ca.js';
window.kelo = kelo;
window.ctls = [];
// Keeps the error's fields: an Error crosses into the test only as text.
window.run = async (fn) => {
  try { return { ok: await fn() }; }
  catch (e) { return { err: { name: e.name, message: e.message, code: e.code } }; }
};
</script>`;

let run, bidi, page;

async function openTab(url) {
  const { context } = await bidi.send('browsingContext.create', { type: 'tab' });
  await bidi.send('browsingContext.navigate', { context, url, wait: 'complete' });
  return context;
}

async function openPage(origin) {
  const context = await openTab(`${origin}/`);
  await waitFor(() => bidi.eval(context, 'window.kelo !== undefined'), 'the page API');
  return context;
}

// create() in the page; the control stays in window.ctls[index].
function create(context) {
  return bidi.eval(context, 'window.run(async () => window.ctls.push(await window.kelo.create()) - 1)');
}

function call(context, index, method, ...args) {
  return bidi.eval(context, `window.run(() => window.ctls[${index}][${JSON.stringify(method)}]` +
    `(...${JSON.stringify(args)}))`);
}

async function consentWindows() {
  return (await bidi.contexts()).filter((c) => c.url.startsWith(`${EXT_BASE}/consent.html`));
}

// Answers the consent window that create() opens; returns its question.
// BiDi may not open the extension's pages itself, so an open consent window
// can open the options page on the way (it stays open in its tab).
async function answerConsent(button, { openOptions = false } = {}) {
  const { context } = await waitFor(async () => (await consentWindows())[0], 'the consent window');
  await waitFor(() => bidi.eval(context, `document.readyState === 'complete'`), 'the consent page');
  if (openOptions) await bidi.eval(context, 'browser.runtime.openOptionsPage()');
  const question = await bidi.eval(context, `document.getElementById('question').textContent`);
  await bidi.eval(context, `document.getElementById(${JSON.stringify(button)}).click()`);
  await waitFor(async () => (await consentWindows()).length === 0, 'the consent window to close');
  return question.replace(/\s+/g, ' ').trim();
}

before(async () => {
  run = await FirefoxRun.start({ html: PAGE, managed: () => [PRESET], bidi: true });
  bidi = run.bidi;
});

after(async () => {
  if (run) await run.close();
});

test('create() asks in the extension window; Allow gives a working control', async () => {
  page = await openPage(run.base);
  // The extension marks the page before the page's first script runs.
  assert.equal(await bidi.eval(page, 'window.marked'), '1');
  const created = create(page);
  assert.equal(await answerConsent('allow', { openOptions: true }),
    `Allow ${run.base} to use your security token and certificates?`);
  assert.deepEqual(await created, { ok: 0 });
  const sid = (await call(page, 0, 'ConnectToken')).ok;
  assert.ok(Number.isInteger(sid) && sid !== 0, `session ${sid}`);
});

test('the answer is remembered: a second create() opens no window', async () => {
  const c = await create(page);
  assert.deepEqual(c, { ok: 1 });
  assert.equal((await consentWindows()).length, 0);
  assert.ok(Number.isInteger((await call(page, 1, 'ConnectToken')).ok));
});

test('Deny rejects create() and is remembered for that origin', async () => {
  const denied = await openPage(run.otherBase);
  const created = create(denied);
  assert.match(await answerConsent('deny'), new RegExp(`^Allow ${run.otherBase.replace(/[.]/g, '\\.')} to use`));
  const r = await created;
  assert.equal(r.err?.code, -32001, JSON.stringify(r));
  assert.match(r.err.message, /not allowed/);
  const hosts = run.hostInputs().length;
  assert.equal((await create(denied)).err?.code, -32001);
  assert.equal((await consentWindows()).length, 0);
  assert.equal(run.hostInputs().length, hosts, 'no host is started for a denied origin');
});

test('the options page lists the answers and the preset; Revoke ends open controls and asks again', async () => {
  // Opened in the first test, it has followed every answer since.
  const { context: options } = await waitFor(async () =>
    (await bidi.contexts()).find((c) => c.url === `${EXT_BASE}/options.html`), 'the options page');
  const column = (table) => bidi.eval(options,
    `[...document.querySelectorAll('#${table} td:first-child')].map((td) => td.textContent)`);
  await waitFor(async () => (await column('allowed')).length > 0, 'the options page');
  assert.deepEqual(await column('allowed'), [run.base]);
  assert.deepEqual(await column('denied'), [run.otherBase]);
  assert.deepEqual(await column('managed'), [PRESET]);

  const open = (await create(page)).ok;
  assert.ok(Number.isInteger((await call(page, open, 'ConnectToken')).ok));
  await bidi.eval(options, `document.querySelector('#allowed button[data-origin="${run.base}"]').click()`);
  await waitFor(() => bidi.eval(options, `!document.getElementById('allowed-none').hidden`), 'the list to empty');
  await waitFor(async () => (await call(page, open, 'ConnectToken')).err?.code === -32001,
    'revocation of the open control');
  const created = create(page);
  await answerConsent('allow');
  assert.ok(Number.isInteger((await created).ok));
});
