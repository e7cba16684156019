// Page to host and back in headless Chromium: sequential VerifyCertCRL(0, 0, "")
// calls per second through the page API, the content script, the extension,
// the native port and the host, for kelo-ca (on the demo token) and for a
// host that answers at once (kelo_echo_host), both behind the same extension
// in the same page, taking turns in slices of 100 calls. Also the resident
// memory of an idle kelo-ca host.
//
//   node bench/browser/bench.mjs BUILD_DIR [--rounds R] [--calls N] [--quick]
//
// Exit status 0 when every answer was right (a missed target does not
// count), 1 on a wrong answer or a broken setup, 2 on bad usage.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { startDemoServer } from '../../extension/demo/serve.mjs';
import {
  alive, answerConsent, extensionIdOf, installManifest, launch, makeToken, readPids, registeredManifest,
  residentKiB, waitFor, writeWrapper,
} from '../../tests/browser/helpers/chromium.mjs';

const NAME = 'bench_browser';
const TARGET_RATIO = 0.9; // ours at least 90 % of the echo host's rate
const IDLE_MS = 500; // quiet time before reading a host's memory
const WARM_UP = 200;
const SLICE = 100; // calls per turn of one host within a round

function usage(msg) {
  if (msg) console.error(`bench.mjs: ${msg}`);
  console.error('usage: node bench/browser/bench.mjs BUILD_DIR [--rounds R] [--calls N] [--quick]');
  process.exit(2);
}

function parseArgs(argv) {
  const opts = { build: null, rounds: 5, calls: 1000 };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--quick') Object.assign(opts, { rounds: 2, calls: 100 });
    else if (a === '--rounds' || a === '--calls') {
      const v = Number(argv[++i]);
      if (!Number.isInteger(v) || v < 1 || v > 1e6) usage(`${a} needs a positive integer`);
      opts[a.slice(2)] = v;
    } else if (a === '-h' || a === '--help') usage();
    else if (a.startsWith('-')) usage(`unknown option ${a}`);
    else if (opts.build) usage('only one BUILD_DIR');
    else opts.build = path.resolve(a);
  }
  if (!opts.build) usage('BUILD_DIR is missing');
  return opts;
}

const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  const m = s.length >> 1;
  return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2;
};
const load = () => fs.readFileSync('/proc/loadavg', 'utf8').split(' ').slice(0, 3).join(' ');
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// One row of bench/run.sh's summary table (nothing without KELO_BENCH_SUMMARY).
function record(figure, value, target = '-', status = '-') {
  const file = process.env.KELO_BENCH_SUMMARY;
  if (file) fs.appendFileSync(file, `${NAME}|${figure}|${value}|${target}|${status}\n`);
}

// Runs in the page: n sequential calls on control i, each answer checked.
function timedCalls(page, i, n) {
  return page.evaluate(async ([index, count]) => {
    const ctl = window.benchCtls[index];
    let wrong = null;
    const t0 = performance.now();
    for (let k = 0; k < count; k++) {
      const r = await ctl.VerifyCertCRL(0, 0, '');
      if (r !== 1 && wrong === null) wrong = r;
    }
    return { ms: performance.now() - t0, wrong };
  }, [i, n]);
}

async function main() {
  const opts = parseArgs(process.argv.slice(2));
  const bin = path.join(opts.build, 'bin');
  for (const f of ['kelo-ca', 'kelo_echo_host', 'make-token.sh', 'kelo-p11fixture', 'softhsm/Kelo-ZIr4.so']) {
    if (!fs.existsSync(path.join(bin, f))) throw new Error(`${path.join(bin, f)} is not built`);
  }
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'kelo-bench-browser-'));
  let context, server;
  const pids = { ours: path.join(tmp, 'ours.pids'), echo: path.join(tmp, 'echo.pids') };
  try {
    console.log(`== ${NAME}: ${os.cpus().length} CPUs, ${os.cpus()[0]?.model ?? '?'}; load average ${load()}`);
    console.log(`   ${opts.rounds} rounds of ${opts.calls} sequential VerifyCertCRL(0, 0, "") calls per host`);
    // The demo token, made as scripts/demo.sh makes it.
    const token = makeToken(opts.build, path.join(tmp, 'token'), ['--label', 'kelo-demo', '--keys', '1']);

    const profile = path.join(tmp, 'profile');
    const manifest = registeredManifest(path.join(bin, 'kelo-ca'), tmp);
    const ours = path.join(tmp, 'kelo-ca.sh');
    const echo = path.join(tmp, 'echo.sh');
    writeWrapper(ours, path.join(bin, 'kelo-ca'),
      { LD_LIBRARY_PATH: path.join(bin, 'softhsm'), SOFTHSM2_CONF: token.SOFTHSM2_CONF }, pids.ours);
    writeWrapper(echo, path.join(bin, 'kelo_echo_host'), {}, pids.echo);
    installManifest(profile, manifest, ours);

    server = await startDemoServer(0);
    const origin = `http://127.0.0.1:${server.address().port}`;
    const launched = await launch(profile);
    context = launched.context;
    if (launched.extId !== extensionIdOf(manifest)) throw new Error('the extension id is not the registered one');
    const page = await context.newPage();
    await page.goto(`${origin}/`);

    // One control per host; the manifest is switched between the two
    // create() calls, so the same extension talks to both.
    const createControl = () => page.evaluate(async () => {
      const { create } = await import('/kelo-ca.js');
      window.benchCtls ??= [];
      return window.benchCtls.push(await create()) - 1;
    });
    const first = createControl();
    await answerConsent(context, launched.extId, 'allow');
    const oursIndex = await first;
    await waitFor(() => readPids(pids.ours).length === 1, 'the kelo-ca host');
    const oursPid = readPids(pids.ours)[0];
    installManifest(profile, manifest, echo);
    const echoIndex = await createControl();
    await waitFor(() => readPids(pids.echo).length === 1, 'the echo host');
    const echoPid = readPids(pids.echo)[0];

    // Each control must be the host it is meant to be: the echo host answers
    // 1 to everything, kelo-ca gives a session id on the demo token.
    const sid = await page.evaluate((i) => window.benchCtls[i].ConnectToken(), oursIndex);
    const serial = await page.evaluate(([i, s]) => window.benchCtls[i].RetrieveSerial(s), [oursIndex, sid]);
    if (serial !== token.KELO_TOKEN_SERIAL) throw new Error(`kelo-ca did not reach the demo token (${sid}, ${serial})`);
    const echoSid = await page.evaluate((i) => window.benchCtls[i].ConnectToken(), echoIndex);
    if (echoSid !== 1) throw new Error(`the second control is not the echo host (ConnectToken gave ${echoSid})`);

    for (const [i, what] of [[oursIndex, 'kelo-ca'], [echoIndex, 'echo host']]) {
      const w = await timedCalls(page, i, WARM_UP);
      if (w.wrong !== null) throw new Error(`${what} answered ${JSON.stringify(w.wrong)}, expected 1`);
    }

    const rates = { ours: [], echo: [] };
    const rss = [];
    for (let r = 0; r < opts.rounds; r++) {
      await sleep(IDLE_MS);
      rss.push(residentKiB(oursPid));
      // The hosts take turns in short slices, starting with each in turn, so
      // that a change in the machine's load hits both alike.
      const ms = { ours: 0, echo: 0 };
      for (let done = 0, k = 0; done < opts.calls; k++) {
        const n = Math.min(SLICE, opts.calls - done);
        const order = k % 2 ? [['echo', echoIndex], ['ours', oursIndex]] : [['ours', oursIndex], ['echo', echoIndex]];
        for (const [kind, i] of order) {
          const t = await timedCalls(page, i, n);
          if (t.wrong !== null) throw new Error(`${kind} answered ${JSON.stringify(t.wrong)}, expected 1`);
          ms[kind] += t.ms;
        }
        done += n;
      }
      for (const kind of ['ours', 'echo']) rates[kind].push((1000 * opts.calls) / ms[kind]);
      console.log(`   round ${r + 1}: kelo-ca ${rates.ours.at(-1).toFixed(0)} calls/s, ` +
        `echo host ${rates.echo.at(-1).toFixed(0)} calls/s; kelo-ca VmRSS before it ${rss.at(-1)} KiB`);
    }
    if (!alive(oursPid) || !alive(echoPid)) throw new Error('a host process ended during the run');

    const oursRate = median(rates.ours);
    const echoRate = median(rates.echo);
    // Paired by round: both hosts saw the same moment of the machine's load.
    const ratio = median(rates.ours.map((o, i) => o / rates.echo[i]));
    const rssIdle = median(rss);
    const echoRss = residentKiB(echoPid);
    const verdict = ratio >= TARGET_RATIO ? 'meets target' : 'MISSES target';
    console.log(`   kelo-ca:   ${oursRate.toFixed(0)} calls/s (${(1000 / oursRate).toFixed(3)} ms per call), median`);
    console.log(`   echo host: ${echoRate.toFixed(0)} calls/s (${(1000 / echoRate).toFixed(3)} ms per call), median`);
    console.log(`   kelo-ca / echo host: ${(100 * ratio).toFixed(1)} % (median of the rounds' ratios) ` +
      `(target >= ${100 * TARGET_RATIO} %: ${verdict})`);
    console.log(`   idle kelo-ca host after ConnectToken, demo token's module loaded: VmRSS ${rssIdle} KiB ` +
      `(median of ${rss.length}); echo host ${echoRss} KiB`);
    console.log(`   load average at end ${load()}`);

    record('page->host->page, kelo-ca', `${oursRate.toFixed(0)} calls/s`);
    record('page->host->page, echo host', `${echoRate.toFixed(0)} calls/s`);
    record('kelo-ca / echo host', `${(100 * ratio).toFixed(1)} %`, `>= ${100 * TARGET_RATIO} %`,
      ratio >= TARGET_RATIO ? 'ok' : 'MISSED');
    record('idle host VmRSS (token module loaded)', `${rssIdle} KiB`);
    return 0;
  } finally {
    if (context) await context.close();
    if (server) server.close();
    for (const f of Object.values(pids)) for (const pid of readPids(f)) if (alive(pid)) process.kill(pid, 'SIGKILL');
    if (!process.env.KEEP_TMP) fs.rmSync(tmp, { recursive: true, force: true });
  }
}

main().then((code) => process.exit(code), (e) => {
  console.error(`${NAME}: ${e.message}`);
  process.exit(1);
});
