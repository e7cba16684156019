#!/usr/bin/env bash
# Builds the Debian package from a build tree, installs it with dpkg -i and
# checks what installing and removing do. Needs root; changes the system.
#   package_check.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
passed=0
failed=0
check() {
  if eval "$2"; then passed=$((passed + 1)); else echo "FAILED: $1"; failed=$((failed + 1)); fi
}
manifest=/etc/chromium/native-messaging-hosts/org.kelo.ca_token.json
firefox=/usr/lib/mozilla/native-messaging-hosts/org.kelo.ca_token.json

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/kelo-ca_*.deb | head -1)
dpkg -r kelo-ca >/dev/null 2>&1 || true
dpkg -i "$deb" >/dev/null

check "the executable runs" '/usr/bin/kelo-ca --version | grep -q kelo-ca'
check "the host is registered for all users" '[ -f "$manifest" ] && grep -q "\"path\": *\"/usr/bin/kelo-ca\"" "$manifest"'
check "Firefox is registered too" '[ -f "$firefox" ]'
check "the extension ships" '[ -f /usr/share/kelo-ca/extension/chromium/manifest.json ]'
check "the dialogs module is where the executable finds it" \
  '{ /usr/bin/kelo-ca doctor --json || true; } | grep -q "\"dialogsModulePresent\": *true"'

dpkg -r kelo-ca >/dev/null
check "removal unregisters the host" '[ ! -e "$manifest" ] && [ ! -e "$firefox" ]'
check "removal removes the executable" '[ ! -e /usr/bin/kelo-ca ]'
echo "package check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
