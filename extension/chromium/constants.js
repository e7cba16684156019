// @ts-check
// The names and error codes the bridge's parts share, and the messages they
// exchange, written down once. Loaded before the script that uses it: by the
// background (importScripts in the Chromium worker, listed first in Firefox),
// by the content script (listed first in both manifests), by the options
// page, and by the unit tests; the consent page uses only its types. The page
// API (page-api/kelo-ca.js) is served by the page and cannot load it: it
// keeps its own copies, which a unit test holds equal to these.
'use strict';

/**
 * The messages. A page's create() posts a CreateMessage to its own window
 * with one MessagePort; the content script answers AckMessage on that port
 * at once and opens one runtime port (CONTROL_PORT) to the background per
 * control. Over both ports:
 *   page -> content -> background   CallMessage; CloseMessage to the content
 *                                   script, which then disconnects its port
 *   background -> content -> page   ReadyMessage once the host answered the
 *                                   greeting, then ResponseMessage per call;
 *                                   GoneMessage ends the control
 * Everything a page sends is checked where it is received: the types say
 * what a well-behaved sender sends, not what arrives.
 * The consent page asks the background with runtime.sendMessage: a
 * ConsentMessage answers its window's question, a KeepaliveMessage keeps the
 * worker running while the person thinks; both are answered PromptReply.
 * Towards the host: JSON-RPC, the HELLO_METHOD greeting first; after a PIN
 * method's PIN failure the background asks TOKEN_FLAGS_METHOD (params
 * { SessionID }, result { flags }) before it passes the answer on.
 * The content script marks the page's root element with PRESENCE_ATTRIBUTE
 * ="1" before any page script runs, so that the page API knows at once
 * whether the extension is there.
 *
 * @typedef {{ hresult: string }} RpcErrorData
 * @typedef {{ code: number, message: string, data?: RpcErrorData }} RpcError
 *   data.hresult: the automation status a COM client would have seen.
 * @typedef {unknown[] | { [name: string]: unknown }} RpcParams
 * @typedef {{ jsonrpc: '2.0', id: number | string, method: string, params?: RpcParams }} RpcRequest
 * @typedef {{ jsonrpc: '2.0', id: number | string | null, result?: unknown, error?: RpcError }} RpcResponse
 *
 * @typedef {{ type: 'kelo-ca/create' }} CreateMessage
 * @typedef {{ type: 'call', request: RpcRequest }} CallMessage
 * @typedef {{ type: 'close' }} CloseMessage
 * @typedef {{ type: 'ack' }} AckMessage
 * @typedef {{ type: 'ready' }} ReadyMessage
 * @typedef {{ type: 'gone', error: RpcError, dismissed?: true }} GoneMessage
 *   dismissed: the consent window was closed unanswered; the content script
 *   denies the rest of the page load without asking again.
 * @typedef {{ type: 'response', response: RpcResponse, tokenFlags?: number }} ResponseMessage
 *   tokenFlags: CK_TOKEN_INFO.flags as the token reported them right after a
 *   PIN method failed on the PIN (result 4001..4008), when the host could say.
 * @typedef {CallMessage | CloseMessage} FromPage
 * @typedef {ReadyMessage | GoneMessage | ResponseMessage} FromBackground
 * @typedef {AckMessage | FromBackground} ToPage
 *
 * @typedef {{ type: 'consent', nonce: string, allow: boolean }} ConsentMessage
 * @typedef {{ type: 'keepalive' }} KeepaliveMessage
 * @typedef {{ ok: boolean }} PromptReply
 *
 * One of ERRORS: a JSON-RPC code, and the automation status where a COM
 * client would have met the same situation.
 * @typedef {{ readonly code: number, readonly hresult?: string }} ErrorKind
 */

(function exportConstants(root) {
  // The native host as registered by "kelo-ca register".
  const HOST_NAME = 'org.kelo.ca_token';
  const CONTROL_PORT = 'kelo-ca-control';
  const CREATE_TAG = 'kelo-ca/create';
  // The host's own methods have a dot in their name, the control's never do;
  // only the extension may call them.
  const HELLO_METHOD = 'kelo.hello';
  const TOKEN_FLAGS_METHOD = 'kelo.tokenFlags';
  const PRESENCE_ATTRIBUTE = 'data-kelo-ca-extension';
  const STORE_KEY = 'origins'; // { [origin]: 'allow' | 'deny' } in storage.local
  const MANAGED_KEY = 'allowedOrigins'; // string[] in storage.managed (policy)

  // Codes outside the JSON-RPC reserved range are ours; the page API names
  // the same ones in its ErrorCode.
  const ERRORS = Object.freeze({
    HOST_GONE: Object.freeze({ code: -32000, hresult: '0x80010108' }), // RPC_E_DISCONNECTED
    NOT_ALLOWED: Object.freeze({ code: -32001, hresult: '0x80070005' }), // E_ACCESSDENIED
    NO_HOST: Object.freeze({ code: -32002, hresult: '0x80040154' }), // REGDB_E_CLASSNOTREG
    TOO_MANY: Object.freeze({ code: -32004 }), // no COM client meets a cap on controls
    // Also what the host answers to an oversized request, so the extension
    // refusing one says the same.
    INVALID_REQUEST: Object.freeze({ code: -32600 }),
    UNKNOWN_NAME: Object.freeze({ code: -32601, hresult: '0x80020006' }), // DISP_E_UNKNOWNNAME
    INTERNAL: Object.freeze({ code: -32603, hresult: '0x80004005' }), // E_FAIL
  });

  /**
   * The error a page receives.
   * @param {ErrorKind} kind
   * @param {string} message
   * @returns {RpcError}
   */
  function rpcError(kind, message) {
    return kind.hresult ? { code: kind.code, message, data: { hresult: kind.hresult } } : { code: kind.code, message };
  }

  const constants = Object.freeze({
    HOST_NAME, CONTROL_PORT, CREATE_TAG, HELLO_METHOD, TOKEN_FLAGS_METHOD, PRESENCE_ATTRIBUTE, STORE_KEY, MANAGED_KEY,
    ERRORS, rpcError,
  });
  if (typeof module === 'object' && module.exports) module.exports = constants;
  else root.keloConstants = constants;
})(globalThis);
