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

// The extension answers at once when it is there, before any consent question.
const ACK_TIMEOUT_MS = 2000;
/** @type {CreateMessage['type']} */
const CREATE_TAG = 'kelo-ca/create';
const HOST_GONE_HRESULT = '0x80010108'; // RPC_E_DISCONNECTED, as for ErrorCode.HOST_GONE

export class KeloCaError extends Error {
  /** @param {Partial<RpcError> | null | undefined} error as the extension or the host sent it */
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

class Control {
  /** @type {MessagePort} */
  #port;
  /** @type {Map<unknown, { resolve: (result: unknown) => void, reject: (error: KeloCaError) => void }>} by our id */
  #pending = new Map();
  #nextId = 1;
  /** @type {RpcError | null} the error every later call rejects with */
  #gone = null;

  /** @param {MessagePort} port */
  constructor(port) {
    this.#port = port;
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
      if (r.error) p.reject(new KeloCaError(r.error));
      else p.resolve(r.result);
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
      this.#pending.set(id, { resolve, reject });
      send(this.#port, { type: 'call', request: { jsonrpc: '2.0', id, method, params } });
    });
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
// touch the control once create() has resolved.
/**
 * @param {{ timeout?: unknown, signal?: AbortSignal } | null} [options] checked here: a page may pass anything
 * @returns {Promise<Control>}
 */
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
      settle(reject, new KeloCaError({ code: ErrorCode.NO_EXTENSION,
        message: 'the Kelo CA extension is not installed or not active on this page' }));
    }, ACK_TIMEOUT_MS));
    port.onmessage = (e) => {
      /** @type {ToPage | null} */
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
    /** @type {CreateMessage} */
    const hello = { type: CREATE_TAG };
    window.postMessage(hello, window.location.origin, [channel.port2]);
  });
}
