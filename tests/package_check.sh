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
# What Debian's own packages pass: no error or warning from lintian (the
# package ships its overrides, each with its reason).
check "lintian finds no error or warning" \
  'lintian --fail-on error,warning "$deb" 2> >(grep -v "running with root privileges" >&2)'
check "the build tree's executable keeps its symbols" 'file -L "$build/bin/kelo-ca" | grep -q "not stripped"'
dpkg -r kelo-ca >/dev/null 2>&1 || true
dpkg -i "$deb" >/dev/null

check "the executable runs" '/usr/bin/kelo-ca --version | grep -q kelo-ca'
check "the host is registered for all users" '[ -f "$manifest" ] && grep -q "\"path\": *\"/usr/bin/kelo-ca\"" "$manifest"'
check "Firefox is registered too" '[ -f "$firefox" ]'
check "the extension ships" '[ -f /usr/share/kelo-ca/extension/chromium/manifest.json ]'
ext=/usr/share/kelo-ca/extension
check "the Firefox extension ships, unpacked and as the .xpi" \
  '[ -f "$ext/firefox/manifest.json" ] && [ -f "$ext/kelo-ca@kelo.example.xpi" ]'
# The .xpi must carry the id the registered host allows, and the very
# scripts and pages of the Chromium extension.
check "the .xpi matches the Firefox host manifest and the shared files" \
  'python3 - "$ext" "$firefox" <<"EOF"
import json, os, sys, zipfile
ext, host = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(os.path.join(ext, "kelo-ca@kelo.example.xpi")) as z:
    manifest = json.loads(z.read("manifest.json"))
    gecko_id = manifest["browser_specific_settings"]["gecko"]["id"]
    assert json.load(open(host))["allowed_extensions"] == [gecko_id], gecko_id
    shared = [n for n in z.namelist() if n != "manifest.json"]
    assert "background.js" in shared and "content.js" in shared, shared
    for name in shared:
        assert z.read(name) == open(os.path.join(ext, "chromium", name), "rb").read(), name
EOF'
check "the dialogs module is where the executable finds it" \
  '{ /usr/bin/kelo-ca doctor --json || true; } | grep -q "\"dialogsModulePresent\": *true"'

dpkg -r kelo-ca >/dev/null
check "removal unregisters the host" '[ ! -e "$manifest" ] && [ ! -e "$firefox" ]'
check "removal removes the executable" '[ ! -e /usr/bin/kelo-ca ]'
# With the executable gone before removal, prerm cannot unregister; postrm
# still removes the manifests that name it.
dpkg -i "$deb" >/dev/null
rm /usr/bin/kelo-ca
dpkg -r kelo-ca >/dev/null
check "removal unregisters even without the executable" '[ ! -e "$manifest" ] && [ ! -e "$firefox" ]'
echo "package check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
