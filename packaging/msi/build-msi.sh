#!/usr/bin/env bash
# Builds the Windows installer, kelo-ca.msi, on Linux with wixl:
#   bash packaging/msi/build-msi.sh [--win64 DIR] [--win32 DIR] [-o FILE]
# DIRs are the two Windows build trees (default build-win64 and build-win32 of
# this checkout); FILE defaults to WIN64/kelo-ca.msi. The package installs, for
# all users:
#   C:\Program Files\Kelo CA\KeloCaActiveX.dll        COM server for 64-bit hosts
#   C:\Program Files (x86)\Kelo CA\KeloCaActiveX.dll  COM server for 32-bit hosts
#   C:\Program Files\Kelo CA\extension\               browser extensions, page API
# and, when WIN64/bin/kelo-ca.exe exists, the native-messaging host with its
# manifests, registered for Chrome, Edge, Chromium and Firefox.
# Both servers are registered through registry entries in the package, the
# ones their DllRegisterServer writes (tests/msi_check.sh compares them).
set -euo pipefail
. "$(dirname "$0")/../../scripts/lib.sh"

win64=$KELO_ROOT/build-win64
win32=$KELO_ROOT/build-win32
out=
while [[ $# -gt 0 ]]; do
  case $1 in
    --win64) win64=$2; shift 2 ;;
    --win32) win32=$2; shift 2 ;;
    -o) out=$2; shift 2 ;;
    -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option $1 (try --help)" ;;
  esac
done
win64=$(cd "$win64" && pwd)
win32=$(cd "$win32" && pwd)
out=${out:-$win64/kelo-ca.msi}
[[ $out == /* ]] || out=$PWD/$out

if ! command -v wixl >/dev/null || ! command -v msibuild >/dev/null; then
  install_packages wixl msitools
fi

dll64=$win64/bin/KeloCaActiveX.dll
dll32=$win32/bin/KeloCaActiveX.dll
host=$win64/bin/kelo-ca.exe
[[ -f $dll64 ]] || die "$dll64 is missing: build the 64-bit tree first (scripts/build-windows.sh)"
[[ -f $dll32 ]] || die "$dll32 is missing: build the 32-bit tree first (scripts/build-windows.sh)"

work=$win64/msi
rm -rf "$work"
mkdir -p "$work"

# ------------------------------------------------------------ shared values

# NAME=VALUE lines of a source file, through a sed expression; dies when a
# name is missing, so a renamed constant stops the build instead of leaving
# a blank in the registry.
read_values() {
  local file=$1 expr=$2 name
  shift 2
  local found
  found=$(sed -n "$expr" "$file")
  for name in "$@"; do
    grep -q "^$name=" <<<"$found" || die "$name not found in $file"
  done
  local key value
  while IFS='=' read -r key value; do printf -v "$key" '%s' "$value"; done <<<"$found"
}
read_values "$KELO_ROOT/control/com/ids.cmake" 's/^set(\(KELO_COM_[A-Z_]*\) "\(.*\)")$/\1=\2/p' \
  KELO_COM_LIBID KELO_COM_DIID_DISPATCH KELO_COM_DIID_EVENTS KELO_COM_CLSID_CONTROL KELO_COM_CLSID_PAGE \
  KELO_COM_PROGID_CONTROL
read_values "$KELO_ROOT/control/com/kelo_ca.rc.in" 's/^ *\(IDS_KELOCAACTIVEX[A-Z_]*\) "\(.*\)"$/\1=\2/p' \
  IDS_KELOCAACTIVEX IDS_KELOCAACTIVEX_PPG
read_values "$KELO_ROOT/control/com/resource.h" 's/^#define \(IDB_KELOCAACTIVEX\) \([0-9]*\).*/\1=\2/p' \
  IDB_KELOCAACTIVEX
read_values "$KELO_ROOT/host/browser_ids.h" 's/^inline constexpr char \(k[A-Za-z]*\)\[\] = "\(.*\)";$/\1=\2/p' \
  kNativeHostName kChromiumExtensionId kFirefoxExtensionId
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win64/CMakeCache.txt")
[[ -n $version ]] || die "no project version in $win64/CMakeCache.txt"

# Platform values the module's registration writes and that no source states
# as text: the control's OLEMISC flags in decimal (control_object.h), the
# library's help string and flags (LIBFLAG_FCONTROL | LIBFLAG_FHASDISKIMAGE,
# as the system's RegisterTypeLib records them), the automation marshaller
# for the dispatch interfaces, and the two component categories.
misc_status=132497
lib_version=1.0
lib_help="Kelo-CA ActiveX Control module"
lib_flags=10
lib_locale=409
psoa="{00020420-0000-0000-C000-000000000046}"
cat_init="{7DD95802-9882-11CF-9FA9-00AA006C42C4}"
cat_script="{7DD95801-9882-11CF-9FA9-00AA006C42C4}"
cat_init_text="Controls safely initializable from persistent data!"
cat_script_text="Controls safely scriptable!"

xml() {
  local s=$1
  s=${s//&/&amp;}
  s=${s//</&lt;}
  s=${s//>/&gt;}
  s=${s//\"/&quot;}
  printf '%s' "$s"
}

# A file's path for wixl, which runs from the root (see below).
src() { xml "${1#/}"; }

# reg ROOT KEY NAME VALUE: one string value; NAME "" is the default value.
reg() {
  local name=
  [[ -n $3 ]] && name=" Name=\"$(xml "$3")\""
  printf '            <RegistryValue Root="%s" Key="%s"%s Value="%s" Type="string"/>\n' \
    "$1" "$(xml "$2")" "$name" "$(xml "$4")"
}

# Empty keys (the category memberships) cannot be written as values; they go
# into the Registry table afterwards as "create, and remove on uninstall".
empty_keys=()

# com_entries BITS FILE_ID DIR: what DllRegisterServer writes for the module
# FILE_ID installed in DIR (no trailing backslash). [!id] is the file's short
# path (the module registers itself by it), [#id] the long one.
com_entries() {
  local bits=$1 file=$2 dir=$3
  local ctl="CLSID\\{$KELO_COM_CLSID_CONTROL}" page="CLSID\\{$KELO_COM_CLSID_PAGE}"
  local lib="TypeLib\\{$KELO_COM_LIBID}\\$lib_version" id
  reg HKCR "$KELO_COM_PROGID_CONTROL" "" "$IDS_KELOCAACTIVEX"
  reg HKCR "$KELO_COM_PROGID_CONTROL\\CLSID" "" "{$KELO_COM_CLSID_CONTROL}"
  reg HKCR "$ctl" "" "$IDS_KELOCAACTIVEX"
  reg HKCR "$ctl\\ProgID" "" "$KELO_COM_PROGID_CONTROL"
  reg HKCR "$ctl\\InprocServer32" "" "[!$file]"
  reg HKCR "$ctl\\InprocServer32" ThreadingModel Apartment
  reg HKCR "$ctl\\ToolboxBitmap32" "" "[!$file], $IDB_KELOCAACTIVEX"
  reg HKCR "$ctl\\MiscStatus" "" 0
  reg HKCR "$ctl\\MiscStatus\\1" "" "$misc_status"
  reg HKCR "$ctl\\Control" "" ""
  reg HKCR "$ctl\\TypeLib" "" "{$KELO_COM_LIBID}"
  reg HKCR "$ctl\\Version" "" "$lib_version"
  empty_keys+=("$bits|$ctl\\Implemented Categories\\$cat_init" "$bits|$ctl\\Implemented Categories\\$cat_script")
  reg HKCR "$page" "" "$IDS_KELOCAACTIVEX_PPG"
  reg HKCR "$page\\InprocServer32" "" "[!$file]"
  reg HKCR "$lib" "" "$lib_help"
  reg HKCR "$lib\\$lib_locale\\win$bits" "" "[#$file]"
  reg HKCR "$lib\\FLAGS" "" "$lib_flags"
  reg HKCR "$lib\\HELPDIR" "" "$dir"
  for id in "$KELO_COM_DIID_DISPATCH:_DKeloCAActiveX" "$KELO_COM_DIID_EVENTS:_DKeloCAActiveXEvents"; do
    reg HKCR "Interface\\{${id%%:*}}" "" "${id#*:}"
    reg HKCR "Interface\\{${id%%:*}}\\ProxyStubClsid" "" "$psoa"
    reg HKCR "Interface\\{${id%%:*}}\\ProxyStubClsid32" "" "$psoa"
    reg HKCR "Interface\\{${id%%:*}}\\TypeLib" "" "{$KELO_COM_LIBID}"
    reg HKCR "Interface\\{${id%%:*}}\\TypeLib" Version "$lib_version"
  done
}

category_entries() {
  reg HKCR "Component Categories\\$cat_init" "$lib_locale" "$cat_init_text"
  reg HKCR "Component Categories\\$cat_script" "$lib_locale" "$cat_script_text"
}

# ------------------------------------------------------------ host and extension

# The host's manifests name it relative to their own folder, which both
# browser families allow on Windows.
host_manifest() {
  local allowed=$1 id=$2
  printf '{\n  "name": "%s",\n  "description": "Kelo CA security token host",\n' "$kNativeHostName"
  printf '  "path": "kelo-ca.exe",\n  "type": "stdio",\n  "%s": ["%s"]\n}\n' "$allowed" "$id"
}

with_host=no
if [[ -f $host ]]; then
  with_host=yes
  host_manifest allowed_origins "chrome-extension://$kChromiumExtensionId/" >"$work/$kNativeHostName.json"
  host_manifest allowed_extensions "$kFirefoxExtensionId" >"$work/$kNativeHostName.firefox.json"
else
  say "note: $host does not exist; the package leaves out the native-messaging host and its registration"
fi

# The extension folder as the Debian package lays it out: the source tree's
# folders, and the Firefox extension assembled from the Chromium one's files.
ext=$work/extension
mkdir -p "$ext"
for d in "$KELO_ROOT"/extension/*/; do
  [[ $(basename "$d") == firefox ]] || cp -r "$d" "$ext/"
done
shared=$(sed -n '/^set(KELO_EXT_SHARED/,/)/p' "$KELO_ROOT/extension/CMakeLists.txt" | tr '\n' ' ' |
  sed 's/^set(KELO_EXT_SHARED//; s/).*$//')
read -r -a shared <<<"$shared"
[[ ${#shared[@]} -gt 0 ]] || die "no KELO_EXT_SHARED list in extension/CMakeLists.txt"
mkdir -p "$ext/firefox"
cp "$KELO_ROOT/extension/firefox/manifest.json" "$ext/firefox/"
for f in "${shared[@]}"; do cp "$KELO_ROOT/extension/chromium/$f" "$ext/firefox/"; done
(cd "$ext/firefox" && cmake -E tar cf "$ext/$kFirefoxExtensionId.xpi" --format=zip -- manifest.json "${shared[@]}")

# One component per file, under directories mirroring the folder.
n=0
ext_refs=()
ext_tree() {
  local dir=$1 indent=$2 entry id
  for entry in "$dir"/*; do
    n=$((n + 1))
    id=ext$n
    if [[ -d $entry ]]; then
      printf '%s<Directory Id="d_%s" Name="%s">\n' "$indent" "$id" "$(xml "$(basename "$entry")")"
      ext_tree "$entry" "$indent  "
      printf '%s</Directory>\n' "$indent"
    else
      printf '%s<Component Id="c_%s" Guid="*" Win64="yes">\n' "$indent" "$id"
      printf '%s  <File Id="f_%s" Name="%s" Source="%s" KeyPath="yes"/>\n' "$indent" "$id" \
        "$(xml "$(basename "$entry")")" "$(src "$entry")"
      printf '%s</Component>\n' "$indent"
      ext_refs+=("c_$id")
    fi
  done
}

# ------------------------------------------------------------ the package

wxs=$work/kelo-ca.wxs
{
  cat <<EOF
<?xml version="1.0" encoding="utf-8"?>
<!-- Generated by packaging/msi/build-msi.sh. -->
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Kelo CA" Language="1033" Version="$version" Manufacturer="Kelo-CA"
           UpgradeCode="544B248C-14BB-49EB-B385-4930A09E50BA">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"
             Description="Kelo CA security token control"/>
    <MajorUpgrade DowngradeErrorMessage="A newer version of Kelo CA is already installed."/>
    <Media Id="1" Cabinet="kelo.cab" EmbedCab="yes"/>
    <!-- Fixed folders (lower-case ids are private properties): the type
         library's HELPDIR must name the folder without a trailing backslash. -->
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="kelo64dir" Name="Kelo CA">
          <Component Id="Com64" Guid="51CA32C2-C2CF-4776-A594-AF92092D5C91" Win64="yes">
            <File Id="dll64" Name="KeloCaActiveX.dll" Source="$(src "$dll64")" KeyPath="yes"/>
EOF
  com_entries 64 dll64 "[ProgramFiles64Folder]Kelo CA"
  cat <<EOF
          </Component>
          <!-- Shared with every other control: they stay, as after
               DllUnregisterServer. -->
          <Component Id="Categories64" Guid="7D9C98CA-25EC-4312-8F18-B8142EE78125" Win64="yes">
EOF
  category_entries
  printf '          </Component>\n'
  if [[ $with_host == yes ]]; then
    cat <<EOF
          <Component Id="Host" Guid="F9BDCA07-BFCF-418E-BC9D-1CB69D089B07" Win64="yes">
            <File Id="host" Name="kelo-ca.exe" Source="$(src "$host")" KeyPath="yes"/>
          </Component>
          <Component Id="HostChromium" Guid="818EBAEC-8CFE-4769-BC26-932868EC59FA" Win64="yes">
            <File Id="manifest_chromium" Name="$kNativeHostName.json" Source="$(src "$work/$kNativeHostName.json")" KeyPath="yes"/>
EOF
    for b in 'Google\Chrome' 'Microsoft\Edge' 'Chromium'; do
      reg HKLM "Software\\$b\\NativeMessagingHosts\\$kNativeHostName" "" "[#manifest_chromium]"
    done
    cat <<EOF
          </Component>
          <Component Id="HostFirefox" Guid="0D8D20D1-AAAF-4B02-9D2A-AB1B00951E50" Win64="yes">
            <File Id="manifest_firefox" Name="$kNativeHostName.firefox.json" Source="$(src "$work/$kNativeHostName.firefox.json")" KeyPath="yes"/>
EOF
    reg HKLM "Software\\Mozilla\\NativeMessagingHosts\\$kNativeHostName" "" "[#manifest_firefox]"
    printf '          </Component>\n'
  fi
  printf '          <Directory Id="kelo_extension" Name="extension">\n'
  ext_tree "$ext" "            "
  cat <<EOF
          </Directory>
        </Directory>
      </Directory>
      <!-- After the 64-bit entries, as a 32-bit registration after the
           64-bit one: where both views share the type library's key, its
           HELPDIR names this folder. -->
      <Directory Id="ProgramFilesFolder">
        <Directory Id="kelo32dir" Name="Kelo CA">
          <Component Id="Com32" Guid="81AAB9E1-EDE7-44C5-9B2A-5A64576FF8D9" Win64="no">
            <File Id="dll32" Name="KeloCaActiveX.dll" Source="$(src "$dll32")" KeyPath="yes"/>
EOF
  com_entries 32 dll32 "[ProgramFilesFolder]Kelo CA"
  cat <<EOF
          </Component>
          <Component Id="Categories32" Guid="646AD79F-3243-49BC-86E9-9E4F4F0DF9E3" Win64="no">
EOF
  category_entries
  cat <<EOF
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Title="Kelo CA" Level="1">
      <ComponentRef Id="Com64"/>
      <ComponentRef Id="Categories64"/>
      <ComponentRef Id="Com32"/>
      <ComponentRef Id="Categories32"/>
EOF
  if [[ $with_host == yes ]]; then
    printf '      <ComponentRef Id="%s"/>\n' Host HostChromium HostFirefox
  fi
  printf '      <ComponentRef Id="%s"/>\n' "${ext_refs[@]}"
  cat <<EOF
    </Feature>
  </Product>
</Wix>
EOF
} >"$wxs"

say "building $out"
rm -f "$out"
# wixl looks files up relative to its working folder: the sources' paths are
# written from the root.
(cd / && wixl -a x64 -o "$out" "$wxs")

# Post-process the tables wixl cannot express: the empty category-membership
# keys, and the categories' components made permanent.
sql() { msibuild "$out" -q "$1" || die "msibuild: $1"; }
i=0
for entry in "${empty_keys[@]}"; do
  i=$((i + 1))
  bits=${entry%%|*}
  sql "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('empty$i', 0, '${entry#*|}', '*', 'Com$bits')"
done
# msidbComponentAttributesPermanent (16), with the 64-bit flag (256) where set.
sql "UPDATE \`Component\` SET \`Attributes\` = 272 WHERE \`Component\` = 'Categories64'"
sql "UPDATE \`Component\` SET \`Attributes\` = 16 WHERE \`Component\` = 'Categories32'"
say "built $out (host included: $with_host)"
