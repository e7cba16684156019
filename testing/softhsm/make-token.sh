#!/usr/bin/env bash
# Makes a private SoftHSM2 token directory for tests, benchmarks and the demo.
#
#   make-token.sh DIR [--label L] [--pin P] [--so-pin S] [--keys N]
#                     [--high-serial] [--bench-certs N] [--ec] [--shared-serial]
#
# DIR gets softhsm2.conf, tokens/, keyK.pem, pubK.pem, certK.pem, certK.der
# (K = 1..N, CKA_ID 0K) and token.env, whose assignments a test loads with
#   set -a; . DIR/token.env; set +a
#
# Key 1's certificate serial has its top bit set, so its DER content starts
# with a 00 byte; --high-serial gives every certificate such a serial.
# --bench-certs N adds N copies of one extra key, each with its own
# self-signed certificate (serials 1..N, CN=bench-i, ids 1000, 1001, ...).
# --ec adds EC key pairs on P-256, P-384 and P-521 (ecC-key.pem, ecC-pub.pem,
# ecC-cert.pem for C = 256, 384, 521; CKA_ID EC01, EC02, EC03) with their
# certificates. --shared-serial adds two RSA key pairs whose certificates
# share one serial (sharedK-key.pem, sharedK-cert.pem, K = 1, 2; CKA_ID 5E01,
# 5E02). token.env names their serials.
#
# Binaries come from $KELO_BIN (default: the directory holding this script
# when that is the build's bin directory, else build/bin of the source tree).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# Beside this script in the build's bin/, one level up in the source tree.
for certs in "$here/fixture-certs.sh" "$here/../fixture-certs.sh"; do [[ -f $certs ]] && break; done
# shellcheck source=SCRIPTDIR/../fixture-certs.sh
. "$certs"

die() { echo "make-token.sh: $*" >&2; exit 1; }
usage() { sed -n '2,21s/^# \{0,1\}//p' "$0" >&2; exit 2; }

dir=""
label="kelo-test"
pin="1234"
so_pin="12345678"
keys=2
high_serial=0
bench_certs=0
ec=0
shared_serial=0

while [[ $# -gt 0 ]]; do
  case "$1" in
    --label|--pin|--so-pin|--keys|--bench-certs)
      [[ $# -ge 2 ]] || die "$1 needs a value"
      case "$1" in
        --label) label="$2" ;;
        --pin) pin="$2" ;;
        --so-pin) so_pin="$2" ;;
        --keys) keys="$2" ;;
        --bench-certs) bench_certs="$2" ;;
      esac
      shift 2 ;;
    --high-serial) high_serial=1; shift ;;
    --ec) ec=1; shift ;;
    --shared-serial) shared_serial=1; shift ;;
    -h|--help) usage ;;
    -*) die "unknown option $1" ;;
    *) [[ -z "$dir" ]] || die "only one DIR, got '$dir' and '$1'"; dir="$1"; shift ;;
  esac
done
[[ -n "$dir" ]] || usage
[[ "$keys" =~ ^[0-9]+$ && "$keys" -ge 1 && "$keys" -le 99 ]] || die "--keys needs 1 to 99, not '$keys'"
[[ "$bench_certs" =~ ^[0-9]+$ ]] || die "--bench-certs needs a count, not '$bench_certs'"
[[ "$bench_certs" -le 4096 ]] || die "--bench-certs is limited to 4096"

# ---- tools
command -v openssl >/dev/null || die "openssl is not installed (apt-get install openssl)"
if [[ -n "${KELO_SOFTHSM_LIB:-}" ]]; then
  [[ -e "$KELO_SOFTHSM_LIB" ]] || die "KELO_SOFTHSM_LIB=$KELO_SOFTHSM_LIB does not exist"
elif [[ ! -e /usr/lib/softhsm/libsofthsm2.so &&
        ! -e /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so ]] &&
     ! /sbin/ldconfig -p 2>/dev/null | grep -q 'libsofthsm2\.so'; then
  die "SoftHSM2 is not installed (apt-get install softhsm2)"
fi

if [[ -z "${KELO_BIN:-}" ]]; then
  if [[ -x "$here/kelo-p11fixture" ]]; then KELO_BIN="$here"
  else KELO_BIN="$here/../../build/bin"; fi
fi
fixture="$KELO_BIN/kelo-p11fixture"
module="$KELO_BIN/softhsm/Kelo-ZIr4.so"
[[ -x "$fixture" ]] || die "no $fixture: build the project or set KELO_BIN"
[[ -f "$module" ]] || die "no $module: build the project or set KELO_BIN"

# ---- directory and configuration
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
# A rerun starts from an empty token store; otherwise the label would clash.
rm -rf "$dir/tokens"
mkdir -p "$dir/tokens"
cat >"$dir/softhsm2.conf" <<EOF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
EOF
export SOFTHSM2_CONF="$dir/softhsm2.conf"

p11() { "$fixture" --module "$module" "$@"; }

# SoftHSM2 always keeps one spare slot with an uninitialised token (blank
# label and serial); init takes it, and lookups go by label so that the spare
# slot that appears afterwards is never mistaken for ours.
serial="$(p11 init --label "$label" --so-pin "$so_pin" --pin "$pin")"
[[ -n "$serial" ]] || die "token initialisation printed no serial"

env_extra=()
for ((k = 1; k <= keys; k++)); do
  id="$(printf '%02X' "$k")"
  if [[ $k -eq 1 ]]; then
    cert_serial=0x80A1B2C3D4E5F601
  elif [[ $high_serial -eq 1 ]]; then
    cert_serial="$(printf '0x80A1B2C3D4E5F6%02X' "$k")"
  else
    cert_serial="$(printf '0x%04X' $((0x0123 + (k - 2) * 0x333)))"
  fi
  cert_make "$dir/key$k.pem" "$dir/cert$k.pem" "$dir/cert$k.der" "$cert_serial" "/O=Kelo Test/CN=Kelo Test Key $k" ||
    die "openssl could not make key $k"
  openssl pkey -in "$dir/key$k.pem" -pubout -out "$dir/pub$k.pem"
  p11 import --label "$label" --pin "$pin" --key "$dir/key$k.pem" --cert "$dir/cert$k.pem" --id "$id"
  env_extra+=("KELO_CERT${k}_SERIAL_HEX=$(cert_serial_content "$dir/cert$k.pem")")
done

if [[ $ec -eq 1 ]]; then
  n=0
  for curve in 256:P-256 384:P-384 521:P-521; do
    bits=${curve%%:*} name=${curve#*:}
    n=$((n + 1))
    base="$dir/ec$bits"
    openssl genpkey -algorithm EC -pkeyopt "ec_paramgen_curve:$name" -out "$base-key.pem" 2>/dev/null ||
      die "openssl could not make the $name key"
    openssl pkey -in "$base-key.pem" -pubout -out "$base-pub.pem"
    openssl req -new -x509 -key "$base-key.pem" -subj "/O=Kelo Test/CN=Kelo Test EC $name" \
      -set_serial "0x0EC$bits" -days 3650 -sha256 -out "$base-cert.pem" || die "openssl could not certify the $name key"
    p11 import --label "$label" --pin "$pin" --key "$base-key.pem" --cert "$base-cert.pem" --id "EC0$n"
    env_extra+=("KELO_EC${bits}_SERIAL_HEX=$(cert_serial_content "$base-cert.pem")")
  done
fi

if [[ $shared_serial -eq 1 ]]; then
  for k in 1 2; do
    cert_make "$dir/shared$k-key.pem" "$dir/shared$k-cert.pem" "$dir/shared$k-cert.der" 0x5E5E \
      "/O=Kelo Test/CN=Kelo Test Shared Serial $k" || die "openssl could not make shared-serial key $k"
    p11 import --label "$label" --pin "$pin" --key "$dir/shared$k-key.pem" --cert "$dir/shared$k-cert.pem" --id "5E0$k"
  done
  env_extra+=("KELO_SHARED_SERIAL_HEX=$(cert_serial_content "$dir/shared1-cert.pem")")
fi

if [[ $bench_certs -gt 0 ]]; then
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$dir/bench-key.pem" 2>/dev/null ||
    die "openssl could not make the benchmark key"
  p11 import --label "$label" --pin "$pin" --key "$dir/bench-key.pem" --id 1000 --count "$bench_certs"
fi

{
  printf 'SOFTHSM2_CONF=%q\n' "$SOFTHSM2_CONF"
  printf 'KELO_TOKEN_DIR=%q\n' "$dir"
  printf 'KELO_TOKEN_LABEL=%q\n' "$label"
  printf 'KELO_TOKEN_SERIAL=%q\n' "$serial"
  printf 'KELO_USER_PIN=%q\n' "$pin"
  printf 'KELO_SO_PIN=%q\n' "$so_pin"
  printf 'KELO_KEY_COUNT=%q\n' "$keys"
  printf 'KELO_BENCH_CERTS=%q\n' "$bench_certs"
  printf 'KELO_BENCH_ID_BASE=1000\n'
  printf '%s\n' "${env_extra[@]}"
} >"$dir/token.env.tmp"
mv "$dir/token.env.tmp" "$dir/token.env"
echo "make-token.sh: token '$label' (serial $serial) ready in $dir" >&2
