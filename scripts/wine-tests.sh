#!/usr/bin/env bash
# Runs the Windows builds' tests under Wine: wine-tests.sh (from test.sh,
# after build-windows.sh). Meant to run under tests/run_with_xvfb.sh: the
# prefix's desktop and every dialog of the tests live on that one display.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

export WINEDEBUG=-all WINEPREFIX="$KELO_ROOT/build-wine/prefix"
[[ -n ${DISPLAY:-} ]] && export KELO_SHARED_DISPLAY=$DISPLAY
say "starting Wine (a fresh prefix takes a while)"
mkdir -p "$WINEPREFIX"
wineserver -k 2>/dev/null || true
wineserver -p  # one server for all test processes: each start is then quick
trap 'wineserver -k 2>/dev/null || true' EXIT
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1

run_ctest() {
  say "testing in $1"
  (cd "$1" && ctest --output-on-failure -j "$KELO_JOBS")
}
run_ctest "$KELO_ROOT/build-win64"
# 32-bit Windows programs need Wine's i386 half (wine32:i386) and a kernel
# that runs 32-bit Linux programs; test the 32-bit build wherever both are.
if timeout 120 wine "$KELO_ROOT/build-win32/bin/codec_test.exe" --gtest_list_tests >/dev/null 2>&1; then
  run_ctest "$KELO_ROOT/build-win32"
else
  say "32-bit build made but not run: this machine cannot run 32-bit Windows programs under Wine"
fi
