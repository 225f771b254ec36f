#!/usr/bin/env bash
# Screenshots of the information and statistics windows of the real player under Xvfb,
# at 96 DPI (scale 1) and 144 DPI (scale 1.5), playing the station simulator with its
# stream information, history and artwork. The player runs from a private copy of its
# program folder whose station file points at the simulator's free port. Each scene
# starts the player with both windows open (from the settings file), waits for a title
# change, grabs both windows, grabs the statistics window again two seconds later, ends
# the player with SIGTERM (the session-end path saves the settings) and starts it a
# second time to show where the windows reopen.
# Usage: window_shots.sh <build folder> <output folder>
set -euo pipefail
[[ -n "${SHOTS_TRACE:-}" ]] && set -x
build=$(cd "${1:?build folder}" && pwd)
out=$(mkdir -p "${2:?output folder}" && cd "$2" && pwd)
if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -n $((300 + RANDOM % 400)) -s "-screen 0 1280x1024x24 -noreset" "$0" "$build" "$out"
fi

. "$(dirname "$0")/common.sh"


# The simulator with short titles, so the history grows while we watch.
"$build/bin/station-sim" --port 0 --no-tls --title-seconds 8 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^URL ' "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/^PORT /{print $2}' "$work/sim.out")
[[ -n "$port" ]] || { echo "station-sim did not start" >&2; exit 1; }

# A private program folder: the player and its data, the station moved to our port.
prog="$work/prog"
mkdir -p "$prog"
cp "$build/bin/corvale-player" "$prog/"
cp -r "$build/bin/data" "$prog/data"
sed -i "s/127\.0\.0\.1:8471/127.0.0.1:$port/g" "$prog/data/station.json"
curl -s --max-time 20 "http://127.0.0.1:$port/stream/mp3" 2>/dev/null | head -c 65536 >/dev/null || true

export CORVALE_DIALOGS=stderr CORVALE_AUDIO_OUTPUT=null
unset QT_QPA_PLATFORM

window_id() { xdotool search --all --pid "$player_pid" --name "^$1\$" 2>/dev/null | head -n1; }
geometry() { xwininfo -id "$1" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF} END{print x, y, w, h}'; }

start_player() {
  "$prog/corvale-player" >>"$work/$1.out" 2>>"$work/$1.err" &
  player_pid=$!
  for _ in $(seq 150); do [[ -n "$(window_id 'Corvale Player Info')" ]] && break; sleep 0.1; done
}

# scene <name> <dpi>
scene() {
  local name=$1 dpi=$2
  export XDG_CONFIG_HOME="$work/config-$name" XDG_RUNTIME_DIR="$work/run-$name"
  local folder="$XDG_CONFIG_HOME/{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}"
  mkdir -p "$folder" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  cat >"$folder/settings.json" <<JSON
{ "program": { "id": "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}", "version": "5.4" },
  "player": { "versioncheck": 0, "trayicon": 0 },
  "main": { "x": 40, "y": 40 },
  "info": { "state": 1, "x": 100, "y": 60 },
  "stats": { "state": 1, "x": 760, "y": 60 } }
JSON
  "$build/bin/xwin-tool" dpi "$dpi"
  start_player "$name"
  local info stats
  info=$(window_id 'Corvale Player Info')
  stats=$(window_id 'Corvale Player Stats')
  [[ -n "$info" && -n "$stats" ]] || { echo "$name: windows missing" >&2; cat "$work/$name.err" >&2; return 1; }
  # The start-up title carries the artwork of the stream information; a title that
  # arrives in the stream's metadata has none, and the default shows again.
  sleep 3
  import -window "$info" "$out/info-$name-start.png"
  sleep 9
  import -window "$info" "$out/info-$name.png"
  import -window "$stats" "$out/stats-$name.png"
  sleep 2
  import -window "$stats" "$out/stats-$name-2s.png"
  echo "$name: info $(geometry "$info"), stats $(geometry "$stats")"
  stop_player
  echo "$name: saved $(tr -d ' \n' <"$folder/settings.json" | grep -o '"info":{[^}]*}\|"stats":{[^}]*}' | tr '\n' ' ')"
  # The second run reopens both windows from the saved state.
  start_player "$name-again"
  sleep 3
  info=$(window_id 'Corvale Player Info')
  stats=$(window_id 'Corvale Player Stats')
  echo "$name again: info ${info:+$(geometry "$info")}, stats ${stats:+$(geometry "$stats")}"
  stop_player
}

for dpi in 96 144; do scene "$dpi" "$dpi"; done
