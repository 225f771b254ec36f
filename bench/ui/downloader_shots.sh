#!/usr/bin/env bash
# Screenshots of the real downloader window under Xvfb at 96 DPI (scale 1) and 144 DPI
# (scale 1.5), and without a Content-Length. The player runs from a copy of the build whose version.json points at the
# station simulator; its automatic check finds 5.5, the question is answered Yes, and the
# 8 MiB installer is served slowly (rate=) so the window can be grabbed mid-download.
# Usage: downloader_shots.sh <build folder> <output folder>
set -euo pipefail
[[ -n "${SHOTS_TRACE:-}" ]] && set -x
build=$(cd "${1:?build folder}" && pwd)
out=$(mkdir -p "${2:?output folder}" && cd "$2" && pwd)
if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -n $((300 + RANDOM % 400)) -s "-screen 0 1280x1024x24 -noreset" "$0" "$build" "$out"
fi

. "$(dirname "$0")/common.sh"


start_station
export CORVALE_DIALOGS=stderr CORVALE_AUDIO_OUTPUT=null CORVALE_DIALOG_ANSWER=yes
unset QT_QPA_PLATFORM

# A copy of the program whose data folder holds our own version.json.
app="$work/app"
mkdir -p "$app/data"
cp "$build/bin/corvale-player" "$app/"
for f in "$build"/bin/data/*; do
  [[ "$(basename "$f")" == version.json ]] || ln -s "$f" "$app/data/"
done
list="${base}versionlist.json?number=5.5&file=corvale-setup-5.5-big.run%3Frate%3D200000"
cat >"$app/data/version.json" <<JSON
{ "versionlist": [ { "id": "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}", "publisher": "Corvale Productions",
  "name": "Corvale Player", "version": "5.4", "url": [ "$list" ] } ] }
JSON

# The third scene: a server that announces no Content-Length (full bar, "/ ? KiBi").
for scene in 96 144 96-nolength; do
  dpi=${scene%%-*}
  name="downloader-$scene"
  kind=none
  [[ "$scene" == *nolength ]] && kind=nolength
  curl -sf "${base}control/fault?path=/download/corvale-setup-5.5-big.run&kind=$kind" >/dev/null
  export XDG_CONFIG_HOME="$work/config-$name" XDG_RUNTIME_DIR="$work/run-$name"
  export CORVALE_DIALOG_FILE="$work/dl-$name/chosen.run"
  folder="$XDG_CONFIG_HOME/{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}"
  mkdir -p "$folder" "$XDG_RUNTIME_DIR" "$work/dl-$name"
  chmod 700 "$XDG_RUNTIME_DIR"
  cat >"$folder/settings.json" <<JSON
{ "program": { "id": "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}", "version": "5.4" },
  "player": { "versioncheck": 1, "trayicon": 0 },
  "main": { "x": 200, "y": 100 } }
JSON
  "$build/bin/xwin-tool" dpi "$dpi"
  "$app/corvale-player" "${base}stream/mp3" >"$work/$name.out" 2>"$work/$name.err" &
  player_pid=$!
  id=
  for _ in $(seq 150); do
    id=$(xwininfo -root -children 2>/dev/null | awk '/"Corvale Player Downloader"/{print $1; exit}')
    [[ -n "$id" ]] && break
    sleep 0.1
  done
  [[ -n "$id" ]] || { echo "$name: no downloader window" >&2; cat "$work/$name.err" >&2; stop_player; exit 1; }
  sleep 3
  import -window "$id" "$out/$name.png"
  echo "$name: $(xwininfo -id "$id" | awk '/Width|Height/{printf "%s%s ", $1, $2}') -> $out/$name.png"
  stop_player
  grep '^dialog:' "$work/$name.err" || true
done
