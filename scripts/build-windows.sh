#!/usr/bin/env bash
# Cross-builds the Windows deliverables, the COM server for 64-bit hosts
# (build-win64/) and for 32-bit hosts (build-win32/), with their tests, and
# the installer that carries both, build-win64/kelo-ca.msi.
#   bash scripts/build-windows.sh [--no-tests]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

tests=ON
case "${1:-}" in
  --no-tests) tests=OFF ;;
  -h | --help)
    sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  "") ;;
  *) die "unknown option $1 (try --help)" ;;
esac

install_packages "${KELO_PKGS_BUILD[@]}" "${KELO_PKGS_TEST[@]}"
for arch in x86_64:win64 i686:win32; do
  build_tree "$KELO_ROOT/build-${arch#*:}" -DCMAKE_BUILD_TYPE=Release -DKELO_TESTS=$tests \
    -DCMAKE_TOOLCHAIN_FILE="$KELO_ROOT/cmake/mingw-w64-${arch%%:*}.cmake"
done
say "built:"
ls -1 "$KELO_ROOT"/build-win64/bin/*.dll "$KELO_ROOT"/build-win32/bin/*.dll 2>/dev/null | grep -iv '/Kelo-' || true
bash "$KELO_ROOT/packaging/msi/build-msi.sh" --win64 "$KELO_ROOT/build-win64" --win32 "$KELO_ROOT/build-win32"
