// @ts-check
// Bridge between pages and the native host: one runtime port from the content
// script per page-side control, one native port (so one host process, one
// control) behind it. Consent is asked per origin before any host is started.
// Shared by the Chromium (MV3 service worker) and Firefox (MV2 background
// page) builds of the extension. The messages it exchanges are described in
// constants.js.
'use strict';

/** @typedef {import('./constants.js').RpcError} RpcError */
/** @typedef {import('./constants.js').RpcRequest} RpcRequest */
/** @typedef {import('./constants.js').RpcResponse} RpcResponse */
/** @typedef {import('./constants.js').FromBackground} FromBackground */
/** @typedef {import('./constants.js').PromptReply} PromptReply */
/** @typedef {import('./constants.js').ResponseMessage} ResponseMessage */
/** @typedef {'allow' | 'deny' | 'closed'} Answer */

// Firefox's promise-based namespace where there is one, else Chromium's.
const api = globalThis.browser ?? globalThis.chrome;
// Firefox's manifest loads these first; Chromium's worker loads them here.
if (typeof importScripts === 'function') importScripts('constants.js', 'rules.js');
const rules = globalThis.keloRules;
const {
  HOST_NAME, CONTROL_PORT, STORE_KEY, MANAGED_KEY, HELLO_METHOD, TOKEN_FLAGS_METHOD, ERRORS, rpcError,
} = globalThis.keloConstants;
// How long an answer waits for the token's flags before it goes without.
const TOKEN_FLAGS_WAIT_MS = 2000;
const EXTENSION_NAME = api.runtime.getManifest().name;
// Where a person changes a site's standing answer, as the errors tell it.
const WHERE_TO_CHANGE = `open the options of the "${EXTENSION_NAME}" extension (its button in the browser's ` +
  'toolbar or Extensions menu)';

// The toolbar button opens the options page: the sites and their answers.
// Chromium (MV3) calls it action, Firefox's MV2 browserAction.
(api.action ?? api.browserAction).onClicked.addListener(() => {
  api.runtime.openOptionsPage().catch(() => {});
});

// A host method (see HELLO_METHOD) is for the extension only, never a page.
/** @param {string} name */
const isHostMethod = (name) => name.includes('.');

/**
 * Pages in a secure context only: https, or plain http on the loopback names.
 * @param {string} origin
 */
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

/** @returns {Promise<{ [origin: string]: string }>} */
async function storedAnswers() {
  const got = await api.storage.local.get(STORE_KEY);
  const v = /** @type {{ [origin: string]: string } | undefined} */ (got[STORE_KEY]);
  return v && typeof v === 'object' ? v : {};
}

/** @param {string} origin */
async function decision(origin) {
  if ((await managedOrigins()).includes(origin)) return 'allow';
  return (await storedAnswers())[origin] || 'ask';
}

/**
 * @param {string} origin
 * @param {'allow' | 'deny'} answer
 */
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
/**
 * @typedef {object} Prompt
 * @property {string} nonce
 * @property {string} origin
 * @property {Map<string, Prompt>} byOrigin consentByOrigin or confirmByOrigin
 * @property {boolean} consent
 * @property {number | null} windowId
 * @property {{ resolve: (answer: Answer) => void, reject: (error: Error) => void }[]} waiters
 */
/** @type {Map<string, Prompt>} */
const prompts = new Map(); // by nonce
/** @type {Map<string, Prompt>} */
const consentByOrigin = new Map();
/** @type {Map<string, Prompt>} */
const confirmByOrigin = new Map();

/**
 * @param {Prompt} prompt
 * @returns {Promise<Answer>}
 */
function waitAnswer(prompt) {
  return new Promise((resolve, reject) => prompt.waiters.push({ resolve, reject }));
}

// Its answer (waitAnswer) is 'allow', 'deny' or 'closed' (the window closed
// unanswered); it rejects when the window cannot open or the answer cannot be
// stored.
/**
 * @param {Map<string, Prompt>} byOrigin
 * @param {string} origin
 * @param {{ op?: string }} query
 */
function openPrompt(byOrigin, origin, query) {
  const nonce = crypto.randomUUID();
  /** @type {Prompt} */
  const prompt = { nonce, origin, byOrigin, consent: byOrigin === consentByOrigin, windowId: null, waiters: [] };
  byOrigin.set(origin, prompt);
  prompts.set(nonce, prompt);
  const url = api.runtime.getURL(`consent.html?${new URLSearchParams({ nonce, origin, ...query })}`);
  // About the size of the page, which fits the window to itself once drawn.
  api.windows.create({ url, type: 'popup', width: 480, height: 300, focused: true })
    .then((w) => {
      // Every window the browser opened has an id.
      if (w?.id === undefined) throw new Error('the browser gave the window no id');
      prompt.windowId = w.id;
      // Answered (or its control gone) while the window was opening.
      if (prompts.get(nonce) !== prompt) api.windows.remove(w.id).catch(() => {});
    })
    .catch((e) => finishPrompt(prompt, null, new Error(`cannot open the window that asks the user: ${e.message}`)));
  return prompt;
}

/** @param {string} origin */
function askConsent(origin) {
  return waitAnswer(consentByOrigin.get(origin) ?? openPrompt(consentByOrigin, origin, {}));
}

/**
 * @param {Prompt} prompt
 * @param {Answer | null} answer null when error says why there is none
 * @param {Error} [error]
 */
function finishPrompt(prompt, answer, error) {
  if (prompts.get(prompt.nonce) !== prompt) return;
  prompts.delete(prompt.nonce);
  prompt.byOrigin.delete(prompt.origin);
  for (const w of prompt.waiters) {
    if (error) w.reject(error);
    else w.resolve(/** @type {Answer} */ (answer));
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

// msg: a ConsentMessage or a KeepaliveMessage, as checked here.
api.runtime.onMessage.addListener((msg, sender, /** @type {(reply: PromptReply) => void} */ sendResponse) => {
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
/** @type {Set<Control>} */
const controls = new Set();

// What a host answer is for: a page's call, or the token's flags that one
// of its answers waits for.
/**
 * @typedef {{ message: ResponseMessage, ready: boolean, timer?: ReturnType<typeof setTimeout> }} Outgoing
 * @typedef {{ pageId: number | string, request: RpcRequest } | { flagsFor: Outgoing }} HostCall
 */

class Control {
  /**
   * @param {chrome.runtime.Port} pagePort from the content script
   * @param {string} origin
   * @param {number | undefined} tabId
   */
  constructor(pagePort, origin, tabId) {
    this.page = pagePort;
    this.origin = origin;
    this.tabId = tabId;
    /** @type {chrome.runtime.Port | null} */
    this.native = null;
    this.nextId = 1;
    /** @type {Map<number, HostCall>} by our id towards the host */
    this.pending = new Map();
    // Answers on their way to the page, in the order the host gave them: one
    // that waits for the token's flags holds back those behind it.
    /** @type {Outgoing[]} */
    this.outbox = [];
    // Calls that arrived while a confirmation is open; they wait for it so
    // that the host still sees the page's calls in the page's order.
    /** @type {RpcRequest[] | null} */
    this.held = null;
    /** @type {Prompt | null} the confirmation prompt open for one of our calls */
    this.confirming = null;
    this.closed = false;
    controls.add(this);
    pagePort.onDisconnect.addListener(() => this.close());
    pagePort.onMessage.addListener((msg) => this.fromPage(msg));
  }

  /** @param {FromBackground} msg */
  send(msg) {
    if (this.closed) return;
    try {
      this.page.postMessage(msg);
    } catch {
      this.close();
    }
  }

  /**
   * @param {number | string | null} pageId
   * @param {RpcError} error
   */
  reply(pageId, error) {
    this.send({ type: 'response', response: { jsonrpc: '2.0', id: pageId, error } });
  }

  // Ends the page side with an error: pending calls and the control are gone.
  // dismissed: the consent window was closed unanswered, which the content
  // script keeps as a denial for the rest of the page load.
  /** @param {RpcError} error */
  fail(error, dismissed = false) {
    if (this.closed) return;
    // Answers the host gave still reach the page, with or without flags.
    for (const out of this.outbox) {
      clearTimeout(out.timer);
      this.send(out.message);
    }
    this.outbox = [];
    this.send(dismissed ? { type: 'gone', error, dismissed } : { type: 'gone', error });
    this.close();
  }

  close() {
    if (this.closed) return;
    this.closed = true;
    controls.delete(this);
    this.pending.clear();
    for (const out of this.outbox) clearTimeout(out.timer);
    this.outbox = [];
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
      this.fail(rpcError(ERRORS.INTERNAL, `the extension could not decide on ${this.origin}: ${e.message}`));
    }
  }

  async admit() {
    if (!isSecureOrigin(this.origin)) {
      this.fail(rpcError(ERRORS.NOT_ALLOWED, `${this.origin} is not a secure context`));
      return;
    }
    let answer = await decision(this.origin);
    if (answer === 'ask') answer = await askConsent(this.origin);
    if (this.closed) return;
    if (answer === 'closed') {
      this.fail(rpcError(ERRORS.NOT_ALLOWED, `${this.origin} is not allowed to use the security token: ` +
        'the consent window was closed without an answer. Reload the page to be asked again'), true);
      return;
    }
    if (answer !== 'allow') {
      this.fail(rpcError(ERRORS.NOT_ALLOWED, `${this.origin} is not allowed to use the security token: ` +
        `access was denied for this site. To undo that, ${WHERE_TO_CHANGE} and choose "Ask again" for ${this.origin}`));
      return;
    }
    this.connectNative();
  }

  connectNative() {
    let native;
    try {
      native = api.runtime.connectNative(HOST_NAME);
    } catch (e) {
      this.fail(rpcError(ERRORS.NO_HOST, rules.noHostMessage(HOST_NAME, e.message)));
      return;
    }
    this.native = native;
    let ready = false;
    native.onDisconnect.addListener((/** @type {chrome.runtime.Port & { error?: Error | null }} */ port) => {
      // Firefox says why on the port, Chromium in lastError.
      const err = (port && port.error) || api.runtime.lastError;
      const why = err && err.message ? err.message : 'it exited';
      this.native = null;
      if (!ready) {
        this.fail(rpcError(ERRORS.NO_HOST, rules.noHostMessage(HOST_NAME, why)));
      } else {
        this.fail(rpcError(ERRORS.HOST_GONE, `the native host ended: ${why}`));
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

  /** @param {any} msg from the page, unchecked: a CallMessage if well-behaved */
  fromPage(msg) {
    if (this.closed || !msg || msg.type !== 'call') return;
    const req = msg.request;
    const pageId = req && (typeof req.id === 'number' || typeof req.id === 'string') ? req.id : null;
    if (!req || typeof req !== 'object' || typeof req.method !== 'string' || pageId === null ||
        (req.params !== undefined && (typeof req.params !== 'object' || req.params === null))) {
      this.reply(pageId, rpcError(ERRORS.INVALID_REQUEST, 'invalid request'));
      return;
    }
    if (isHostMethod(req.method)) {
      this.reply(pageId, rpcError(ERRORS.UNKNOWN_NAME, `unknown method: ${req.method}`));
      return;
    }
    this.handle(req);
  }

  /** @param {RpcRequest} req */
  handle(req) {
    const op = rules.confirmedOperation(req.method);
    // One confirmation window per origin: no storm of windows, and no call
    // queued behind a question the person has not seen yet.
    if (op && confirmByOrigin.has(this.origin)) {
      this.reply(req.id, rpcError(ERRORS.NOT_ALLOWED, `${op.name} was not run: a confirmation ` +
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

  /**
   * @param {RpcRequest} req
   * @param {{ name: string }} op
   */
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
        this.reply(req.id, rpcError(ERRORS.NOT_ALLOWED,
          `${op.name} was not run, the token is untouched: ${how}`));
      }
      const held = /** @type {RpcRequest[]} */ (this.held); // set above; only close() clears it
      this.held = null;
      // A held call may open the next confirmation; the rest wait again.
      while (held.length > 0 && !this.closed) {
        const next = /** @type {RpcRequest} */ (held.shift());
        const waiting = /** @type {RpcRequest[] | null} */ (this.held); // handle() may set it
        if (waiting) waiting.push(next);
        else this.handle(next);
      }
    }).catch((e) => this.fail(rpcError(ERRORS.INTERNAL, `${op.name} was not run: ${e.message}`)));
  }

  /** @param {RpcRequest} req */
  forward(req) {
    if (!this.native) {
      this.reply(req.id, rpcError(ERRORS.HOST_GONE, 'the control is not connected'));
      return;
    }
    // Our own ids towards the host, so that a page reusing an id cannot
    // confuse which answer belongs to which call.
    const id = this.nextId++;
    /** @type {RpcRequest} */
    const out = { jsonrpc: '2.0', id, method: req.method };
    if (req.params !== undefined) out.params = req.params;
    let bytes;
    try {
      bytes = rules.requestBytes(out);
    } catch {
      // Only a sender that bypasses the page API gets here (a BigInt, a cycle).
      this.reply(req.id, rpcError(ERRORS.INVALID_REQUEST, `${req.method} was not run: its parameters are not JSON`));
      return;
    }
    if (bytes > rules.MAX_REQUEST_BYTES) {
      this.reply(req.id, rpcError(ERRORS.INVALID_REQUEST, `${req.method} was not run: its request is ${bytes} bytes ` +
        `of JSON, more than the native host accepts (${rules.MAX_REQUEST_BYTES} bytes)`));
      return;
    }
    this.pending.set(id, { pageId: req.id, request: req });
    try {
      this.native.postMessage(out);
    } catch (e) {
      this.fail(rpcError(ERRORS.HOST_GONE, `cannot reach the native host: ${e.message}`));
    }
  }

  /** @param {any} msg from the host, unchecked */
  fromHost(msg) {
    if (this.closed) return;
    const route = rules.routeHostMessage(msg, this.pending);
    if (route.stray !== undefined) {
      this.fail(rpcError(ERRORS.HOST_GONE, `${route.stray}; the control was closed`));
      return;
    }
    const call = /** @type {HostCall} */ (this.pending.get(route.id)); // routed: it is pending
    this.pending.delete(route.id);
    if ('flagsFor' in call) {
      const flags = msg.result && typeof msg.result === 'object' ? msg.result.flags : undefined;
      // Too late (already passed on without them) or no flags: nothing to add.
      if (!call.flagsFor.ready && Number.isInteger(flags) && flags >= 0) call.flagsFor.message.tokenFlags = flags;
      this.release(call.flagsFor);
      return;
    }
    /** @type {RpcResponse} */
    const response = { jsonrpc: '2.0', id: call.pageId };
    if ('error' in msg) response.error = msg.error;
    else response.result = msg.result;
    /** @type {Outgoing} */
    const out = { message: { type: 'response', response }, ready: true };
    this.outbox.push(out);
    const sid = 'error' in msg ? null : rules.pinFailureSession(call.request, msg.result);
    if (sid !== null) this.askTokenFlags(out, sid);
    this.flush();
  }

  // Asks the host for the token's flags that `out` should carry. The page's
  // calls keep their order and ids: ours towards the host are our own, and
  // the answers behind `out` wait for it.
  /**
   * @param {Outgoing} out
   * @param {number} sid
   */
  askTokenFlags(out, sid) {
    if (!this.native) return;
    const id = this.nextId++;
    this.pending.set(id, { flagsFor: out });
    out.ready = false;
    // A late answer still finds its entry in pending and is dropped there.
    out.timer = setTimeout(() => this.release(out), TOKEN_FLAGS_WAIT_MS);
    try {
      this.native.postMessage({ jsonrpc: '2.0', id, method: TOKEN_FLAGS_METHOD, params: { SessionID: sid } });
    } catch {
      this.release(out); // the port is gone; its disconnect ends the control
    }
  }

  /** @param {Outgoing} out */
  release(out) {
    if (out.ready) return;
    clearTimeout(out.timer);
    out.ready = true;
    this.flush();
  }

  flush() {
    while (this.outbox.length > 0 && this.outbox[0].ready) {
      this.send(/** @type {Outgoing} */ (this.outbox.shift()).message);
    }
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
    port.postMessage({ type: 'gone', error: rpcError(ERRORS.TOO_MANY, tooMany) });
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
      if (d !== 'allow' && c.native) {
        c.fail(rpcError(ERRORS.NOT_ALLOWED, `access for ${c.origin} was revoked in the extension's options; ` +
          'create the control again to be asked'));
      }
    }, (e) => {
      c.fail(rpcError(ERRORS.INTERNAL, `cannot read which origins are allowed (${e.message}); the control was closed`));
    });
  }
});
