// Shared by the Chromium end-to-end tests and the browser benchmark: a
// SoftHSM2 token, a native host registered in a private profile behind a
// wrapper script, headless Chromium with the extension, the consent window.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repo = path.resolve(here, '../../..');
export const extDir = path.join(repo, 'extension/chromium');
export const apiFile = path.join(repo, 'extension/page-api/kelo-ca.js');
export const HOST_NAME = 'org.kelo.ca_token';

export async function waitFor(cond, what, ms = 10000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await cond()) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`timed out waiting for ${what}`);
}

// A private SoftHSM2 token from make-token.sh; returns its token.env as an object.
export function makeToken(build, dir, args = []) {
  execFileSync(path.join(build, 'bin/make-token.sh'), [dir, ...args], { stdio: ['ignore', 'ignore', 'pipe'] });
  const env = {};
  for (const line of fs.readFileSync(path.join(dir, 'token.env'), 'utf8').split('\n')) {
    const m = /^([A-Z0-9_]+)=(.*)$/.exec(line);
    // Values are written with printf %q; the ones we read need no unquoting
    // unless the directory has odd characters, which ours never does.
    if (m) env[m[1]] = m[2];
  }
  return env;
}

function shellQuote(s) {
  return `'${String(s).replace(/'/g, `'\\''`)}'`;
}

// A host wrapper: records its process id (the exec keeps it), sets the
// environment and runs the program with the browser's arguments.
export function writeWrapper(file, program, env, pidFile) {
  const lines = ['#!/bin/sh'];
  if (pidFile) lines.push(`echo $$ >> ${shellQuote(pidFile)}`);
  for (const [k, v] of Object.entries(env)) lines.push(`export ${k}=${shellQuote(v)}`);
  lines.push(`exec ${shellQuote(program)} "$@"`);
  fs.writeFileSync(file, `${lines.join('\n')}\n`, { mode: 0o755 });
}

// The Chromium host manifest exactly as "kelo-ca register" writes it.
export function registeredManifest(kelo, scratch) {
  const home = path.join(scratch, 'register-home');
  fs.mkdirSync(home, { recursive: true }); // register writes only into a home that exists and is the user's
  execFileSync(kelo, ['register', '--browser', 'chromium'], { env: { ...process.env, HOME: home } });
  const written = path.join(home, `.config/chromium/NativeMessagingHosts/${HOST_NAME}.json`);
  return JSON.parse(fs.readFileSync(written, 'utf8'));
}

// Points the profile's host manifest at `program`. Chromium reads the
// manifest at every connectNative, so this also switches hosts between
// controls of one running browser.
export function installManifest(profile, manifest, program) {
  const dir = path.join(profile, 'NativeMessagingHosts');
  fs.mkdirSync(dir, { recursive: true });
  const file = path.join(dir, `${HOST_NAME}.json`);
  fs.writeFileSync(`${file}.tmp`, JSON.stringify({ ...manifest, path: program }));
  fs.renameSync(`${file}.tmp`, file);
}

export function extensionIdOf(manifest) {
  return new URL(manifest.allowed_origins[0]).host;
}

// Headless Chromium with our extension in a persistent profile. Resolves once
// the extension's worker runs, with the id Chromium gave the extension.
export async function launch(profile) {
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: false, // --headless=new below: the old headless mode has no extensions
    // Each page as large as its window, so that the extension's windows are
    // seen (and shot) at the size they open with; tabs get --window-size.
    viewport: null,
    ignoreDefaultArgs: ['--disable-extensions'],
    args: [
      '--headless=new', '--no-sandbox', '--window-size=1280,720', `--load-extension=${extDir}`,
      `--disable-extensions-except=${extDir}`, '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  let worker = context.serviceWorkers()[0];
  if (!worker) worker = await context.waitForEvent('serviceworker');
  return { context, extId: new URL(worker.url()).host };
}

export function consentPages(context, extId) {
  return context.pages().filter((p) => p.url().startsWith(`chrome-extension://${extId}/consent.html`));
}

// Answers the consent window that create() opens; returns its question.
export async function answerConsent(context, extId, button, shot) {
  await waitFor(() => consentPages(context, extId).length > 0, 'the consent window');
  const page = consentPages(context, extId)[0];
  await page.waitForSelector(`#${button}`);
  if (shot) await page.screenshot({ path: shot });
  const text = await page.textContent('#question');
  try {
    await page.click(`#${button}`);
  } catch (e) {
    // The answer closes the window, sometimes before the click action has
    // returned; the callers check what the answer did.
    if (!page.isClosed()) throw e;
  }
  return text;
}

export function readPids(pidFile) {
  if (!fs.existsSync(pidFile)) return [];
  return fs.readFileSync(pidFile, 'utf8').split('\n').filter(Boolean).map(Number);
}

export function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

// Resident memory of a process in KiB, from /proc.
export function residentKiB(pid) {
  const m = /^VmRSS:\s+(\d+) kB$/m.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
  if (!m) throw new Error(`no VmRSS for process ${pid}`);
  return Number(m[1]);
}

// The whole setting of a browser test file: a private token with one key, the
// host manifest as "kelo-ca register" writes it pointed at a wrapper that
// gives the host the SoftHSM2 shim and the token and records its pid, and
// Chromium with the extension. dispose() ends it all.
export async function startBrowser(build, label) {
  for (const f of ['bin/kelo-ca', 'bin/make-token.sh', 'bin/kelo-p11fixture', 'bin/softhsm/Kelo-ZIr4.so']) {
    assert.ok(fs.existsSync(path.join(build, f)), `${path.join(build, f)} is missing`);
  }
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'kelo-browser-'));
  const pidFile = path.join(tmp, 'host.pids');
  const profile = path.join(tmp, 'profile');
  const token = makeToken(build, path.join(tmp, 'token'), ['--label', label, '--keys', '1']);
  const manifest = registeredManifest(path.join(build, 'bin/kelo-ca'), tmp);
  const wrapper = path.join(tmp, 'host.sh');
  writeWrapper(wrapper, path.join(build, 'bin/kelo-ca'), {
    LD_LIBRARY_PATH: path.join(build, 'bin/softhsm'),
    SOFTHSM2_CONF: token.SOFTHSM2_CONF,
  }, pidFile);
  installManifest(profile, manifest, wrapper);
  const extId = extensionIdOf(manifest);
  const { context, extId: launchedId } = await launch(profile);
  // The id in the host manifest must be the one Chromium gives the extension.
  assert.equal(launchedId, extId);
  return {
    tmp, pidFile, token, context, extId, wrapper, profile, manifest,
    async dispose() {
      await context.close();
      for (const pid of readPids(pidFile)) if (alive(pid)) process.kill(pid, 'SIGKILL');
      if (!process.env.KEEP_TMP) fs.rmSync(tmp, { recursive: true, force: true });
    },
  };
}
