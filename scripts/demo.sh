#!/usr/bin/env bash
# Installs what is needed, builds, makes the built-in demo token (SoftHSM2,
# one RSA-2048 key pair with its certificate) and runs the typical request
# on it: connect, serials, login, sign, verify, log out, disconnect. The
# signature is then checked against the certificate with OpenSSL.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

install_packages "${KELO_PKGS_BUILD[@]}"
build_tree "$KELO_ROOT/build-demo" -DCMAKE_BUILD_TYPE=Release -DKELO_BENCH=OFF -DKELO_TESTS=OFF
bin="$KELO_ROOT/build-demo/bin"

token="$KELO_ROOT/build-demo/demo-token"
say "making the demo token in $token"
"$bin/make-token.sh" "$token" --label kelo-demo --keys 1 >/dev/null
set -a
. "$token/token.env"
set +a

say "kelo-ca demo (token modules from $bin/softhsm)"
mkdir -p "$token/out"
LD_LIBRARY_PATH="$bin/softhsm" "$bin/kelo-ca" demo --pin "$KELO_USER_PIN" --out "$token/out"

say "checking the signature with OpenSSL against the token's certificate"
openssl x509 -in "$token/out/cert.pem" -pubkey -noout >"$token/out/pub.pem"
openssl dgst -sha1 -verify "$token/out/pub.pem" -signature "$token/out/signature.bin" "$token/out/data.bin"
