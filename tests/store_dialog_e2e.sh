#!/usr/bin/env bash
# The selection dialog end to end: `kelo-ca serve` asked to sign with a
# certificate the user picks (data type 0) shows the dialog from its module;
# after a second, Up then Return picks the first row, Escape cancels. Run through run_with_xvfb.sh.
set -euo pipefail
bin=${KELO_BIN:?}
if [[ -z "${DISPLAY:-}" ]] || ! command -v xdotool >/dev/null; then
  echo "SKIPPED: needs Xvfb and xdotool"
  exit 0
fi
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
cp -a "$(bash "$bin/cached-nssdb.sh")/.pki" "$home/"

# Answers the dialog with one key once it is on screen.
answer() {
  local id
  id=$(timeout 30 xdotool search --sync --onlyvisible --name '^Select a certificate$' | head -1)
  xdotool windowfocus --sync "$id" 2>/dev/null
  # OK waits a second after the dialog appears, and no row is preselected.
  [[ $1 == Escape ]] || sleep 1.5
  # shellcheck disable=SC2086 # one word per key
  xdotool key $1
}

sign() {
  answer "$1" &
  local helper=$!
  local reply
  reply=$(printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"SignByCSP","params":[0,0,"",0,"68656C6C6F"]}' |
    HOME="$home" timeout 60 "$bin/kelo-ca" serve)
  wait "$helper"
  echo "$reply"
}

picked=$(sign "Up Return")
echo "Return: $picked"
[[ $picked =~ \"result\":\"[0-9A-F]{512}\" ]] || { echo "FAILED: no signature after picking"; exit 1; }
cancelled=$(sign Escape)
echo "Escape: $cancelled"
[[ $cancelled == *'"result":""'* ]] || { echo "FAILED: cancel did not give the empty string"; exit 1; }
echo "store dialog end to end: 2 passed, 0 failed"
