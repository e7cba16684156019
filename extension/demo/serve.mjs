// Serves the demo page and the page API on http://127.0.0.1 (a secure
// context, so the extension talks to it):
//   node extension/demo/serve.mjs [--port N]      (default 8421; 0 picks a free one)
// Also imported by the browser tests, which serve the same files this way.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));

// Only these files; nothing else of the tree is reachable.
const FILES = new Map([
  ['/', [path.join(here, 'index.html'), 'text/html; charset=utf-8']],
  ['/index.html', [path.join(here, 'index.html'), 'text/html; charset=utf-8']],
  ['/demo.js', [path.join(here, 'demo.js'), 'text/javascript; charset=utf-8']],
  ['/demo.css', [path.join(here, 'demo.css'), 'text/css; charset=utf-8']],
  ['/kelo-ca.js', [path.join(here, '../page-api/kelo-ca.js'), 'text/javascript; charset=utf-8']],
  // Where the page sends people who have no extension yet.
  ['/README.md', [path.join(here, '../../README.md'), 'text/plain; charset=utf-8']],
]);

// The path of an origin-form request target ("/..."), or null for any other
// (absolute-form, "*", or one the URL parser rejects).
function targetPath(target) {
  if (!target.startsWith('/') || target.startsWith('//')) return null;
  try {
    return new URL(target, 'http://x').pathname;
  } catch {
    return null;
  }
}

export function startDemoServer(port = 8421, host = '127.0.0.1') {
  const server = http.createServer((req, res) => {
    const where = targetPath(req.url);
    if (where === null) {
      res.writeHead(400, { 'content-type': 'text/plain' });
      res.end('bad request target\n');
      return;
    }
    const file = FILES.get(where);
    if (!file || (req.method !== 'GET' && req.method !== 'HEAD')) {
      res.writeHead(404, { 'content-type': 'text/plain' });
      res.end('not found\n');
      return;
    }
    fs.readFile(file[0], (err, body) => {
      if (err) {
        res.writeHead(500, { 'content-type': 'text/plain' });
        res.end(`${err.message}\n`);
        return;
      }
      res.writeHead(200, { 'content-type': file[1], 'cache-control': 'no-store' });
      res.end(req.method === 'HEAD' ? undefined : body);
    });
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, () => resolve(server));
  });
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const i = process.argv.indexOf('--port');
  const port = i > 0 ? Number(process.argv[i + 1]) : 8421;
  if (!Number.isInteger(port) || port < 0 || port > 65535) {
    console.error('usage: node serve.mjs [--port N]');
    process.exit(2);
  }
  startDemoServer(port).then((server) => {
    console.log(`demo page: http://127.0.0.1:${server.address().port}/  (Ctrl-C stops)`);
  }, (e) => {
    console.error(`cannot serve on 127.0.0.1:${port}: ${e.message}`);
    process.exit(1);
  });
}
