#!/usr/bin/env bash
# Makes the certificates and keys of the CryptoAPI store tests with openssl,
# and optionally puts them into the current user's store of WINEPREFIX.
#
#   make-fixtures.sh DIR [--install FIXTURE_EXE]
#
# DIR gets, per certificate, NAME.key (PEM), NAME.pem, NAME.der and, where it
# has a private key, NAME.msblob (the key as a CryptoAPI private key blob);
# fixture.env with SERIAL_<NAME> (the DER INTEGER's content, hex), CN_<NAME>
# and NOTAFTER_<NAME>; fixtures.list with "NAME CONTAINER PAIR" lines, PAIR
# being exchange, signature or none.
#
# --install runs FIXTURE_EXE (kelo-capi-fixture.exe) under $KELO_WINE (default
# wine64) in $WINEPREFIX to remove earlier copies and import every
# certificate; the user's store "MY" then holds:
#   a        exchange key; serial 0x80A1B2, so its DER content has a leading 00
#   b        exchange key; ordinary serial
#   c        certificate only, no private key
#   dup1/2   exchange keys; one serial number for both, different issuers
#   sigonly  signature key pair only
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Beside this script in the build's bin/, one level up in the source tree.
for certs in "$here/fixture-certs.sh" "$here/../fixture-certs.sh"; do [[ -f $certs ]] && break; done
# shellcheck source=SCRIPTDIR/../fixture-certs.sh
. "$certs"

usage() { echo "usage: $0 DIR [--install FIXTURE_EXE]" >&2; exit 2; }
[[ $# -eq 1 || ( $# -eq 3 && $2 == --install ) ]] || usage
out=$1
tool=${3:-}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cert_config "$work/openssl.cnf"

# make NAME SERIAL COMMON_NAME PAIR
make() {
  local name=$1 serial=$2 cn=$3 pair=$4
  cert_make "$out/$name.key" "$out/$name.pem" "$out/$name.der" "$serial" "/CN=$cn/O=Kelo Fixtures" \
    "$work/openssl.cnf" plain
  if [[ $pair != none ]]; then
    openssl rsa -in "$out/$name.key" -outform MSBLOB -out "$out/$name.msblob" 2>/dev/null
  fi
  cert_fixture_env "$name" "$cn" "$out/$name.pem" >>"$out/fixture.env"
  echo "$name kelo-fixture-$name $pair" >>"$out/fixtures.list"
}

# The Windows side sees the Linux file system as drive Z:.
winpath() { printf 'Z:%s' "$(realpath "$1")"; }
wine=${KELO_WINE:-/usr/lib/wine/wine64}

# Certificates of an earlier run go first, key containers with them.
if [[ -n $tool && -s $out/fixtures.list ]]; then
  while read -r name _; do
    if [[ -e $out/$name.der ]]; then
      "$wine" "$tool" remove "$(winpath "$out/$name.der")" >/dev/null
    fi
  done <"$out/fixtures.list"
fi

: >"$out/fixture.env"
: >"$out/fixtures.list"
make a 0x80A1B2 "Kelo Test A" exchange
make b 0x1234ABCD "Kelo Test B" exchange
make c 0x5EC0DE01 "Kelo Test C" none
make dup1 0x4D55 "Kelo Duplicate One" exchange
make dup2 0x4D55 "Kelo Duplicate Two" exchange
make sigonly 0x516E "Kelo Signature Only" signature

[[ -n $tool ]] || exit 0
while read -r name container pair; do
  der=$(winpath "$out/$name.der")
  if [[ $pair == none ]]; then
    "$wine" "$tool" add "$der"
  else
    "$wine" "$tool" import "$container" "$pair" "$(winpath "$out/$name.msblob")" "$der"
  fi
done <"$out/fixtures.list"
"$wine" "$tool" list >"$out/store.list"
echo "$(wc -l <"$out/store.list") certificates in the store"
