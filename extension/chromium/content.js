// Relays between the page API and the extension. The page hands over one
// MessagePort per control; each gets its own runtime port, so the background
// starts one host per control. The page never talks to the host directly.
'use strict';

(() => {
  const TAG = 'kelo-ca/create';
  const CONTROL_PORT = 'kelo-ca-control';
  // Firefox's promise-based namespace where there is one, else Chromium's.
  const api = globalThis.browser ?? globalThis.chrome;
  // Set when a consent window was closed without an answer: the rest of this
  // page load is denied without asking again (a reload asks again).
  let dismissed = null;

  window.addEventListener('message', (event) => {
    if (event.source !== window || !event.data || event.data.type !== TAG) return;
    const pagePort = event.ports && event.ports[0];
    if (!pagePort) return;
    // Tells the page the extension is there, before any consent question.
    pagePort.postMessage({ type: 'ack' });
    if (dismissed) {
      pagePort.postMessage({ type: 'gone', error: dismissed });
      pagePort.close();
      return;
    }

    let ext;
    try {
      ext = api.runtime.connect({ name: CONTROL_PORT });
    } catch (e) {
      // The extension was reloaded or removed under this page.
      pagePort.postMessage({ type: 'gone', error: { code: -32000,
        message: `the extension is not available: ${e.message}`, data: { hresult: '0x80010108' } } });
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
    ext.onMessage.addListener((msg) => {
      if (!open) return;
      if (msg && msg.type === 'gone' && msg.dismissed === true) dismissed = msg.error;
      pagePort.postMessage(msg);
      if (msg && msg.type === 'gone') end();
    });
    ext.onDisconnect.addListener(() => {
      if (!open) return;
      pagePort.postMessage({ type: 'gone', error: { code: -32000,
        message: 'the extension closed the control', data: { hresult: '0x80010108' } } });
      end();
    });
    // A request the browser cannot pass on (too large, or not JSON) still
    // gets its answer, so that the call does not wait for ever.
    const relay = (request) => {
      try {
        ext.postMessage({ type: 'call', request });
      } catch (e) {
        const id = request && (typeof request.id === 'number' || typeof request.id === 'string') ? request.id : null;
        pagePort.postMessage({ type: 'response', response: { jsonrpc: '2.0', id, error: { code: -32600,
          message: `the call could not be passed to the extension: ${e.message}` } } });
      }
    };
    pagePort.onmessage = (e) => {
      const msg = e.data;
      if (!open || !msg) return;
      if (msg.type === 'close') end();
      else if (msg.type === 'call') relay(msg.request);
    };
  });
})();
