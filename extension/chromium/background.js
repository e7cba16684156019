// Bridge between pages and the native host: one runtime port from the content
// script per page-side control, one native port (so one host process, one
// control) behind it. Consent is asked per origin before any host is started.
// Shared by the Chromium (MV3 service worker) and Firefox (MV2 background
// page) builds of the extension.
'use strict';

// Firefox's promise-based namespace where there is one, else Chromium's.
const api = globalThis.browser ?? globalThis.chrome;
// Firefox's manifest loads the rules first; Chromium's worker loads them here.
if (typeof importScripts === 'function') importScripts('rules.js');
const rules = globalThis.keloRules;

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
const ERR_TOO_MANY = { code: -32004 }; // no COM client meets a cap on controls
const ERR_TOO_LARGE = { code: -32600 }; // as the host refuses an oversized request
const ERR_INTERNAL = { code: -32603, hresult: '0x80004005' }; // E_FAIL

// The host's own methods have a dot in their name, the control's never do:
// only the extension may greet the host, a page never.
const HELLO_METHOD = 'kelo.hello';
const isHostMethod = (name) => name.includes('.');

function rpcError(kind, message) {
  return kind.hresult ? { code: kind.code, message, data: { hresult: kind.hresult } } : { code: kind.code, message };
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

// Windows that ask the person, in flight: the consent to an origin, and the
// confirmation of one operation. An origin has at most one of each open;
// several create() calls from one origin share its consent window. The nonce
// ties a window's answer to its question, so the page shown cannot answer
// for another origin or another question.
const prompts = new Map(); // nonce -> { nonce, origin, byOrigin, consent, windowId, waiters }
const consentByOrigin = new Map(); // origin -> prompt
const confirmByOrigin = new Map(); // origin -> prompt

function waitAnswer(prompt) {
  return new Promise((resolve, reject) => prompt.waiters.push({ resolve, reject }));
}

// Its answer (waitAnswer) is 'allow', 'deny' or 'closed' (the window closed
// unanswered); it rejects when the window cannot open or the answer cannot be
// stored.
function openPrompt(byOrigin, origin, query) {
  const nonce = crypto.randomUUID();
  const prompt = { nonce, origin, byOrigin, consent: byOrigin === consentByOrigin, windowId: null, waiters: [] };
  byOrigin.set(origin, prompt);
  prompts.set(nonce, prompt);
  const url = api.runtime.getURL(`consent.html?${new URLSearchParams({ nonce, origin, ...query })}`);
  api.windows.create({ url, type: 'popup', width: 480, height: 300, focused: true })
    .then((w) => {
      prompt.windowId = w.id;
      // Answered (or its control gone) while the window was opening.
      if (prompts.get(nonce) !== prompt) api.windows.remove(w.id).catch(() => {});
    })
    .catch((e) => finishPrompt(prompt, null, new Error(`cannot open the window that asks the user: ${e.message}`)));
  return prompt;
}

function askConsent(origin) {
  return waitAnswer(consentByOrigin.get(origin) ?? openPrompt(consentByOrigin, origin, {}));
}

function finishPrompt(prompt, answer, error) {
  if (prompts.get(prompt.nonce) !== prompt) return;
  prompts.delete(prompt.nonce);
  prompt.byOrigin.delete(prompt.origin);
  for (const w of prompt.waiters) {
    if (error) w.reject(error);
    else w.resolve(answer);
  }
  if (prompt.windowId !== null && answer !== 'closed') {
    api.windows.remove(prompt.windowId).catch(() => {});
  }
}

api.windows.onRemoved.addListener((windowId) => {
  for (const prompt of [...prompts.values()]) {
    if (prompt.windowId === windowId) finishPrompt(prompt, 'closed');
  }
});

api.runtime.onMessage.addListener((msg, sender, sendResponse) => {
  // Only our own consent page may answer, never a content script.
  if (sender.id !== api.runtime.id || !sender.url ||
      !sender.url.startsWith(api.runtime.getURL('consent.html'))) {
    return false;
  }
  if (msg && msg.type === 'consent' && typeof msg.nonce === 'string') {
    const prompt = prompts.get(msg.nonce);
    if (!prompt) {
      sendResponse({ ok: false });
      return false;
    }
    const answer = msg.allow === true ? 'allow' : 'deny';
    if (!prompt.consent) {
      // A confirmation holds for this one call: nothing to remember.
      finishPrompt(prompt, answer);
      sendResponse({ ok: true });
      return false;
    }
    remember(prompt.origin, answer).then(
      () => finishPrompt(prompt, answer),
      (e) => finishPrompt(prompt, null, new Error(`cannot store the answer: ${e.message}`)),
    ).finally(() => sendResponse({ ok: true }));
    return true;
  }
  // The consent page pings while it is open so that the worker is not stopped
  // (and the waiting create() lost) while the user thinks.
  if (msg && msg.type === 'keepalive') sendResponse({ ok: true });
  return false;
});

// Open controls: a revoked origin loses them at once, and they count against
// the caps from the moment they are accepted.
const controls = new Set();

class Control {
  constructor(pagePort, origin, tabId) {
    this.page = pagePort;
    this.origin = origin;
    this.tabId = tabId;
    this.native = null;
    this.nextId = 1;
    this.pending = new Map(); // our id -> the page's id
    // Calls that arrived while a confirmation is open; they wait for it so
    // that the host still sees the page's calls in the page's order.
    this.held = null;
    this.confirming = null; // the confirmation prompt open for one of our calls
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

  reply(pageId, error) {
    this.send({ type: 'response', response: { jsonrpc: '2.0', id: pageId, error } });
  }

  // Ends the page side with an error: pending calls and the control are gone.
  // dismissed: the consent window was closed unanswered, which the content
  // script keeps as a denial for the rest of the page load.
  fail(error, dismissed = false) {
    if (this.closed) return;
    this.send(dismissed ? { type: 'gone', error, dismissed } : { type: 'gone', error });
    this.close();
  }

  close() {
    if (this.closed) return;
    this.closed = true;
    controls.delete(this);
    this.pending.clear();
    this.held = null;
    // Nobody is left to run the operation: its question goes away.
    if (this.confirming) finishPrompt(this.confirming, 'deny');
    if (this.native) this.native.disconnect(); // the host ends on end of input
    try {
      this.page.disconnect();
    } catch {
      // already gone
    }
  }

  // Never rejects: whatever fails on the way ends create() with an error.
  async start() {
    try {
      await this.admit();
    } catch (e) {
      this.fail(rpcError(ERR_INTERNAL, `the extension could not decide on ${this.origin}: ${e.message}`));
    }
  }

  async admit() {
    if (!isSecureOrigin(this.origin)) {
      this.fail(rpcError(ERR_NOT_ALLOWED, `${this.origin} is not a secure context`));
      return;
    }
    let answer = await decision(this.origin);
    if (answer === 'ask') answer = await askConsent(this.origin);
    if (this.closed) return;
    if (answer === 'closed') {
      this.fail(rpcError(ERR_NOT_ALLOWED, `${this.origin} is not allowed to use the security token: ` +
        'the consent window was closed without an answer (reload the page to be asked again)'), true);
      return;
    }
    if (answer !== 'allow') {
      this.fail(rpcError(ERR_NOT_ALLOWED,
        `${this.origin} is not allowed to use the security token: the user denied it`));
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
      this.reply(pageId, { code: -32600, message: 'invalid request' });
      return;
    }
    if (isHostMethod(req.method)) {
      this.reply(pageId, rpcError(ERR_UNKNOWN_NAME, `unknown method: ${req.method}`));
      return;
    }
    this.handle(req);
  }

  handle(req) {
    const op = rules.confirmedOperation(req.method);
    // One confirmation window per origin: no storm of windows, and no call
    // queued behind a question the person has not seen yet.
    if (op && confirmByOrigin.has(this.origin)) {
      this.reply(req.id, rpcError(ERR_NOT_ALLOWED, `${op.name} was not run: a confirmation ` +
        `for ${this.origin} is already open; wait for its answer`));
      return;
    }
    if (this.held) {
      this.held.push(req);
      return;
    }
    if (op) this.confirm(req, op);
    else this.forward(req);
  }

  confirm(req, op) {
    this.held = [];
    this.confirming = openPrompt(confirmByOrigin, this.origin, { op: op.name });
    waitAnswer(this.confirming).then((answer) => {
      this.confirming = null;
      if (this.closed) return;
      if (answer === 'allow') {
        this.forward(req);
      } else {
        const how = answer === 'closed' ? 'the confirmation window was closed' : 'the user denied it';
        this.reply(req.id, rpcError(ERR_NOT_ALLOWED,
          `${op.name} was not run, the token is untouched: ${how}`));
      }
      const held = this.held;
      this.held = null;
      // A held call may open the next confirmation; the rest wait again.
      while (held.length > 0 && !this.closed) {
        if (this.held) this.held.push(held.shift());
        else this.handle(held.shift());
      }
    }).catch((e) => this.fail(rpcError(ERR_INTERNAL, `${op.name} was not run: ${e.message}`)));
  }

  forward(req) {
    if (!this.native) {
      this.reply(req.id, rpcError(ERR_HOST_GONE, 'the control is not connected'));
      return;
    }
    // Our own ids towards the host, so that a page reusing an id cannot
    // confuse which answer belongs to which call.
    const id = this.nextId++;
    const out = { jsonrpc: '2.0', id, method: req.method };
    if (req.params !== undefined) out.params = req.params;
    const bytes = rules.requestBytes(out);
    if (bytes > rules.MAX_REQUEST_BYTES) {
      this.reply(req.id, rpcError(ERR_TOO_LARGE, `${req.method} was not run: its request is ${bytes} bytes ` +
        `of JSON, more than the native host accepts (${rules.MAX_REQUEST_BYTES} bytes)`));
      return;
    }
    this.pending.set(id, req.id);
    try {
      this.native.postMessage(out);
    } catch (e) {
      this.fail(rpcError(ERR_HOST_GONE, `cannot reach the native host: ${e.message}`));
    }
  }

  fromHost(msg) {
    if (this.closed) return;
    const route = rules.routeHostMessage(msg, this.pending);
    if (route.stray) {
      this.fail(rpcError(ERR_HOST_GONE, `${route.stray}; the control was closed`));
      return;
    }
    const pageId = this.pending.get(route.id);
    this.pending.delete(route.id);
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
  const tabId = port.sender.tab.id;
  const tooMany = rules.capExceeded(controls, tabId, origin);
  if (tooMany) {
    port.postMessage({ type: 'gone', error: rpcError(ERR_TOO_MANY, tooMany) });
    port.disconnect();
    return;
  }
  new Control(port, origin, tabId).start();
});

// A revoked origin loses its open controls too, not only future ones; when
// the answers cannot be read, open controls close rather than stay unchecked.
api.storage.onChanged.addListener(() => {
  for (const c of [...controls]) {
    decision(c.origin).then((d) => {
      if (d !== 'allow' && c.native) c.fail(rpcError(ERR_NOT_ALLOWED, `access for ${c.origin} was revoked`));
    }, (e) => {
      c.fail(rpcError(ERR_INTERNAL, `cannot read which origins are allowed (${e.message}); the control was closed`));
    });
  }
});
