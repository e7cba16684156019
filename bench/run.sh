#!/usr/bin/env bash
# Runs every benchmark against a build and prints a summary table.
#
#   bench/run.sh [BUILD_DIR] [--quick]
#
# BUILD_DIR defaults to build/ of this source tree; nothing is built. SoftHSM2 tokens
# and NSS databases are made in a temporary directory (removed afterwards). --quick runs every
# benchmark briefly, to check that they work rather than to measure.
#
# Exit status: 0 when every benchmark ran and every answer was right (a
# missed performance target does not count), 1 otherwise, 2 on bad usage.
set -euo pipefail

usage() { sed -n '2,11s/^# \{0,1\}//p' "$0" >&2; exit 2; }

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
quick=0
build_given=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    -h|--help) usage ;;
    -*) echo "run.sh: unknown option $arg" >&2; usage ;;
    *) [[ $build_given -eq 0 ]] || { echo "run.sh: only one BUILD_DIR" >&2; usage; }
       build="$arg"; build_given=1 ;;
  esac
done

bin="$build/bin"
missing=()
for f in kelo-ca make-token.sh kelo-p11fixture mock/Kelo-ZIr4.so softhsm/Kelo-ZIr4.so \
         make-nssdb.sh bench_serve bench_first_connect bench_sign bench_sign_by_serial bench_store_sign \
         kelo_echo_host; do
  [[ -e "$bin/$f" ]] || missing+=("$bin/$f")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "run.sh: not built (this script builds nothing):" >&2
  printf '  %s\n' "${missing[@]}" >&2
  echo "build first, e.g.: cmake -S $root -B $build -DCMAKE_BUILD_TYPE=Release && cmake --build $build -j2" >&2
  exit 1
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/kelo-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export KELO_BENCH_SUMMARY="$work/summary"
: >"$KELO_BENCH_SUMMARY"

cpu_model="$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//' || true)"
load() { cut -d' ' -f1-3 /proc/loadavg; }
build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null || true)"
load_start="$(load)"

echo "== kelo benchmarks: $bin"
echo "   $(nproc) CPUs, $cpu_model; load average $load_start; build type ${build_type:-unknown}"
[[ "${build_type:-}" == Release ]] || echo "   (not a Release build: figures will be low)"
[[ $quick -eq 0 ]] || echo "   --quick: short runs, the figures are not measurements"

# ---- tokens
sizes=(10 100 1000)
declare -A token_dir
make_token() {  # name, make-token.sh options...
  local name="$1"; shift
  local dir="$work/$name" t0=$SECONDS
  if ! "$bin/make-token.sh" "$dir" --keys 1 "$@" >"$work/$name.log" 2>&1; then
    echo "run.sh: make-token.sh $dir $* failed:" >&2
    cat "$work/$name.log" >&2
    exit 1
  fi
  echo "   token $name ready ($((SECONDS - t0)) s)"
  token_dir[$name]="$dir"
}
echo "== preparing SoftHSM2 tokens in $work"
make_token sign --ec  # RSA key 01 and the EC keys for ECDSA
for n in "${sizes[@]}"; do make_token "certs$n" --bench-certs "$n"; done

# ---- NSS databases: the fixture's 7 certificates plus key-less ones up to
# the size. The store walks the slot's certificates in the order they were
# stored, so certificate "a" is stored again last (its key stays) to be the
# one a lookup by serial reaches at the end.
declare -A nss_home
make_nssdb() {  # size
  local n="$1" home="$work/nss$1" t0=$SECONDS
  local db="$home/.pki/nssdb"
  if ! { "$bin/make-nssdb.sh" "$home" --extra $((n - 7)) &&
         certutil -D -d "sql:$db" -n kelo-a &&
         certutil -A -d "sql:$db" -n kelo-a -t ,, -i "$home/fixture/a.der"; } >"$work/nss$n.log" 2>&1; then
    echo "run.sh: making the NSS database $home failed:" >&2
    cat "$work/nss$n.log" >&2
    exit 1
  fi
  echo "   NSS database of $n certificates ready ($((SECONDS - t0)) s)"
  nss_home[$n]="$home"
}
echo "== preparing NSS databases in $work"
for n in "${sizes[@]}"; do make_nssdb "$n"; done

# ---- benchmarks
failed=()
run() {  # label, token name or "-", command...
  local label="$1" token="$2"; shift 2
  echo
  echo "== $label"
  local rc=0
  if [[ "$token" == - ]]; then
    "$@" || rc=$?
  else
    (set -a; . "${token_dir[$token]}/token.env"; set +a; "$@") || rc=$?
  fi
  if [[ $rc -ne 0 ]]; then
    echo "run.sh: $label exited with status $rc" >&2
    failed+=("$label (status $rc)")
  fi
}

if [[ $quick -eq 1 ]]; then
  serve_opts=(--pipelined 20000 --pingpong 5000 --repeat 1)
  connect_opts=(--runs 5)
  sign_opts=(--rounds 2 --slice 0.2)
  serial_opts=(--rounds 1 --slice 0.2)
  store_opts=(--rounds 1 --slice 0.2)
  browser_opts=(--quick)
else
  serve_opts=()
  connect_opts=()
  sign_opts=()
  serial_opts=()
  store_opts=()
  browser_opts=()
fi

run bench_serve - "$bin/bench_serve" "${serve_opts[@]}"
run bench_first_connect - "$bin/bench_first_connect" "${connect_opts[@]}"
run bench_sign sign "$bin/bench_sign" "${sign_opts[@]}"
for n in "${sizes[@]}"; do
  run "bench_sign_by_serial ($n certificates)" "certs$n" "$bin/bench_sign_by_serial" "${serial_opts[@]}"
done
for n in "${sizes[@]}"; do
  run "bench_store_sign ($n certificates)" - "$bin/bench_store_sign" "${nss_home[$n]}" "${store_opts[@]}"
done

# Page to host and back in headless Chromium, next to a host that only echoes.
here="$root/bench"
if [[ -x /usr/bin/chromium && -d "$here/../tests/browser/node_modules/playwright-core" ]] && command -v node >/dev/null; then
  run bench_browser - bash "$here/browser/run.sh" "$build" "${browser_opts[@]}"
else
  echo
  echo "== bench_browser skipped: needs node, /usr/bin/chromium and tests/browser/node_modules (npm ci there)"
fi

# ---- summary
echo
echo "== summary"
echo "machine: $(nproc) CPUs, $cpu_model"
echo "load average: $load_start at start, $(load) at end (1, 5, 15 min)"
echo "build: $build (${build_type:-unknown build type})"
echo
awk -F'|' '
  BEGIN { fmt = "%-21s %-46s %-48s %-22s %s\n"; printf fmt, "benchmark", "figure", "value", "target", "status" }
  { printf fmt, $1, $2, $3, $4, $5 }' "$KELO_BENCH_SUMMARY"

if [[ ${#failed[@]} -gt 0 ]]; then
  echo
  echo "FAILED (wrong answers or broken runs):"
  printf '  %s\n' "${failed[@]}"
  exit 1
fi
missed=$(awk -F'|' '$5 == "MISSED"' "$KELO_BENCH_SUMMARY" | wc -l)
echo
echo "all benchmarks ran and every answer was right; $missed figure(s) missed their target"
exit 0
