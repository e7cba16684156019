#!/usr/bin/env bash
# The Windows installer under Wine, on fresh prefixes:
#   msi_check.sh MSI WIN64_DIR WIN32_DIR
# 1. registers both COM modules with the system's registration tool (64-bit
#    and, where Wine runs 32-bit programs, 32-bit; elsewhere the 32-bit
#    registration is derived from the 64-bit one) on one prefix, installs the
#    package with msiexec /i /qn on another, and compares what each added
#    below HKEY_CLASSES_ROOT in both registry views;
# 2. checks the installed files, and the native-messaging registration when
#    the package has the host (WIN64_DIR/bin/kelo-ca.exe exists);
# 3. creates the 64-bit control through COM from a 64-bit client and calls
#    token methods on the mock module (when the 64-bit tests are built);
# 4. uninstalls with msiexec /x /qn and checks that no file and no key is
#    left, except the two component categories' descriptions, which stay as
#    after DllUnregisterServer.
set -uo pipefail
if [[ $# -ne 3 ]]; then
  echo "usage: $0 MSI WIN64_DIR WIN32_DIR" >&2
  exit 2
fi
msi=$(realpath "$1") win64=$(realpath "$2") win32=$(realpath "$3")
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEDEBUG=-all
unset WINEPATH

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
say() { printf -- '-- %s\n' "$*"; }

tmp=$(mktemp -d /tmp/kelo-msi.XXXXXX)
prefixes=()
cleanup() {
  local p
  for p in "${prefixes[@]}"; do WINEPREFIX=$p wineserver -k 2>/dev/null; done
  rm -rf "$tmp"
}
trap cleanup EXIT

# at PREFIX CMD...: runs a Wine command in a prefix.
at() {
  local p=$1
  shift
  WINEPREFIX=$p "$@"
}

# The prefix's registry as sorted lines "HKLM\KEY|" (the key exists) and
# "HKLM\KEY|VALUE" (one value, as the registry file writes it), HKCU alike.
# wineserver writes the files when it exits.
snapshot() {
  local p=$1
  at "$p" timeout 300 wineserver -w || at "$p" wineserver -k 2>/dev/null
  {
    reg_lines HKLM "$p/system.reg"
    reg_lines HKCU "$p/user.reg"
  } | LC_ALL=C sort -u
}
reg_lines() {
  awk -v hive="$1" '
    /^\[/ { key = $0; sub(/^\[/, "", key); sub(/\]( [0-9]+)?$/, "", key); gsub(/\\\\/, "\\", key)
            key = hive "\\" key; print key "|"; next }
    key == "" || /^#/ || /^$/ { next }
    { line = $0
      while (line ~ /\\$/ && (getline more) > 0) { sub(/\\$/, "", line); sub(/^ +/, "", more); line = line more }
      print key "|" line }' "$2"
}
# delta BASE NOW: "+ line" for what NOW adds to BASE, "- line" for what it drops.
delta() {
  LC_ALL=C comm -13 "$1" "$2" | sed 's/^/+ /'
  LC_ALL=C comm -23 "$1" "$2" | sed 's/^/- /'
}

dir64='C:\Program Files\Kelo CA'
dir32='C:\Program Files (x86)\Kelo CA'
dll=KeloCaActiveX.dll
esc() { sed 's/\\/\\\\/g' <<<"$1"; }  # a path as the registry file writes it
# What the COM registration touches: everything below Classes except the
# installer's own records, install folders written as placeholders.
classes() {
  grep -E '^[+-] HKLM\\Software\\Classes\\' | grep -vE '^[+-] HKLM\\Software\\Classes\\Installer(\\|\|)' |
    sed "s/$(esc "$(esc "$dir64")")/[DIR64]/g; s/$(esc "$(esc "$dir32")")/[DIR32]/g"
}

# ------------------------------------------------------------ prefixes

base=$tmp/base
prefixes+=("$base")
say "making a fresh prefix"
at "$base" wine wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
snapshot "$base" >"$tmp/base.snap"
regp=$tmp/reg msip=$tmp/msi
cp -a "$base" "$regp"
cp -a "$base" "$msip"
prefixes+=("$regp" "$msip")

# ------------------------------------------------------------ registration tool

say "registering both modules with regsvr32"
mkdir -p "$regp/drive_c/Program Files/Kelo CA" "$regp/drive_c/Program Files (x86)/Kelo CA"
cp "$win64/bin/$dll" "$regp/drive_c/Program Files/Kelo CA/"
cp "$win32/bin/$dll" "$regp/drive_c/Program Files (x86)/Kelo CA/"
at "$regp" wine regsvr32 /s "$dir64\\$dll" || fail "regsvr32 of the 64-bit module failed"
if at "$regp" timeout 120 wine 'C:\windows\syswow64\hostname.exe' >/dev/null 2>&1; then
  at "$regp" wine 'C:\windows\syswow64\regsvr32.exe' /s "$dir32\\$dll" ||
    fail "regsvr32 of the 32-bit module failed"
else
  # Where Wine runs no 32-bit program, the 32-bit registration is what the
  # 64-bit one wrote, with the 32-bit module's paths and platform entry,
  # written through the 32-bit view as a 32-bit process writes.
  say "this Wine runs no 32-bit programs: the 32-bit registration is the 64-bit one moved to the 32-bit view"
  short64=$(at "$regp" wine winepath -s "$dir64\\$dll" | tr -d '\r')
  short32=$(at "$regp" wine winepath -s "$dir32\\$dll" | tr -d '\r')
  [[ -n $short64 && -n $short32 ]] || fail "no short paths for the modules"
  snapshot "$regp" >"$tmp/reg64.snap"
  {
    printf 'Windows Registry Editor Version 5.00\n'
    delta "$tmp/base.snap" "$tmp/reg64.snap" | grep -E '^\+ HKLM\\Software\\Classes\\' |
      grep -vE '^\+ HKLM\\Software\\Classes\\Wow6432Node\\' |
      sed 's/^+ HKLM\\Software\\Classes\\/HKEY_CLASSES_ROOT\\/' |
      sed "s/$(esc "$(esc "$dir64")")/$(esc "$(esc "$dir32")")/g; s/$(esc "$(esc "$short64")")/$(esc "$(esc "$short32")")/g" |
      awk -F'|' '{ k = $1; sub(/\\409\\win64$/, "\\409\\win32", k)
                   if (k != last) { printf "\n[%s]\n", k; last = k }
                   if ($2 != "") print substr($0, length($1) + 2) }'
  } >"$tmp/reg32.reg"
  at "$regp" wine reg import 'Z:'"$(sed 's#/#\\#g' <<<"$tmp/reg32.reg")" /reg:32 >/dev/null 2>&1 ||
    fail "importing the 32-bit registration failed"
fi
snapshot "$regp" >"$tmp/reg.snap"

# ------------------------------------------------------------ install

say "installing $(basename "$msi") with msiexec /i /qn"
(cd "$(dirname "$msi")" && at "$msip" wine msiexec /i "$(basename "$msi")" /qn) || fail "msiexec /i failed"
snapshot "$msip" >"$tmp/msi.snap"

say "comparing HKEY_CLASSES_ROOT (both views) after the installer and after regsvr32"
delta "$tmp/base.snap" "$tmp/reg.snap" | classes | LC_ALL=C sort >"$tmp/reg.classes"
delta "$tmp/base.snap" "$tmp/msi.snap" | classes | LC_ALL=C sort >"$tmp/msi.classes"
[[ -s $tmp/reg.classes ]] || fail "regsvr32 wrote nothing below HKEY_CLASSES_ROOT"
if ! diff -u --label regsvr32 --label msiexec "$tmp/reg.classes" "$tmp/msi.classes"; then
  fail "the installer's COM registration differs from the modules' own (lines above)"
fi
echo "   $(wc -l <"$tmp/msi.classes") registry lines compared"

say "checking the installed files"
pf64=$msip/drive_c/Program\ Files/Kelo\ CA
pf32=$msip/drive_c/Program\ Files\ \(x86\)/Kelo\ CA
cmp -s "$win64/bin/$dll" "$pf64/$dll" || fail "$dir64\\$dll is not the 64-bit module"
cmp -s "$win32/bin/$dll" "$pf32/$dll" || fail "$dir32\\$dll is not the 32-bit module"
for d in chromium page-api demo; do
  diff -r "$root/extension/$d" "$pf64/extension/$d" >/dev/null || fail "extension\\$d differs from the source tree"
done
cmp -s "$root/extension/firefox/manifest.json" "$pf64/extension/firefox/manifest.json" ||
  fail "extension\\firefox has not the Firefox manifest"
[[ -s $pf64/extension/kelo-ca@kelo.example.xpi ]] || fail "the Firefox extension package is missing"

# The native-messaging registration: each browser's key names a manifest
# that lets our extension start the installed host.
host_name=$(sed -n 's/^inline constexpr char kNativeHostName\[\] = "\(.*\)";$/\1/p' "$root/host/browser_ids.h")
chromium_id=$(sed -n 's/^inline constexpr char kChromiumExtensionId\[\] = "\(.*\)";$/\1/p' "$root/host/browser_ids.h")
firefox_id=$(sed -n 's/^inline constexpr char kFirefoxExtensionId\[\] = "\(.*\)";$/\1/p' "$root/host/browser_ids.h")
hosts_keys() { grep -iE "^HKLM\\\\Software\\\\.*NativeMessagingHosts\\\\$host_name\|" "$1"; }
# ask_host PREFIX EXE ARGS...: starts the host as a browser does, with a
# framed hello and one method call on stdin, and checks both framed answers;
# the call's answer (session 0 is no session: the text of 1002) comes from
# the control itself.
ask_host() {
  local p=$1 exe=$2 answers
  shift 2
  answers=$(perl -e 'print pack("V", length) . $_ for @ARGV' \
    '{"jsonrpc":"2.0","id":1,"method":"kelo.hello","params":{"origin":"https://shop.example"}}' \
    '{"jsonrpc":"2.0","id":2,"method":"RetrieveAllTokenSerial","params":[0]}' |
    WINEDLLOVERRIDES=winedbg.exe=d at "$p" timeout -k 10 120 wine "$exe" "$@" |
    perl -0777 -ne 'while (length >= 4) { my $n = unpack "V", substr($_, 0, 4, ""); print substr($_, 0, $n, ""), "\n" }
                    print "TRAILING BYTES\n" if length')
  local want='{"jsonrpc":"2.0","id":1,"result":{"name":"kelo-ca",*}
{"jsonrpc":"2.0","id":2,"result":"1002"}'
  # shellcheck disable=SC2053 # the first answer is a pattern
  [[ $answers == $want ]] || fail "$exe $* answered: ${answers:-nothing}"
}
if [[ -f $win64/bin/kelo-ca.exe ]]; then
  say "checking the native-messaging host and its registration"
  cmp -s "$win64/bin/kelo-ca.exe" "$pf64/kelo-ca.exe" || fail "$dir64\\kelo-ca.exe is not the host"
  for b in 'Google\Chrome' 'Microsoft\Edge' 'Chromium' 'Mozilla'; do
    key="HKLM\\Software\\$b\\NativeMessagingHosts\\$host_name"
    value=$(grep -F "$key|@=" "$tmp/msi.snap" | sed 's/^[^|]*|@="\(.*\)"$/\1/; s/\\\\/\\/g')
    if [[ -z $value ]]; then
      fail "$key has no manifest path"
      continue
    fi
    manifest=$msip/drive_c/$(sed 's/^C:\\//; s#\\#/#g' <<<"$value")
    [[ -f $manifest ]] || { fail "$key names $value, which is not installed"; continue; }
    path=$(sed -n 's/^ *"path": "\(.*\)",$/\1/p' "$manifest")
    [[ $(dirname "$manifest")/$path -ef $pf64/kelo-ca.exe ]] || fail "$value starts \"$path\", not the host"
    grep -q "\"name\": \"$host_name\"" "$manifest" || fail "$value names another host"
    if [[ $b == Mozilla ]]; then
      grep -q "\"allowed_extensions\": \[\"$firefox_id\"\]" "$manifest" || fail "$value does not allow $firefox_id"
    else
      grep -q "\"allowed_origins\": \[\"chrome-extension://$chromium_id/\"\]" "$manifest" ||
        fail "$value does not allow the extension $chromium_id"
    fi
    # Started through the registry as each browser starts it: Chromium's
    # arguments are the caller's origin and its window, Firefox's the
    # manifest and the extension.
    exe="${value%\\*}\\${path//\//\\}"
    case $b in
      'Google\Chrome') ask_host "$msip" "$exe" "chrome-extension://$chromium_id/" --parent-window=0 ;;
      Mozilla) ask_host "$msip" "$exe" "$value" "$firefox_id" ;;
    esac
  done
else
  say "no $win64/bin/kelo-ca.exe: checking that the package has no host"
  [[ ! -e $pf64/kelo-ca.exe ]] || fail "kelo-ca.exe installed although the package was built without it"
  hosts_keys "$tmp/msi.snap" && fail "native-messaging keys written without the host"
fi

# ------------------------------------------------------------ COM client

client=$win64/bin/com_client_test.exe
if [[ -f $client ]]; then
  say "creating the installed control through COM from a 64-bit client"
  # No crash debugger: it would wait for someone to attach.
  if ! WINEPATH="$win64/bin/mock" WINEDLLOVERRIDES=winedbg.exe=d at "$msip" timeout -k 10 300 wine "$client" \
    --gtest_filter='ComControl.TokenMethodsByNameAndByDispid:ComControl.TypeLibraryDescribesTheMethodTable' \
    >"$tmp/client.log" 2>&1; then
    cat "$tmp/client.log"
    fail "the COM client failed on the installed control"
    at "$msip" wineserver -k 2>/dev/null
  fi
  grep -E '^\[  PASSED  \] 2 tests' "$tmp/client.log" || fail "the COM client did not pass both tests"
else
  say "no $client (64-bit tests not built): COM creation not checked"
fi

# ------------------------------------------------------------ uninstall

say "uninstalling with msiexec /x /qn"
(cd "$(dirname "$msi")" && at "$msip" wine msiexec /x "$(basename "$msi")" /qn) || fail "msiexec /x failed"
snapshot "$msip" >"$tmp/gone.snap"
[[ ! -e $pf64 ]] || fail "$dir64 is still there: $(cd "$pf64" && find . | head -5 | tr '\n' ' ')"
[[ ! -e $pf32 ]] || fail "$dir32 is still there: $(cd "$pf32" && find . | head -5 | tr '\n' ' ')"
# Left: what the install changed below Software and the uninstall did not
# undo. Not counted: what Wine changes in a prefix by itself (it shows in the
# regsvr32 prefix too, outside the classes), the installer's empty
# bookkeeping keys and its record of the permanent components, the category
# descriptions (kept, as DllUnregisterServer keeps them), and the 32-bit
# view's CLSID and Interface keys where they were empty before: Wine's
# msiexec deletes the keys a removal leaves empty, up the path.
delta "$tmp/base.snap" "$tmp/gone.snap" | LC_ALL=C sort >"$tmp/gone.delta"
delta "$tmp/base.snap" "$tmp/msi.snap" | LC_ALL=C sort >"$tmp/msi.delta"
delta "$tmp/base.snap" "$tmp/reg.snap" | grep -vE '^[+-] HKLM\\Software\\Classes\\' | LC_ALL=C sort >"$tmp/wine.delta"
installer='HKLM\\Software\\(Classes|Microsoft\\Windows\\CurrentVersion)\\Installer'
LC_ALL=C comm -12 "$tmp/gone.delta" "$tmp/msi.delta" | LC_ALL=C comm -23 - "$tmp/wine.delta" |
  grep -E '^[+-] HK(LM|CU)\\Software\\' |
  grep -vE "^\\+ $installer(\\\\[^|]*)?\\|\$" |
  grep -vE "^\\+ $installer\\\\UserData\\\\S-1-5-18\\\\Components\\\\[0-9A-F]{32}\\|\"0{32}\"=\"\"\$" |
  grep -vE '^\+ HKLM\\Software\\Classes\\(Wow6432Node\\)?Component Categories\\\{7DD9580[12]-9882-11CF-9FA9-00AA006C42C4\}\|' |
  grep -vE '^- HKLM\\Software\\Classes\\Wow6432Node\\(CLSID|Interface)\|$' >"$tmp/left"
if [[ -s $tmp/left ]]; then
  cat "$tmp/left"
  fail "uninstalling left the registry lines above"
fi

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all installer checks passed"
