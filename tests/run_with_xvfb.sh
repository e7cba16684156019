#!/usr/bin/env bash
# Runs a command against a private Xvfb server: run_with_xvfb.sh CMD [ARGS...]
# The server picks a free display number itself (-displayfd), so parallel
# runs do not collide, and it is stopped when the command ends. Without Xvfb
# the command runs with no display at all, and the tests that need one skip.
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi
unset WAYLAND_DISPLAY KELO_TEST_XVFB

# Under Wine every program of a prefix shares the desktop of the display the
# prefix started on, so the Windows tests run on one server made for them all.
if [ -n "${KELO_SHARED_DISPLAY:-}" ]; then
  export DISPLAY="$KELO_SHARED_DISPLAY" KELO_TEST_XVFB=1
  exec "$@"
fi

if ! command -v Xvfb >/dev/null 2>&1; then
  echo "run_with_xvfb: Xvfb not installed; running without a display" >&2
  unset DISPLAY
  exec "$@"
fi

dir=$(mktemp -d) || exit 1
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Xvfb writes the display number once it accepts connections.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$dir/display" 2>"$dir/log" &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -s "$dir/display" ] && break
  if ! kill -0 "$xvfb_pid" 2>/dev/null; then
    echo "run_with_xvfb: Xvfb failed to start:" >&2
    cat "$dir/log" >&2
    xvfb_pid=
    exit 1
  fi
  sleep 0.1
done
number=$(tr -dc 0-9 <"$dir/display")
if [ -z "$number" ]; then
  echo "run_with_xvfb: Xvfb gave no display number within 10 s" >&2
  exit 1
fi

export DISPLAY=":$number" KELO_TEST_XVFB=1
"$@"
