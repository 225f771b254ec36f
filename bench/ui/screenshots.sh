#!/usr/bin/env bash
# Screenshots of the real main window under Xvfb: playing, muted and connecting, at
# 96 DPI (scale 1) and 144 DPI (scale 1.5). Each scene starts the player afresh against
# the station simulator on 127.0.0.1 and grabs the window after it settled.
# Usage: screenshots.sh <build folder> <output folder>
set -euo pipefail
[[ -n "${SHOTS_TRACE:-}" ]] && set -x
build=$(cd "${1:?build folder}" && pwd)
out=$(mkdir -p "${2:?output folder}" && cd "$2" && pwd)
if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -n $((300 + RANDOM % 400)) -s "-screen 0 1280x1024x24 -noreset" "$0" "$build" "$out"
fi

. "$(dirname "$0")/common.sh"

# SIGTERM is the end-session path; a player that does not end within 5 s is killed.
stop_player() {
  kill "$player_pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$player_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$player_pid" 2>/dev/null; then
    echo "player $player_pid did not end on SIGTERM; killed" >&2
    kill -9 "$player_pid" 2>/dev/null || true
  fi
  wait "$player_pid" 2>/dev/null || true
  player_pid=
}

start_station

export CORVALE_DIALOGS=stderr CORVALE_AUDIO_OUTPUT=null
unset QT_QPA_PLATFORM

# scene <name> <dpi> <muted> <stream path> <seconds to wait>
scene() {
  local name=$1 dpi=$2 muted=$3 path=$4 wait=$5
  export XDG_CONFIG_HOME="$work/config-$name" XDG_RUNTIME_DIR="$work/run-$name"
  local folder="$XDG_CONFIG_HOME/{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}"
  mkdir -p "$folder" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  cat >"$folder/settings.json" <<JSON
{ "program": { "id": "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}", "version": "5.4" },
  "player": { "versioncheck": 0, "trayicon": 0 },
  "volume": { "muted": $muted },
  "main": { "x": 200, "y": 100 } }
JSON
  "$build/bin/xwin-tool" dpi "$dpi"
  "$build/bin/corvale-player" "$base$path" >"$work/$name.out" 2>"$work/$name.err" &
  player_pid=$!
  for _ in $(seq 100); do "$build/bin/xwin-tool" "$player_pid" info >/dev/null 2>&1 && break; sleep 0.1; done
  sleep "$wait"
  local info
  info=$("$build/bin/xwin-tool" "$player_pid" info) || { echo "$name: no window" >&2; cat "$work/$name.err" >&2; return 1; }
  import -window "${info%% *}" "$out/$name.png"
  echo "$name: window ${info#* } -> $out/$name.png"
  stop_player
}

# The simulator encodes its programme on the first listener: warm it up, so "playing"
# shots are not taken while the first connection still waits.
curl -s --max-time 20 "${base}stream/mp3" 2>/dev/null | head -c 65536 >/dev/null || true
# The Opus stream accepts the connection and then sends nothing: the player stays connecting.
curl -sf "${base}control/fault?path=/stream/opus&kind=stall" >/dev/null
for dpi in 96 144; do
  scene "playing-$dpi" "$dpi" 0 stream/mp3 8
  scene "muted-$dpi" "$dpi" 1 stream/mp3 8
  scene "connecting-$dpi" "$dpi" 0 stream/opus 3
done
