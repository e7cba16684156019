// The extension, the page API and the native host together in headless
// Chromium, over the mock token module. BUILD_DIR names the build directory.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, '../..');
const extDir = path.join(repo, 'extension/chromium');
const apiDir = path.join(repo, 'extension/page-api');
const build = path.resolve(process.env.BUILD_DIR || path.join(repo, 'build'));
const kelo = path.join(build, 'bin/kelo-ca');

let tmp, pidFile, server, context, base, otherBase, extId;

function pagesHtml() {
  return `<!doctype html><meta charset="utf-8"><title>kelo-ca test</title>
<script type="module">
import * as kelo from '/kelo-ca.js';
window.kelo = kelo;
window.ctls = [];
// Keeps the error's fields: an Error crosses into the test only as text.
window.run = async (fn) => {
  try { return { ok: await fn() }; }
  catch (e) { return { err: { name: e.name, message: e.message, code: e.code, hresult: e.hresult,
                              isError: e instanceof Error } }; }
};
</script>`;
}

function startServer() {
  return new Promise((resolve) => {
    const s = http.createServer((req, res) => {
      if (req.url === '/kelo-ca.js') {
        res.writeHead(200, { 'content-type': 'text/javascript' });
        res.end(fs.readFileSync(path.join(apiDir, 'kelo-ca.js')));
      } else {
        res.writeHead(200, { 'content-type': 'text/html' });
        res.end(pagesHtml());
      }
    });
    s.listen(0, '127.0.0.1', () => resolve(s));
  });
}

function hostPids() {
  if (!fs.existsSync(pidFile)) return [];
  return fs.readFileSync(pidFile, 'utf8').split('\n').filter(Boolean).map(Number);
}

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

async function waitFor(cond, what, ms = 10000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await cond()) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`timed out waiting for ${what}`);
}

function consentPages() {
  return context.pages().filter((p) => p.url().startsWith(`chrome-extension://${extId}/consent.html`));
}

// Answers the consent window that create() opens.
async function answerConsent(button, shot) {
  await waitFor(() => consentPages().length > 0, 'the consent window');
  const page = consentPages()[0];
  await page.waitForSelector(`#${button}`);
  if (shot) await page.screenshot({ path: shot });
  const text = await page.textContent('#question');
  await page.click(`#${button}`);
  return text;
}

async function openPage(origin) {
  const page = await context.newPage();
  await page.goto(`${origin}/`);
  await page.waitForFunction(() => window.kelo !== undefined);
  return page;
}

// create() in the page; the control stays in window.ctls[index].
function create(page) {
  return page.evaluate(() => window.run(async () => {
    const c = await window.kelo.create();
    return window.ctls.push(c) - 1;
  }));
}

function call(page, index, method, ...args) {
  return page.evaluate(([i, m, a]) => window.run(() => window.ctls[i][m](...a)), [index, method, args]);
}

before(async () => {
  assert.ok(fs.existsSync(kelo), `${kelo} is missing (build kelo-ca and mockp11_zir4 first)`);
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'kelo-browser-'));
  pidFile = path.join(tmp, 'host.pids');
  const profile = path.join(tmp, 'profile');

  // The manifest exactly as "kelo-ca register" writes it, pointed at a wrapper
  // that gives the host the mock module and records its process id.
  const home = path.join(tmp, 'home');
  execFileSync(kelo, ['register', '--browser', 'chromium'], { env: { ...process.env, HOME: home } });
  const written = path.join(home, '.config/chromium/NativeMessagingHosts/org.kelo.ca_token.json');
  const manifest = JSON.parse(fs.readFileSync(written, 'utf8'));
  const wrapper = path.join(tmp, 'host.sh');
  fs.writeFileSync(wrapper, `#!/bin/sh
echo $$ >> '${pidFile}'
export LD_LIBRARY_PATH='${build}/bin/mock'
export MOCKP11_TOKENS_KELO_ZIR4=SER1
exec '${kelo}' "$@"
`, { mode: 0o755 });
  manifest.path = wrapper;
  fs.mkdirSync(path.join(profile, 'NativeMessagingHosts'), { recursive: true });
  fs.writeFileSync(path.join(profile, 'NativeMessagingHosts/org.kelo.ca_token.json'), JSON.stringify(manifest));
  extId = new URL(manifest.allowed_origins[0]).host;

  server = await startServer();
  const port = server.address().port;
  base = `http://127.0.0.1:${port}`;
  otherBase = `http://localhost:${port}`; // another origin, same server

  context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: false, // --headless=new below: the old headless mode has no extensions
    ignoreDefaultArgs: ['--disable-extensions'],
    args: [
      '--headless=new', '--no-sandbox', `--load-extension=${extDir}`,
      `--disable-extensions-except=${extDir}`, '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  // The id in the host manifest must be the one Chromium gives the extension.
  let worker = context.serviceWorkers()[0];
  if (!worker) worker = await context.waitForEvent('serviceworker');
  assert.equal(new URL(worker.url()).host, extId);
});

after(async () => {
  if (context) await context.close();
  if (server) server.close();
  for (const pid of hostPids()) if (alive(pid)) process.kill(pid, 'SIGKILL');
  if (tmp && !process.env.KEEP_TMP) fs.rmSync(tmp, { recursive: true, force: true });
});

let page; // on the allowed origin, shared by the tests below in order

test('first create() asks; Allow gives a control that signs with the token', async () => {
  page = await openPage(base);
  const created = create(page);
  const question = await answerConsent('allow', path.join(os.tmpdir(), 'kelo-consent.png'));
  assert.equal(question.replace(/\s+/g, ' ').trim(),
    `Allow ${base} to use your security token and certificates?`);
  const c = await created;
  assert.deepEqual(c, { ok: 0 });

  const sid = (await call(page, 0, 'ConnectToken')).ok;
  assert.ok(Number.isInteger(sid) && sid !== 0, `session id ${sid}`);
  // A wrong PIN is a result code, not a rejection.
  const wrong = await call(page, 0, 'Login', sid, '0000');
  assert.ok(Number.isInteger(wrong.ok) && wrong.ok !== 0, JSON.stringify(wrong));
  assert.deepEqual(await call(page, 0, 'Login', sid, '1234'), { ok: 0 });
  const key = (await call(page, 0, 'EnumPrivateKey', sid, 0)).ok;
  assert.ok(Number.isInteger(key) && key !== 0, `key handle ${key}`);
  const sig = (await call(page, 0, 'Sign', sid, key, 0, '616263')).ok;
  assert.match(sig, /^[0-9A-Fa-f]{512}$/);
  // A different message gives a different signature: the text reached the token.
  const other = (await call(page, 0, 'Sign', sid, key, 0, '616264')).ok;
  assert.match(other, /^[0-9A-Fa-f]{512}$/);
  assert.notEqual(other, sig);
});

test('the answer is remembered: a second create() opens no window', async () => {
  const before = consentPages().length;
  const c = await create(page);
  assert.deepEqual(c, { ok: 1 });
  assert.equal(consentPages().length, before);
  assert.ok(Number.isInteger((await call(page, 1, 'ConnectToken')).ok));
});

test('two controls are isolated: a login in one does not sign in the other', async () => {
  // Control 0 is logged in (first test); control 1 has its own host process.
  const sid0 = (await call(page, 0, 'ConnectToken')).ok;
  await call(page, 0, 'Login', sid0, '1234');
  const key = (await call(page, 0, 'EnumPrivateKey', sid0, 0)).ok;
  assert.match((await call(page, 0, 'Sign', sid0, key, 0, '616263')).ok, /^[0-9A-Fa-f]{512}$/);
  const sid1 = (await call(page, 1, 'ConnectToken')).ok;
  assert.deepEqual(await call(page, 1, 'Sign', sid1, key, 0, '616263'), { ok: '' });
  assert.equal(new Set(hostPids()).size, 2, 'one host process per control');
});

test('automation errors reject with the JSON-RPC code and status', async () => {
  const sid = (await call(page, 0, 'ConnectToken')).ok;
  const cases = [
    { args: ['Login', 'x', '1234'], code: -32602, hresult: '0x80020005' }, // type mismatch
    { args: ['Login', sid], code: -32602, hresult: '0x8002000E' }, // too few
    { args: ['Login', sid, '1234', 7], code: -32602, hresult: '0x8002000E' }, // too many
    { args: ['EnumPrivateKey', sid, 2 ** 31], code: -32602, hresult: '0x8002000A' }, // overflow
  ];
  for (const c of cases) {
    const r = await call(page, 0, ...c.args);
    assert.ok(r.err, `${JSON.stringify(c.args)} should reject, got ${JSON.stringify(r)}`);
    assert.equal(r.err.isError, true);
    assert.equal(r.err.code, c.code, JSON.stringify(c.args));
    assert.equal(r.err.hresult?.toUpperCase(), c.hresult.toUpperCase(), JSON.stringify(c.args));
  }
  // The control survives its callers' mistakes.
  assert.ok(Number.isInteger((await call(page, 0, 'ConnectToken')).ok));
});

test('a killed host fails the pending call, ends the control, and create() works again', async () => {
  const c = (await create(page)).ok;
  const pids = hostPids();
  const pid = pids[pids.length - 1];
  // Stopped, the host cannot answer: the call is surely pending when it dies.
  process.kill(pid, 'SIGSTOP');
  const pending = call(page, c, 'ConnectToken');
  await new Promise((r) => setTimeout(r, 200));
  process.kill(pid, 'SIGKILL');
  const r = await pending;
  assert.equal(r.err?.code, -32000, JSON.stringify(r));
  assert.equal(r.err.hresult, '0x80010108');
  assert.equal(r.err.isError, true);
  // The control is gone for good.
  assert.equal((await call(page, c, 'ConnectToken')).err?.code, -32000);
  const again = (await create(page)).ok;
  assert.ok(Number.isInteger((await call(page, again, 'ConnectToken')).ok));
});

test('close() ends the host process and later calls reject', async () => {
  const c = (await create(page)).ok;
  const pid = hostPids().at(-1);
  assert.ok(alive(pid));
  await page.evaluate((i) => window.ctls[i].close(), c);
  await waitFor(() => !alive(pid), 'the host to exit after close()');
  assert.equal((await call(page, c, 'ConnectToken')).err?.code, -32000);
});

test('Deny rejects create(), and is remembered for that origin', async () => {
  const denied = await openPage(otherBase);
  const created = create(denied);
  const question = await answerConsent('deny');
  assert.match(question, new RegExp(`Allow ${otherBase.replace(/[.]/g, '\\.')} to use`));
  const r = await created;
  assert.equal(r.err?.code, -32001, JSON.stringify(r));
  assert.equal(r.err.isError, true);
  assert.match(r.err.message, /not allowed/);
  const hosts = hostPids().length;
  const again = await create(denied);
  assert.equal(again.err?.code, -32001);
  assert.equal(consentPages().length, 0);
  assert.equal(hostPids().length, hosts, 'no host is started for a denied origin');
});

test('the options page lists the origins and Revoke asks again', async () => {
  const options = await context.newPage();
  await options.goto(`chrome-extension://${extId}/options.html`);
  await options.waitForSelector(`#allowed button[data-origin="${base}"]`);
  assert.deepEqual(await options.$$eval('#allowed td:first-child', (tds) => tds.map((t) => t.textContent)), [base]);
  assert.deepEqual(await options.$$eval('#denied td:first-child', (tds) => tds.map((t) => t.textContent)), [otherBase]);
  // Revoking also takes away the controls that origin still has open.
  const open = (await create(page)).ok;
  await options.click(`#allowed button[data-origin="${base}"]`);
  await options.waitForSelector('#allowed-none:not([hidden])');
  await waitFor(async () => (await call(page, open, 'ConnectToken')).err?.code === -32001, 'revocation of the open control');
  const created = create(page);
  await answerConsent('allow');
  assert.ok(Number.isInteger((await created).ok));
});
