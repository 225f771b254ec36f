#!/usr/bin/env bash
# Stops what setup.sh started.
build=$1
run="$build/wine-run"
if [ -f "$run/launcher-pid" ]; then
  kill "$(cat "$run/launcher-pid")" 2>/dev/null
  rm -f "$run/launcher-pid" "$run/launcher-port"
fi
PULSE_SERVER="unix:$run/pulse/native" pactl exit 2>/dev/null
WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null
# The runtime's X display.
for p in trayer openbox xvfb; do
  if [ -f "$run/$p-pid" ]; then
    pid=$(cat "$run/$p-pid")
    kill "$pid" 2>/dev/null
    # Gone before the next setup starts a server: one still shutting down holds its
    # display's lock and socket.
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$run/$p-pid"
done
rm -f "$run/display"
exit 0
