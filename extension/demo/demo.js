// The demo page: the typical request, one button per step, through the page
// API. The signature is checked here with WebCrypto against the public key of
// the certificate read from the token, so no server is involved.
import { create } from './kelo-ca.js';

// Result codes a person can meet in this walk-through (the control answers
// with numbers; these say what they mean).
const MEANING = new Map([
  [1001, 'no token module could be loaded: is the host registered with the demo wrapper?'],
  [1002, 'wrong session identifier, or no token connected'],
  [1003, 'no token found'],
  [1011, 'not found (the private key only shows after logging in)'],
  [4001, 'wrong PIN'],
  [4003, 'login failed'],
  [4004, 'logout failed'],
]);

const state = { ctl: null, sid: null, key: null, signature: '', pem: '' };
const $ = (id) => document.getElementById(id);

function show(step, ok, text) {
  const out = $(`out-${step}`);
  out.textContent = text;
  out.dataset.state = ok ? 'ok' : 'error';
}

function codeText(code) {
  const why = MEANING.get(code);
  return why ? `${code}: ${why}` : String(code);
}

function need(what, value) {
  if (value === null || value === '') throw new Error(`${what} first`);
  return value;
}

function toHex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('').toUpperCase();
}

function fromHex(hex) {
  if (!/^([0-9A-Fa-f]{2})*$/.test(hex)) throw new Error('the signature is not hexadecimal');
  const out = new Uint8Array(hex.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(2 * i, 2), 16);
  return out;
}

function pemToDer(pem) {
  const m = /-----BEGIN CERTIFICATE-----([\s\S]*?)-----END CERTIFICATE-----/.exec(pem);
  if (!m) throw new Error('the certificate is not PEM');
  return Uint8Array.from(atob(m[1].replace(/\s+/g, '')), (c) => c.charCodeAt(0));
}

// One DER element at `at`: its tag, where its content starts and where it ends.
function derElement(der, at) {
  if (at + 2 > der.length) throw new Error('the certificate is cut short');
  const tag = der[at];
  let len = der[at + 1];
  let start = at + 2;
  if (len & 0x80) {
    const n = len & 0x7f;
    if (n < 1 || n > 4 || start + n > der.length) throw new Error('bad length in the certificate');
    len = 0;
    for (let i = 0; i < n; i++) len = len * 256 + der[start + i];
    start += n;
  }
  const end = start + len;
  if (end > der.length) throw new Error('the certificate is cut short');
  return { tag, at, start, end };
}

// The SubjectPublicKeyInfo of an X.509 certificate: the 7th element of the
// to-be-signed part when it has a version tag, the 6th otherwise.
function publicKeyInfo(der) {
  const cert = derElement(der, 0);
  const tbs = derElement(der, cert.start);
  let e = derElement(der, tbs.start);
  if (e.tag === 0xa0) e = derElement(der, e.end); // [0] version
  for (let i = 0; i < 5; i++) e = derElement(der, e.end); // serial, algorithm, issuer, validity, subject
  if (e.tag !== 0x30) throw new Error('no public key in the certificate');
  return der.slice(e.at, e.end);
}

async function verifies(pem, signatureHex, data) {
  const key = await crypto.subtle.importKey('spki', publicKeyInfo(pemToDer(pem)),
    { name: 'RSASSA-PKCS1-v1_5', hash: 'SHA-1' }, false, ['verify']);
  return crypto.subtle.verify('RSASSA-PKCS1-v1_5', key, fromHex(signatureHex), data);
}

const dataBytes = () => new TextEncoder().encode($('data').value);
const control = () => need('connect to the extension (step 1)', state.ctl);

const steps = {
  async create() {
    if (state.ctl) state.ctl.close();
    state.ctl = null;
    state.ctl = await create();
    return [true, 'the extension answered; this site may use the token'];
  },
  async connect() {
    const sid = await control().ConnectToken();
    if (sid === 1001 || sid === 1003) return [false, codeText(sid)];
    state.sid = sid;
    return [true, `session ${sid}`];
  },
  async login() {
    const rc = await control().Login(need('connect to the token (step 2)', state.sid), $('pin').value);
    return [rc === 0, rc === 0 ? 'logged in' : codeText(rc)];
  },
  async key() {
    const key = await control().EnumPrivateKey(need('connect to the token (step 2)', state.sid), 0);
    if (MEANING.has(key)) return [false, codeText(key)];
    state.key = key;
    return [true, `key handle ${key}`];
  },
  async sign() {
    const sig = await control().Sign(need('connect (step 2)', state.sid), need('find the key (step 4)', state.key),
      0, toHex(dataBytes()));
    state.signature = sig;
    $('signature').textContent = sig;
    if (!sig) return [false, 'the token made no signature (logged in? key found?)'];
    return [true, `${sig.length / 2} bytes`];
  },
  async cert() {
    const sid = need('connect to the token (step 2)', state.sid);
    const cert = await control().EnumCertificate(sid, 0);
    const pem = await control().GetAttribute(sid, cert, 1);
    state.pem = pem;
    $('certificate').textContent = pem;
    return pem ? [true, `certificate handle ${cert}`] : [false, `no certificate (${codeText(cert)})`];
  },
  async verify() {
    const ok = await verifies(need('read the certificate (step 6)', state.pem),
      need('sign (step 5)', state.signature), dataBytes());
    return [ok, ok ? 'the signature verifies with the certificate\'s public key'
                   : 'the signature does NOT verify for this text'];
  },
  async logout() {
    const rc = await control().Logout(need('connect to the token (step 2)', state.sid));
    return [rc === 0, rc === 0 ? 'logged out' : codeText(rc)];
  },
  async disconnect() {
    const rc = await control().DisconnectToken(need('connect to the token (step 2)', state.sid));
    if (rc === 0) Object.assign(state, { sid: null, key: null });
    return [rc === 0, rc === 0 ? 'disconnected' : codeText(rc)];
  },
};

for (const [name, run] of Object.entries(steps)) {
  $(`step-${name}`).addEventListener('click', async () => {
    const out = $(`out-${name}`);
    out.textContent = '...';
    delete out.dataset.state;
    try {
      const [ok, text] = await run();
      show(name, ok, text);
    } catch (e) {
      const code = e && Number.isInteger(e.code) ? ` (code ${e.code})` : '';
      show(name, false, `${e && e.message ? e.message : e}${code}`);
    }
  });
}
