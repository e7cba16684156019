#!/usr/bin/env bash
# End-to-end browser tests, and the extension's browser-free rules under node:
# run.sh BUILD_DIR. The browser tests run on a private SoftHSM2 token, so they need kelo-ca, the SoftHSM2 shim and the token
# fixture; targets missing from a configured build directory are built first.
# Installs what it needs (npm packages here, Debian's chromium and softhsm2),
# type-checks the extension and the page API (tsc, tsconfig.json here) and
# stops on any type error, then prints "N passed, N failed" and exits
# non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)

missing=""
for t in kelo-ca:bin/kelo-ca kelo_softhsm_shim:bin/softhsm/Kelo-ZIr4.so kelo-p11fixture:bin/kelo-p11fixture; do
  [ -e "$build/${t#*:}" ] || missing="$missing ${t%%:*}"
done
if [ -n "$missing" ]; then
  [ -f "$build/CMakeCache.txt" ] || { echo "$0: $build is not a build directory (missing:$missing)" >&2; exit 2; }
  echo "building$missing in $build"
  # shellcheck disable=SC2086 # one word per target
  cmake --build "$build" -j2 --target $missing >/dev/null
fi

if [ ! -x /usr/bin/chromium ] || ! command -v softhsm2-util >/dev/null; then
  apt-get install -y chromium softhsm2 >/dev/null
fi
if [ ! -d "$here/node_modules/playwright-core" ] || [ ! -x "$here/node_modules/.bin/tsc" ]; then
  (cd "$here" && npm ci --no-audit --no-fund >/dev/null)
fi

"$here/node_modules/.bin/tsc" --noEmit -p "$here" ||
  { echo "$0: type errors in the extension or the page API" >&2; exit 1; }
echo "type check of the extension and the page API: no errors"

tap=$(mktemp)
trap 'rm -f "$tap"' EXIT
status=0
BUILD_DIR="$build" node --test --test-concurrency=1 --test-reporter=spec --test-reporter-destination=stdout \
  --test-reporter=tap --test-reporter-destination="$tap" \
  "$here/rules.test.mjs" "$here/describe.test.mjs" "$here/e2e.test.mjs" "$here/demo.test.mjs" || status=$?
pass=$(sed -n 's/^# pass \([0-9]*\)$/\1/p' "$tap")
fail=$(sed -n 's/^# fail \([0-9]*\)$/\1/p' "$tap")
echo "${pass:-0} passed, ${fail:-0} failed"
if [ "$status" -ne 0 ] || [ "${fail:-0}" -ne 0 ] || [ "${pass:-0}" -eq 0 ]; then exit 1; fi
