// Relays between the page API and the extension. The page hands over one
// MessagePort per control; each gets its own runtime port, so the background
// starts one host per control. The page never talks to the host directly.
'use strict';

(() => {
  const TAG = 'kelo-ca/create';
  const CONTROL_PORT = 'kelo-ca-control';
  // Firefox's promise-based namespace where there is one, else Chromium's.
  const api = globalThis.browser ?? globalThis.chrome;

  window.addEventListener('message', (event) => {
    if (event.source !== window || !event.data || event.data.type !== TAG) return;
    const pagePort = event.ports && event.ports[0];
    if (!pagePort) return;
    // Tells the page the extension is there, before any consent question.
    pagePort.postMessage({ type: 'ack' });

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
      pagePort.postMessage(msg);
      if (msg && msg.type === 'gone') end();
    });
    ext.onDisconnect.addListener(() => {
      if (!open) return;
      pagePort.postMessage({ type: 'gone', error: { code: -32000,
        message: 'the extension closed the control', data: { hresult: '0x80010108' } } });
      end();
    });
    pagePort.onmessage = (e) => {
      const msg = e.data;
      if (!open || !msg) return;
      if (msg.type === 'close') end();
      else if (msg.type === 'call') ext.postMessage({ type: 'call', request: msg.request });
    };
  });
})();
