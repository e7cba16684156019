// @ts-check
// Relays between the page API and the extension. The page hands over one
// MessagePort per control; each gets its own runtime port, so the background
// starts one host per control. The page never talks to the host directly.
// The messages are described in constants.js.
'use strict';

(() => {
  // First, before any page script runs (document_start): the page API sees
  // at once whether the extension is there.
  document.documentElement?.setAttribute(globalThis.keloConstants.PRESENCE_ATTRIBUTE, '1');
  /** @typedef {import('./constants.js').RpcError} RpcError */
  /** @typedef {import('./constants.js').ToPage} ToPage */
  const { CREATE_TAG, CONTROL_PORT, ERRORS, rpcError } = globalThis.keloConstants;
  // Firefox's promise-based namespace where there is one, else Chromium's.
  const api = globalThis.browser ?? globalThis.chrome;
  // Set when a consent window was closed without an answer: the rest of this
  // page load is denied without asking again (a reload asks again).
  /** @type {RpcError | null} */
  let dismissed = null;

  window.addEventListener('message', (event) => {
    if (event.source !== window || !event.data || event.data.type !== CREATE_TAG) return;
    const pagePort = event.ports && event.ports[0];
    if (!pagePort) return;
    /** @param {ToPage} msg */
    const toPage = (msg) => pagePort.postMessage(msg);
    // Tells the page the extension is there, before any consent question.
    toPage({ type: 'ack' });
    if (dismissed) {
      toPage({ type: 'gone', error: dismissed });
      pagePort.close();
      return;
    }

    /** @type {chrome.runtime.Port} */
    let ext;
    try {
      ext = api.runtime.connect({ name: CONTROL_PORT });
    } catch (e) {
      // The extension was reloaded or removed under this page.
      toPage({ type: 'gone', error: rpcError(ERRORS.HOST_GONE, `the extension is not available: ${e.message}`) });
      pagePort.close();
      return;
    }
    let open = true;
    const end = () => {
      if (!open) return;
      open = false;
      pagePort.close();
      try {
        ext.disconnect();
      } catch {
        // already gone
      }
    };
    // msg: a FromBackground; passed on as it is.
    ext.onMessage.addListener((msg) => {
      if (!open) return;
      if (msg && msg.type === 'gone' && msg.dismissed === true) dismissed = msg.error;
      pagePort.postMessage(msg);
      if (msg && msg.type === 'gone') end();
    });
    ext.onDisconnect.addListener(() => {
      if (!open) return;
      toPage({ type: 'gone', error: rpcError(ERRORS.HOST_GONE, 'the extension closed the control') });
      end();
    });
    // A request the browser cannot pass on (too large, or not JSON) still
    // gets its answer, so that the call does not wait for ever.
    /** @param {any} request from the page, unchecked (the background checks it) */
    const relay = (request) => {
      try {
        ext.postMessage({ type: 'call', request });
      } catch (e) {
        const id = request && (typeof request.id === 'number' || typeof request.id === 'string') ? request.id : null;
        toPage({ type: 'response', response: { jsonrpc: '2.0', id, error: rpcError(ERRORS.INVALID_REQUEST,
          `the call could not be passed to the extension: ${e.message}`) } });
      }
    };
    // e.data: a FromPage if the page is well-behaved.
    pagePort.onmessage = (e) => {
      const msg = e.data;
      if (!open || !msg) return;
      if (msg.type === 'close') end();
      else if (msg.type === 'call') relay(msg.request);
    };
  });
})();
