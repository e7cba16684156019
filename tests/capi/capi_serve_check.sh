#!/usr/bin/env bash
# The store through the host: `kelo-ca.exe serve` under Wine signs by serial
# number with SignByCSP, and OpenSSL verifies the signatures against the
# fixture certificate once reversed (the store writes them least
# significant byte first).
#
#   capi_serve_check.sh HOST_EXE FIXTURE_DIR
#
# FIXTURE_DIR is made and imported by make-fixtures-capi.sh; HOST_EXE is
# kelo-ca.exe, run with $KELO_WINE (default wine64).
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: $0 HOST_EXE FIXTURE_DIR" >&2; exit 2; }
host=$1
fx=$(realpath "$2")
wine=${KELO_WINE:-/usr/lib/wine/wine64}
# shellcheck disable=SC1091
. "$fx/fixture.env"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

data=$work/data
head -c 100 /dev/urandom >"$data"
data_hex=$(od -An -tx1 -v "$data" | tr -d ' \n')
openssl x509 -in "$fx/a.pem" -noout -pubkey >"$work/a.pub"

# One serve session, one request a line, answered in order.
pairs=(0:sha1 256:sha256)
{
  id=0
  for pair in "${pairs[@]}"; do
    id=$((id + 1))
    printf '{"jsonrpc":"2.0","id":%d,"method":"SignByCSP","params":[0,1,"%s",%d,"%s"]}\n' \
      "$id" "$SERIAL_A" "${pair%%:*}" "$data_hex"
  done
} | "$wine" "$host" serve | tr -d '\r' >"$work/answers"

failed=0
id=0
for pair in "${pairs[@]}"; do
  id=$((id + 1))
  md=${pair#*:}
  sig=$(sed -n "s/^{\"jsonrpc\":\"2.0\",\"id\":$id,\"result\":\"\([0-9A-Fa-f]*\)\"}\$/\1/p" "$work/answers")
  if [[ -z $sig ]]; then
    echo "FAILED: no $md signature: $(sed -n "${id}p" "$work/answers")"
    failed=$((failed + 1))
    continue
  fi
  # Hex to bytes, last byte first.
  perl -e 'print scalar reverse pack("H*", $ARGV[0])' "$sig" >"$work/sig.be"
  if ! openssl dgst "-$md" -verify "$work/a.pub" -signature "$work/sig.be" "$data" >/dev/null 2>&1; then
    echo "FAILED: openssl does not verify the host's $md signature"
    failed=$((failed + 1))
  fi
done
echo "host signatures against openssl: $((${#pairs[@]} - failed)) passed, $failed failed"
[[ $failed -eq 0 ]]
