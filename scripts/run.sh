#!/usr/bin/env bash
# Runs the player on its built-in demo station: installs what is missing, builds, starts the
# station simulator on 127.0.0.1:8471 (where data/station.json points), then the player.
# When the player exits (or on Ctrl+C) the simulator is stopped.
# Without a display the player runs on a virtual X display (Xvfb) and a screenshot is taken
# every 10 seconds; without a sound card the audio goes to a WAV file. The run's files
# (simulator log, screenshot, audio, debug log) are in build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALE_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"

port=${CORVALE_DEMO_PORT:-8471}
out=$root/build/demo
mkdir -p "$out"
sim_pid=""

stop_all() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$sim_pid" 2>/dev/null && kill -KILL "$sim_pid" 2>/dev/null || true
  fi
  sim_pid=""
}
trap stop_all EXIT
trap 'echo; echo "Stopping."; exit 130' INT TERM

# The station.
build/bin/station-sim --port "$port" >"$out/station-sim.out" 2>"$out/station-sim.log" &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^URL ' "$out/station-sim.out" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^PORT ' "$out/station-sim.out" 2>/dev/null; then
  echo "The station simulator did not start (is port $port in use?):" >&2
  cat "$out/station-sim.log" >&2
  exit 1
fi
echo "Station simulator: http://127.0.0.1:$port/ ($(grep '^CA ' "$out/station-sim.out" || echo 'no HTTPS'))"

player=build/bin/corvale-player
if [ ! -x "$player" ]; then
  echo "The player ($player) is not built yet. The station keeps running; try:"
  echo "  curl -s http://127.0.0.1:$port/info.json"
  echo "  curl -s -m 5 http://127.0.0.1:$port/stream/mp3 | ffprobe -hide_banner -"
  echo "Press Ctrl+C to stop."
  wait "$sim_pid" || true
  exit 0
fi

headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then headless=1; fi
if [ -z "${CORVALE_AUDIO_OUTPUT:-}" ]; then
  if ! grep -qs '^ *[0-9]' /proc/asound/cards; then
    export CORVALE_AUDIO_OUTPUT="file:$out/audio.wav"
    echo "No sound card: the audio is written to $out/audio.wav (paced at real time)."
  fi
fi

if [ "$headless" = 1 ]; then
  # A self-contained run: its own settings with the debug log, information and statistics
  # windows open, the log files in build/demo/logs/, message boxes on standard error.
  export XDG_CONFIG_HOME=$out/config
  cfg="$XDG_CONFIG_HOME/{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}"
  mkdir -p "$cfg" "$out/logs"
  cat >"$cfg/settings.json" <<EOF
{
  "program": {"id": "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}", "version": "5.4", "title": "Corvale Player", "publisher": "Corvale Productions"},
  "player": {"versioncheck": 1, "streaminfo": 1, "trayicon": 1, "artwork": 1, "bitrate": 0, "codec": ""},
  "volume": {"muted": 0, "preset": 0, "preset1": 1.0, "preset2": 0.5, "hotkey": 0},
  "main": {"x": 40, "y": 40, "sticky": 0},
  "stats": {"x": 420, "y": 40, "state": 1},
  "info": {"x": 40, "y": 300, "w": 0, "h": 0, "state": 1},
  "prefs": {"x": -32000, "y": -32000},
  "download": {"savepath": ""},
  "debug": {"x": 700, "y": 300, "show": 1, "savepath": "$out/logs/"}
}
EOF
  export CORVALE_DIALOGS=${CORVALE_DIALOGS:-stderr}
  echo "No display: the player runs on a virtual display; screenshot every 10 s: $out/screenshot.png"
  echo "Debug log files: $out/logs/   Player output: $out/player.log"
  echo "Press Ctrl+C to stop."
  launcher=()
  if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] && command -v dbus-run-session >/dev/null; then launcher=(dbus-run-session --); fi
  # The player runs in the foreground so that Ctrl+C reaches it; screenshots in the background.
  "${launcher[@]}" xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    ( sleep 5; while :; do import -window root "$2/screenshot.png" 2>/dev/null || true; sleep 10; done ) &
    shots=$!
    "$1" 2>&1 | tee "$2/player.log"
    kill "$shots" 2>/dev/null' _ "$root/$player" "$out" || true
else
  echo "Press Ctrl+C or quit the player to stop."
  "$player" || true
fi
echo "The player has exited; stopping the station."
