// What the extension's scripts find on the global object: Firefox's
// promise-based namespace (Chromium's has the same shape for what we use),
// and what constants.js and rules.js leave there. Under node those two
// export through module instead.
declare var browser: typeof chrome | undefined;
declare var keloConstants: typeof import('../../../extension/chromium/constants.js');
declare var keloRules: typeof import('../../../extension/chromium/rules.js');
declare var module: { exports: unknown } | undefined;
