// The Firefox extension, the page API and the native host together in
// headless Firefox ESR, over the mock token module. BUILD_DIR names the build
// directory (with kelo-ca, the mock module and the assembled .xpi).
//
// Firefox is not driven from outside: the page runs its requests by itself
// and posts what it saw to the test's HTTP server. The origin is allowed by
// the administrator's preset (managed storage), so no consent window opens.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { FirefoxRun } from './firefox_harness.mjs';

const RESULT_WAIT_MS = 90000; // a fresh profile starts slowly on a busy machine

// The typical request through the page API, then a call that only the
// extension may make, sent the way a page could try it without the API.
const PAGE = `<!doctype html><meta charset="utf-8"><title>kelo-ca firefox smoke</title>
<script type="module">
import { create, ErrorCode } from '/kelo-ca.js';

const report = { steps: [] };

// The extension may still be starting when the page first loads.
async function createWhenReady() {
  for (let attempt = 0; ; attempt++) {
    try {
      return await create();
    } catch (e) {
      if (e.code !== ErrorCode.NO_EXTENSION || attempt >= 20) throw e;
    }
  }
}

// Straight to the content script, as the page API does, with any request.
function rawCall(request) {
  return new Promise((resolve) => {
    const channel = new MessageChannel();
    const port = channel.port1;
    const timer = setTimeout(() => resolve({ timeout: true }), 15000);
    port.onmessage = (e) => {
      const msg = e.data;
      if (msg.type === 'ready') port.postMessage({ type: 'call', request });
      if (msg.type === 'response' || msg.type === 'gone') {
        clearTimeout(timer);
        port.postMessage({ type: 'close' });
        port.close();
        resolve(msg);
      }
    };
    window.postMessage({ type: 'kelo-ca/create' }, location.origin, [channel.port2]);
  });
}

try {
  const ctl = await createWhenReady();
  const step = async (name, ...args) => {
    const value = await ctl[name](...args);
    report.steps.push([name, value]);
    return value;
  };
  const sid = await step('ConnectToken');
  await step('Login', sid, '1234');
  const key = await step('EnumPrivateKey', sid, 0);
  await step('Sign', sid, key, 0, '68656C6C6F');
  await step('Logout', sid);
  await step('DisconnectToken', sid);
  ctl.close();
  report.pageHello = await rawCall({ jsonrpc: '2.0', id: 1, method: 'kelo.hello',
                                     params: { origin: 'https://elsewhere.example' } });
} catch (e) {
  report.error = { message: String(e && e.message), code: e && e.code };
}
await fetch('/result', { method: 'POST', body: JSON.stringify(report) });
</script>`;

let run, report;

before(async () => {
  run = await FirefoxRun.start({ html: PAGE, managed: (base) => [base] });
  report = await run.pageReport(RESULT_WAIT_MS);
});

after(async () => {
  if (run) await run.close();
});

test('the typical request signs through the page API', () => {
  assert.equal(report.error, undefined, JSON.stringify(report.error));
  assert.deepEqual(report.steps.map(([name]) => name),
    ['ConnectToken', 'Login', 'EnumPrivateKey', 'Sign', 'Logout', 'DisconnectToken']);
  const steps = Object.fromEntries(report.steps);
  assert.ok(Number.isInteger(steps.ConnectToken) && steps.ConnectToken !== 0, `session ${steps.ConnectToken}`);
  assert.equal(steps.Login, 0);
  assert.ok(Number.isInteger(steps.EnumPrivateKey) && steps.EnumPrivateKey !== 0, `key ${steps.EnumPrivateKey}`);
  assert.match(steps.Sign, /^[0-9A-F]{512}$/, 'a 256-byte signature in upper-case hex');
  assert.equal(steps.Logout, 0);
  assert.equal(steps.DisconnectToken, 0);
});

test('the extension greets each host with the page origin before any call', () => {
  const inputs = run.hostInputs();
  // The control, then the page's own attempt: two hosts.
  assert.equal(inputs.length, 2, `host processes started: ${inputs.length}`);
  for (const sent of inputs) {
    assert.ok(sent.length >= 1, 'the host received nothing');
    assert.equal(sent[0].method, 'kelo.hello');
    assert.deepEqual(sent[0].params, { origin: run.base });
    assert.equal(sent.filter((m) => m.method === 'kelo.hello').length, 1, 'exactly one hello per host');
  }
  const methods = inputs[0].map((m) => m.method);
  assert.ok(methods.includes('Sign'), `the host saw ${methods.join(', ')}`);
});

test('a page cannot greet the host itself', () => {
  const r = report.pageHello;
  assert.ok(r && r.type === 'response', JSON.stringify(r));
  assert.equal(r.response.id, 1);
  assert.equal(r.response.error?.code, -32601, JSON.stringify(r.response));
});
