#!/usr/bin/env bash
# scripts/run's demo, run for a few seconds without a display, leaves no process of its own
# behind: neither on Ctrl+C nor when the recorder ends by itself.
#   demo_leaves_nothing.sh <source dir> <build dir>
set -u
SRC=$1
BUILD=$2
failed=0

run_case() { # run_case ctrl-c | recorder-ends
  local how=$1 out sid left demo
  out=$(mktemp)
  # A session of its own: whatever the demo starts stays in it and is found by it.
  env -u DISPLAY -u WAYLAND_DISPLAY IPS_BUILD_DIR="$BUILD" setsid "$SRC/scripts/run" >"$out" 2>&1 &
  sid=$!
  for _ in $(seq 1200); do
    grep -q "connected to" "$out" && break
    sleep 0.1
  done
  sleep 3 # a few seconds of recording
  if [ "$how" = ctrl-c ]; then
    kill -INT -- "-$sid" # what the terminal sends to the foreground group
  else
    kill -TERM "$(pgrep -s "$sid" -x ip-surveillance)"
  fi
  for _ in $(seq 300); do
    kill -0 "$sid" 2>/dev/null || break
    sleep 0.1
  done
  sleep 0.5
  left=$(pgrep -s "$sid")
  demo=$(sed -n 's/^Demo folder: //p' "$out")
  if ! grep -q "connected to" "$out" || ! grep -q "\.avi (" "$out"; then
    echo "FAIL ($how): the demo did not record"; cat "$out"; failed=1
  elif [ -n "$left" ]; then
    echo "FAIL ($how): left running:"; ps -o pid=,args= -p "$(echo $left | tr ' ' ,)"; failed=1
  else
    echo "PASS ($how)"
  fi
  [ -n "$left" ] && kill -KILL $left 2>/dev/null
  [ -n "$demo" ] && rm -rf "$demo"
  rm -f "$out"
}

run_case ctrl-c
run_case recorder-ends
exit $failed
