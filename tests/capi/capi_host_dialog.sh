#!/bin/bash
# The selection dialog opened through the host names the page's origin:
# `kelo-ca.exe serve` gets a hello with an origin, then SignByCSP with
# certificate data type 0; the dialog's texts, read with kelo-window-text,
# must name the origin. The helper then cancels the dialog, and the call
# answers with the empty string. Run through run_with_xvfb.sh.
#
#   capi_host_dialog.sh HOST_EXE WINDOW_TEXT_EXE
set -uo pipefail
[[ $# -eq 2 ]] || { echo "usage: $0 HOST_EXE WINDOW_TEXT_EXE" >&2; exit 2; }
host=$1
texts=$2
wine=${KELO_WINE:-/usr/lib/wine/wine64}
if [[ -z ${DISPLAY:-} ]] || ! command -v xdotool >/dev/null; then
  echo "SKIPPED: needs Xvfb and xdotool"
  exit 0
fi
title='Select Certificate'
origin=https://shop.example

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# stdin stays open until the dialog is answered, as a page's connection does.
mkfifo "$work/in"
"$wine" "$host" serve <"$work/in" >"$work/answers" 2>&1 &
host_pid=$!
exec 3>"$work/in"
printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"kelo.hello","params":{"origin":"'"$origin"'"}}' \
  '{"jsonrpc":"2.0","id":2,"method":"SignByCSP","params":[0,0,"",0,"00"]}' >&3

failed=0
fail() {
  echo "FAILED: $*"
  failed=$((failed + 1))
}
# The dialog is a window of the X display, and its texts name the origin;
# the helper then cancels it.
timeout 60 xdotool search --sync --onlyvisible --name "^$title\$" >/dev/null 2>&1 ||
  fail "no dialog titled \"$title\" on the display"
timeout 90 "$wine" "$texts" --cancel "$title" 60 | tr -d '\r' >"$work/texts" || fail "could not read the dialog"
echo "the dialog's texts:"
sed 's/^/  /' "$work/texts"
grep -qxF "Select a certificate for $origin" "$work/texts" || fail "the dialog does not name $origin"
exec 3>&-
if ! timeout 60 tail --pid="$host_pid" -f /dev/null; then
  fail "the host did not end after the dialog"
  kill "$host_pid" 2>/dev/null
fi
wait "$host_pid"
tr -d '\r' <"$work/answers" | grep -qxF '{"jsonrpc":"2.0","id":2,"result":""}' ||
  fail "cancelling did not answer the empty string: $(cat "$work/answers")"
[[ $failed -eq 0 ]] && echo "the dialog names $origin"
[[ $failed -eq 0 ]]
