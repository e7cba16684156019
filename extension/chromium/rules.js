// @ts-check
// The bridge's rules that need no browser: limits, the operations asked
// about every time, and which call a host message answers. Loaded by the
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
  // names ignoring ASCII case, so "tokeninitialize" is the same call.
  const CONFIRMED = Object.freeze({
    tokeninitialize: Object.freeze({
      name: 'TokenInitialize',
      effect: 'initialize the security token: this erases every key and certificate on it and sets new PINs',
    }),
    changesopin: Object.freeze({
      name: 'ChangeSOPin',
      effect: 'change the security officer (administrator) PIN of the security token',
    }),
    unblockuserpin: Object.freeze({
      name: 'UnblockUserPin',
      effect: 'unblock the user PIN of the security token and set a new one, using the security officer PIN',
    }),
  });

  /** @param {string} s */
  const asciiLower = (s) => s.replace(/[A-Z]/g, (c) => String.fromCharCode(c.charCodeAt(0) + 32));

  /**
   * The operation a method name means if it needs confirmation, else null.
   * @param {unknown} method
   * @returns {{ readonly name: string, readonly effect: string } | null}
   */
  function confirmedOperation(method) {
    if (typeof method !== 'string') return null;
    const key = /** @type {keyof CONFIRMED} */ (asciiLower(method));
    return Object.prototype.hasOwnProperty.call(CONFIRMED, key) ? CONFIRMED[key] : null;
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
    confirmedOperation, requestBytes, capExceeded, routeHostMessage,
  });
  if (typeof module === 'object' && module.exports) module.exports = rules;
  else root.keloRules = rules;
})(globalThis);
