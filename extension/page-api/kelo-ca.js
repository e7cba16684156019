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

export function create() {
  return new Promise((resolve, reject) => {
    const channel = new MessageChannel();
    const port = channel.port1;
    let acked = false;
    const timer = setTimeout(() => {
      if (acked) return;
      port.close();
      reject(new KeloCaError({ code: ErrorCode.NO_EXTENSION,
        message: 'the Kelo CA extension is not installed or not active on this page ' +
          '(it works on https pages and on http://localhost and http://127.0.0.1)' }));
    }, ACK_TIMEOUT_MS);
    port.onmessage = (e) => {
      const msg = e.data;
      if (!msg) return;
      if (msg.type === 'ack') {
        acked = true;
        clearTimeout(timer);
      } else if (msg.type === 'ready') {
        resolve(new Control(port));
      } else if (msg.type === 'gone') {
        clearTimeout(timer);
        port.close();
        reject(new KeloCaError(msg.error));
      }
    };
    window.postMessage({ type: 'kelo-ca/create' }, window.location.origin, [channel.port2]);
  });
}
