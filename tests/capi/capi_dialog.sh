#!/bin/bash
# The platform's certificate-selection dialog under Wine; run through
# run_with_xvfb.sh. CapiDialog.* of capi_store_test shows the dialog four
# times: this script picks certificate b with the arrow keys and Return
# twice (sign, then verify), then cancels twice with Escape.
#
#   capi_dialog.sh TEST_EXE FIXTURE_EXE
set -uo pipefail
[[ $# -eq 2 ]] || { echo "usage: $0 TEST_EXE FIXTURE_EXE" >&2; exit 2; }
exe=$1
fixture=$2
wine=${KELO_WINE:-/usr/lib/wine/wine64}
if [[ -z ${DISPLAY:-} ]] || ! command -v xdotool >/dev/null; then
  echo "SKIPPED: needs Xvfb and xdotool"
  exit 0
fi
title='^Select Certificate$'
pick=b

# The dialog lists the store in its own order, the order the fixture tool
# lists it in; b is the row whose key container is b's.
row=$("$wine" "$fixture" list | tr -d '\r' | awk -F'\t' -v c="kelo-fixture-$pick" '$2 == c { print NR; exit }')
[[ -n $row ]] || { echo "FAILED: certificate $pick is not in the store"; exit 1; }
keys=(Home)
for ((i = 1; i < row; i++)); do keys+=(Down); done

log=$(mktemp)
trap 'rm -f "$log"' EXIT
KELO_CAPI_PICK=$pick "$wine" "$exe" --gtest_filter='CapiDialog.*' >"$log" 2>&1 &
test_pid=$!

# Answers the next dialog with keys once it is on screen, and waits until it
# is gone so that the next answer goes to the next dialog.
answer() {
  local id
  id=$(timeout 60 xdotool search --sync --onlyvisible --name "$title" 2>/dev/null | head -1)
  [[ -n $id ]] || return 1
  xdotool windowfocus --sync "$id" 2>/dev/null
  xdotool key --delay 50 "$@"
  for _ in $(seq 100); do
    xdotool search --onlyvisible --name "$title" 2>/dev/null | grep -qx "$id" || return 0
    sleep 0.1
  done
  return 1
}

answered=0
for keys_of in pick pick cancel cancel; do
  if [[ $keys_of == pick ]]; then
    answer "${keys[@]}" Return || break
  else
    answer Escape || break
  fi
  answered=$((answered + 1))
done
if [[ $answered -lt 4 ]]; then
  echo "FAILED: only $answered of 4 dialogs appeared and closed"
  kill "$test_pid" 2>/dev/null
fi
wait "$test_pid"
rc=$?
cat "$log"
grep -q '^\[  PASSED  \] 1 test' "$log" && [[ $rc -eq 0 && $answered -eq 4 ]]
