// Types of the Kelo CA page API (kelo-ca.js).

/** Rejection of any call or of create(): a JSON-RPC code and, where one applies, the automation status. */
export class KeloCaError extends Error {
  readonly name: 'KeloCaError';
  /** JSON-RPC code: -32700, -32600, -32601, -32602, -32603, or one of ErrorCode. */
  readonly code: number;
  /** The automation status a COM client would have seen, such as "0x8002000E"; undefined when none applies. */
  readonly hresult: string | undefined;
}

export declare const ErrorCode: {
  /** The host process ended, or the control was closed. */
  readonly HOST_GONE: -32000;
  /** The user (or the administrator) has not allowed this origin. */
  readonly NOT_ALLOWED: -32001;
  /** The native host is not registered or did not start. */
  readonly NO_HOST: -32002;
  /** The extension is not installed, or this page is not a secure context. */
  readonly NO_EXTENSION: -32003;
};

export declare const METHODS: readonly string[];

/** One control: its own host process, token sessions and login state. Results are exactly the control's. */
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
  /** Ends the control and its host process; later calls reject with ErrorCode.HOST_GONE. */
  close(): void;
}

/** A new control. The first call from an origin asks the user; rejects with KeloCaError until allowed. */
export declare function create(): Promise<Control>;
