// The demo page, served as scripts/demo.sh --browser serves it, in headless
// Chromium with the extension, on a private SoftHSM2 token. BUILD_DIR names
// the build directory.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { startDemoServer } from '../../extension/demo/serve.mjs';
import { alive, answerConsent as answer, readPids, repo, startBrowser } from './helpers/chromium.mjs';

const build = path.resolve(process.env.BUILD_DIR || path.join(repo, 'build'));
const SIG_HEX = /^[0-9A-F]{512}$/; // RSA-2048, upper-case hex

let browser, demoServer, demoBase, token, tokenCert;
const answerConsent = (button, shot) => answer(browser.context, browser.extId, button, shot);

before(async () => {
  browser = await startBrowser(build, 'kelo-demo');
  token = browser.token;
  tokenCert = new crypto.X509Certificate(fs.readFileSync(path.join(token.KELO_TOKEN_DIR, 'cert1.pem')));
  demoServer = await startDemoServer(0);
  demoBase = `http://127.0.0.1:${demoServer.address().port}`;
});

after(async () => {
  if (demoServer) demoServer.close();
  if (browser) await browser.dispose();
});

// The person's path: the demo page, served as scripts/demo.sh --browser serves
// it, clicked through step by step.
test('the demo page signs with the token, says what failed, and clears what no longer holds', async () => {
  const demo = await browser.context.newPage();
  await demo.goto(`${demoBase}/`);
  await demo.fill('#pin', token.KELO_USER_PIN);
  const text = 'signed on the demo page';
  await demo.fill('#data', text);

  const out = (name) => demo.textContent(`#out-${name}`);
  const step = async (name) => {
    await demo.click(`#step-${name}`);
    await demo.waitForSelector(`#out-${name}[data-state="ok"], #out-${name}[data-state="error"]`);
    return { state: await demo.getAttribute(`#out-${name}`, 'data-state'), text: await out(name) };
  };
  // Only what can work now is enabled.
  assert.deepEqual(await demo.$$eval('button:not([disabled])', (bs) => bs.map((b) => b.id)), ['step-create']);
  // Step 1 asks for consent (the demo's origin is a new one) and says so while it waits.
  await demo.click('#step-create');
  assert.match(await out('create'), /Waiting for your answer in the access window/);
  await answerConsent('allow');
  await demo.waitForSelector('#out-create[data-state="ok"]');

  // Finding the key before logging in fails on the page, in words, as it does on the token.
  assert.equal((await step('connect')).state, 'ok');
  assert.match(await demo.textContent('#status'), /^Connected to the token with serial \S+ · not logged in$/);
  const early = await step('key');
  assert.deepEqual(early, { state: 'error', text: '✗ Log in first: the token shows its private key only after login. (1011)' });
  for (const name of ['login', 'key', 'sign', 'cert', 'verify']) {
    const r = await step(name);
    assert.equal(r.state, 'ok', `${name}: ${r.text}`);
  }
  assert.match(await demo.textContent('#status'), / · logged in · key ready$/);
  const sig = (await demo.textContent('#signature')).trim();
  const pem = await demo.textContent('#certificate');
  assert.match(sig, SIG_HEX);
  assert.match(await demo.textContent('#signature-label'), /SHA-256, 256 bytes/);
  assert.ok(new crypto.X509Certificate(pem).raw.equals(tokenCert.raw), 'the page shows the token\'s certificate');
  assert.equal(await demo.textContent('#cert-subject'), tokenCert.subject.split('\n').join(', '));
  assert.ok(crypto.verify('sha256', Buffer.from(text), pem, Buffer.from(sig, 'hex')), 'what the page shows verifies');
  await demo.click('#row-sign summary'); // the developer column, open on one row
  assert.match(await demo.textContent('#api-sign'), /^Sign\(-?\d+, \d+, 256, "[0-9A-F]+"\) → "[0-9A-F]+…$/m);
  await demo.screenshot({ path: '/tmp/kelo-demo.png', fullPage: true });

  // The page's own check is a real one: other text does not verify.
  await demo.fill('#data', `${text}!`);
  const tampered = await step('verify');
  assert.equal(tampered.state, 'error');
  assert.match(tampered.text, /NOT verify/);

  // Ending the session clears what was built on it; only connecting is left to do.
  for (const name of ['logout', 'disconnect']) assert.equal((await step(name)).state, 'ok', name);
  for (const name of ['connect', 'login', 'key', 'sign', 'cert', 'verify', 'logout']) {
    assert.equal(await out(name), '', `${name} after disconnect`);
  }
  assert.equal((await demo.textContent('#signature')).trim(), '');
  assert.deepEqual(await demo.$$eval('button:not([disabled])', (bs) => bs.map((b) => b.id)),
    ['step-create', 'step-connect']);

  // A wrong PIN is said in words, with what the token reports where it does.
  assert.equal((await step('connect')).state, 'ok');
  await demo.fill('#pin', `${token.KELO_USER_PIN}9`);
  const wrong = await step('login');
  assert.equal(wrong.state, 'error');
  assert.match(wrong.text, /^✗ Wrong PIN\.( The token reports: [^.]+\.)? \(4001\)$/);
  await demo.screenshot({ path: '/tmp/kelo-demo-wrong-pin.png', fullPage: true });

  // Step 1 again: a new control, so nothing of the old one's results remains.
  await demo.fill('#pin', token.KELO_USER_PIN);
  assert.equal((await step('login')).state, 'ok');
  assert.equal((await step('create')).state, 'ok');
  for (const name of ['connect', 'login']) assert.equal(await out(name), '', `${name} after step 1 again`);
  assert.match(await demo.textContent('#status'), /no token connected/);

  // The host going away ends the control: the page says so and offers only step 1.
  assert.equal((await step('connect')).state, 'ok');
  for (const pid of readPids(browser.pidFile)) if (alive(pid)) process.kill(pid, 'SIGKILL');
  const gone = await step('login');
  assert.equal(gone.state, 'error');
  assert.match(gone.text, /\(-32000\)$/);
  assert.match(await out('create'), /ended; run step 1 again/);
  assert.equal(await out('connect'), '');
  assert.deepEqual(await demo.$$eval('button:not([disabled])', (bs) => bs.map((b) => b.id)), ['step-create']);
  await demo.close();
});

test('without the extension the demo page says so at once and links to the install steps', async () => {
  const demo = await browser.context.newPage();
  await demo.goto(`${demoBase}/`);
  // As on a browser without the extension: its content script's mark is missing.
  await demo.evaluate(() => document.documentElement.removeAttribute('data-kelo-ca-extension'));
  await demo.click('#step-create');
  await demo.waitForSelector('#out-create[data-state="error"]');
  assert.match(await demo.textContent('#out-create'), /^✗ The Kelo CA extension is not installed.*\(-32003\) How to install/);
  const href = await demo.getAttribute('#out-create a', 'href');
  assert.equal(href, `${demoBase}/README.md`);
  assert.match(await (await fetch(href)).text(), /### In a browser/);
  await demo.close();
});

test('the demo server answers a malformed request target with 400 and keeps serving', async () => {
  const first = (target) => new Promise((resolve, reject) => {
    const sock = net.connect(demoServer.address().port, '127.0.0.1', () =>
      sock.write(`GET ${target} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n`));
    let got = '';
    sock.on('data', (b) => { got += b; });
    sock.on('end', () => resolve(got.split('\r\n')[0]));
    sock.on('error', reject);
  });
  for (const target of ['%zz', '//[', 'http://[::1/', '*']) {
    assert.equal(await first(target), 'HTTP/1.1 400 Bad Request', target);
  }
  assert.equal(await first('/kelo-ca.js'), 'HTTP/1.1 200 OK');
});
