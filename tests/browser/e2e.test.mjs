// The extension, the page API and the native host together in headless
// Chromium, on a private SoftHSM2 token. BUILD_DIR names the build directory.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import {
  HOST_NAME, alive, answerConsent as answer, apiFile, consentPages as consentIn, readPids, repo, startBrowser, waitFor,
} from './helpers/chromium.mjs';

const build = path.resolve(process.env.BUILD_DIR || path.join(repo, 'build'));
const kelo = path.join(build, 'bin/kelo-ca');
const SIG_HEX = /^[0-9A-F]{512}$/; // RSA-2048, upper-case hex
// For tests whose fault is a call that never settles: it fails the test
// rather than stalling the run.
const SETTLES = { timeout: 60000 };

let browser, pidFile, server, context, base, otherBase, extId, token, tokenCert;

function pagesHtml() {
  return `<!doctype html><meta charset="utf-8"><title>kelo-ca test</title>
<script>window.marked = document.documentElement.getAttribute('data-kelo-ca-extension');</script>
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
// Calls straight to the content script on one control, as the page API sends
// them but with any method name: the first alone, the rest back to back once
// it answered ('$0' in their params is its result). Resolves with the
// messages the page got, in order; the control is closed again.
window.rawCalls = (calls) => new Promise((resolve) => {
  const { port1, port2 } = new MessageChannel();
  const got = [];
  const post = (i) => port1.postMessage({ type: 'call', request: { jsonrpc: '2.0', id: i + 1, method: calls[i][0],
    params: calls[i][1]?.map((v) => (v === '$0' ? got[0].response.result : v)) } });
  port1.onmessage = ({ data }) => {
    if (data.type === 'ack') return;
    if (data.type === 'ready') return post(0);
    got.push(data);
    if (data.type === 'response' && got.length === 1) for (let i = 1; i < calls.length; i++) post(i);
    if (data.type !== 'gone' && got.length < calls.length) return;
    port1.postMessage({ type: 'close' });
    port1.close();
    resolve(got);
  };
  window.postMessage({ type: 'kelo-ca/create' }, location.origin, [port2]);
});
window.rawCall = async (method, params) => {
  const [data] = await window.rawCalls([[method, params]]);
  return data.type === 'gone' ? { err: data.error } : data.response.error ? { err: data.response.error }
                                                                         : { ok: data.response.result };
};
</script>`;
}

function startServer() {
  return new Promise((resolve) => {
    const s = http.createServer((req, res) => {
      if (req.url === '/kelo-ca.js') {
        res.writeHead(200, { 'content-type': 'text/javascript' });
        res.end(fs.readFileSync(apiFile));
      } else {
        res.writeHead(200, { 'content-type': 'text/html' });
        res.end(pagesHtml());
      }
    });
    s.listen(0, '127.0.0.1', () => resolve(s));
  });
}

const hostPids = () => readPids(pidFile);
const consentPages = () => consentIn(context, extId);
const answerConsent = (button, shot) => answer(context, extId, button, shot);

async function openPage(origin) {
  const page = await context.newPage();
  await page.goto(`${origin}/`);
  await page.waitForFunction(() => window.kelo !== undefined);
  return page;
}

// create() in the page; the control stays in window.ctls[index]. options
// is create()'s argument as page code (an AbortSignal cannot cross).
function create(page, options = 'undefined') {
  return page.evaluate((o) => window.run(async () => {
    const c = await window.kelo.create(eval(o));
    return window.ctls.push(c) - 1;
  }), options);
}

function call(page, index, method, ...args) {
  return page.evaluate(([i, m, a]) => window.run(() => window.ctls[i][m](...a)), [index, method, args]);
}

// A call whose arguments are page code, for values that cannot cross.
function callWith(page, index, method, argsCode) {
  return page.evaluate(([i, m, a]) => window.run(() => window.ctls[i][m](...eval(a))), [index, method, argsCode]);
}

// The consent (or confirmation) window once drawn; the focus must start on
// Deny, the safe answer.
async function promptWindow(shot) {
  await waitFor(() => consentPages().length > 0, 'the consent window');
  const win = consentPages()[0];
  await win.waitForLoadState('load');
  assert.equal(await win.evaluate(() => document.activeElement?.id), 'deny');
  if (shot) {
    // Fitted to its content: nothing cut off, no empty half window.
    await waitFor(() => win.evaluate(() => {
      const used = document.getElementById('content').getBoundingClientRect().bottom;
      return innerWidth < 600 && used <= innerHeight && innerHeight - used < 60;
    }), 'the window to fit its content');
    await win.screenshot({ path: shot });
  }
  return win;
}

// Keys pressed in that window; the answer closes it, sometimes before the
// press has returned.
async function press(win, ...keys) {
  for (const key of keys) {
    try {
      await win.keyboard.press(key);
    } catch (e) {
      if (!win.isClosed()) throw e;
    }
  }
}

const text = (win, selector) => win.evaluate((s) => document.querySelector(s).textContent.replace(/\s+/g, ' ').trim(),
  selector);

// Closes the consent (or confirmation) window without an answer.
async function closeConsent() {
  await waitFor(() => consentPages().length > 0, 'the consent window');
  await consentPages()[0].close({ runBeforeUnload: false });
}

// The result of a call that must not reject.
async function ok(page, index, method, ...args) {
  const r = await call(page, index, method, ...args);
  assert.ok('ok' in r, `${method}(${JSON.stringify(args)}) rejected: ${JSON.stringify(r.err)}`);
  return r.ok;
}

// A token signature (hash type 0: SHA-1, PKCS#1 v1.5) checked against a certificate.
function signatureVerifies(certPem, dataHex, sigHex) {
  return crypto.verify('sha1', Buffer.from(dataHex, 'hex'), certPem, Buffer.from(sigHex, 'hex'));
}

function sameCertificate(pem, expected) {
  return new crypto.X509Certificate(pem).raw.equals(expected.raw);
}

before(async () => {
  browser = await startBrowser(build, 'kelo-e2e');
  ({ pidFile, token, context, extId } = browser);
  tokenCert = new crypto.X509Certificate(fs.readFileSync(path.join(token.KELO_TOKEN_DIR, 'cert1.pem')));
  server = await startServer();
  const port = server.address().port;
  base = `http://127.0.0.1:${port}`;
  otherBase = `http://localhost:${port}`; // another origin, same server
});

after(async () => {
  if (server) server.close();
  if (browser) await browser.dispose();
});

let page; // on the allowed origin, shared by the tests below in order

test('first create() asks; Allow gives a control that runs the typical request on the token', async () => {
  page = await openPage(base);
  // The extension marks the page before the page's first script runs.
  assert.equal(await page.evaluate(() => window.marked), '1');
  const created = create(page);
  const win = await promptWindow(path.join(os.tmpdir(), 'kelo-consent.png'));
  assert.equal(await text(win, '#question'), `Allow ${base} to use your security token and certificates?`);
  // Enter answers the focused button, here Allow.
  await press(win, 'Tab', 'Enter');
  assert.deepEqual(await created, { ok: 0 });

  const sid = await ok(page, 0, 'ConnectToken');
  assert.ok(Number.isInteger(sid) && sid !== 0, `session id ${sid}`);
  assert.equal(await ok(page, 0, 'RetrieveSerial', sid), token.KELO_TOKEN_SERIAL);
  // A wrong PIN is a result code, not a rejection.
  const wrong = await ok(page, 0, 'Login', sid, '0000');
  assert.ok(Number.isInteger(wrong) && wrong !== 0, `wrong PIN gave ${wrong}`);
  assert.equal(await ok(page, 0, 'Login', sid, token.KELO_USER_PIN), 0);
  const key = await ok(page, 0, 'EnumPrivateKey', sid, 0);
  const data = Buffer.from('signed in headless Chromium').toString('hex');
  const sig = await ok(page, 0, 'Sign', sid, key, 0, data);
  assert.match(sig, SIG_HEX);

  const cert = await ok(page, 0, 'EnumCertificate', sid, 0);
  const pem = await ok(page, 0, 'GetAttribute', sid, cert, 1);
  assert.ok(sameCertificate(pem, tokenCert), 'GetAttribute(cert, 1) is the certificate imported into the token');
  assert.ok(signatureVerifies(pem, data, sig), 'the signature verifies with the certificate');
  assert.ok(!signatureVerifies(pem, `${data}00`, sig), 'and only over the data that was signed');

  assert.equal(await ok(page, 0, 'Logout', sid), 0);
  // Logged out, the key is out of reach again.
  assert.equal(await ok(page, 0, 'Sign', sid, key, 0, data), '');
  assert.equal(await ok(page, 0, 'DisconnectToken', sid), 0);
  assert.notEqual(await ok(page, 0, 'Login', sid, token.KELO_USER_PIN), 0, 'the session is gone');
});

test('the answer is remembered: a second create() opens no window', async () => {
  const before = consentPages().length;
  const c = await create(page);
  assert.deepEqual(c, { ok: 1 });
  assert.equal(consentPages().length, before);
  assert.ok(Number.isInteger(await ok(page, 1, 'ConnectToken')));
});

test('a login in one page does not let another page sign', async () => {
  const sidA = await ok(page, 0, 'ConnectToken');
  assert.equal(await ok(page, 0, 'Login', sidA, token.KELO_USER_PIN), 0);
  const keyA = await ok(page, 0, 'EnumPrivateKey', sidA, 0);
  const data = '616263';
  assert.match(await ok(page, 0, 'Sign', sidA, keyA, 0, data), SIG_HEX);

  const hostsBefore = new Set(hostPids());
  const other = await openPage(base);
  assert.deepEqual(await create(other), { ok: 0 }); // remembered: no window
  const newHosts = hostPids().filter((p) => !hostsBefore.has(p));
  assert.equal(newHosts.length, 1, 'the other page has a host process of its own');

  const sidB = await ok(other, 0, 'ConnectToken');
  // The private key is hidden until this control logs in: position 0 is
  // answered exactly like a position past the last key.
  const notFound = await ok(other, 0, 'EnumPrivateKey', sidB, 99);
  assert.equal(await ok(other, 0, 'EnumPrivateKey', sidB, 0), notFound);
  assert.equal(await ok(other, 0, 'Sign', sidB, keyA, 0, data), '');
  // Its own login opens it: the failure above was the login state, nothing else.
  assert.equal(await ok(other, 0, 'Login', sidB, token.KELO_USER_PIN), 0);
  const keyB = await ok(other, 0, 'EnumPrivateKey', sidB, 0);
  const sigB = await ok(other, 0, 'Sign', sidB, keyB, 0, data);
  assert.ok(signatureVerifies(tokenCert.publicKey, data, sigB));
  // Logging out there leaves this page logged in.
  assert.equal(await ok(other, 0, 'Logout', sidB), 0);
  assert.match(await ok(page, 0, 'Sign', sidA, keyA, 0, data), SIG_HEX);
  assert.equal(await ok(page, 0, 'Logout', sidA), 0);
  await other.close();
});

test('a tab holds at most 4 open controls; closing one frees its place', async () => {
  const tab = await openPage(base);
  for (let i = 0; i < 4; i++) assert.deepEqual(await create(tab), { ok: i });
  const hosts = hostPids().length;
  const fifth = await create(tab);
  assert.equal(fifth.err?.code, -32004, JSON.stringify(fifth));
  assert.match(fifth.err.message, /already has 4 open controls/);
  assert.equal(hostPids().length, hosts, 'no host is started beyond the cap');
  await tab.evaluate(() => window.ctls[0].close());
  assert.deepEqual(await create(tab), { ok: 4 });
  await tab.close();
});

test('TokenInitialize, ChangeSOPin and UnblockUserPin ask every time; a refusal never reaches the host', async () => {
  const sid = await ok(page, 0, 'ConnectToken');
  const init = call(page, 0, 'TokenInitialize', sid, token.KELO_SO_PIN, '999999', 'wiped');
  await waitFor(() => consentPages().length === 1, 'the confirmation window');
  // One window per origin: another such call meanwhile is refused at once.
  const second = await call(page, 1, 'ChangeSOPin', sid, token.KELO_SO_PIN, token.KELO_SO_PIN);
  assert.equal(second.err?.code, -32001, JSON.stringify(second));
  assert.match(second.err.message, /already open/);
  assert.equal(consentPages().length, 1);
  const win = await promptWindow(path.join(os.tmpdir(), 'kelo-confirm.png'));
  assert.equal(await text(win, '#question'), `Allow ${base} to erase and initialize your security token?`);
  assert.match(await text(win, '#permits'), /erases every key and certificate on the token and sets new PINs/);
  await press(win, 'Enter'); // on Deny
  const denied = await init;
  assert.equal(denied.err?.code, -32001, JSON.stringify(denied));
  assert.match(denied.err.message, /TokenInitialize was not run/);
  // Untouched: the user PIN is still the old one.
  assert.equal(await ok(page, 0, 'Login', sid, token.KELO_USER_PIN), 0);
  assert.equal(await ok(page, 0, 'Logout', sid), 0);

  // The host matches names in any case, so must the question; closing the
  // window refuses too.
  const lower = page.evaluate(() => window.rawCall('tokeninitialize', [1, '0', '0', 'x']));
  await closeConsent();
  const closed = await lower;
  assert.equal(closed.err?.code, -32001, JSON.stringify(closed));
  assert.match(closed.err.message, /window was closed/);

  // Allowed, the call reaches the host (same SO PIN in and out).
  const change = call(page, 0, 'ChangeSOPin', sid, token.KELO_SO_PIN, token.KELO_SO_PIN);
  assert.match(await answerConsent('allow'), /change the security officer PIN/);
  const changed = await change;
  assert.ok(Number.isInteger(changed.ok), JSON.stringify(changed));
  assert.equal(await ok(page, 0, 'DisconnectToken', sid), 0);
});

test('automation errors reject with the JSON-RPC code and status', SETTLES, async () => {
  const sid = await ok(page, 0, 'ConnectToken');
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
  // Values JSON cannot carry are refused by the page API before anything is
  // sent; a request past the host's 1 MiB limit by the extension, which would
  // otherwise end the host.
  const refused = [
    ['[1n, 0]', -32602, '0x80020005'], ['[() => 1, 0]', -32602, '0x80020005'],
    ['[Symbol(), 0]', -32602, '0x80020005'], ['[undefined, 0]', -32602, '0x80020005'],
    ['[NaN, 0]', -32602, '0x80020005'],
    [`[${sid}, 0, 'A'.repeat(1048576)]`, -32600, undefined],
  ];
  for (const [args, code, hresult] of refused) {
    const r = await callWith(page, 0, args.includes('repeat') ? 'Hash' : 'Logout', args);
    assert.equal(r.err?.code, code, `${args}: ${JSON.stringify(r)}`);
    assert.equal(r.err.hresult, hresult, args);
  }
  // The control survives its callers' mistakes.
  assert.ok(Number.isInteger(await ok(page, 0, 'ConnectToken')));
});

test('a killed host fails the pending call, ends the control, and create() works again', async () => {
  const c = (await create(page)).ok;
  const pid = hostPids().at(-1);
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
  assert.ok(Number.isInteger(await ok(page, again, 'ConnectToken')));
});

test('close() ends the host process and later calls reject', async () => {
  const c = (await create(page)).ok;
  const pid = hostPids().at(-1);
  assert.ok(alive(pid));
  await page.evaluate((i) => window.ctls[i].close(), c);
  await waitFor(() => !alive(pid), 'the host to exit after close()');
  assert.equal((await call(page, c, 'ConnectToken')).err?.code, -32000);
});

test('a PIN failure comes with the token\'s flags, in order with the calls behind it', SETTLES, async (t) => {
  const got = await page.evaluate((pin) => window.rawCalls([
    ['ConnectToken', []], ['Login', ['$0', '0000']], ['RetrieveSerial', ['$0']], ['Login', ['$0', pin]],
  ]), token.KELO_USER_PIN);
  assert.deepEqual(got.map((m) => [m.type, m.response?.id]), [1, 2, 3, 4].map((id) => ['response', id]));
  assert.equal(got[1].response.result, 4001);
  assert.equal(got[2].response.result, token.KELO_TOKEN_SERIAL);
  assert.equal(got[3].response.result, 0);
  assert.ok(!('tokenFlags' in got[2]) && !('tokenFlags' in got[3]), 'only a PIN failure carries the flags');
  // Asked of the host itself: does it know the method yet?
  const asked = execFileSync(kelo, ['serve'], {
    input: '{"jsonrpc":"2.0","id":1,"method":"kelo.tokenFlags","params":{"SessionID":1}}\n',
  }).toString();
  if (JSON.parse(asked).error?.code === -32601) {
    assert.ok(!('tokenFlags' in got[1]));
    t.diagnostic('the host does not know kelo.tokenFlags: only the order was checked');
    return;
  }
  const CKF_TOKEN_INITIALIZED = 0x400;
  assert.ok(Number.isInteger(got[1].tokenFlags) && got[1].tokenFlags & CKF_TOKEN_INITIALIZED,
    `token flags ${got[1].tokenFlags}`);
});

test('without a registered host, create() says so and what to run', async (t) => {
  // The package registers the host for all users, where the profile cannot hide it.
  if (fs.existsSync(`/etc/chromium/native-messaging-hosts/${HOST_NAME}.json`)) {
    t.skip('the host is registered for all users on this machine');
    return;
  }
  const file = path.join(browser.profile, 'NativeMessagingHosts', `${HOST_NAME}.json`);
  const kept = fs.readFileSync(file);
  fs.rmSync(file);
  try {
    const r = await create(page);
    assert.equal(r.err?.code, -32002, JSON.stringify(r));
    assert.match(r.err.message, /not registered.*"kelo-ca register"/);
  } finally {
    fs.writeFileSync(file, kept);
  }
});

test('Escape in the consent window denies the page load; Deny rejects create(), and is remembered for that origin', SETTLES, async () => {
  const denied = await openPage(otherBase);
  const waiting = create(denied);
  await waitFor(() => consentPages().length === 1, 'the consent window');
  // A timeout gives up while the window is open; the window stays for the other create().
  const late = await create(denied, '({ timeout: 200 })');
  assert.equal(late.err?.code, -32005, JSON.stringify(late));
  assert.equal(consentPages().length, 1);
  await press(await promptWindow(), 'Escape'); // as closing the window
  const dismissed = await waiting;
  assert.equal(dismissed.err?.code, -32001, JSON.stringify(dismissed));
  assert.match(dismissed.err.message, /closed without an answer/);
  // Denied for this page load without a new window; a reload asks again.
  const again = await create(denied);
  assert.equal(again.err?.code, -32001, JSON.stringify(again));
  await new Promise((r) => setTimeout(r, 300));
  assert.equal(consentPages().length, 0);
  await denied.reload();
  await denied.waitForFunction(() => window.kelo !== undefined);

  const created = create(denied);
  const question = await answerConsent('deny');
  assert.match(question, new RegExp(`Allow ${otherBase.replace(/[.]/g, '\\.')} to use`));
  const r = await created;
  assert.equal(r.err?.code, -32001, JSON.stringify(r));
  assert.equal(r.err.isError, true);
  // It says how to undo it.
  assert.match(r.err.message, /not allowed.*toolbar.*"Ask again"/);
  const hosts = hostPids().length;
  assert.equal((await create(denied)).err?.code, -32001);
  assert.equal(consentPages().length, 0);
  assert.equal(hostPids().length, hosts, 'no host is started for a denied origin');
});

test('create() ends with an error when the extension cannot read its answers', SETTLES, async () => {
  const worker = context.serviceWorkers()[0];
  await worker.evaluate(() => {
    globalThis.keptGet = chrome.storage.local.get;
    chrome.storage.local.get = () => Promise.reject(new Error('storage is broken'));
  });
  try {
    const r = await create(page);
    assert.equal(r.err?.code, -32603, JSON.stringify(r));
    assert.match(r.err.message, /storage is broken/);
  } finally {
    await worker.evaluate(() => { chrome.storage.local.get = globalThis.keptGet; });
  }
});

test('create() on a page that is not a secure context rejects at once, saying so', async () => {
  const insecure = await context.newPage();
  await insecure.route('http://insecure.test/**', (route) => route.fulfill(route.request().url().endsWith('/kelo-ca.js')
    ? { contentType: 'text/javascript', body: fs.readFileSync(apiFile, 'utf8') }
    : { contentType: 'text/html', body: pagesHtml() }));
  await insecure.goto('http://insecure.test/');
  await insecure.waitForFunction(() => window.kelo !== undefined);
  const started = Date.now();
  const r = await insecure.evaluate(() => window.run(() => window.kelo.create()));
  assert.equal(r.err?.code, -32003, JSON.stringify(r));
  assert.match(r.err.message, /not a secure context/);
  assert.ok(Date.now() - started < 1500, 'without waiting for an extension');
  assert.equal(await insecure.evaluate(() => window.marked), null, 'no content script here');
  await insecure.close();
});

test('the options page lists the origins and Revoke asks again', async () => {
  const options = await context.newPage();
  await options.goto(`chrome-extension://${extId}/options.html`);
  await options.waitForSelector(`#allowed button[data-origin="${base}"]`);
  await options.setViewportSize({ width: 800, height: 640 });
  await options.screenshot({ path: path.join(os.tmpdir(), 'kelo-options.png') });
  assert.equal(await options.title(), await options.textContent('h1'));
  assert.deepEqual(await options.$$eval('#allowed td:first-child', (tds) => tds.map((t) => t.textContent)), [base]);
  assert.deepEqual(await options.$$eval('#denied td:first-child', (tds) => tds.map((t) => t.textContent)), [otherBase]);
  // Revoking also takes away the controls that origin still has open.
  const open = (await create(page)).ok;
  // Each button names its site to a screen reader.
  await options.getByRole('button', { name: `Revoke ${base}`, exact: true }).click();
  await options.waitForSelector('#allowed-none:not([hidden])');
  await waitFor(async () => (await call(page, open, 'ConnectToken')).err?.code === -32001, 'revocation of the open control');
  const created = create(page);
  await answerConsent('allow');
  assert.ok(Number.isInteger((await created).ok));
  await options.getByRole('button', { name: `Ask again ${otherBase}`, exact: true }).click();
  await options.waitForSelector('#denied-none:not([hidden])');
});
