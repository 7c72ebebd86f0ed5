#!/usr/bin/env bash
# scripts/run's demo, run for a few seconds without a display, leaves no process of its own
# behind, on Ctrl+C and when the recorder ends by itself.   Usage: <source dir> <build dir>
set -u
failed=0
for how in ctrl-c recorder-ends; do
  out=$(mktemp)
  # A session of its own: whatever the demo starts stays in it and is found by it.
  env -u DISPLAY -u WAYLAND_DISPLAY IPS_BUILD_DIR="$2" setsid "$1/scripts/run" >"$out" 2>&1 &
  sid=$!
  for _ in $(seq 1200); do grep -q "connected to" "$out" && break; sleep 0.1; done
  sleep 3 # a few seconds of recording
  if [ $how = ctrl-c ]; then kill -INT -- "-$sid"; else kill -TERM "$(pgrep -s $sid -x ip-surveillance)"; fi
  for _ in $(seq 300); do kill -0 $sid 2>/dev/null || break; sleep 0.1; done
  sleep 0.5
  left=$(pgrep -s $sid)
  if ! grep -q "\.avi (" "$out"; then echo "FAIL ($how): nothing recorded"; cat "$out"; failed=1
  elif [ -n "$left" ]; then echo "FAIL ($how): left running:"; ps -o pid=,args= -p "${left//$'\n'/,}"; failed=1
  else echo "PASS ($how)"; fi
  [ -n "$left" ] && kill -KILL $left
  rm -rf "$(sed -n 's/^Demo folder: //p' "$out")" "$out"
done
exit $failed
