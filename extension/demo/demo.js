// The demo page: the typical request, one button per step, through the page
// API in strict mode (a failure value rejects with its sentence). The
// signature is checked here with WebCrypto against the public key of the
// certificate read from the token, so no server is involved.
import { create, ErrorCode, HashType } from './kelo-ca.js';

const STEPS = ['create', 'connect', 'login', 'key', 'sign', 'cert', 'verify', 'logout', 'disconnect'];
// The README, served beside this page, has the install steps.
const INSTALL_URL = new URL('README.md', window.location.href).href;

const HASHES = new Map([
  [HashType.SHA1, 'SHA-1'], [HashType.SHA256, 'SHA-256'], [HashType.SHA384, 'SHA-384'], [HashType.SHA512, 'SHA-512'],
]);

const fresh = () => ({
  ctl: null, sid: null, serial: null, loggedIn: false, key: null,
  signature: null, // { hex, hash, text }
  cert: null, // { pem, info }
});
let state = fresh();
let busy = false;

const $ = (id) => document.getElementById(id);

// ---- What the rows show ----

function show(step, ok, text, link) {
  const out = $(`out-${step}`);
  out.textContent = `${ok ? '✓' : '✗'} ${text}`;
  if (link) {
    out.append(' ');
    const a = document.createElement('a');
    a.href = link.href;
    a.textContent = link.text;
    a.target = '_blank';
    a.rel = 'noopener';
    out.append(a);
  }
  out.dataset.state = ok ? 'ok' : 'error';
  delete $(`row-${step}`).dataset.stale;
}

function clearRow(step) {
  const out = $(`out-${step}`);
  out.textContent = '';
  delete out.dataset.state;
  delete $(`row-${step}`).dataset.stale;
  $(`api-${step}`).textContent = '';
}

function clearAfter(step) {
  for (const s of STEPS.slice(STEPS.indexOf(step) + 1)) clearRow(s);
}

// Results that no longer hold stay readable, greyed.
function stale(...steps) {
  for (const s of steps) if ($(`out-${s}`).dataset.state) $(`row-${s}`).dataset.stale = '';
}

function api(step, line) {
  $(`api-${step}`).textContent += `${line}\n`;
}

function showSignature() {
  const sig = state.signature;
  $('signature').textContent = sig ? sig.hex : '';
  $('signature-label').textContent = sig
    ? `${algorithmOf(state.cert?.info)} with ${HASHES.get(sig.hash) ?? `hash type ${sig.hash}`}, ` +
      `${sig.hex.length / 2} bytes, over "${sig.text}"`
    : 'No signature yet (step 5).';
}

function showCertificate() {
  const cert = state.cert;
  $('certificate').textContent = cert ? cert.pem : '';
  $('certificate-info').hidden = !cert?.info;
  $('certificate-label').hidden = !!cert?.info;
  $('certificate-label').textContent = cert ? 'The certificate could not be read in this page.'
    : 'No certificate read yet (step 6).';
  if (cert?.info) {
    const { subject, issuer, notBefore, notAfter, serial } = cert.info;
    $('cert-subject').textContent = subject;
    $('cert-issuer').textContent = issuer;
    $('cert-validity').textContent = `${notBefore} to ${notAfter}`;
    $('cert-serial').textContent = serial;
    $('cert-key').textContent = algorithmOf(cert.info);
  }
  showSignature();
}

function showStatus() {
  let text;
  if (!state.ctl) text = 'Not connected. Start with step 1.';
  else if (state.sid === null) text = 'The extension is ready · no token connected';
  else {
    text = `Connected to the token${state.serial ? ` with serial ${state.serial}` : ''} · ` +
      `${state.loggedIn ? 'logged in' : 'not logged in'}${state.key !== null ? ' · key ready' : ''}`;
  }
  $('status').textContent = text;
}

// Only what can work now is enabled; nothing while a call runs.
function enable() {
  const s = state;
  const can = {
    create: true,
    connect: s.ctl && s.sid === null,
    login: s.sid !== null && !s.loggedIn,
    key: s.sid !== null && s.key === null,
    sign: s.key !== null,
    cert: s.sid !== null,
    verify: s.signature && s.cert?.info,
    logout: s.loggedIn,
    disconnect: s.sid !== null,
  };
  for (const step of STEPS) $(`step-${step}`).disabled = busy || !can[step];
}

function refresh() {
  showStatus();
  enable();
}

// ---- Certificates, read in the page ----

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

// The elements inside a constructed one.
function children(der, e) {
  const out = [];
  for (let at = e.start; at < e.end;) {
    const c = derElement(der, at);
    out.push(c);
    at = c.end;
  }
  return out;
}

function oidText(der, e) {
  const b = der.subarray(e.start, e.end);
  if (!b.length) return '';
  const parts = [Math.min(2, Math.floor(b[0] / 40)), b[0] - 40 * Math.min(2, Math.floor(b[0] / 40))];
  let v = 0;
  for (let i = 1; i < b.length; i++) {
    v = v * 128 + (b[i] & 0x7f);
    if (!(b[i] & 0x80)) {
      parts.push(v);
      v = 0;
    }
  }
  return parts.join('.');
}

const ATTRIBUTE_NAMES = new Map([
  ['2.5.4.3', 'CN'], ['2.5.4.6', 'C'], ['2.5.4.7', 'L'], ['2.5.4.8', 'ST'], ['2.5.4.10', 'O'],
  ['2.5.4.11', 'OU'], ['2.5.4.5', 'serialNumber'], ['1.2.840.113549.1.9.1', 'emailAddress'],
]);

function stringValue(der, e) {
  const b = der.subarray(e.start, e.end);
  if (e.tag === 0x1e) { // BMPString
    let s = '';
    for (let i = 0; i + 1 < b.length; i += 2) s += String.fromCharCode(b[i] * 256 + b[i + 1]);
    return s;
  }
  return new TextDecoder().decode(b);
}

// A distinguished name as "CN=..., O=...", in the certificate's order.
function nameText(der, e) {
  const parts = [];
  for (const rdn of children(der, e)) {
    for (const atv of children(der, rdn)) {
      const [type, value] = children(der, atv);
      const oid = oidText(der, type);
      parts.push(`${ATTRIBUTE_NAMES.get(oid) ?? oid}=${stringValue(der, value)}`);
    }
  }
  return parts.join(', ');
}

// UTCTime (two-digit year, 1950 to 2049) or GeneralizedTime.
function timeText(der, e) {
  const s = new TextDecoder().decode(der.subarray(e.start, e.end));
  const m = (e.tag === 0x17 ? /^(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})?Z$/
    : /^(\d{4})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})?Z$/).exec(s);
  if (!m) return s;
  let year = Number(m[1]);
  if (e.tag === 0x17) year += year < 50 ? 2000 : 1900;
  return `${year}-${m[2]}-${m[3]} ${m[4]}:${m[5]} UTC`;
}

const CURVES = new Map([['1.2.840.10045.3.1.7', 'P-256'], ['1.3.132.0.34', 'P-384'], ['1.3.132.0.35', 'P-521']]);

// What the page shows of an X.509 certificate, and its public key.
function certificateInfo(der) {
  const cert = derElement(der, 0);
  const tbs = derElement(der, cert.start);
  let fields = children(der, tbs);
  if (fields[0].tag === 0xa0) fields = fields.slice(1); // [0] version
  const [serial, , issuer, validity, subject, spki] = fields;
  if (!spki || spki.tag !== 0x30) throw new Error('no public key in the certificate');
  const [notBefore, notAfter] = children(der, validity);
  const [algorithm] = children(der, spki);
  const [keyOid, param] = children(der, algorithm);
  const ec = oidText(der, keyOid) === '1.2.840.10045.2.1';
  const curve = ec && param?.tag === 0x06 ? CURVES.get(oidText(der, param)) : undefined;
  if (ec && !curve) throw new Error('the certificate\'s key is on a curve this page cannot check');
  const [, bits] = children(der, spki);
  return {
    subject: nameText(der, subject),
    issuer: nameText(der, issuer),
    notBefore: timeText(der, notBefore),
    notAfter: timeText(der, notAfter),
    serial: toHex(der.subarray(serial.start, serial.end)),
    curve,
    // RSA: the modulus length in bits, from the key's size inside the BIT STRING.
    keyBits: ec ? undefined : rsaBits(der, bits),
    spki: der.slice(spki.at, spki.end),
  };
}

function rsaBits(der, bitString) {
  const key = derElement(der, bitString.start + 1); // after the unused-bits byte
  const [modulus] = children(der, key);
  let start = modulus.start;
  while (start < modulus.end && der[start] === 0) start++;
  return (modulus.end - start) * 8;
}

function algorithmOf(info) {
  if (!info) return 'Signature';
  return info.curve ? `ECDSA ${info.curve}` : `RSA PKCS#1 v1.5 (${info.keyBits}-bit key)`;
}

// WebCrypto with the certificate's key: RSASSA-PKCS1-v1_5, or ECDSA, whose
// r‖s is the form the token returns.
async function verifies(info, signatureHex, hash, data) {
  const hashName = HASHES.get(hash);
  if (!hashName) throw new Error(`this page cannot check hash type ${hash}`);
  const alg = info.curve ? { name: 'ECDSA', namedCurve: info.curve } : { name: 'RSASSA-PKCS1-v1_5', hash: hashName };
  const key = await crypto.subtle.importKey('spki', info.spki, alg, false, ['verify']);
  const params = info.curve ? { name: 'ECDSA', hash: hashName } : 'RSASSA-PKCS1-v1_5';
  return crypto.subtle.verify(params, key, fromHex(signatureHex), data);
}

// ---- The steps ----

const dataText = () => $('data').value;
const dataBytes = () => new TextEncoder().encode(dataText());

// Doing a step again makes what was built on it untrue: those rows are
// cleared, with what they had put into the state.
const DEPENDENTS = {
  create: STEPS.slice(1),
  connect: STEPS.slice(2),
  login: ['key', 'sign', 'verify', 'logout', 'disconnect'],
  key: ['sign', 'verify'],
  sign: ['verify'],
  cert: ['verify'],
  verify: [],
  logout: ['disconnect'],
  disconnect: [],
};
const PRODUCES = { connect: ['sid', 'serial'], login: ['loggedIn'], key: ['key'], sign: ['signature'], cert: ['cert'] };

function clearDependents(step) {
  const blank = fresh();
  for (const s of DEPENDENTS[step]) {
    clearRow(s);
    for (const field of PRODUCES[s] ?? []) state[field] = blank[field];
  }
  showCertificate();
}

// Forgets the control and everything done with it (step 1's row stays).
function forgetControl() {
  state.ctl?.close();
  clearDependents('create');
  state = fresh();
}

// Each returns the sentence for its row; a failure throws.
const steps = {
  async create() {
    forgetControl();
    api('create', 'create({ strict: true, installUrl })');
    state.ctl = await create({ strict: true, installUrl: INSTALL_URL });
    return 'The extension answered: this site may use the token.';
  },
  async connect() {
    const sid = await call('connect', 'ConnectToken', []);
    state.sid = sid;
    // The serial names the token in the status line; no method gives its label.
    try {
      state.serial = (await call('connect', 'RetrieveSerial', [sid])).trim() || null;
    } catch (e) {
      if (!isControlFailure(e)) throw e;
    }
    return state.ctl.describe('ConnectToken', sid).sentence;
  },
  async login() {
    const rc = await call('login', 'Login', [state.sid, $('pin').value], 'Login(session, "••••")');
    state.loggedIn = true;
    return state.ctl.describe('Login', rc).sentence;
  },
  async key() {
    state.key = await call('key', 'EnumPrivateKey', [state.sid, 0]);
    return state.ctl.describe('EnumPrivateKey', state.key).sentence;
  },
  async sign() {
    const hash = Number($('hash').value);
    const text = dataText();
    const hex = await call('sign', 'Sign', [state.sid, state.key, hash, toHex(dataBytes())]);
    state.signature = { hex, hash, text };
    showSignature();
    return `Signed with ${HASHES.get(hash)}: ${hex.length / 2} bytes.`;
  },
  async cert() {
    const handle = await call('cert', 'EnumCertificate', [state.sid, 0]);
    const pem = await call('cert', 'GetAttribute', [state.sid, handle, 1]);
    state.cert = { pem, info: null };
    try {
      state.cert.info = certificateInfo(pemToDer(pem));
    } finally {
      showCertificate();
    }
    return `Certificate of ${state.cert.info.subject}.`;
  },
  async verify() {
    const { hex, hash } = state.signature;
    const ok = await verifies(state.cert.info, hex, hash, dataBytes());
    api('verify', `crypto.subtle.verify(${state.cert.info.curve ? 'ECDSA' : 'RSASSA-PKCS1-v1_5'}, ` +
      `${HASHES.get(hash)}, …) → ${ok}`);
    if (!ok) throw new Error(`The signature does NOT verify for the text now in the field (${HASHES.get(hash)}).`);
    return `Verifies with the certificate's public key (${HASHES.get(hash)}).`;
  },
  async logout() {
    const rc = await call('logout', 'Logout', [state.sid]);
    // Private objects go out of sight with the login: the key handle no longer signs.
    Object.assign(state, { loggedIn: false, key: null });
    stale('login', 'key');
    return state.ctl.describe('Logout', rc).sentence;
  },
  async disconnect() {
    const rc = await call('disconnect', 'DisconnectToken', [state.sid]);
    const sentence = state.ctl.describe('DisconnectToken', rc).sentence;
    const { ctl } = state;
    for (const s of STEPS.slice(1, -1)) clearRow(s);
    state = { ...fresh(), ctl };
    showCertificate();
    return sentence;
  },
};

// One call of the control, written down in the row's developer column with
// what it answered.
async function call(step, method, args, shown) {
  const line = shown ?? `${method}(${args.map((a) => JSON.stringify(a)).join(', ')})`;
  try {
    const value = await state.ctl[method](...args);
    const text = JSON.stringify(value);
    api(step, `${line} → ${text.length > 40 ? `${text.slice(0, 40)}…` : text}`);
    return value;
  } catch (e) {
    api(step, `${line} → ${isControlFailure(e) ? JSON.stringify(e.code ?? '') : `rejected (${e.code})`}`);
    throw e;
  }
}

// A failure value of the control (strict mode), as opposed to the call not being made.
const isControlFailure = (e) => e && typeof e.method === 'string';

const waiting = {
  create: 'Waiting for your answer in the access window…',
  login: 'Waiting for the token to check the PIN…',
  verify: 'Checking…',
};

function sentenceOf(e) {
  if (isControlFailure(e) || !e || !('code' in e)) return e && e.message ? e.message : String(e);
  const text = e.message.replace(/^./, (c) => c.toUpperCase());
  return `${text}${/[.!?]$/.test(text) ? '' : '.'} (${e.code})`;
}

for (const step of STEPS) {
  $(`step-${step}`).addEventListener('click', async () => {
    const out = $(`out-${step}`);
    $(`api-${step}`).textContent = '';
    out.textContent = waiting[step] ?? 'Waiting for the token…';
    out.dataset.state = 'waiting';
    delete $(`row-${step}`).dataset.stale;
    busy = true;
    if (step !== 'create') {
      for (const field of PRODUCES[step] ?? []) state[field] = fresh()[field];
      clearDependents(step);
    }
    refresh();
    try {
      show(step, true, await steps[step]());
    } catch (e) {
      // The control is gone (closed, revoked, host ended): nothing after step 1 holds.
      const ended = step !== 'create' && e && (e.code === ErrorCode.HOST_GONE || e.code === ErrorCode.NOT_ALLOWED);
      if (ended) {
        const calls = $(`api-${step}`).textContent;
        forgetControl();
        $(`api-${step}`).textContent = calls;
        show('create', false, 'The connection to the extension ended; run step 1 again.');
      }
      const link = e && e.code === ErrorCode.NO_EXTENSION && e.installUrl
        ? { href: e.installUrl, text: 'How to install the extension' } : null;
      show(step, false, sentenceOf(e), link);
    } finally {
      busy = false;
      refresh();
    }
  });
}
refresh();
