// @ts-check
// The bridge's rules that need no browser: limits, the operations asked
// about every time, which answers carry the token's flags, the words for a
// missing host, and which call a host message answers. Loaded by the
// background (importScripts in the Chromium worker, listed before
// background.js in Firefox), by the consent page, and by the unit tests.
'use strict';

(function exportRules(root) {
  // The native host refuses a longer message (UTF-8 JSON) and then ends, so
  // every call of the control would be lost with it.
  const MAX_REQUEST_BYTES = 1024 * 1024;
  // Open controls at once (one host process each), counted from the moment
  // the extension accepts create() until the control closes.
  const MAX_CONTROLS_PER_TAB = 4;
  const MAX_CONTROLS_PER_ORIGIN = 16;

  // Operations the person confirms at every call, whatever the origin's
  // standing consent. Keyed by the lower-case name: the host matches method
  // names ignoring ASCII case, so "tokeninitialize" is the same call. The
  // window names each in plain words and says what it destroys.
  const CONFIRMED = Object.freeze({
    tokeninitialize: Object.freeze({
      name: 'TokenInitialize',
      title: 'Erase the security token?',
      effect: 'erase and initialize your security token',
      consequence: 'This erases every key and certificate on the token and sets new PINs. ' +
        'What is erased cannot be recovered.',
      allow: 'Erase the token',
    }),
    changesopin: Object.freeze({
      name: 'ChangeSOPin',
      title: 'Change the security officer PIN?',
      effect: 'change the security officer PIN of your security token',
      consequence: 'The security officer (administrator) PIN is the one that unblocks the user PIN. ' +
        'After the change only the new one works.',
      allow: 'Change the PIN',
    }),
    unblockuserpin: Object.freeze({
      name: 'UnblockUserPin',
      title: 'Replace the user PIN?',
      effect: 'replace the user PIN of your security token',
      consequence: 'Using the security officer PIN, the site unblocks the user PIN and sets a new one. ' +
        'The old user PIN stops working.',
      allow: 'Replace the PIN',
    }),
  });

  // After a PIN method fails on the PIN (result codes 4001..4008) the page
  // also learns what the token now says about its PINs (tries left, locked),
  // which the result code alone does not tell.
  const PIN_METHODS = new Set(['login', 'changeuserpin', 'changesopin', 'unblockuserpin', 'tokeninitialize']);
  const PIN_FAILURES = { first: 4001, last: 4008 };

  /** @param {string} s */
  const asciiLower = (s) => s.replace(/[A-Z]/g, (c) => String.fromCharCode(c.charCodeAt(0) + 32));

  /**
   * @typedef {{ readonly name: string, readonly title: string, readonly effect: string,
   *   readonly consequence: string, readonly allow: string }} Operation
   */
  /**
   * The operation a method name means if it needs confirmation, else null.
   * @param {unknown} method
   * @returns {Operation | null}
   */
  function confirmedOperation(method) {
    if (typeof method !== 'string') return null;
    const key = /** @type {keyof CONFIRMED} */ (asciiLower(method));
    return Object.prototype.hasOwnProperty.call(CONFIRMED, key) ? CONFIRMED[key] : null;
  }

  /**
   * The session whose token flags the page should get with this answer, or
   * null: the call was a PIN method, it failed on the PIN, and it named a
   * session (first positional parameter, or SessionID in any letter case).
   * @param {{ method: string, params?: unknown }} request as the page sent it
   * @param {unknown} result the host's result for it
   * @returns {number | null}
   */
  function pinFailureSession(request, result) {
    if (typeof result !== 'number' || result < PIN_FAILURES.first || result > PIN_FAILURES.last) return null;
    if (!PIN_METHODS.has(asciiLower(request.method))) return null;
    const params = request.params;
    let sid;
    if (Array.isArray(params)) {
      sid = params[0];
    } else if (params && typeof params === 'object') {
      const key = Object.keys(params).find((k) => asciiLower(k) === 'sessionid');
      sid = key === undefined ? undefined : /** @type {{ [k: string]: unknown }} */ (params)[key];
    }
    return Number.isInteger(sid) ? /** @type {number} */ (sid) : null;
  }

  /**
   * Why create() failed when the native host did not start, and what to do.
   * @param {string} host its registered name
   * @param {string} why what the browser said
   */
  function noHostMessage(host, why) {
    // Chromium: "Specified native messaging host not found." Firefox: "No
    // such native application ...".
    if (/not found|no such native application/i.test(why)) {
      return `the native host ${host} is not registered with this browser (${why}). ` +
        'Install kelo-ca and run "kelo-ca register" as the user of this browser, then reload the page';
    }
    return `the native host ${host} did not start (${why}). ` +
      'Check that kelo-ca is installed, run "kelo-ca register" again, then reload the page';
  }

  /**
   * Bytes of the message as the host receives it: the browsers hand it over
   * as JSON.stringify writes it, in UTF-8.
   * @param {unknown} msg
   */
  function requestBytes(msg) {
    return new TextEncoder().encode(JSON.stringify(msg)).length;
  }

  /**
   * Why one more control may not open in this tab for this origin, or null.
   * @param {Iterable<{ tabId: number | undefined, origin: string }>} open the controls open now
   * @param {number | undefined} tabId
   * @param {string} origin
   * @returns {string | null}
   */
  function capExceeded(open, tabId, origin) {
    let inTab = 0;
    let ofOrigin = 0;
    for (const c of open) {
      if (c.tabId === tabId) inTab++;
      if (c.origin === origin) ofOrigin++;
    }
    if (inTab >= MAX_CONTROLS_PER_TAB) {
      return `this tab already has ${MAX_CONTROLS_PER_TAB} open controls; close one before creating another`;
    }
    if (ofOrigin >= MAX_CONTROLS_PER_ORIGIN) {
      return `${origin} already has ${MAX_CONTROLS_PER_ORIGIN} open controls; close one before creating another`;
    }
    return null;
  }

  /**
   * Which pending call a host message answers: { id } (our id towards the
   * host), or { stray } saying why it answers none. A stray answer cannot be
   * matched to its call, so the caller ends the whole control rather than
   * leave that call waiting for ever.
   * @param {any} msg as the host sent it, unchecked
   * @param {Map<number, unknown>} pending keyed by our ids
   * @returns {{ id: number, stray?: undefined } | { stray: string, id?: undefined }}
   */
  function routeHostMessage(msg, pending) {
    if (!msg || typeof msg !== 'object' || Array.isArray(msg)) {
      return { stray: 'the native host sent something that is not an answer' };
    }
    const hostSaid = msg.error && typeof msg.error.message === 'string' ? ` (${msg.error.message})` : '';
    if (!pending.has(msg.id)) {
      const which = msg.id === null || msg.id === undefined ? 'no call' : 'no pending call';
      return { stray: `the native host sent an answer for ${which}${hostSaid}` };
    }
    if (!('result' in msg) && !('error' in msg)) {
      return { stray: 'the native host sent an answer with neither result nor error' };
    }
    return { id: msg.id };
  }

  const rules = Object.freeze({
    MAX_REQUEST_BYTES, MAX_CONTROLS_PER_TAB, MAX_CONTROLS_PER_ORIGIN,
    confirmedOperation, pinFailureSession, noHostMessage, requestBytes, capExceeded, routeHostMessage,
  });
  if (typeof module === 'object' && module.exports) module.exports = rules;
  else root.keloRules = rules;
})(globalThis);
