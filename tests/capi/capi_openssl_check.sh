#!/usr/bin/env bash
# The store operations under Wine checked against OpenSSL: signatures and
# ciphertexts from CryptoAPI, reversed to PKCS #1's byte order, verify and
# decrypt with OpenSSL; OpenSSL's, reversed, verify and decrypt under Wine.
#
#   capi_openssl_check.sh CLI_EXE FIXTURE_DIR
#
# FIXTURE_DIR is made and imported by make-fixtures-capi.sh; CLI_EXE is
# kelo-capi-cli.exe, run with $KELO_WINE (default wine64).
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: $0 CLI_EXE FIXTURE_DIR" >&2; exit 2; }
cli=$1
fx=$(realpath "$2")
wine=${KELO_WINE:-/usr/lib/wine/wine64}
# shellcheck disable=SC1091
. "$fx/fixture.env"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs the CLI with file arguments as Windows paths; prints its result code.
cli() {
  local args=("$1")
  shift
  for a in "$@"; do
    if [[ $a == /* ]]; then args+=("Z:$a"); else args+=("$a"); fi
  done
  "$wine" "$cli" "${args[@]}" | tr -d '\r' | sed -n 's/^rc=//p'
}
reverse() { perl -0777 -ne 'print scalar reverse $_' "$1" >"$2"; }

passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    failed=$((failed + 1))
  fi
}
same_file() { cmp -s "$1" "$2"; }
equals() { [[ $1 == "$2" ]]; }
# openssl_verifies MD PUBKEY SIG DATA
openssl_verifies() { openssl dgst "-$1" -verify "$2" -signature "$3" "$4" >/dev/null 2>&1; }
refused() { ! "$@"; }

data=$work/data
head -c 100 /dev/urandom >"$data"
for name in a b; do
  openssl x509 -in "$fx/$name.pem" -noout -pubkey >"$work/$name.pub"
done

# Ours to OpenSSL: signatures by serial (a has a leading 00 in its serial).
for pair in 0:sha1 2:md5 256:sha256 512:sha512; do
  hash=${pair%%:*} md=${pair#*:}
  check "sign $md" equals "$(cli sign "$SERIAL_A" "$hash" "$data" "$work/sig")" 0
  reverse "$work/sig" "$work/sig.be"
  check "openssl verifies our $md signature reversed" openssl_verifies "$md" "$work/a.pub" "$work/sig.be" "$data"
  check "openssl refuses our $md signature unreversed" \
    refused openssl_verifies "$md" "$work/a.pub" "$work/sig" "$data"
done

# MD2: OpenSSL has none here, so recover the signed block and compare it
# with the DigestInfo of the message of RFC 1319's test suite.
printf 'message digest' >"$work/md2.txt"
check "sign md2" equals "$(cli sign "$SERIAL_B" 1 "$work/md2.txt" "$work/md2.sig")" 0
if [[ -s $work/md2.sig ]]; then
  reverse "$work/md2.sig" "$work/md2.be"
  recovered=$(openssl pkeyutl -verifyrecover -pubin -inkey "$work/b.pub" -in "$work/md2.be" | od -An -tx1 -v | tr -d ' \n')
  check "our md2 signature holds the MD2 DigestInfo" equals "$recovered" \
    3020300c06082a864886f70d020205000410ab4f496bfb2a530b219ff33031fe06b0
fi

# Ours to OpenSSL: encryption to a certificate file.
check "encrypt" equals "$(cli encrypt "$fx/b.pem" "$data" "$work/cipher")" 0
reverse "$work/cipher" "$work/cipher.be"
openssl pkeyutl -decrypt -inkey "$fx/b.key" -in "$work/cipher.be" -out "$work/plain" 2>/dev/null || : >"$work/plain"
check "openssl decrypts our ciphertext reversed" same_file "$work/plain" "$data"

# OpenSSL's to ours.
openssl pkeyutl -encrypt -pubin -inkey "$work/b.pub" -in "$data" -out "$work/theirs.be"
reverse "$work/theirs.be" "$work/theirs"
check "decrypt openssl's ciphertext" equals "$(cli decrypt "$SERIAL_B" "$work/theirs" "$work/plain2")" 0
check "openssl's ciphertext gives the data" same_file "$work/plain2" "$data"
for pair in 0:sha1 2:md5 256:sha256 512:sha512; do
  hash=${pair%%:*} md=${pair#*:}
  openssl dgst "-$md" -sign "$fx/b.key" -out "$work/theirs.sig.be" "$data"
  reverse "$work/theirs.sig.be" "$work/theirs.sig"
  check "openssl's $md signature verifies" equals "$(cli verify "$fx/b.der" "$hash" "$data" "$work/theirs.sig")" 0
  check "openssl's $md signature unreversed does not" \
    equals "$(cli verify "$fx/b.der" "$hash" "$data" "$work/theirs.sig.be")" 1007
done

echo "capi against openssl: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
