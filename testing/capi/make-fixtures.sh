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

usage() { echo "usage: $0 DIR [--install FIXTURE_EXE]" >&2; exit 2; }
[[ $# -eq 1 || ( $# -eq 3 && $2 == --install ) ]] || usage
out=$1
tool=${3:-}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/openssl.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[plain]
basicConstraints = critical,CA:FALSE
CNF

# make NAME SERIAL COMMON_NAME PAIR
make() {
  local name=$1 serial=$2 cn=$3 pair=$4
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$out/$name.key" 2>/dev/null
  openssl req -new -x509 -config "$work/openssl.cnf" -extensions plain -key "$out/$name.key" \
    -subj "/CN=$cn/O=Kelo Fixtures" -set_serial "$serial" -days 3650 -sha256 -out "$out/$name.pem"
  openssl x509 -in "$out/$name.pem" -outform DER -out "$out/$name.der"
  if [[ $pair != none ]]; then
    openssl rsa -in "$out/$name.key" -outform MSBLOB -out "$out/$name.msblob" 2>/dev/null
  fi
  # The DER INTEGER's content: openssl prints the value without the sign
  # byte, so put a 00 back where the top bit is set.
  local hex upper=${name^^}
  hex=$(openssl x509 -in "$out/$name.pem" -noout -serial | sed 's/^serial=//')
  (( ${#hex} % 2 )) && hex=0$hex
  [[ ${hex:0:1} =~ [89A-F] ]] && hex=00$hex
  local end
  end=$(date -u -d "$(openssl x509 -in "$out/$name.pem" -noout -enddate | sed 's/^notAfter=//')" +%F)
  {
    echo "SERIAL_$upper=$hex"
    echo "CN_$upper=\"$cn\""
    echo "NOTAFTER_$upper=$end"
  } >>"$out/fixture.env"
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
