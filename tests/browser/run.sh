#!/bin/sh
# End-to-end browser tests: run.sh BUILD_DIR (with kelo-ca and the mock module built).
# Installs what it needs (npm packages here, Debian's chromium), then prints
# "N passed, N failed" and exits non-zero on any failure.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
for f in "$build/bin/kelo-ca" "$build/bin/mock/Kelo-ZIr4.so"; do
  [ -e "$f" ] || { echo "$0: $f is missing (build kelo-ca and mockp11_zir4)" >&2; exit 2; }
done

if [ ! -x /usr/bin/chromium ]; then
  apt-get install -y chromium >/dev/null
fi
if [ ! -d "$here/node_modules/playwright-core" ]; then
  (cd "$here" && npm ci --no-audit --no-fund >/dev/null)
fi

tap=$(mktemp)
trap 'rm -f "$tap"' EXIT
status=0
BUILD_DIR="$build" node --test --test-reporter=spec --test-reporter-destination=stdout \
  --test-reporter=tap --test-reporter-destination="$tap" "$here/e2e.test.mjs" || status=$?
pass=$(sed -n 's/^# pass \([0-9]*\)$/\1/p' "$tap")
fail=$(sed -n 's/^# fail \([0-9]*\)$/\1/p' "$tap")
echo "${pass:-0} passed, ${fail:-0} failed"
if [ "$status" -ne 0 ] || [ "${fail:-0}" -ne 0 ] || [ "${pass:-0}" -eq 0 ]; then exit 1; fi
