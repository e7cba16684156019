// Headless Firefox ESR with the extension, a native host over the mock token
// module, and a page server, for the firefox_*.test.mjs files. Everything
// lives in a fresh temporary HOME and profile; close() kills Firefox (its
// whole process group) and every host it started.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, '../..');
const apiJs = path.join(repo, 'extension/page-api/kelo-ca.js');

export const build = path.resolve(process.env.BUILD_DIR || path.join(repo, 'build'));
export const EXT_ID = 'kelo-ca@kelo.example';
// Fixed here so that the tests know where the extension's pages are.
export const EXT_UUID = '6f1c3d2a-58b4-4e0e-9a57-3c2f7d9e4b10';
export const EXT_BASE = `moz-extension://${EXT_UUID}`;
const kelo = path.join(build, 'bin/kelo-ca');
const xpi = path.join(build, `extension/${EXT_ID}.xpi`);
const firefox = process.env.FIREFOX || '/usr/bin/firefox-esr';

export function sleep(ms) {
  return new Promise((r) => setTimeout(r, ms));
}

export async function waitFor(cond, what, ms = 15000) {
  const end = Date.now() + ms;
  for (;;) {
    const got = await cond();
    if (got) return got;
    if (Date.now() > end) throw new Error(`timed out after ${ms} ms waiting for ${what}`);
    await sleep(100);
  }
}

export function withTimeout(promise, ms, what) {
  let timer;
  return Promise.race([
    promise.finally(() => clearTimeout(timer)),
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`timed out after ${ms} ms waiting for ${what}`)), ms);
    }),
  ]);
}

// Native-messaging frames: a 32-bit length in native byte order, then JSON.
function frames(buf) {
  const out = [];
  for (let pos = 0; pos + 4 <= buf.length;) {
    const len = os.endianness() === 'LE' ? buf.readUInt32LE(pos) : buf.readUInt32BE(pos);
    if (pos + 4 + len > buf.length) break;
    out.push(JSON.parse(buf.subarray(pos + 4, pos + 4 + len).toString('utf8')));
    pos += 4 + len;
  }
  return out;
}

// A WebDriver BiDi session over the WebSocket Firefox opens itself.
class Bidi {
  #ws;
  #nextId = 1;
  #waiting = new Map();

  static async connect(url) {
    assert.equal(typeof WebSocket, 'function', 'this node has no WebSocket (node 20 needs --experimental-websocket)');
    const b = new Bidi();
    b.#ws = new WebSocket(`${url}/session`);
    await withTimeout(new Promise((resolve, reject) => {
      b.#ws.addEventListener('open', resolve);
      b.#ws.addEventListener('error', () => reject(new Error(`cannot connect to ${url}`)));
    }), 15000, 'the BiDi connection');
    b.#ws.addEventListener('message', (e) => {
      const msg = JSON.parse(e.data);
      const w = msg.id !== undefined && b.#waiting.get(msg.id);
      if (!w) return; // events: none subscribed
      b.#waiting.delete(msg.id);
      if (msg.type === 'error') w.reject(new Error(`${msg.error}: ${msg.message}`));
      else w.resolve(msg.result);
    });
    await b.send('session.new', { capabilities: {} });
    return b;
  }

  send(method, params = {}) {
    const id = this.#nextId++;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.#waiting.delete(id);
        reject(new Error(`timed out after 30000 ms waiting for ${method}`));
      }, 30000);
      const done = (f) => (v) => {
        clearTimeout(timer);
        f(v);
      };
      this.#waiting.set(id, { resolve: done(resolve), reject: done(reject) });
      this.#ws.send(JSON.stringify({ id, method, params }));
    });
  }

  async contexts() {
    return (await this.send('browsingContext.getTree', {})).contexts;
  }

  // The value of an expression (awaited) that yields JSON-able data.
  async eval(context, expression) {
    const r = await this.send('script.evaluate', {
      expression: `(async () => JSON.stringify(await (${expression})))()`,
      target: { context }, awaitPromise: true,
    });
    if (r.type === 'exception') throw new Error(`in the page: ${r.exceptionDetails.text}`);
    return r.result.value === undefined ? undefined : JSON.parse(r.result.value);
  }

  // Fails whatever is still waiting (a create() whose window never came).
  close() {
    for (const w of this.#waiting.values()) w.reject(new Error('the BiDi session was closed'));
    this.#waiting.clear();
    this.#ws.close();
  }
}

function startServer(html) {
  let resolveReport;
  const report = new Promise((resolve) => { resolveReport = resolve; });
  const s = http.createServer((req, res) => {
    if (req.method === 'POST' && req.url === '/result') {
      let body = '';
      req.on('data', (c) => { body += c; });
      req.on('end', () => {
        res.end('ok');
        try {
          resolveReport(JSON.parse(body));
        } catch (e) {
          resolveReport({ error: { message: `unreadable report: ${e.message}` } });
        }
      });
    } else if (req.url === '/kelo-ca.js') {
      res.writeHead(200, { 'content-type': 'text/javascript' });
      res.end(fs.readFileSync(apiJs));
    } else if (req.url === '/') {
      res.writeHead(200, { 'content-type': 'text/html' });
      res.end(html);
    } else {
      res.writeHead(404);
      res.end();
    }
  });
  return new Promise((resolve) => s.listen(0, '127.0.0.1', () => resolve({ server: s, report })));
}

export class FirefoxRun {
  // html: the page served at "/"; managed(base, otherBase): the origins the
  // administrator allows; bidi: drive Firefox (else it opens base itself).
  static async start({ html, managed = () => [], bidi = false }) {
    for (const f of [kelo, xpi, path.join(build, 'bin/mock/Kelo-ZIr4.so'), firefox]) {
      assert.ok(fs.existsSync(f), `${f} is missing`);
    }
    const run = new FirefoxRun();
    run.tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'kelo-firefox-'));
    run.pidFile = path.join(run.tmp, 'pids');
    run.hostLogDir = path.join(run.tmp, 'host-input');
    run.log = '';
    fs.mkdirSync(run.hostLogDir);
    const home = path.join(run.tmp, 'home');
    const profile = path.join(run.tmp, 'profile');

    const started = await startServer(html);
    run.server = started.server;
    run.report = started.report;
    const port = run.server.address().port;
    run.base = `http://127.0.0.1:${port}`;
    run.otherBase = `http://localhost:${port}`; // another origin, same server

    // The host manifest exactly as "kelo-ca register" writes it, pointed at
    // a wrapper that gives the host the mock module and keeps a copy of what
    // the extension sends (one file per host process).
    fs.mkdirSync(home); // register writes only into a home that exists and is the user's
    execFileSync(kelo, ['register', '--browser', 'firefox'], { env: { ...process.env, HOME: home } });
    const hostManifest = path.join(home, '.mozilla/native-messaging-hosts/org.kelo.ca_token.json');
    const manifest = JSON.parse(fs.readFileSync(hostManifest, 'utf8'));
    assert.deepEqual(manifest.allowed_extensions, [EXT_ID]);
    const wrapper = path.join(run.tmp, 'host.sh');
    fs.writeFileSync(wrapper, `#!/bin/sh
echo $$ >> '${run.pidFile}'
log='${run.hostLogDir}'/$(date +%s%N)-$$
export LD_LIBRARY_PATH='${build}/bin/mock'
export MOCKP11_TOKENS_KELO_ZIR4=SER1
tee "$log" | sh -c 'echo $$ >> "$1"; shift; exec "$@"' sh '${run.pidFile}' '${kelo}' "$@"
`, { mode: 0o755 });
    manifest.path = wrapper;
    fs.writeFileSync(hostManifest, JSON.stringify(manifest));

    // The administrator's preset, read by Firefox from the user's directory.
    const managedDir = path.join(home, '.mozilla/managed-storage');
    fs.mkdirSync(managedDir, { recursive: true });
    fs.writeFileSync(path.join(managedDir, `${EXT_ID}.json`), JSON.stringify({
      name: EXT_ID, description: 'test preset', type: 'storage',
      data: { allowedOrigins: managed(run.base, run.otherBase) },
    }));

    // An unsigned extension, installed by dropping it into the profile.
    fs.mkdirSync(path.join(profile, 'extensions'), { recursive: true });
    fs.copyFileSync(xpi, path.join(profile, `extensions/${EXT_ID}.xpi`));
    fs.writeFileSync(path.join(profile, 'user.js'), [
      ['xpinstall.signatures.required', false],
      ['extensions.autoDisableScopes', 0],
      ['extensions.enabledScopes', 15],
      ['extensions.webextensions.uuids', JSON.stringify({ [EXT_ID]: EXT_UUID })],
      ['browser.shell.checkDefaultBrowser', false],
      ['browser.startup.homepage_override.mstone', 'ignore'],
      ['browser.aboutwelcome.enabled', false],
      ['datareporting.policy.dataSubmissionEnabled', false],
      ['toolkit.telemetry.reportingpolicy.firstRun', false],
      ['app.update.disabledForTesting', true],
      ['browser.safebrowsing.update.enabled', false],
      ['network.captive-portal-service.enabled', false],
    ].map(([k, v]) => `user_pref(${JSON.stringify(k)}, ${JSON.stringify(v)});\n`).join(''));

    const args = ['--headless', '--no-remote', '--profile', profile];
    args.push(...(bidi ? ['--remote-debugging-port', '0', 'about:blank'] : [`${run.base}/`]));
    run.browser = spawn(firefox, args, {
      env: { PATH: process.env.PATH, HOME: home, MOZ_HEADLESS: '1', MOZ_CRASHREPORTER_DISABLE: '1',
             LANG: 'C.UTF-8', TMPDIR: run.tmp },
      detached: true, // its own process group, so that all of it can be killed
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    run.exited = new Promise((resolve) => run.browser.on('exit', (code, signal) => resolve({ code, signal })));
    const keep = (chunk) => { run.log = (run.log + chunk).slice(-20000); };
    run.browser.stdout.on('data', keep);
    run.browser.stderr.on('data', keep);
    if (bidi) {
      try {
        const url = await withTimeout(Promise.race([
          waitFor(() => /WebDriver BiDi listening on (ws:\/\/\S+)/.exec(run.log)?.[1], 'BiDi', 60000),
          run.exited.then((e) => { throw new Error(`firefox exited early: ${JSON.stringify(e)}`); }),
        ]), 60000, 'Firefox to start');
        run.bidi = await Bidi.connect(url);
      } catch (e) {
        await run.close();
        throw new Error(`${e.message}\nfirefox output:\n${run.log}`);
      }
    }
    return run;
  }

  // The first report the page posts, or an error report.
  async pageReport(ms) {
    const r = await withTimeout(Promise.race([
      this.report,
      this.exited.then((e) => ({ error: { message: `firefox exited early: ${JSON.stringify(e)}` } })),
    ]), ms, 'the page to report').catch((e) => ({ error: { message: e.message } }));
    if (r.error) console.error(`firefox output (last part):\n${this.log}`);
    return r;
  }

  // What each host process received, oldest first.
  hostInputs() {
    // Named by start time in nanoseconds: same length, so sorted as text.
    return fs.readdirSync(this.hostLogDir).sort()
      .map((f) => frames(fs.readFileSync(path.join(this.hostLogDir, f))));
  }

  hostPids() {
    if (!fs.existsSync(this.pidFile)) return [];
    return fs.readFileSync(this.pidFile, 'utf8').split('\n').filter(Boolean).map(Number);
  }

  async close() {
    if (this.bidi) this.bidi.close();
    if (this.browser && this.browser.exitCode === null && this.browser.signalCode === null) {
      try {
        process.kill(-this.browser.pid, 'SIGKILL');
      } catch {
        // already gone
      }
      await withTimeout(this.exited, 10000, 'Firefox to exit').catch(() => {});
    }
    for (const pid of this.hostPids()) {
      // Only if the number still belongs to one of our hosts.
      let cmd = '';
      try {
        cmd = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      } catch {
        continue; // gone
      }
      if (cmd.includes(this.tmp) || cmd.includes(kelo)) process.kill(pid, 'SIGKILL');
    }
    if (this.server) this.server.close();
    if (this.tmp && !process.env.KEEP_TMP) fs.rmSync(this.tmp, { recursive: true, force: true });
  }
}
