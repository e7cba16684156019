#!/usr/bin/env bash
# Runs a script through the script host of Wine and checks what it printed:
# cscript exits 0 even after an uncaught script error, so the exit status
# tells nothing.
#   run_jscript.sh WINE SCRIPT.js
set -uo pipefail
wine=${1:?usage: run_jscript.sh WINE SCRIPT.js} script=${2:?usage: run_jscript.sh WINE SCRIPT.js}
out=$(cd "$(dirname "$script")" && "$wine" cscript //nologo "$(basename "$script")" 2>&1 | tr -d '\r')
echo "$out"
grep -qx "created: object" <<<"$out" || { echo "FAIL: the script could not create the control"; exit 1; }
[[ $(tail -n 1 <<<"$out") == "SCRIPT CHECKS PASSED" ]] || { echo "FAIL: the script did not finish its checks"; exit 1; }
