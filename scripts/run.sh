#!/usr/bin/env bash
# Runs the player on its built-in demo station: installs what is missing, builds, starts the
# station simulator on 127.0.0.1:8471 (where data/station.json points), then the player.
# When the player exits (or on Ctrl+C) the simulator is stopped.
# Without a display the player runs on a virtual X display (Xvfb) and a screenshot is taken
# every 10 seconds; without a sound card the audio goes to a WAV file. The run's files
# (simulator log, screenshot, audio, debug log) are in build/demo/.
# CORVALE_RUN_BUILD names another build folder; CORVALE_RUN_NO_BUILD=1 skips installing and building.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${CORVALE_RUN_BUILD:-build}

if [ "${CORVALE_RUN_NO_BUILD:-0}" != 1 ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALE_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)"
fi

port=8471  # where data/station.json points
case $build in /*) out=$build/demo ;; *) out=$root/$build/demo ;; esac
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
rm -f "$out/player.pid"

# The station.
"$build/bin/station-sim" --port "$port" >"$out/station-sim.out" 2>"$out/station-sim.log" &
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

player=$(cd "$build/bin" && pwd)/corvale-player
if [ ! -x "$player" ]; then
  echo "The player ($player) is not built yet. The station keeps running; try:"
  echo "  curl -s http://127.0.0.1:$port/info.json"
  echo "  curl -s -m 5 http://127.0.0.1:$port/stream/mp3 | ffprobe -hide_banner -"
  echo "Press Ctrl+C to stop."
  wait "$sim_pid" || true
  exit 0
fi

# The desktop entry, so docks and task managers match the player's windows and show its
# launcher progress.
apps=${XDG_DATA_HOME:-$HOME/.local/share}/applications
mkdir -p "$apps"
sed -e "s|^Exec=.*|Exec=$player %U|" -e "s|^Icon=.*|Icon=$(dirname "$player")/data/trayicon_normal.png|" \
  data/corvale-player.desktop >"$apps/corvale-player.desktop"

headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then headless=1; fi
if [ -z "${CORVALE_AUDIO_OUTPUT:-}" ]; then
  if ! grep -qs '^ *[0-9]' /proc/asound/cards; then
    export CORVALE_AUDIO_OUTPUT="file:$out/audio.wav"
    echo "No sound card: the audio is written to $out/audio.wav (paced at real time)."
  fi
fi

runner=""
# Ctrl+C: ask the player to quit (SIGTERM, a clean shutdown); a second Ctrl+C, or 10 s
# without an end, kills it.
asked=0
watchdog=""
quit_player() {
  local pid
  pid=$(cat "$out/player.pid" 2>/dev/null || true)
  [ -n "$pid" ] || pid=$runner
  [ -n "$pid" ] || exit 130
  if [ "$asked" = 0 ]; then
    echo; echo "Asking the player to quit."
    kill -TERM "$pid" 2>/dev/null || true
    asked=1
    # A player that does not end within 10 s is stopped.
    ( sleep 10; kill -0 "$pid" 2>/dev/null && echo "The player did not quit within 10 s; stopping it." &&
      kill -KILL "$pid" 2>/dev/null ) &
    watchdog=$!
  else
    kill -KILL "$pid" 2>/dev/null || true
  fi
}
trap quit_player INT TERM

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
  # Its own session, so Ctrl+C does not take the virtual display down under the player;
  # the trap below asks the player to quit instead. Screenshots in the background.
  setsid "${launcher[@]}" xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    parent=$$
    ( sleep 5; while kill -0 "$parent" 2>/dev/null; do import -window root "$2/screenshot.png" 2>/dev/null || true; sleep 10; done ) &
    "$1" > >(tee "$2/player.log") 2>&1 &
    echo $! > "$2/player.pid"
    wait $!
  ' _ "$player" "$out" &
  runner=$!
else
  echo "Press Ctrl+C or quit the player to stop."
  "$player" &
  runner=$!
  echo $runner >"$out/player.pid"
fi

while kill -0 "$runner" 2>/dev/null; do wait "$runner" || true; done
[ -n "$watchdog" ] && kill "$watchdog" 2>/dev/null || true
echo "The player has exited; stopping the station."
