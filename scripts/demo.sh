#!/usr/bin/env bash
# Installs what is needed, builds, makes the built-in demo token (SoftHSM2,
# one RSA-2048 key pair with its certificate) and runs the typical request
# on it: connect, serials, login, sign, verify, log out, disconnect. The
# signature is then checked against the certificate with OpenSSL.
#
#   bash scripts/demo.sh                 the typical request from the command line
#   bash scripts/demo.sh --browser [--port N]
#       the same from a web page: registers the native host for the user (the
#       one behind sudo, if any) with a wrapper that gives it the demo token,
#       prints the extension folder to load, and serves the demo page on
#       http://127.0.0.1:N/ (default 8421) until Ctrl-C, which puts the
#       host registration back as it was.
#
# KELO_DEMO_BUILD names another build directory (default build-demo).
set -euo pipefail
. "$(dirname "$0")/lib.sh"

usage() { sed -n '2,15s/^# \{0,1\}//p' "$0" >&2; exit 2; }

mode=cli
port=8421
while [[ $# -gt 0 ]]; do
  case "$1" in
    --browser) mode=browser; shift ;;
    --port)
      [[ $# -ge 2 && "$2" =~ ^[0-9]+$ && "$2" -ge 1 && "$2" -le 65535 ]] || die "--port needs a port number"
      port=$2; shift 2 ;;
    -h|--help) usage ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done

build="${KELO_DEMO_BUILD:-$KELO_ROOT/build-demo}"
bin="$build/bin"

if [[ $mode == cli ]]; then
  install_packages "${KELO_PKGS_BUILD[@]}"
  build_tree "$build" -DCMAKE_BUILD_TYPE=Release -DKELO_BENCH=OFF -DKELO_TESTS=OFF

  token="$build/demo-token"
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
  exit 0
fi

# ---- --browser
# The page server needs node; the browser is the person's own.
command -v node >/dev/null || KELO_PKGS_BUILD+=(nodejs)
install_packages "${KELO_PKGS_BUILD[@]}"
build_tree "$build" -DCMAKE_BUILD_TYPE=Release -DKELO_BENCH=OFF -DKELO_TESTS=OFF

# The browser runs as the person, not as root: under sudo, the host is
# registered for the user behind it and its token belongs to that user.
as_user=()
user=$(id -un)
user_home=$HOME
if [[ $(id -u) -eq 0 && -n "${SUDO_USER:-}" && "$SUDO_USER" != root ]]; then
  user=$SUDO_USER
  user_home=$(getent passwd "$user" | cut -d: -f6)
  as_user=(runuser -u "$user" --)
fi
[[ -n "$user_home" && -d "$user_home" ]] || die "no home directory for $user"
"${as_user[@]}" test -x "$bin/kelo-ca" ||
  die "$user cannot run $bin/kelo-ca (is $build inside a folder only root can enter?)"

token="$build/browser-token"
say "making the demo token in $token"
"$bin/make-token.sh" "$token" --label kelo-demo --keys 1 >/dev/null
set -a
. "$token/token.env"
set +a
# SoftHSM2 writes lock files next to the token objects.
[[ ${#as_user[@]} -eq 0 ]] || chown -R "$user" "$token"

hostdir="$build/demo-host"
wrapper="$hostdir/kelo-ca-demo-host"
mkdir -p "$hostdir/saved"
cat >"$wrapper" <<EOF
#!/bin/sh
# Started by the browser: the kelo-ca native host on the demo token.
export LD_LIBRARY_PATH='$bin/softhsm'
export SOFTHSM2_CONF='$token/softhsm2.conf'
exec '$bin/kelo-ca' native
EOF
chmod 755 "$wrapper"

# The manifests "kelo-ca register" writes for this user, pointed at the
# wrapper. What was there before is kept and put back at the end.
mapfile -t manifests < <("${as_user[@]}" env HOME="$user_home" "$bin/kelo-ca" register --dry-run |
                         sed -n 's/^would write //p')
[[ ${#manifests[@]} -gt 0 ]] || die "kelo-ca register --dry-run named no manifest"
for i in "${!manifests[@]}"; do
  rm -f "$hostdir/saved/$i"
  m=${manifests[$i]}
  # A manifest still pointing at the wrapper is left over from an interrupted run.
  if [[ -f "$m" ]] && ! grep -qF "\"$wrapper\"" "$m"; then cp -p "$m" "$hostdir/saved/$i"; fi
done
restore() {
  local i
  say "putting the host registration back as it was"
  for i in "${!manifests[@]}"; do
    if [[ -f "$hostdir/saved/$i" ]]; then
      "${as_user[@]}" cp "$hostdir/saved/$i" "${manifests[$i]}"
    else
      "${as_user[@]}" rm -f "${manifests[$i]}"
    fi
  done
}
trap restore EXIT
trap 'exit 130' INT TERM

say "registering the native host for $user with the demo token"
"${as_user[@]}" env HOME="$user_home" "$bin/kelo-ca" register >/dev/null
for m in "${manifests[@]}"; do
  "${as_user[@]}" sed -i "s|\"path\": *\"[^\"]*\"|\"path\": \"$wrapper\"|" "$m"
  grep -qF "\"$wrapper\"" "$m" || die "could not point $m at $wrapper"
  echo "  $m"
done

browsers=()
for b in chromium google-chrome microsoft-edge; do command -v "$b" >/dev/null && browsers+=("$b"); done
say "in the browser (as $user)"
cat <<EOF
  1. Open chrome://extensions (edge://extensions in Edge), turn on Developer
     mode, choose "Load unpacked" and pick the folder
         $KELO_ROOT/extension/chromium
  2. Open http://127.0.0.1:$port/ and press the buttons in order. Step 1 asks
     once whether this page may use the token: Allow. The user PIN of the
     demo token is $KELO_USER_PIN; step 7 checks the signature in the page.
EOF
[[ ${#browsers[@]} -gt 0 ]] ||
  echo "  (no Chromium, Chrome or Edge found here: apt-get install chromium)"
[[ $user != root ]] ||
  echo "  (registered for root: run this with sudo from your own account to use your browser)"

say "serving the demo page; Ctrl-C stops it"
node "$KELO_ROOT/extension/demo/serve.mjs" --port "$port"
