#!/usr/bin/env bash
# Makes a user NSS database under HOME_DIR/.pki/nssdb for the store tests,
# with RSA-2048 certificates made by openssl, and leaves their files and
# serial numbers in HOME_DIR/fixture/ (see fixture.env there).
#
#   make-nssdb.sh HOME_DIR [--password PW] [--extra N]
#
#   --password PW  protect the database's keys with PW (default: no password)
#   --extra N      also import N certificates without keys (for store sizes)
#
# Certificates (name: what it is), files NAME.pem NAME.der NAME.key:
#   a        private key; serial 0x80A1B2, so its DER content has a leading 00
#   b        private key; ordinary serial
#   c        certificate only, no private key
#   dup1/2   private keys; one serial number for both, different subjects
#   sigonly  private key; key usage digitalSignature only
#   enconly  private key; key usage keyEncipherment only
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Beside this script in the build's bin/, one level up in the source tree.
for certs in "$here/fixture-certs.sh" "$here/../fixture-certs.sh"; do [[ -f $certs ]] && break; done
# shellcheck source=SCRIPTDIR/../fixture-certs.sh
. "$certs"

usage() { echo "usage: $0 HOME_DIR [--password PW] [--extra N]" >&2; exit 2; }
[[ $# -ge 1 ]] || usage
home=$1; shift
password=""
extra=0
while [[ $# -gt 0 ]]; do
  case $1 in
    --password) [[ $# -ge 2 ]] || usage; password=$2; shift 2 ;;
    --extra) [[ $# -ge 2 && $2 =~ ^[0-9]+$ ]] || usage; extra=$2; shift 2 ;;
    *) usage ;;
  esac
done

db=$home/.pki/nssdb
out=$home/fixture
if [[ -e $db/cert9.db ]]; then
  echo "$0: $db already holds a database" >&2
  exit 1
fi
mkdir -p "$db" "$out"
chmod 700 "$home/.pki" "$db"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%s\n' "$password" >"$work/dbpw"
if [[ -n $password ]]; then
  certutil -N -d "sql:$db" -f "$work/dbpw"
else
  certutil -N -d "sql:$db" --empty-password
fi

cert_config "$work/openssl.cnf"
p12pw=fixture-transport

# make NAME SERIAL COMMON_NAME EXTENSIONS IMPORT(key|cert)
make() {
  local name=$1 serial=$2 cn=$3 ext=$4 import=$5
  cert_make "$out/$name.key" "$out/$name.pem" "$out/$name.der" "$serial" "/CN=$cn/O=Kelo Fixtures" \
    "$work/openssl.cnf" "$ext"
  if [[ $import == key ]]; then
    openssl pkcs12 -export -in "$out/$name.pem" -inkey "$out/$name.key" -name "kelo-$name" \
      -passout "pass:$p12pw" -out "$work/$name.p12"
    pk12util -i "$work/$name.p12" -d "sql:$db" -W "$p12pw" -k "$work/dbpw" >/dev/null
  else
    certutil -A -d "sql:$db" -n "kelo-$name" -t ",," -i "$out/$name.der"
  fi
  cert_fixture_env "$name" "$cn" "$out/$name.pem" >>"$out/fixture.env"
}

: >"$out/fixture.env"
make a 0x80A1B2 "Kelo Test A" plain key
make b 0x1234ABCD "Kelo Test B" plain key
make c 0x5EC0DE01 "Kelo Test C" plain cert
make dup1 0x4D55 "Kelo Duplicate One" plain key
make dup2 0x4D55 "Kelo Duplicate Two" plain key
make sigonly 0x516E "Kelo Signature Only" sigonly key
make enconly 0x0E9C "Kelo Encryption Only" enconly key

if (( extra > 0 )); then
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/extra.key" 2>/dev/null
  for ((i = 1; i <= extra; i++)); do
    openssl req -new -x509 -config "$work/openssl.cnf" -extensions plain -key "$work/extra.key" \
      -subj "/CN=Kelo Extra $i/O=Kelo Fixtures" -set_serial $((0x70000000 + i)) -days 3650 \
      -outform DER -out "$work/extra.der"
    certutil -A -d "sql:$db" -n "kelo-extra-$i" -t ",," -i "$work/extra.der"
  done
fi

{
  echo "NSSDB=$db"
  echo "PASSWORD=\"$password\""
  echo "CERT_COUNT=$((7 + extra))"
} >>"$out/fixture.env"
