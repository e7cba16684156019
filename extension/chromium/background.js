// Bridge between pages and the native host: one runtime port from the content
// script per page-side control, one native port (so one host process, one
// control) behind it. Consent is asked per origin before any host is started.
// Shared by the Chromium (MV3 service worker) and Firefox (MV2 background
// page) builds of the extension.
'use strict';

// Firefox's promise-based namespace where there is one, else Chromium's.
const api = globalThis.browser ?? globalThis.chrome;

const HOST_NAME = 'org.kelo.ca_token';
const CONTROL_PORT = 'kelo-ca-control';
const STORE_KEY = 'origins'; // { [origin]: 'allow' | 'deny' } in storage.local
const MANAGED_KEY = 'allowedOrigins'; // string[] in storage.managed (policy)

// Error codes outside the JSON-RPC reserved range, with the automation status
// a COM client would have seen in the same situation.
const ERR_HOST_GONE = { code: -32000, hresult: '0x80010108' }; // RPC_E_DISCONNECTED
const ERR_NOT_ALLOWED = { code: -32001, hresult: '0x80070005' }; // E_ACCESSDENIED
const ERR_NO_HOST = { code: -32002, hresult: '0x80040154' }; // REGDB_E_CLASSNOTREG
const ERR_UNKNOWN_NAME = { code: -32601, hresult: '0x80020006' }; // DISP_E_UNKNOWNNAME

// The host's own methods have a dot in their name, the control's never do:
// only the extension may greet the host, a page never.
const HELLO_METHOD = 'kelo.hello';
const isHostMethod = (name) => name.includes('.');

function rpcError(kind, message) {
  return { code: kind.code, message, data: { hresult: kind.hresult } };
}

// Pages in a secure context only: https, or plain http on the loopback names.
function isSecureOrigin(origin) {
  let u;
  try {
    u = new URL(origin);
  } catch {
    return false;
  }
  if (u.origin !== origin) return false;
  if (u.protocol === 'https:') return true;
  return u.protocol === 'http:' && (u.hostname === 'localhost' || u.hostname === '127.0.0.1');
}

async function managedOrigins() {
  try {
    const got = await api.storage.managed.get(MANAGED_KEY);
    const list = got[MANAGED_KEY];
    return Array.isArray(list) ? list.filter((o) => typeof o === 'string') : [];
  } catch {
    return []; // no policy set
  }
}

async function storedAnswers() {
  const got = await api.storage.local.get(STORE_KEY);
  const v = got[STORE_KEY];
  return v && typeof v === 'object' ? v : {};
}

async function decision(origin) {
  if ((await managedOrigins()).includes(origin)) return 'allow';
  return (await storedAnswers())[origin] || 'ask';
}

async function remember(origin, answer) {
  const answers = await storedAnswers();
  answers[origin] = answer;
  await api.storage.local.set({ [STORE_KEY]: answers });
}

// Consent windows in flight. Several create() calls from one origin share the
// window; the nonce ties the window's answer to the origin it was opened for,
// so the page shown cannot answer for another origin.
const consentByOrigin = new Map(); // origin -> { nonce, windowId, waiters: [resolve] }
const consentByNonce = new Map(); // nonce -> origin

function askUser(origin) {
  let entry = consentByOrigin.get(origin);
  if (entry) return new Promise((resolve) => entry.waiters.push(resolve));
  const nonce = crypto.randomUUID();
  entry = { nonce, windowId: null, waiters: [] };
  consentByOrigin.set(origin, entry);
  consentByNonce.set(nonce, origin);
  const done = new Promise((resolve) => entry.waiters.push(resolve));
  const url = api.runtime.getURL(
    `consent.html?nonce=${encodeURIComponent(nonce)}&origin=${encodeURIComponent(origin)}`);
  api.windows.create({ url, type: 'popup', width: 460, height: 260, focused: true })
    .then((w) => {
      entry.windowId = w.id;
    })
    .catch(() => finishConsent(origin, 'closed'));
  return done;
}

function finishConsent(origin, answer) {
  const entry = consentByOrigin.get(origin);
  if (!entry) return;
  consentByOrigin.delete(origin);
  consentByNonce.delete(entry.nonce);
  for (const resolve of entry.waiters) resolve(answer);
  if (entry.windowId !== null && answer !== 'closed') {
    api.windows.remove(entry.windowId).catch(() => {});
  }
}

api.windows.onRemoved.addListener((windowId) => {
  for (const [origin, entry] of consentByOrigin) {
    if (entry.windowId === windowId) finishConsent(origin, 'closed');
  }
});

api.runtime.onMessage.addListener((msg, sender, sendResponse) => {
  // Only our own consent page may answer, never a content script.
  if (sender.id !== api.runtime.id || !sender.url ||
      !sender.url.startsWith(api.runtime.getURL('consent.html'))) {
    return false;
  }
  if (msg && msg.type === 'consent' && typeof msg.nonce === 'string') {
    const origin = consentByNonce.get(msg.nonce);
    if (!origin) {
      sendResponse({ ok: false });
      return false;
    }
    const answer = msg.allow === true ? 'allow' : 'deny';
    remember(origin, answer).then(() => {
      finishConsent(origin, answer);
      sendResponse({ ok: true });
    });
    return true;
  }
  // The consent page pings while it is open so that the worker is not stopped
  // (and the waiting create() lost) while the user thinks.
  if (msg && msg.type === 'keepalive') sendResponse({ ok: true });
  return false;
});

// Open controls, so that a revoked origin loses them at once.
const controls = new Set();

class Control {
  constructor(pagePort, origin) {
    this.page = pagePort;
    this.origin = origin;
    this.native = null;
    this.nextId = 1;
    this.pending = new Map(); // our id -> the page's id
    this.closed = false;
    controls.add(this);
    pagePort.onDisconnect.addListener(() => this.close());
    pagePort.onMessage.addListener((msg) => this.fromPage(msg));
  }

  send(msg) {
    if (this.closed) return;
    try {
      this.page.postMessage(msg);
    } catch {
      this.close();
    }
  }

  // Ends the page side with an error: pending calls and the control are gone.
  fail(error) {
    if (this.closed) return;
    this.send({ type: 'gone', error });
    this.close();
  }

  close() {
    if (this.closed) return;
    this.closed = true;
    controls.delete(this);
    this.pending.clear();
    if (this.native) this.native.disconnect(); // the host ends on end of input
    try {
      this.page.disconnect();
    } catch {
      // already gone
    }
  }

  async start() {
    if (!isSecureOrigin(this.origin)) {
      this.fail(rpcError(ERR_NOT_ALLOWED, `${this.origin} is not a secure context`));
      return;
    }
    let answer = await decision(this.origin);
    if (answer === 'ask') answer = await askUser(this.origin);
    if (this.closed) return;
    if (answer !== 'allow') {
      const why = answer === 'closed' ? 'the consent window was closed without an answer'
                                      : 'the user denied it';
      this.fail(rpcError(ERR_NOT_ALLOWED,
        `${this.origin} is not allowed to use the security token: ${why}`));
      return;
    }
    this.connectNative();
  }

  connectNative() {
    let native;
    try {
      native = api.runtime.connectNative(HOST_NAME);
    } catch (e) {
      this.fail(rpcError(ERR_NO_HOST, `cannot start the native host: ${e.message}`));
      return;
    }
    this.native = native;
    let ready = false;
    native.onDisconnect.addListener((port) => {
      // Firefox says why on the port, Chromium in lastError.
      const err = (port && port.error) || api.runtime.lastError;
      const why = err && err.message ? err.message : 'it exited';
      this.native = null;
      if (!ready) {
        this.fail(rpcError(ERR_NO_HOST,
          `the native host ${HOST_NAME} did not start (${why}); run "kelo-ca register"`));
      } else {
        this.fail(rpcError(ERR_HOST_GONE, `the native host ended: ${why}`));
      }
    });
    native.onMessage.addListener((msg) => {
      if (!ready) {
        // Any answer to the hello proves the host runs and speaks JSON-RPC
        // (a host too old to know the hello answers "unknown method").
        ready = true;
        this.send({ type: 'ready' });
        return;
      }
      this.fromHost(msg);
    });
    // First message on the port, before any page call: the host takes the
    // origin from it (and from nothing later) to name it in its dialogs. The
    // round trip also fails create() when the host is missing, rather than
    // the first call.
    native.postMessage({ jsonrpc: '2.0', id: 0, method: HELLO_METHOD, params: { origin: this.origin } });
  }

  fromPage(msg) {
    if (this.closed || !msg || msg.type !== 'call') return;
    const req = msg.request;
    const pageId = req && (typeof req.id === 'number' || typeof req.id === 'string') ? req.id : null;
    if (!req || typeof req !== 'object' || typeof req.method !== 'string' || pageId === null ||
        (req.params !== undefined && (typeof req.params !== 'object' || req.params === null))) {
      this.send({ type: 'response', response: { jsonrpc: '2.0', id: pageId,
        error: { code: -32600, message: 'invalid request' } } });
      return;
    }
    if (isHostMethod(req.method)) {
      this.send({ type: 'response', response: { jsonrpc: '2.0', id: pageId,
        error: rpcError(ERR_UNKNOWN_NAME, `unknown method: ${req.method}`) } });
      return;
    }
    if (!this.native) {
      this.send({ type: 'response', response: { jsonrpc: '2.0', id: pageId,
        error: rpcError(ERR_HOST_GONE, 'the control is not connected') } });
      return;
    }
    // Our own ids towards the host, so that a page reusing an id cannot
    // confuse which answer belongs to which call.
    const id = this.nextId++;
    this.pending.set(id, pageId);
    const out = { jsonrpc: '2.0', id, method: req.method };
    if (req.params !== undefined) out.params = req.params;
    this.native.postMessage(out);
  }

  fromHost(msg) {
    if (!msg || typeof msg !== 'object' || !this.pending.has(msg.id)) return;
    const pageId = this.pending.get(msg.id);
    this.pending.delete(msg.id);
    const response = { jsonrpc: '2.0', id: pageId };
    if ('error' in msg) response.error = msg.error;
    else response.result = msg.result;
    this.send({ type: 'response', response });
  }
}

api.runtime.onConnect.addListener((port) => {
  if (port.name !== CONTROL_PORT) return;
  // The origin comes from the browser, not from anything the page says.
  const origin = port.sender && port.sender.origin;
  if (!port.sender || port.sender.id !== api.runtime.id || !port.sender.tab ||
      typeof origin !== 'string') {
    port.disconnect();
    return;
  }
  new Control(port, origin).start();
});

// A revoked origin loses its open controls too, not only future ones.
api.storage.onChanged.addListener(async () => {
  for (const c of [...controls]) {
    if ((await decision(c.origin)) !== 'allow' && c.native) {
      c.fail(rpcError(ERR_NOT_ALLOWED, `access for ${c.origin} was revoked`));
    }
  }
});
