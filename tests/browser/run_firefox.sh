#!/usr/bin/env bash
# The Firefox extension in headless Firefox ESR (a smoke test of the page
# API, and consent per origin): run_firefox.sh BUILD_DIR. Needs kelo-ca, the mock token module and the
# assembled extension; targets missing from a configured build directory are
# built first, and the extension is always brought up to date. Installs
# Debian's firefox-esr if it is missing. Prints "N passed, N failed" and
# exits non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
[ -f "$build/CMakeCache.txt" ] || { echo "$0: $build is not a build directory" >&2; exit 2; }

targets=kelo_extension_firefox
for t in kelo-ca:bin/kelo-ca mockp11_zir4:bin/mock/Kelo-ZIr4.so; do
  [ -e "$build/${t#*:}" ] || targets="$targets ${t%%:*}"
done
# shellcheck disable=SC2086 # one word per target
cmake --build "$build" -j2 --target $targets >/dev/null

if [ ! -x /usr/bin/firefox-esr ]; then
  apt-get install -y firefox-esr >/dev/null
fi

# The consent tests drive Firefox over WebDriver BiDi with node's own
# WebSocket, which node 20 keeps behind a flag.
ws=""
node -e 'process.exit(typeof WebSocket === "function" ? 0 : 1)' || ws=--experimental-websocket

tap=$(mktemp)
trap 'rm -f "$tap"' EXIT
status=0
# One file at a time: two headless Firefoxes at once are slow on a small machine.
BUILD_DIR="$build" node $ws --test --test-concurrency=1 --test-reporter=tap --test-reporter-destination=stdout \
  --test-reporter=tap --test-reporter-destination="$tap" \
  "$here/firefox_smoke.test.mjs" "$here/firefox_consent.test.mjs" || status=$?
pass=$(sed -n 's/^# pass \([0-9]*\)$/\1/p' "$tap")
fail=$(sed -n 's/^# fail \([0-9]*\)$/\1/p' "$tap")
echo "${pass:-0} passed, ${fail:-0} failed"
if [ "$status" -ne 0 ] || [ "${fail:-0}" -ne 0 ] || [ "${pass:-0}" -eq 0 ]; then exit 1; fi
