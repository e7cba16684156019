// @ts-check
// Page side of the Kelo CA control: the same 26 methods as the in-process
// control, awaited. Needs the Kelo CA extension and a secure context (https,
// or http on localhost / 127.0.0.1).

// The messages exchanged with the extension's content script (types only:
// a page cannot load the extension's files, so the names used here are
// copies that the extension's unit tests hold equal to its own).
/** @typedef {import('../chromium/constants.js').RpcError} RpcError */
/** @typedef {import('../chromium/constants.js').CreateMessage} CreateMessage */
/** @typedef {import('../chromium/constants.js').FromPage} FromPage */
/** @typedef {import('../chromium/constants.js').ToPage} ToPage */

export const METHODS = Object.freeze([
  'ConnectToken', 'DisconnectToken', 'Login', 'Logout', 'RetrieveSerial',
  'ChangeSOPin', 'ChangeUserPin', 'UnblockUserPin', 'EnumCertificate',
  'EnumPublicKey', 'EnumPrivateKey', 'GetAttribute', 'Encrypt', 'Decrypt',
  'Hash', 'Sign', 'SignByCertSerial', 'Verify', 'VerifyByCertSerial',
  'SignByCSP', 'VerifyByCSP', 'EncryptByCSP', 'DecryptByCSP', 'VerifyCertCRL',
  'TokenInitialize', 'RetrieveAllTokenSerial',
]);

// Codes of our own, beside the JSON-RPC ones (-32700 ... -32602).
export const ErrorCode = Object.freeze({
  HOST_GONE: -32000,
  NOT_ALLOWED: -32001,
  NO_HOST: -32002,
  NO_EXTENSION: -32003,
  TOO_MANY: -32004,
  ABORTED: -32005,
});

// The hash types of Hash, Sign, Verify and the certificate-store methods.
// Any other value: the token signs and verifies raw PKCS#1 v1.5 (the data
// is the DigestInfo to sign), Hash returns "", the store refuses with 1005.
export const HashType = Object.freeze({
  SHA1: 0, MD2: 1, MD5: 2, SHA256: 256, SHA384: 384, SHA512: 512,
});

// Where people learn to install the extension; a page names its own with
// create({ installUrl }).
export const INSTALL_URL = 'https://kelo.example/kelo-ca/README.md#in-a-browser';

// The content script marks the document before any page script runs.
const PRESENCE_ATTRIBUTE = 'data-kelo-ca-extension';
// With the mark present the extension answers at once, before any consent
// question; silence this long means it is not working on this page.
const ACK_TIMEOUT_MS = 2000;
/** @type {CreateMessage['type']} */
const CREATE_TAG = 'kelo-ca/create';
const HOST_GONE_HRESULT = '0x80010108'; // RPC_E_DISCONNECTED, as for ErrorCode.HOST_GONE

/**
 * What a strict control's call rejects with when the control answered a failure.
 * @typedef {{ method: string, code: number | null, sentence: string, tokenFlags?: number }} FailedCall
 */

export class KeloCaError extends Error {
  /**
   * @param {Partial<RpcError> | null | undefined} error as the extension or the host sent it
   * @param {FailedCall} [failed] instead, a failure value of the control (strict mode)
   */
  constructor(error, failed) {
    const message = failed ? failed.sentence
      : error && typeof error.message === 'string' ? error.message : 'unknown error';
    super(message);
    this.name = 'KeloCaError';
    /** @type {number | null} */
    this.code = failed ? failed.code : error && Number.isInteger(error.code) ? /** @type {number} */ (error.code)
      : ErrorCode.HOST_GONE;
    this.hresult = !failed && error && error.data && typeof error.data.hresult === 'string'
      ? error.data.hresult : undefined;
    /** @type {string | undefined} */
    this.method = failed?.method;
    /** @type {string | undefined} */
    this.sentence = failed?.sentence;
    /** @type {number | undefined} */
    this.tokenFlags = failed?.tokenFlags;
    /** @type {string | undefined} */
    this.installUrl = undefined;
  }
}

// ---- What the control's answers mean, in words ----

// How each method reports: 'zero' 0 is success and anything else a code;
// 'session' and 'handle' a number that is not a code; 'crl' its fixed 1;
// 'blank' text, "" on any failure; 'codeText' text, or a code as decimal text.
/** @type {Readonly<Record<string, 'zero' | 'session' | 'handle' | 'crl' | 'blank' | 'codeText'>>} */
const ANSWER_KIND = Object.freeze({
  ConnectToken: 'session', DisconnectToken: 'zero', Login: 'zero', Logout: 'zero', RetrieveSerial: 'codeText',
  ChangeSOPin: 'zero', ChangeUserPin: 'zero', UnblockUserPin: 'zero', EnumCertificate: 'handle',
  EnumPublicKey: 'handle', EnumPrivateKey: 'handle', GetAttribute: 'blank', Encrypt: 'blank', Decrypt: 'blank',
  Hash: 'blank', Sign: 'blank', SignByCertSerial: 'blank', Verify: 'zero', VerifyByCertSerial: 'zero',
  SignByCSP: 'blank', VerifyByCSP: 'zero', EncryptByCSP: 'blank', DecryptByCSP: 'blank', VerifyCertCRL: 'crl',
  TokenInitialize: 'zero', RetrieveAllTokenSerial: 'codeText',
});

// Every code of the control, in words a person can act on.
/** @type {ReadonlyMap<number, string>} */
const CODE_SENTENCE = new Map([
  [1001, 'No token module could be loaded: is the token\'s software installed?'],
  [1002, 'Wrong session, or no token connected: connect to the token first.'],
  [1003, 'No token found.'],
  [1004, 'An argument is out of range or unusable: a hash type, attribute or certificate data type the control ' +
    'does not know, or empty data.'],
  [1005, 'Hashing failed: the hash type may not be supported.'],
  [1006, 'The token could not sign.'],
  [1007, 'The signature does not verify for this text and key, or the token refused to check it.'],
  [1008, 'Encryption failed.'],
  [1009, 'Decryption failed.'],
  [1010, 'The token was initialised, but reopening it or setting the new user PIN failed.'],
  [1011, 'Not found: no such object, certificate or key.'],
  [1301, 'The certificate store could not be opened, or no certificate was chosen.'],
  [1302, 'The certificate data could not be read as a certificate.'],
  [1303, 'The certificate\'s key could not be obtained.'],
  [1304, 'The certificate file could not be read (web pages pass certificates as text, type 2 or 3).'],
  [1305, 'The cryptographic provider could not be started.'],
  [4001, 'Wrong PIN.'],
  [4002, 'Another user is already logged in: log out first.'],
  [4003, 'The token refused the login, for a reason other than a wrong PIN.'],
  [4004, 'Logout failed.'],
  [4005, 'Nobody was logged in.'],
  [4006, 'The PIN is locked: unblock it with the SO PIN.'],
  [4007, 'Changing the PIN failed: the token may not take a new PIN of that length.'],
  [4008, 'Setting the new user PIN failed: the token may not take a PIN of that length.'],
  [5001, 'No token is current: there was nothing to disconnect.'],
]);

// Where a method's own words say more than the code's.
/** @type {Readonly<Record<string, Readonly<Record<number, string>>>>} */
const METHOD_SENTENCE = Object.freeze({
  EnumCertificate: { 1011: 'No certificate at that position on the token.' },
  EnumPublicKey: { 1011: 'No public key at that position on the token.' },
  EnumPrivateKey: { 1011: 'Log in first: the token shows its private key only after login.' },
  VerifyByCertSerial: {
    1004: 'The certificate serial number or the text is empty.',
    1011: 'No certificate with that serial number on the token, or no public key with its identifier.',
  },
  VerifyByCSP: { 1011: 'No certificate with that serial number in the certificate store.' },
  ChangeUserPin: { 4001: 'Wrong current PIN.' },
  ChangeSOPin: { 4001: 'Wrong SO PIN.', 4006: 'The SO PIN is locked.' },
  UnblockUserPin: { 4001: 'Wrong SO PIN.', 4006: 'The SO PIN is locked.' },
  TokenInitialize: { 4001: 'The token refused to initialise: wrong SO PIN?', 4006: 'The SO PIN is locked.' },
  RetrieveAllTokenSerial: { 1002: 'No token serial found: no token is present, or the session is wrong.' },
});

// What an empty answer of a text method means: the control gives no code.
/** @type {Readonly<Record<string, string>>} */
const BLANK_SENTENCE = Object.freeze({
  GetAttribute: 'GetAttribute returned nothing: wrong session, no object with that handle, an attribute selector ' +
    'other than 1 to 3, or the object has no such value.',
  Encrypt: 'Encrypt failed: wrong session, no public key with that handle, empty text, or the token refused.',
  Decrypt: 'Decrypt failed: not logged in, wrong session or key handle, or the ciphertext is not for that key.',
  Hash: 'Hash failed: wrong session, empty text, or a hash type the token does not do.',
  Sign: 'Signing failed: log in first and pass the private key\'s handle (a wrong session, empty text or a hash ' +
    'type the token does not do fail the same way).',
  SignByCertSerial: 'Signing failed: log in first; or no certificate with that serial number, no private key ' +
    'with its identifier, empty text, or a key longer than 2048 bits.',
  SignByCSP: 'Signing through the certificate store failed: no certificate with that serial number, none chosen, ' +
    'its key unavailable, a certificate data type other than 0 or 1, or a hash type the store does not do.',
  EncryptByCSP: 'Encrypting through the certificate store failed: the certificate was not found or not readable, ' +
    'or the text is too long for its key.',
  DecryptByCSP: 'Decrypting through the certificate store failed: the certificate or its private key was not ' +
    'found, a certificate data type other than 0 or 1, or the ciphertext is not for that key (or the plaintext ' +
    'was empty).',
});

// CK_TOKEN_INFO.flags about the PINs: the user's, then the security officer's.
/** @type {Readonly<Record<'user' | 'so', ReadonlyArray<{ bit: number, text: string }>>>} */
const PIN_FLAGS = Object.freeze({
  user: [
    { bit: 0x40000, text: 'the user PIN is now locked; unblock it with the SO PIN' }, // CKF_USER_PIN_LOCKED
    { bit: 0x20000, text: 'one try left before the PIN locks' }, // CKF_USER_PIN_FINAL_TRY
    { bit: 0x10000, text: 'an earlier try was wrong' }, // CKF_USER_PIN_COUNT_LOW
  ],
  so: [
    { bit: 0x400000, text: 'the SO PIN is now locked' }, // CKF_SO_PIN_LOCKED
    { bit: 0x200000, text: 'one try left before the SO PIN locks' }, // CKF_SO_PIN_FINAL_TRY
    { bit: 0x100000, text: 'an earlier SO PIN try was wrong' }, // CKF_SO_PIN_COUNT_LOW
  ],
});
/** @type {Readonly<Record<string, 'user' | 'so'>>} */
const PIN_OWNER = Object.freeze({
  Login: 'user', ChangeUserPin: 'user', ChangeSOPin: 'so', UnblockUserPin: 'so', TokenInitialize: 'so',
});

/** @type {ReadonlyMap<string, string>} by lower-case name, as the control matches them */
const CANONICAL = new Map(METHODS.map((m) => [m.toLowerCase(), m]));

/**
 * @param {number} flags
 * @param {number} bit
 */
const hasFlag = (flags, bit) => Math.floor(flags / bit) % 2 === 1;

/**
 * What the token's flags add to a PIN failure, or ''. Only the most telling
 * flag is said: a lock outweighs the last try, the last try an earlier miss.
 * @param {string} method
 * @param {number} code
 * @param {number | undefined} flags
 */
function pinReport(method, code, flags) {
  const owner = PIN_OWNER[method];
  if (!owner || code < 4001 || code > 4008 || flags === undefined) return '';
  const found = PIN_FLAGS[owner].find(({ bit }) => hasFlag(flags, bit));
  // "The PIN is locked" already says what the lock flag would.
  if (!found || (code === 4006 && found === PIN_FLAGS[owner][0])) return '';
  return ` The token reports: ${found.text}.`;
}

/**
 * @param {string} method
 * @param {number} code
 * @param {number | undefined} flags
 * @returns {Description}
 */
function failed(method, code, flags) {
  const words = METHOD_SENTENCE[method]?.[code] ?? CODE_SENTENCE.get(code) ??
    `${method} failed with a code this page API does not know.`;
  return { failure: true, code, sentence: `${words}${pinReport(method, code, flags)} (${code})` };
}

/** @param {string} hex */
const byteCount = (hex) => Math.floor(hex.length / 2);

/**
 * The words for a text method's non-empty answer.
 * @param {string} method
 * @param {string} text
 */
function textSuccess(method, text) {
  const n = byteCount(text);
  switch (method) {
    case 'GetAttribute':
      return text.startsWith('-----BEGIN CERTIFICATE-----') ? 'Certificate read (PEM).' : `Attribute read: ${n} bytes.`;
    case 'Hash': {
      const name = { 16: 'MD5 or MD2', 20: 'SHA-1', 32: 'SHA-256', 48: 'SHA-384', 64: 'SHA-512' }[n];
      return `Hashed: a ${n}-byte digest${name ? ` (${name})` : ''}.`;
    }
    case 'Sign': case 'SignByCertSerial':
      return `Signed: a ${n}-byte signature.`;
    case 'SignByCSP':
      return `Signed: a ${n}-byte signature, least significant byte first.`;
    case 'Encrypt': return `Encrypted: ${n} bytes of ciphertext.`;
    case 'EncryptByCSP': return `Encrypted: ${n} bytes of ciphertext, least significant byte first.`;
    case 'Decrypt': return `Decrypted: ${n} bytes of plaintext.`;
    default: // DecryptByCSP: a damaged ciphertext may decrypt to made-up text on Linux
      return `Decrypted: ${n} bytes of plaintext (check them: a damaged ciphertext may give other bytes).`;
  }
}

/** @type {Readonly<Record<string, string>>} */
const ZERO_SENTENCE = Object.freeze({
  DisconnectToken: 'Disconnected.', Login: 'Logged in.', Logout: 'Logged out.', ChangeSOPin: 'SO PIN changed.',
  ChangeUserPin: 'PIN changed.', UnblockUserPin: 'New user PIN set; the PIN is unblocked.',
  TokenInitialize: 'Token initialised; connect to it again.', Verify: 'Signature verifies.',
  VerifyByCertSerial: 'Signature verifies.', VerifyByCSP: 'Signature verifies.',
});
/** @type {Readonly<Record<string, string>>} */
const HANDLE_OF = Object.freeze({
  EnumCertificate: 'certificate', EnumPublicKey: 'public key', EnumPrivateKey: 'private key',
});

/** @typedef {{ readonly failure: boolean, readonly code: number | null, readonly sentence: string }} Description */

/**
 * What a value one of the 26 methods returned means: whether it is a failure,
 * its result code where the control gave one, and a sentence for a person
 * with the code at its end. tokenFlags (CK_TOKEN_INFO.flags) add what the
 * token reports about its PINs to a PIN failure. An unknown method name is a
 * TypeError: the caller has a bug, not the control.
 * @param {string} method one of METHODS, in any letter case
 * @param {unknown} value what the method returned
 * @param {number} [tokenFlags]
 * @returns {Description}
 */
export function describe(method, value, tokenFlags) {
  const name = typeof method === 'string' ? CANONICAL.get(method.toLowerCase()) : undefined;
  if (!name) {
    throw new TypeError(`describe: ${typeof method === 'string' ? JSON.stringify(method) : kindOf(method)} ` +
      'is not a method of the control');
  }
  const flags = typeof tokenFlags === 'number' && Number.isSafeInteger(tokenFlags) && tokenFlags >= 0
    ? tokenFlags : undefined;
  const kind = ANSWER_KIND[name];
  const textual = kind === 'blank' || kind === 'codeText';
  if (textual ? typeof value !== 'string' : !Number.isInteger(value)) {
    return Object.freeze({ failure: true, code: null,
      sentence: `${name} answered ${kindOf(value)}, which the control never does.` });
  }
  /** @type {Description} */
  let d;
  if (kind === 'blank') {
    const text = /** @type {string} */ (value);
    d = text === '' ? { failure: true, code: null, sentence: BLANK_SENTENCE[name] }
      : { failure: false, code: null, sentence: textSuccess(name, text) };
  } else if (kind === 'codeText') {
    const text = /** @type {string} */ (value);
    const code = /^\d{4}$/.test(text) ? Number(text) : NaN;
    if (CODE_SENTENCE.has(code)) {
      d = failed(name, code, flags);
    } else if (name === 'RetrieveSerial') {
      d = { failure: false, code: null, sentence: `Token serial number ${text.trim() || '(blank)'}.` };
    } else {
      const count = text.split(',').length;
      d = { failure: false, code: null, sentence: `${count} token${count === 1 ? '' : 's'}: ${text.split(',')
        .map((t) => t.trim() || '(blank)').join(', ')}.` };
    }
  } else {
    const n = /** @type {number} */ (value);
    if (kind === 'crl') {
      d = n === 1 ? { failure: false, code: 1, sentence: 'Nothing was checked: VerifyCertCRL answers 1 to every ' +
        'call without looking at the certificate or any revocation list. (1)' } : failed(name, n, flags);
    } else if (kind === 'zero') {
      d = n === 0 ? { failure: false, code: 0, sentence: ZERO_SENTENCE[name] } : failed(name, n, flags);
    } else if (CODE_SENTENCE.has(n)) {
      d = failed(name, n, flags);
    } else if (kind === 'session') {
      d = { failure: false, code: null, sentence: `Connected; session ${n}.` };
    } else {
      d = { failure: false, code: null, sentence: `Found the ${HANDLE_OF[name]}; handle ${n}.` };
    }
  }
  return Object.freeze(d);
}

// What may cross to the host: JSON's plain values. Anything else could not
// be passed on (the call would never settle) or would end the control.
/** @param {unknown} v */
function plain(v) {
  return typeof v === 'string' || typeof v === 'boolean' || v === null ||
    (typeof v === 'number' && Number.isFinite(v));
}

/** @param {unknown} v */
function kindOf(v) {
  if (typeof v === 'number') return String(v);
  if (Array.isArray(v)) return 'an array';
  return typeof v === 'object' ? 'an object' : `a ${typeof v}`;
}

/**
 * @param {MessagePort} port
 * @param {FromPage} msg
 */
function send(port, msg) {
  port.postMessage(msg);
}

/**
 * @typedef {{ method: string, resolve: (result: unknown) => void, reject: (error: KeloCaError) => void }} Pending
 */

class Control {
  /** @type {MessagePort} */
  #port;
  /** @type {Map<unknown, Pending>} by our id */
  #pending = new Map();
  #nextId = 1;
  /** @type {RpcError | null} the error every later call rejects with */
  #gone = null;
  #strict = false;
  /** @type {Map<string, number>} by method: the token's flags that came with its last answer */
  #flags = new Map();

  /**
   * @param {MessagePort} port
   * @param {boolean} strict
   */
  constructor(port, strict) {
    this.#port = port;
    this.#strict = strict;
    Object.defineProperty(this, 'strict', { value: strict, enumerable: true });
    port.onmessage = (e) => this.#receive(e.data);
    for (const name of METHODS) {
      Object.defineProperty(this, name, {
        value: (/** @type {unknown[]} */ ...args) => this.#call(name, args),
        enumerable: true,
      });
    }
  }

  /** @param {ToPage | null} msg */
  #receive(msg) {
    if (!msg) return;
    if (msg.type === 'response') {
      const r = msg.response;
      const p = r && this.#pending.get(r.id);
      if (!p) return;
      this.#pending.delete(r.id);
      if (r.error) {
        p.reject(new KeloCaError(r.error));
        return;
      }
      // Sent with a PIN failure when the token could say more; checked, as
      // everything that crosses from another realm.
      const flags = msg.tokenFlags;
      const tokenFlags = Number.isSafeInteger(flags) && Number(flags) >= 0 ? flags : undefined;
      if (tokenFlags === undefined) this.#flags.delete(p.method);
      else this.#flags.set(p.method, tokenFlags);
      if (this.#strict) {
        const d = describe(p.method, r.result, tokenFlags);
        if (d.failure) {
          p.reject(new KeloCaError(null, { method: p.method, code: d.code, sentence: d.sentence, tokenFlags }));
          return;
        }
      }
      p.resolve(r.result);
    } else if (msg.type === 'gone') {
      this.#end(msg.error);
    }
  }

  /** @param {RpcError} error */
  #end(error) {
    if (this.#gone) return;
    this.#gone = error;
    this.#port.close();
    for (const p of this.#pending.values()) p.reject(new KeloCaError(error));
    this.#pending.clear();
  }

  /**
   * @param {string} method
   * @param {unknown[]} params
   */
  #call(method, params) {
    if (this.#gone) return Promise.reject(new KeloCaError(this.#gone));
    const bad = params.findIndex((v) => !plain(v));
    if (bad >= 0) {
      return Promise.reject(new KeloCaError({ code: -32602, data: { hresult: '0x80020005' }, // DISP_E_TYPEMISMATCH
        message: `argument ${bad + 1} of ${method} is ${kindOf(params[bad])}; ` +
          'only strings, finite numbers, booleans and null can be passed' }));
    }
    const id = this.#nextId++;
    return new Promise((resolve, reject) => {
      this.#pending.set(id, { method, resolve, reject });
      send(this.#port, { type: 'call', request: { jsonrpc: '2.0', id, method, params } });
    });
  }

  /**
   * describe() with the token's flags that came with this control's last
   * answer to that method.
   * @param {string} method
   * @param {unknown} value
   */
  describe(method, value) {
    const name = typeof method === 'string' ? CANONICAL.get(method.toLowerCase()) : undefined;
    return describe(method, value, name === undefined ? undefined : this.#flags.get(name));
  }

  // Ends the control: the host process and its token sessions go away.
  close() {
    if (this.#gone) return;
    send(this.#port, { type: 'close' });
    this.#end({ code: ErrorCode.HOST_GONE, message: 'the control is closed',
      data: { hresult: HOST_GONE_HRESULT } });
  }
}

// options.timeout (ms) and options.signal (an AbortSignal) give up on
// create() while it waits, for instance for the person's answer; they do not
// touch the control once create() has resolved. options.strict makes the
// control's failure values rejections; options.installUrl is where the
// NO_EXTENSION error sends people.
/**
 * @param {{ timeout?: unknown, signal?: AbortSignal, strict?: unknown, installUrl?: unknown } | null} [options]
 *   checked here: a page may pass anything
 * @returns {Promise<Control>}
 */
export function create(options = {}) {
  const { timeout, signal, strict, installUrl = INSTALL_URL } = options ?? {};
  if (typeof installUrl !== 'string') {
    return Promise.reject(new KeloCaError({ code: -32602, data: { hresult: '0x80070057' }, // E_INVALIDARG
      message: 'options.installUrl must be a string' }));
  }
  /** @param {string} why */
  const noExtension = (why) => {
    const e = new KeloCaError({ code: ErrorCode.NO_EXTENSION,
      message: `${why}; install it as described at ${installUrl}` });
    e.installUrl = installUrl;
    return e;
  };
  if (timeout !== undefined && !(typeof timeout === 'number' && timeout >= 0 && timeout <= 2 ** 31 - 1)) {
    return Promise.reject(new KeloCaError({ code: -32602, data: { hresult: '0x80070057' }, // E_INVALIDARG
      message: 'options.timeout must be a number of milliseconds from 0 to 2147483647' }));
  }
  if (!window.isSecureContext) {
    return Promise.reject(new KeloCaError({ code: ErrorCode.NO_EXTENSION,
      message: `this page (${window.location.origin}) is not a secure context: the Kelo CA extension works ` +
        'only on https pages and on http://localhost and http://127.0.0.1' }));
  }
  // Where there is a document, the content script has marked it by now if
  // it runs on this page (a bare window, as in unit tests, has no mark to read).
  const root = globalThis.document?.documentElement;
  if (root && root.getAttribute(PRESENCE_ATTRIBUTE) !== '1') {
    return Promise.reject(noExtension('the Kelo CA extension is not installed or not enabled for this site'));
  }
  const aborted = (/** @type {string} */ why) => new KeloCaError({ code: ErrorCode.ABORTED, message: why,
    data: { hresult: '0x80004004' } }); // E_ABORT
  if (signal?.aborted) return Promise.reject(aborted('create() was aborted before it started'));
  return new Promise((resolve, reject) => {
    const channel = new MessageChannel();
    const port = channel.port1;
    let acked = false;
    /** @type {ReturnType<typeof setTimeout>[]} */
    const timers = [];
    /**
     * @param {(value: any) => void} f resolve or reject
     * @param {unknown} value
     */
    const settle = (f, value) => {
      for (const t of timers) clearTimeout(t);
      signal?.removeEventListener('abort', onAbort);
      f(value);
    };
    // Ends the attempt on this side; the extension then drops it (and a
    // consent window shared with no one else stays open for the person).
    /** @param {KeloCaError} error */
    const giveUp = (error) => {
      send(port, { type: 'close' });
      port.close();
      settle(reject, error);
    };
    const onAbort = () => giveUp(aborted('create() was aborted'));
    signal?.addEventListener('abort', onAbort);
    if (timeout !== undefined) {
      timers.push(setTimeout(() => giveUp(aborted(`create() got no control within ${timeout} ms`)), timeout));
    }
    timers.push(setTimeout(() => {
      if (acked) return;
      port.close();
      settle(reject, noExtension('the Kelo CA extension did not answer on this page'));
    }, ACK_TIMEOUT_MS));
    port.onmessage = (e) => {
      /** @type {ToPage | null} */
      const msg = e.data;
      if (!msg) return;
      if (msg.type === 'ack') {
        acked = true;
      } else if (msg.type === 'ready') {
        settle(resolve, new Control(port, strict === true));
      } else if (msg.type === 'gone') {
        port.close();
        settle(reject, new KeloCaError(msg.error));
      }
    };
    /** @type {CreateMessage} */
    const hello = { type: CREATE_TAG };
    window.postMessage(hello, window.location.origin, [channel.port2]);
  });
}
