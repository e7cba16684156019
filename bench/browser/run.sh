#!/usr/bin/env bash
# The browser benchmark on its own: run.sh BUILD_DIR [--quick | --rounds R --calls N].
# Needs kelo-ca, kelo_echo_host, the SoftHSM2 shim and make-token.sh built;
# uses the browser tests' playwright-core and Debian's chromium (installed
# when missing). bench/run.sh runs it too.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [--quick | --rounds R --calls N]" >&2; exit 2; }
tests="$here/../../tests/browser"
if [ ! -x /usr/bin/chromium ]; then
  apt-get install -y chromium >/dev/null
fi
if [ ! -d "$tests/node_modules/playwright-core" ]; then
  (cd "$tests" && npm ci --no-audit --no-fund >/dev/null)
fi
exec node "$here/bench.mjs" "$@"
