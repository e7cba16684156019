// Page side of the Kelo CA control: the same 26 methods as the in-process
// control, awaited. Needs the Kelo CA extension and a secure context (https,
// or http on localhost / 127.0.0.1).

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

// The extension answers at once when it is there, before any consent question.
const ACK_TIMEOUT_MS = 2000;

export class KeloCaError extends Error {
  constructor(error) {
    super(error && typeof error.message === 'string' ? error.message : 'unknown error');
    this.name = 'KeloCaError';
    this.code = error && Number.isInteger(error.code) ? error.code : ErrorCode.HOST_GONE;
    this.hresult = error && error.data && typeof error.data.hresult === 'string'
      ? error.data.hresult : undefined;
  }
}

// What may cross to the host: JSON's plain values. Anything else could not
// be passed on (the call would never settle) or would end the control.
function plain(v) {
  return typeof v === 'string' || typeof v === 'boolean' || v === null ||
    (typeof v === 'number' && Number.isFinite(v));
}

function kindOf(v) {
  if (typeof v === 'number') return String(v);
  if (Array.isArray(v)) return 'an array';
  return typeof v === 'object' ? 'an object' : `a ${typeof v}`;
}

class Control {
  #port;
  #pending = new Map();
  #nextId = 1;
  #gone = null; // the error every later call rejects with

  constructor(port) {
    this.#port = port;
    port.onmessage = (e) => this.#receive(e.data);
    for (const name of METHODS) {
      Object.defineProperty(this, name, {
        value: (...args) => this.#call(name, args),
        enumerable: true,
      });
    }
  }

  #receive(msg) {
    if (!msg) return;
    if (msg.type === 'response') {
      const r = msg.response;
      const p = r && this.#pending.get(r.id);
      if (!p) return;
      this.#pending.delete(r.id);
      if (r.error) p.reject(new KeloCaError(r.error));
      else p.resolve(r.result);
    } else if (msg.type === 'gone') {
      this.#end(msg.error);
    }
  }

  #end(error) {
    if (this.#gone) return;
    this.#gone = error;
    this.#port.close();
    for (const p of this.#pending.values()) p.reject(new KeloCaError(error));
    this.#pending.clear();
  }

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
      this.#pending.set(id, { resolve, reject });
      this.#port.postMessage({ type: 'call', request: { jsonrpc: '2.0', id, method, params } });
    });
  }

  // Ends the control: the host process and its token sessions go away.
  close() {
    if (this.#gone) return;
    this.#port.postMessage({ type: 'close' });
    this.#end({ code: ErrorCode.HOST_GONE, message: 'the control is closed',
      data: { hresult: '0x80010108' } });
  }
}

// options.timeout (ms) and options.signal (an AbortSignal) give up on
// create() while it waits, for instance for the person's answer; they do not
// touch the control once create() has resolved.
export function create(options = {}) {
  const { timeout, signal } = options ?? {};
  if (timeout !== undefined && !(typeof timeout === 'number' && timeout >= 0 && timeout <= 2 ** 31 - 1)) {
    return Promise.reject(new KeloCaError({ code: -32602, data: { hresult: '0x80070057' }, // E_INVALIDARG
      message: 'options.timeout must be a number of milliseconds from 0 to 2147483647' }));
  }
  if (!window.isSecureContext) {
    return Promise.reject(new KeloCaError({ code: ErrorCode.NO_EXTENSION,
      message: `this page (${window.location.origin}) is not a secure context: the Kelo CA extension works ` +
        'only on https pages and on http://localhost and http://127.0.0.1' }));
  }
  const aborted = (why) => new KeloCaError({ code: ErrorCode.ABORTED, message: why,
    data: { hresult: '0x80004004' } }); // E_ABORT
  if (signal?.aborted) return Promise.reject(aborted('create() was aborted before it started'));
  return new Promise((resolve, reject) => {
    const channel = new MessageChannel();
    const port = channel.port1;
    let acked = false;
    const timers = [];
    const settle = (f, value) => {
      for (const t of timers) clearTimeout(t);
      signal?.removeEventListener('abort', onAbort);
      f(value);
    };
    // Ends the attempt on this side; the extension then drops it (and a
    // consent window shared with no one else stays open for the person).
    const giveUp = (error) => {
      port.postMessage({ type: 'close' });
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
      settle(reject, new KeloCaError({ code: ErrorCode.NO_EXTENSION,
        message: 'the Kelo CA extension is not installed or not active on this page' }));
    }, ACK_TIMEOUT_MS));
    port.onmessage = (e) => {
      const msg = e.data;
      if (!msg) return;
      if (msg.type === 'ack') {
        acked = true;
      } else if (msg.type === 'ready') {
        settle(resolve, new Control(port));
      } else if (msg.type === 'gone') {
        port.close();
        settle(reject, new KeloCaError(msg.error));
      }
    };
    window.postMessage({ type: 'kelo-ca/create' }, window.location.origin, [channel.port2]);
  });
}
