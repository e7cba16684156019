// Types of the Kelo CA page API (kelo-ca.js).

/** Rejection of any call or of create(): a JSON-RPC code and, where one applies, the automation status. */
export class KeloCaError extends Error {
  readonly name: 'KeloCaError';
  /**
   * JSON-RPC code: -32700, -32600, -32601, -32602, -32603, or one of ErrorCode; from a strict control's
   * failure value instead the control's result code, or null (see method).
   * -32602 with hresult "0x80020005" (DISP_E_TYPEMISMATCH): an argument other than a string, a finite number,
   * a boolean or null (BigInt, function, Symbol, object, array, undefined, NaN); rejected at once, nothing is sent.
   * -32600: the call's request to the host would be more than 1 MiB (1048576 bytes of UTF-8 JSON), the native
   * host's limit; the extension refuses it without sending, and the control stays usable.
   */
  readonly code: number | null;
  /** The automation status a COM client would have seen, such as "0x8002000E"; undefined when none applies. */
  readonly hresult: string | undefined;
  /**
   * Set only by a strict control (create({ strict: true })) when the control answered a failure value:
   * the method called; message and sentence are describe()'s sentence, code its code: the result code
   * (1001 ... 5001, or one the module passed through), or null when a text method failed with "" and the
   * control gave no code. Undefined on every other rejection.
   */
  readonly method: string | undefined;
  readonly sentence: string | undefined;
  /** CK_TOKEN_INFO.flags the token reported after a PIN failure, when the extension could ask; else undefined. */
  readonly tokenFlags: number | undefined;
  /** With ErrorCode.NO_EXTENSION: where the message sends people to install the extension. */
  readonly installUrl: string | undefined;
}

export declare const ErrorCode: {
  /** The host process ended, or the control was closed. */
  readonly HOST_GONE: -32000;
  /**
   * The user (or the administrator) has not allowed this origin; or, from a call to TokenInitialize,
   * ChangeSOPin or UnblockUserPin, the person did not confirm that call (the host was not called).
   * Closing the consent window without an answer denies the page until it is reloaded: later create()
   * calls from the same page load reject with this code without asking again.
   */
  readonly NOT_ALLOWED: -32001;
  /** The native host is not registered or did not start. */
  readonly NO_HOST: -32002;
  /**
   * The extension is not installed or not enabled for this site (rejected at once: its content script marks
   * the document with data-kelo-ca-extension="1" before page scripts run), it is marked but did not answer
   * within 2 s, or this page is not a secure context. The message says which and names installUrl.
   */
  readonly NO_EXTENSION: -32003;
  /** Too many open controls: at most 4 per tab and 16 per origin at once; close() one to free its place. */
  readonly TOO_MANY: -32004;
  /** create() gave up: options.timeout passed or options.signal aborted (hresult "0x80004004", E_ABORT). */
  readonly ABORTED: -32005;
};

export declare const METHODS: readonly string[];

/**
 * Hash types of Hash, Sign, Verify, SignByCertSerial, VerifyByCertSerial and the certificate-store methods.
 * Any other value: the token signs and verifies raw PKCS#1 v1.5 (the data is the DigestInfo itself), Hash
 * returns "", and the certificate store refuses with 1005.
 */
export declare const HashType: {
  readonly SHA1: 0;
  readonly MD2: 1;
  readonly MD5: 2;
  readonly SHA256: 256;
  readonly SHA384: 384;
  readonly SHA512: 512;
};

/** Where the NO_EXTENSION error sends people unless create() is given an installUrl. */
export declare const INSTALL_URL: string;

/** What a method's answer means. */
export interface Description {
  /** Whether the control reported a failure. VerifyCertCRL's fixed 1 is not one (but nothing was checked). */
  readonly failure: boolean;
  /**
   * The result code: 0 for success of the methods that answer 0, the code of a failure, 1 from VerifyCertCRL;
   * null where the answer is no code (a session identifier, a handle, text, or "" from a text method).
   */
  readonly code: number | null;
  /** A sentence for a person, ending with the code in parentheses where there is one, e.g. "Wrong PIN. (4001)". */
  readonly sentence: string;
}

/**
 * Describes a value that method (one of METHODS, any letter case) returned. Integer methods fail with a
 * result code (ConnectToken and the Enum methods with a code instead of their number); GetAttribute, Encrypt,
 * Decrypt, Hash, Sign, SignByCertSerial, SignByCSP, EncryptByCSP and DecryptByCSP with "" (code null, the
 * sentence names the likely reasons); RetrieveSerial and RetrieveAllTokenSerial with the code as decimal text.
 * tokenFlags (CK_TOKEN_INFO.flags) adds what the token reports to a PIN failure (4001 ... 4008): the user PIN's
 * flags for Login and ChangeUserPin, the SO PIN's for ChangeSOPin, UnblockUserPin and TokenInitialize.
 * Throws TypeError for a name that is not a method of the control. Needs no control.
 */
export declare function describe(method: string, value: number | string, tokenFlags?: number): Description;

/**
 * One control: its own host process, token sessions and login state. Results are exactly the control's.
 * Arguments are strings, finite numbers, booleans or null only (see KeloCaError.code).
 * TokenInitialize, ChangeSOPin and UnblockUserPin (in any letter case) ask the person in an extension window
 * at every call, naming the origin and what the operation does; Deny or closing the window rejects that call
 * with ErrorCode.NOT_ALLOWED and the token is not touched. An origin has at most one such window open: another
 * of these calls from the same origin meanwhile rejects at once with ErrorCode.NOT_ALLOWED, while the control's
 * other calls wait for the answer so that the host still sees them in order.
 */
export interface Control {
  ConnectToken(): Promise<number>;
  DisconnectToken(SessionID: number): Promise<number>;
  Login(SessionID: number, strUserPin: string): Promise<number>;
  Logout(SessionID: number): Promise<number>;
  RetrieveSerial(SessionID: number): Promise<string>;
  ChangeSOPin(SessionID: number, strCurrSOPin: string, strNewSOPin: string): Promise<number>;
  ChangeUserPin(SessionID: number, strCurrUserPin: string, strNewUserPin: string): Promise<number>;
  UnblockUserPin(SessionID: number, strSOPin: string, strUserPin: string): Promise<number>;
  EnumCertificate(SessionID: number, lngCert: number): Promise<number>;
  EnumPublicKey(SessionID: number, lngPublic: number): Promise<number>;
  EnumPrivateKey(SessionID: number, lngPrivate: number): Promise<number>;
  GetAttribute(SessionID: number, lngObject: number, lngAttribute: number): Promise<string>;
  Encrypt(SessionID: number, lngKey: number, reserved: number, strPlainText: string): Promise<string>;
  Decrypt(SessionID: number, lngKey: number, reserved: number, lngCipherText: string): Promise<string>;
  Hash(SessionID: number, lngHashType: number, strPlainText: string): Promise<string>;
  Sign(SessionID: number, lngKey: number, lngHashType: number, strPlainText: string): Promise<string>;
  SignByCertSerial(SessionID: number, certserial: string, HashType: number, plaintext: string): Promise<string>;
  Verify(SessionID: number, lngKey: number, lngHashType: number, strPlainText: string, strSignText: string): Promise<number>;
  VerifyByCertSerial(SessionID: number, certserial: string, HashType: number, plaintext: string, signature: string): Promise<number>;
  SignByCSP(SessionID: number, certType: number, certData: string, HashType: number, plaintext: string): Promise<string>;
  VerifyByCSP(SessionID: number, CertDataType: number, certData: string, HashType: number, plaintext: string, signature: string): Promise<number>;
  EncryptByCSP(SessionID: number, CertDataType: number, certData: string, reserved: number, plaintext: string): Promise<string>;
  DecryptByCSP(SessionID: number, CertDataType: number, certData: string, reserved: number, ciphertext: string): Promise<string>;
  VerifyCertCRL(SessionID: number, CertDataType: number, certData: string): Promise<number>;
  TokenInitialize(SessionID: number, strSOPin: string, strNewUserPin: string, strNewTokenName: string): Promise<number>;
  RetrieveAllTokenSerial(SessionID: number): Promise<string>;
  /** describe() with the token flags that came with this control's last answer to that method. */
  describe(method: string, value: number | string): Description;
  /** Whether failure values reject (create({ strict: true })). */
  readonly strict: boolean;
  /** Ends the control and its host process; later calls reject with ErrorCode.HOST_GONE. */
  close(): void;
}

/**
 * A control made with create({ strict: true }): the same methods, but where the control answers a failure
 * (describe(...).failure) the call rejects with a KeloCaError whose code, method, sentence and tokenFlags say
 * which. Success values resolve exactly as from a Control; VerifyCertCRL's fixed 1 resolves.
 */
export interface StrictControl extends Control {
  readonly strict: true;
}

export interface CreateOptions {
  /** Milliseconds to wait for the control (including the person's answer); then rejects with ErrorCode.ABORTED. */
  timeout?: number;
  /** Aborting rejects a create() still waiting with ErrorCode.ABORTED; a control already created is not affected. */
  signal?: AbortSignal;
  /** Failure values of the control reject instead of resolving (see StrictControl). */
  strict?: boolean;
  /** Where the NO_EXTENSION error sends people to install the extension (default INSTALL_URL). */
  installUrl?: string;
}

/**
 * A new control. The first call from an origin asks the user; rejects with KeloCaError until allowed.
 * Rejects with ErrorCode.TOO_MANY beyond 4 open controls in the tab or 16 for the origin.
 */
export declare function create(options: CreateOptions & { strict: true }): Promise<StrictControl>;
export declare function create(options?: CreateOptions): Promise<Control>;
