#!/usr/bin/env bash
# Checks the SoftHSM2 test tokens that make-token.sh builds, against openssl's
# own reading of the key and certificate files, that the shim module works
# when loaded by bare name, and that the real SoftHSM2 module serves the
# control when configured by its path. Needs KELO_BIN (the build's bin directory).
set -euo pipefail

: "${KELO_BIN:?set KELO_BIN to the bin directory of the build}"
fixture="$KELO_BIN/kelo-p11fixture"
shim="$KELO_BIN/softhsm/Kelo-ZIr4.so"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_eq() {  # what expected actual
  [[ "$2" == "$3" ]] || fail "$1: expected '$2', got '$3'"
}

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

load_env() {
  unset SOFTHSM2_CONF KELO_TOKEN_LABEL KELO_TOKEN_SERIAL KELO_USER_PIN KELO_CERT1_SERIAL_HEX
  set -a
  # shellcheck disable=SC1090,SC1091
  . "$1/token.env"
  set +a
}

list() {  # module [--pin P]
  local module="$1"; shift
  "$fixture" --module "$module" list --label "$KELO_TOKEN_LABEL" "$@"
}

field() {  # line name -> value of name=... in a list line
  local f
  for f in $1; do [[ "$f" == "$2="* ]] && { echo "${f#"$2"=}"; return; }; done
  echo ""
}

count_class() { grep -c "^$2 " <<<"$1" || true; }

# The whole DER INTEGER of the certificate's serial (tbsCertificate's first
# INTEGER at depth 2), cut out of the DER file at the offset openssl reports.
der_serial_tlv() {
  local line off hl len
  line="$(openssl asn1parse -inform DER -in "$1" | grep -m1 'd=2 .*prim: INTEGER')"
  off="$(sed -E 's/^ *([0-9]+):.*/\1/' <<<"$line")"
  hl="$(sed -E 's/.*hl= *([0-9]+).*/\1/' <<<"$line")"
  len="$(sed -E 's/.* l= *([0-9]+).*/\1/' <<<"$line")"
  od -An -v -tx1 -j "$off" -N $((hl + len)) "$1" | tr -d ' \n' | tr a-f A-F
}

cert_modulus() { openssl x509 -in "$1" -noout -modulus | sed 's/^Modulus=//'; }

# Checks one token: per key K, the certificate, public and private key with
# id 0K exist once each, match certK's modulus, and the certificate's stored
# serial is certK.der's serial INTEGER.
check_token() {  # dir keys bench high-serial(0|1)
  local dir="$1" keys="$2" bench="$3" high="$4" public private k id cert_line tlv modulus line
  load_env "$dir"

  public="$(list "$shim")"
  private="$(list "$shim" --pin "$KELO_USER_PIN")"

  [[ -n "$KELO_TOKEN_SERIAL" ]] || fail "token.env has a blank token serial"
  expect_eq "token line" "token label=$KELO_TOKEN_LABEL serial=$KELO_TOKEN_SERIAL" \
    "$(head -n1 <<<"$private")"

  local total=$((keys + bench))
  expect_eq "certificates without PIN" "$total" "$(count_class "$public" certificate)"
  expect_eq "public keys without PIN" "$total" "$(count_class "$public" public-key)"
  expect_eq "private keys without PIN" 0 "$(count_class "$public" private-key)"
  expect_eq "certificates with PIN" "$total" "$(count_class "$private" certificate)"
  expect_eq "public keys with PIN" "$total" "$(count_class "$private" public-key)"
  expect_eq "private keys with PIN" "$total" "$(count_class "$private" private-key)"

  for ((k = 1; k <= keys; k++)); do
    id="$(printf '%02X' "$k")"
    modulus="$(cert_modulus "$dir/cert$k.pem")"
    for class in public-key private-key; do
      line="$(grep "^$class id=$id " <<<"$private" || true)"
      expect_eq "$class $id count" 1 "$(grep -c . <<<"$line" || true)"
      expect_eq "$class $id modulus" "$modulus" "$(field "$line" modulus)"
    done
    expect_eq "key$k.pem and cert$k.pem modulus" "$modulus" \
      "$(openssl rsa -in "$dir/key$k.pem" -noout -modulus | sed 's/^Modulus=//')"

    cert_line="$(grep "^certificate id=$id " <<<"$private" || true)"
    expect_eq "certificate $id count" 1 "$(grep -c . <<<"$cert_line" || true)"
    tlv="$(der_serial_tlv "$dir/cert$k.der")"
    expect_eq "certificate $id stored serial" "$tlv" "$(field "$cert_line" serial)"
    # Key 1 always, the others with --high-serial: content 00 then a top-bit byte.
    if [[ $k -eq 1 || $high -eq 1 ]]; then
      expect_eq "certificate $id serial content starts with 00" "00" "${tlv:4:2}"
    else
      [[ "${tlv:4:2}" != "00" ]] || fail "certificate $id has a needless leading 00: $tlv"
    fi
  done

  tlv="$(der_serial_tlv "$dir/cert1.der")"
  expect_eq "KELO_CERT1_SERIAL_HEX" "${tlv:4}" "$KELO_CERT1_SERIAL_HEX"
  expect_eq "cert1 serial byte after 00 has the top bit" 1 $(( 16#${tlv:6:2} >= 0x80 ))

  # Benchmark certificates: one each for ids 1000.., serials 1..N.
  for ((k = 0; k < bench; k++)); do
    id="$(printf '%04X' $((0x1000 + k)))"
    cert_line="$(grep "^certificate id=$id " <<<"$private" || true)"
    expect_eq "bench certificate $id serial" "$(printf '02%02X%02X' 1 $((k + 1)))" \
      "$(field "$cert_line" serial)"
    expect_eq "bench certificate $id label" "bench-$k" "$(field "$cert_line" label)"
    expect_eq "bench private key $id" 1 "$(grep -c "^private-key id=$id " <<<"$private" || true)"
  done
}

# 1. Defaults.
"$KELO_BIN/make-token.sh" "$tmp/tok" 2>/dev/null
check_token "$tmp/tok" 2 0 0

# 2. The shim by bare name, found through LD_LIBRARY_PATH, sees the same token.
by_path="$(list "$shim" --pin "$KELO_USER_PIN" | sort)"
by_name="$(LD_LIBRARY_PATH="$KELO_BIN/softhsm${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  list Kelo-ZIr4.so --pin "$KELO_USER_PIN" | sort)" || fail "shim not loadable by bare name"
expect_eq "listing through the bare name" "$by_path" "$by_name"

# 3. Without SoftHSM2 the shim answers CKR_GENERAL_ERROR.
if err="$(KELO_SOFTHSM_LIB="$tmp/missing.so" list "$shim" 2>&1)"; then
  fail "listing succeeded without SoftHSM2"
else
  grep -q "C_GetFunctionList failed: CKR_GENERAL_ERROR" <<<"$err" ||
    fail "unexpected error without SoftHSM2: $err"
fi

# 4. A rerun into the same directory with other options replaces the token.
old_serial="$KELO_TOKEN_SERIAL"
"$KELO_BIN/make-token.sh" "$tmp/tok" --label "second token" --pin 4321 --so-pin 87654321 \
  --keys 3 --bench-certs 3 --high-serial 2>/dev/null
check_token "$tmp/tok" 3 3 1
[[ "$KELO_TOKEN_SERIAL" != "$old_serial" ]] || fail "rerun kept the old token serial"
# The old token must be gone, not merely hidden behind the new label: tests
# expect one token per configuration.
expect_eq "token directories after rerun" 1 "$(find "$tmp/tok/tokens" -mindepth 1 -maxdepth 1 -type d | wc -l)"
expect_eq "KELO_USER_PIN after rerun" 4321 "$KELO_USER_PIN"
if list "$shim" --pin 1234 >/dev/null 2>&1; then fail "the old PIN still opens the token"; fi

# 5. The real SoftHSM2 module configured by its path, with neither the shim
#    nor any fixed module name on the search path: kelo-ca demo runs the
#    typical request (ConnectToken, Login, EnumPrivateKey, its certificate by
#    CKA_ID and GetAttribute, Sign with hash type 0), and OpenSSL checks the
#    signature against the certificate read off the token.
real_lib=""
for f in /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so; do
  [[ -f $f ]] && { real_lib=$f; break; }
done
if [[ -z $real_lib ]]; then
  fail "libsofthsm2.so is not in /usr/lib/softhsm or /usr/lib/x86_64-linux-gnu/softhsm"
else
  "$KELO_BIN/make-token.sh" "$tmp/real" --keys 1 2>/dev/null
  load_env "$tmp/real"
  kelo() { env -u LD_LIBRARY_PATH XDG_CONFIG_HOME="$tmp/config" HOME="$tmp" "$KELO_BIN/kelo-ca" "$@"; }
  mkdir -p "$tmp/out"
  if kelo demo --pin "$KELO_USER_PIN" >/dev/null 2>&1; then fail "demo found a token with nothing configured"; fi
  kelo modules add "$real_lib" >/dev/null || fail "kelo-ca modules add $real_lib failed"
  expect_eq "modules list" "$real_lib" "$(kelo modules list | sed -n 2p | tr -d ' ')"
  if out="$(kelo demo --pin "$KELO_USER_PIN" --out "$tmp/out" 2>&1)"; then
    openssl x509 -in "$tmp/out/cert.pem" -pubkey -noout >"$tmp/out/pub.pem"
    openssl dgst -sha1 -verify "$tmp/out/pub.pem" -signature "$tmp/out/signature.bin" "$tmp/out/data.bin" \
      >/dev/null || fail "the signature through the configured module does not verify"
    expect_eq "certificate read off the token" "$(cert_modulus "$tmp/real/cert1.pem")" \
      "$(cert_modulus "$tmp/out/cert.pem")"
  else
    fail "kelo-ca demo through the configured module failed: $out"
  fi
  doctor="$(kelo doctor --json || true)"
  grep -q '"status": "usable"' <<<"$doctor" || fail "doctor does not call the configured module usable"
fi

if [[ $failures -ne 0 ]]; then
  echo "softhsm_fixture_test: $failures failure(s)" >&2
  exit 1
fi
echo "softhsm_fixture_test: all checks passed"
