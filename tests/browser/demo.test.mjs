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
import { answerConsent as answer, repo, startBrowser } from './helpers/chromium.mjs';

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
test('the demo page signs with the token and checks the signature', async () => {
  const demo = await browser.context.newPage();
  await demo.goto(`${demoBase}/`);
  await demo.fill('#pin', token.KELO_USER_PIN);
  const text = 'signed on the demo page';
  await demo.fill('#data', text);

  const step = async (name) => {
    await demo.click(`#step-${name}`);
    await demo.waitForSelector(`#out-${name}[data-state]`);
    return { state: await demo.getAttribute(`#out-${name}`, 'data-state'), text: await demo.textContent(`#out-${name}`) };
  };
  // Step 1 asks for consent: the demo's origin is a new one.
  await demo.click('#step-create');
  await answerConsent('allow');
  await demo.waitForSelector('#out-create[data-state]');
  assert.equal(await demo.getAttribute('#out-create', 'data-state'), 'ok', await demo.textContent('#out-create'));

  // Signing before logging in fails on the page, as it does on the token.
  assert.equal((await step('connect')).state, 'ok');
  assert.equal((await step('key')).state, 'error');
  for (const name of ['login', 'key', 'sign', 'cert', 'verify']) {
    const r = await step(name);
    assert.equal(r.state, 'ok', `${name}: ${r.text}`);
  }
  const sig = (await demo.textContent('#signature')).trim();
  const pem = await demo.textContent('#certificate');
  assert.match(sig, SIG_HEX);
  assert.ok(new crypto.X509Certificate(pem).raw.equals(tokenCert.raw), 'the page shows the token\'s certificate');
  assert.ok(crypto.verify('sha1', Buffer.from(text), pem, Buffer.from(sig, 'hex')), 'what the page shows verifies');

  // The page's own check is a real one: other text does not verify.
  await demo.fill('#data', `${text}!`);
  const tampered = await step('verify');
  assert.equal(tampered.state, 'error');
  assert.match(tampered.text, /NOT verify/);

  for (const name of ['logout', 'disconnect']) assert.equal((await step(name)).state, 'ok', name);
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
