// The extension's browser-free rules (extension/chromium/rules.js) and its
// shared names (constants.js) under node: what no page can reach honestly
// end to end.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const rules = require('../../extension/chromium/rules.js');
const constants = require('../../extension/chromium/constants.js');

test('a host message is routed to its call, or ends the control', () => {
  const pending = new Map([[1, 'page-a'], [2, 7]]);
  const cases = [
    [{ jsonrpc: '2.0', id: 1, result: 0 }, 1],
    [{ jsonrpc: '2.0', id: 2, error: { code: -32602, message: 'x' } }, 2],
    // The host cannot read the id of what it refuses, so it answers with null.
    [{ jsonrpc: '2.0', id: null, error: { code: -32600, message: 'batch of 65 calls refused' } }, null],
    [{ jsonrpc: '2.0', id: 3, result: 0 }, null], // not pending
    [{ jsonrpc: '2.0', id: '1', result: 0 }, null], // our ids are numbers
    [{ jsonrpc: '2.0', id: 1 }, null],
    [[{ jsonrpc: '2.0', id: 1, result: 0 }], null],
    ['garbage', null],
  ];
  for (const [msg, id] of cases) {
    const r = rules.routeHostMessage(msg, pending);
    if (id === null) assert.match(r.stray, /native host/, JSON.stringify(msg));
    else assert.deepEqual(r, { id }, JSON.stringify(msg));
  }
  // The host's own words reach the page.
  assert.match(rules.routeHostMessage(cases[2][0], pending).stray, /batch of 65 calls refused/);
});

test('open controls are capped per tab and per origin', () => {
  const open = (n, tabId, origin) => Array.from({ length: n }, () => ({ tabId, origin }));
  const a = 'https://a.example';
  const b = 'https://b.example';
  assert.equal(rules.capExceeded(open(3, 1, a), 1, a), null);
  assert.match(rules.capExceeded(open(4, 1, a), 1, a), /this tab already has 4/);
  assert.match(rules.capExceeded(open(4, 1, b), 1, a), /this tab/, 'any origin counts in the tab');
  assert.equal(rules.capExceeded(open(4, 1, a), 2, a), null);
  const spread = [1, 2, 3, 4].flatMap((tab) => open(4, tab, a));
  assert.match(rules.capExceeded(spread, 5, a), /https:\/\/a\.example already has 16/);
  assert.equal(rules.capExceeded(spread, 5, b), null);
  assert.equal(rules.capExceeded(spread.slice(1), 5, a), null, 'closing one frees a place');
});

test('the confirmed operations match as the host matches names, and nothing else', () => {
  for (const m of ['TokenInitialize', 'tokeninitialize', 'TOKENINITIALIZE', 'changeSOpin', 'UNBLOCKUSERPIN']) {
    assert.ok(rules.confirmedOperation(m), m);
  }
  assert.equal(rules.confirmedOperation('tokeninitialize').name, 'TokenInitialize');
  for (const m of ['ChangeUserPin', 'TokenInitialize ', 'constructor', '__proto__', 'toString', null]) {
    assert.equal(rules.confirmedOperation(m), null, String(m));
  }
});

test('a PIN method\'s PIN failure names the session whose token flags go with it', () => {
  const cases = [
    ['Login', [7, '0000'], 4001, 7],
    ['LOGIN', [7, '0000'], 4008, 7], // names in any case, the whole range of PIN failures
    ['TokenInitialize', [-5, 'so', 'user', 'label'], 4002, -5],
    ['ChangeUserPin', { pinold: 'a', SESSIONID: 9 }, 4003, 9], // named parameters too
    ['changesopin', [3], 4005, 3],
    ['UnblockUserPin', [3], 4004, 3],
    ['Login', [7, '0000'], 4000, null],
    ['Login', [7, '0000'], 4009, null],
    ['Login', [7, '0000'], '4001', null], // only a result code, never text
    ['Logout', [7], 4001, null],
    ['Login', ['7', '0000'], 4001, null], // no session to ask about
    ['Login', { pin: '0000' }, 4001, null],
    ['Login', undefined, 4001, null],
  ];
  for (const [method, params, result, sid] of cases) {
    assert.equal(rules.pinFailureSession({ method, params }, result), sid, JSON.stringify([method, params, result]));
  }
});

test('a host that did not start is explained: not registered, or failed', () => {
  const host = constants.HOST_NAME;
  for (const why of ['Specified native messaging host not found.', `No such native application ${host}`]) {
    assert.match(rules.noHostMessage(host, why), /is not registered with this browser .*"kelo-ca register"/, why);
  }
  assert.match(rules.noHostMessage(host, 'Native host has exited.'), /did not start \(Native host has exited\.\)/);
});

test('request size is counted in UTF-8 bytes of the JSON the host receives', () => {
  const msg = (s) => ({ jsonrpc: '2.0', id: 1, method: 'Hash', params: [1, 0, s] });
  const overhead = rules.requestBytes(msg(''));
  assert.equal(rules.requestBytes(msg('é')), overhead + 2);
  assert.equal(rules.requestBytes(msg('"')), overhead + 2); // escaped
  assert.equal(rules.requestBytes(msg('\u{1F511}')), overhead + 4);
  assert.equal(rules.requestBytes(msg('\uD800')), overhead + 6); // a lone surrogate is written \ud800
  assert.equal(rules.MAX_REQUEST_BYTES, 1048576);
});

// The page API is served by pages and cannot load the extension's files: its
// copies of the names and codes must say what the extension says.
test('the page API uses the extension\'s tag, error codes and host-gone status', async () => {
  const source = fs.readFileSync(new URL('../../extension/page-api/kelo-ca.js', import.meta.url), 'utf8');
  const page = await import(`data:text/javascript,${encodeURIComponent(source)}`);
  const { ERRORS } = constants;
  const both = Object.keys(page.ErrorCode).filter((k) => k in ERRORS);
  assert.deepEqual(both, ['HOST_GONE', 'NOT_ALLOWED', 'NO_HOST', 'TOO_MANY']);
  for (const k of both) assert.equal(page.ErrorCode[k], ERRORS[k].code, k);
  const extensionCodes = new Set(Object.values(ERRORS).map((e) => e.code));
  for (const [k, code] of Object.entries(page.ErrorCode)) {
    if (!(k in ERRORS)) assert.ok(!extensionCodes.has(code), `${k} means an extension error too`);
  }
  assert.ok(source.includes(`'${constants.PRESENCE_ATTRIBUTE}'`), 'the page API looks for the content script\'s mark');

  let sent = null;
  globalThis.window = { isSecureContext: true, location: { origin: 'https://a.example' },
    postMessage: (msg, origin, ports) => { sent = { msg, port: ports[0] }; } };
  try {
    const created = page.create();
    assert.equal(sent.msg.type, constants.CREATE_TAG);
    sent.port.postMessage({ type: 'ack' });
    sent.port.postMessage({ type: 'ready' });
    const control = await created;
    control.close();
    await assert.rejects(control.ConnectToken(), { code: ERRORS.HOST_GONE.code, hresult: ERRORS.HOST_GONE.hresult });
  } finally {
    sent?.port.close();
    delete globalThis.window;
  }
});
