#!/usr/bin/env bash
# Certificate helpers shared by the fixture scripts (make-nssdb.sh,
# make-token.sh, make-fixtures-capi.sh). Sourced, not run: each function
# returns non-zero on the first failing step, for the caller's set -e.
set -euo pipefail

# cert_config FILE: an openssl req configuration with the extension sections
# the fixtures use: plain, sigonly (digitalSignature only) and enconly
# (keyEncipherment only), none of them a CA.
cert_config() {
  cat >"$1" <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[plain]
basicConstraints = critical,CA:FALSE
[sigonly]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
[enconly]
basicConstraints = critical,CA:FALSE
keyUsage = critical,keyEncipherment
CNF
}

# cert_make KEY PEM DER SERIAL SUBJECT [CONFIG EXTENSIONS]
# A new RSA-2048 key (PEM) and a self-signed certificate for it, valid ten
# years, signed with SHA-256, as PEM and DER. Without CONFIG, openssl's
# default configuration supplies the extensions.
cert_make() {
  local key=$1 pem=$2 der=$3 serial=$4 subject=$5 config=${6:-} ext=${7:-}
  local with=()
  [[ -z $config ]] || with=(-config "$config" -extensions "$ext")
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$key" 2>/dev/null || return 1
  openssl req -new -x509 "${with[@]}" -key "$key" -subj "$subject" -set_serial "$serial" -days 3650 -sha256 \
    -out "$pem" || return 1
  openssl x509 -in "$pem" -outform DER -out "$der"
}

# cert_serial_content PEM: the serial as the content of its DER INTEGER, in
# upper-case hex. openssl prints the value without the sign byte, so a 00
# goes back in front where the top bit is set.
cert_serial_content() {
  local hex
  hex=$(openssl x509 -in "$1" -noout -serial) || return 1
  hex=${hex#serial=}
  (( ${#hex} % 2 == 0 )) || hex=0$hex
  (( 16#${hex:0:2} < 0x80 )) || hex=00$hex
  echo "${hex^^}"
}

# cert_fixture_env NAME CN PEM: the SERIAL_NAME, CN_NAME and NOTAFTER_NAME
# lines (NAME upper-cased) the store tests read from fixture.env.
cert_fixture_env() {
  local upper=${1^^} serial end
  serial=$(cert_serial_content "$3") || return 1
  end=$(openssl x509 -in "$3" -noout -enddate) || return 1
  end=$(date -u -d "${end#notAfter=}" +%F) || return 1
  echo "SERIAL_$upper=$serial"
  echo "CN_$upper=\"$2\""
  echo "NOTAFTER_$upper=$end"
}
