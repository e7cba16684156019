#!/usr/bin/env bash
# Installs what is needed, builds and runs the whole test suite:
#   1. the main build's tests (mock module, SoftHSM2 end to end, host)
#   2. the Debian package, installed with dpkg -i and removed again
#   3. the extension and page API in headless Chromium and Firefox ESR, over the native host
#   4. the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer
#   5. short libFuzzer runs over the codecs, the native-messaging host and the token side
#   6. the Windows builds (64-bit and 32-bit), tested under Wine
# Set KELO_SKIP=package,browser,asan,fuzz,windows (any subset) to leave stages out locally.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

skip=",${KELO_SKIP:-},"
stage() { [[ $skip != *",$1,"* ]]; }

install_packages "${KELO_PKGS_BUILD[@]}" "${KELO_PKGS_TEST[@]}"

run_ctest() {
  local dir=$1
  shift
  say "testing in $dir"
  (cd "$dir" && ctest --output-on-failure -j "$KELO_JOBS" "$@")
}

build_tree "$KELO_ROOT/build" -DCMAKE_BUILD_TYPE=Debug
run_ctest "$KELO_ROOT/build"

if stage package; then
  say "Debian package: build, install with dpkg -i, remove"
  bash "$KELO_ROOT/tests/package_check.sh" "$KELO_ROOT/build"
fi

if stage browser; then
  say "browser end to end: headless Chromium, extension, page API, native host"
  bash "$KELO_ROOT/tests/browser/run.sh" "$KELO_ROOT/build"
  say "browser smoke test: headless Firefox ESR, the same extension and host"
  bash "$KELO_ROOT/tests/browser/run_firefox.sh" "$KELO_ROOT/build"
fi

if stage asan; then
  build_tree "$KELO_ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DKELO_SANITIZE=ON -DKELO_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest "$KELO_ROOT/build-asan"
fi

if stage fuzz; then
  # Every tests/fuzz/*_fuzz.cpp is a target; each starts from its seeds in
  # tests/fuzz/corpus/<target> (copied, so the tree stays as it is) and keeps
  # what it finds in $KELO_ROOT/build-fuzz/artifacts.
  fuzz_targets=()
  for src in "$KELO_ROOT"/tests/fuzz/*_fuzz.cpp; do fuzz_targets+=("$(basename "$src" .cpp)"); done
  say "building the fuzz targets in $KELO_ROOT/build-fuzz: ${fuzz_targets[*]}"
  cmake -S "$KELO_ROOT" -B "$KELO_ROOT/build-fuzz" -DKELO_FUZZ=ON -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$KELO_ROOT/build-fuzz" -j "$KELO_JOBS" --target "${fuzz_targets[@]}"
  say "fuzzing ${fuzz_targets[*]}, ${KELO_FUZZ_SECONDS:-30} s each"
  corpus=$(mktemp -d)
  artifacts="$KELO_ROOT/build-fuzz/artifacts"
  mkdir -p "$artifacts"
  for target in "${fuzz_targets[@]}"; do
    mkdir -p "$corpus/$target"
    if [[ -d $KELO_ROOT/tests/fuzz/corpus/$target ]]; then
      cp -r "$KELO_ROOT/tests/fuzz/corpus/$target/." "$corpus/$target/"
    fi
    # A single input running 20 s is a hang; libFuzzer's memory limit
    # catches unbounded allocation.
    if ! "$KELO_ROOT/build-fuzz/bin/$target" -max_total_time="${KELO_FUZZ_SECONDS:-30}" -max_len=4096 \
      -timeout=20 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "$corpus/$target" \
      >"$corpus/$target.log" 2>&1; then
      tail -n 60 "$corpus/$target.log"
      rm -rf "$corpus"
      echo "$target failed; the input is in $artifacts" >&2
      exit 1
    fi
    echo "-- $target"
    tail -n 4 "$corpus/$target.log"
  done
  rm -rf "$corpus"
fi

if stage windows; then
  bash "$KELO_ROOT/scripts/build-windows.sh"
  bash "$KELO_ROOT/tests/run_with_xvfb.sh" bash "$KELO_ROOT/scripts/wine-tests.sh"
  say "Windows installer: msiexec /i and /x under Wine, compared with the modules' own registration"
  bash "$KELO_ROOT/tests/run_with_xvfb.sh" bash "$KELO_ROOT/tests/msi_check.sh" \
    "$KELO_ROOT/build-win64/kelo-ca.msi" "$KELO_ROOT/build-win64" "$KELO_ROOT/build-win32"
fi

say "all test stages passed"
