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
  [ -f "$run/$p-pid" ] && kill "$(cat "$run/$p-pid")" 2>/dev/null
  rm -f "$run/$p-pid"
done
rm -f "$run/display"
exit 0
