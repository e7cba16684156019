// The page API's words for the control's answers, its strict mode over a
// stand-in for the extension's port, and create() on a page the extension
// has not marked. Pure node: no browser.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';

const source = fs.readFileSync(new URL('../../extension/page-api/kelo-ca.js', import.meta.url), 'utf8');
const api = await import(`data:text/javascript,${encodeURIComponent(source)}`);
const { describe, create, ErrorCode } = api;

test('every result code is a failure in plain words with the code last', () => {
  // One case per code, from a method where it arises; the words must say what it means.
  const cases = [
    ['ConnectToken', 1001, /module could be loaded/], ['Logout', 1002, /connect to the token first/],
    ['ConnectToken', 1003, /No token found/], ['VerifyByCSP', 1004, /out of range/],
    ['VerifyByCSP', 1005, /Hashing failed/], ['Verify', 1006, /could not sign/],
    ['Verify', 1007, /does not verify/], ['Verify', 1008, /Encryption/], ['Verify', 1009, /Decryption/],
    ['TokenInitialize', 1010, /initialised, but/], ['EnumPublicKey', 1011, /No public key at that position/],
    ['VerifyByCSP', 1301, /store could not be opened/], ['VerifyByCSP', 1302, /read as a certificate/],
    ['VerifyByCSP', 1303, /key could not be obtained/], ['VerifyByCSP', 1304, /file could not be read/],
    ['VerifyByCSP', 1305, /provider/], ['Login', 4001, /^Wrong PIN\./], ['Login', 4002, /Another user/],
    ['Login', 4003, /other than a wrong PIN/], ['Logout', 4004, /Logout failed/], ['Logout', 4005, /Nobody/],
    ['Login', 4006, /PIN is locked/], ['ChangeUserPin', 4007, /Changing the PIN failed/],
    ['UnblockUserPin', 4008, /new user PIN failed/], ['DisconnectToken', 5001, /nothing to disconnect/],
    // Codes that mean something else from another method.
    ['EnumPrivateKey', 1011, /^Log in first: the token shows its private key only after login\./],
    ['EnumCertificate', 1011, /No certificate at that position/], ['ChangeSOPin', 4001, /Wrong SO PIN/],
    ['Login', 5, /failed with a code this page API does not know/],
  ];
  for (const [method, code, words] of cases) {
    const d = describe(method, code);
    assert.equal(d.failure, true, `${method} ${code}`);
    assert.equal(d.code, code);
    assert.match(d.sentence, words, `${method} ${code}`);
    assert.ok(d.sentence.endsWith(` (${code})`), d.sentence);
  }
});

test('text methods: "" and decimal-text failures, and what success says', () => {
  const cases = [
    // method, value, failure, code, words
    ['Sign', '', true, null, /log in first/], ['Hash', '', true, null, /hash type/],
    ['DecryptByCSP', '', true, null, /certificate store/],
    ['Sign', 'AB'.repeat(256), false, null, /256-byte signature/],
    ['Hash', '00'.repeat(32), false, null, /SHA-256/],
    ['RetrieveSerial', '1003', true, 1003, /No token found\. \(1003\)$/],
    ['RetrieveSerial', '0000000000001002', false, null, /0000000000001002/],
    ['RetrieveAllTokenSerial', '1002', true, 1002, /No token serial/],
    ['RetrieveAllTokenSerial', 'A1              ,B2              ', false, null, /^2 tokens: A1, B2\.$/],
    ['ConnectToken', -1447739728, false, null, /^Connected; session -1447739728\.$/],
    ['EnumPrivateKey', 2, false, null, /private key; handle 2/],
    ['verify', 0, false, 0, /^Signature verifies\.$/],
    // The fixed answer is no failure, and says nothing was checked.
    ['VerifyCertCRL', 1, false, 1, /Nothing was checked/],
    ['Sign', 5, true, null, /never does/],
  ];
  for (const [method, value, failure, code, words] of cases) {
    const d = describe(method, value);
    assert.deepEqual([d.failure, d.code], [failure, code], `${method} ${JSON.stringify(value)}`);
    assert.match(d.sentence, words);
  }
  assert.throws(() => describe('Frobnicate', 0), { name: 'TypeError', message: /"Frobnicate" is not a method/ });
});

test('the token\'s PIN flags add what it reports to a PIN failure of that PIN', () => {
  const cases = [
    ['Login', 4001, 0x20000, / The token reports: one try left before the PIN locks\. \(4001\)$/],
    ['Login', 4001, 0x10000 | 0x20000 | 0x40000, /reports: the user PIN is now locked; unblock it with the SO PIN\./],
    ['Login', 4006, 0x40000, /^The PIN is locked: unblock it with the SO PIN\. \(4006\)$/],
    ['ChangeSOPin', 4001, 0x20000, /^Wrong SO PIN\. \(4001\)$/], // the user's flag says nothing about the SO PIN
    ['UnblockUserPin', 4001, 0x100000, /reports: an earlier SO PIN try was wrong\./],
    ['Login', 1002, 0x20000, /^Wrong session.*\(1002\)$/],
  ];
  for (const [method, code, flags, words] of cases) assert.match(describe(method, code, flags).sentence, words);
});

// A window whose postMessage hands the test the extension's end of the channel.
async function withFakeExtension(run, marked = true) {
  let sent = null;
  globalThis.window = { isSecureContext: true, location: { origin: 'https://a.example' },
    postMessage: (msg, origin, ports) => { sent = { msg, port: ports[0] }; } };
  globalThis.document = { documentElement: { getAttribute: (n) => (marked && n === 'data-kelo-ca-extension' ? '1' : null) } };
  try {
    await run(() => sent);
  } finally {
    sent?.port.close();
    delete globalThis.window;
    delete globalThis.document;
  }
}

test('strict mode rejects failure values with their words; the default mode keeps them', async () => {
  await withFakeExtension(async (extension) => {
    const answers = { Login: [4001, 0x20000], EnumPrivateKey: [1011], Sign: [''], Verify: [0], VerifyCertCRL: [1] };
    const open = async (options) => {
      const created = create(options);
      const { port } = extension();
      port.onmessage = ({ data }) => {
        if (data.type !== 'call') return;
        const [result, tokenFlags] = answers[data.request.method];
        port.postMessage({ type: 'response', response: { jsonrpc: '2.0', id: data.request.id, result }, tokenFlags });
      };
      port.postMessage({ type: 'ack' });
      port.postMessage({ type: 'ready' });
      return created;
    };
    const strict = await open({ strict: true });
    assert.equal(strict.strict, true);
    await assert.rejects(strict.Login(1, 'x'), { name: 'KeloCaError', code: 4001, method: 'Login',
      tokenFlags: 0x20000, message: 'Wrong PIN. The token reports: one try left before the PIN locks. (4001)' });
    await assert.rejects(strict.EnumPrivateKey(1, 0), { code: 1011, message: /^Log in first/ });
    await assert.rejects(strict.Sign(1, 2, 256, '00'), { code: null, method: 'Sign', sentence: /log in first/ });
    assert.equal(await strict.Verify(1, 2, 256, '00', '00'), 0);
    assert.equal(await strict.VerifyCertCRL(1, 0, ''), 1);
    strict.close();

    const plain = await open();
    assert.equal(await plain.Login(1, 'x'), 4001);
    assert.match(plain.describe('LOGIN', 4001).sentence, /one try left/);
    assert.equal(await plain.EnumPrivateKey(1, 0), 1011);
    plain.close();
  });
});

test('create() rejects at once on a page the extension has not marked, naming where to install it', async () => {
  await withFakeExtension(async (extension) => {
    const started = Date.now();
    await assert.rejects(create(), { code: ErrorCode.NO_EXTENSION, installUrl: api.INSTALL_URL,
      message: new RegExp(`not installed.*${api.INSTALL_URL.replace(/[.?]/g, '\\$&')}`) });
    await assert.rejects(create({ installUrl: 'https://intranet.test/kelo' }),
      { code: ErrorCode.NO_EXTENSION, message: /https:\/\/intranet\.test\/kelo$/ });
    assert.ok(Date.now() - started < 500, 'no wait for an answer');
    assert.equal(extension(), null, 'nothing was posted');
  }, false);
});
