#!/usr/bin/env bash
# The player against a reference player on the same station-simulator stream, side by
# side in one run under Xvfb with a small window manager (openbox, so minimising is real):
#   - CPU over a measuring period with the player's main window (VU meter) shown, then
#     with it minimised, the player on its null output against `mpv --no-video
#     --ao=null` in the same period;
#   - peak RSS (VmHWM) of both;
#   - then, in a second run, time from start to the first audible sample, both players
#     writing to a raw file (the player's paced file output, mpv's --ao=pcm), started at
#     the same moment;
#   - and the gap in the player's audio after each of three server drops.
# Each figure is printed as a ratio to mpv; where the player misses a goal, its threads'
# CPU is listed. Installs mpv and openbox from Debian when they are missing (as root).
# Usage: vs_mpv.sh <build folder> [seconds per phase, default 60]
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v mpv >/dev/null || ! command -v openbox >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends mpv openbox >/dev/null
fi
if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -n $((300 + RANDOM % 400)) -s "-screen 0 1280x1024x24 -noreset" "$0" "$build" "$seconds"
fi

. "$here/../ui/common.sh"
mpv_pid=
pcm_pid=
wm_pid=
watch_pid=
bench_cleanup() {
  for p in $watch_pid $mpv_pid $pcm_pid $wm_pid; do kill "$p" 2>/dev/null || true; done
  cleanup
}
trap bench_cleanup EXIT

openbox --sm-disable >/dev/null 2>&1 &
wm_pid=$!
start_station
url="${base%/}/stream/mp3"
# The player gets the stream through the station's playlist (MP3 first, then AAC, Opus,
# Vorbis): after a drop it goes on with the next entry at once (a single
# stream is retried only every 10 s, so that one server is not hammered).
playlist="${base%/}/playlist.m3u"
# The simulator encodes a title when the first listener of a format asks: warm every
# format up first, so that the start-up and reconnect figures measure the players and
# not the simulator's encoder.
for f in mp3 aac opus vorbis; do curl -s --max-time 2 "${base%/}/stream/$f" -o /dev/null || true; done

export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export CORVALE_DIALOGS=stderr
unset QT_QPA_PLATFORM
mpv_common=(--no-config --no-video --no-terminal --cache=no)

alive() {
  local n p
  for n in player_pid mpv_pid; do
    p=${!n}
    kill -0 "$p" 2>/dev/null || { echo "${n%_pid} ended early" >&2; cat "$work/player.err" "$work/mpv.err" >&2; exit 1; }
  done
}
main_window() {
  wid=
  for _ in $(seq 600); do
    wid=$(xdotool search --onlyvisible --pid "$player_pid" 2>/dev/null | head -1) || true
    [[ -n "$wid" ]] && return
    sleep 0.1
  done
  echo "no main window" >&2
  cat "$work/player.out" "$work/player.err" >&2
  exit 1
}

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# Per-thread CPU ticks of a process: "tid name ticks" lines.
thread_ticks() {
  local t s
  for t in /proc/"$1"/task/*; do
    s=$(cat "$t/stat" 2>/dev/null) || continue
    echo "${t##*/} $(tr ' ' _ <"$t/comm") ${s##*) }" | awk '{print $1, $2, $14 + $15}'
  done
}
# measure <label>: CPU % of a core of the player and mpv over $seconds, per-thread figures.
measure() {
  local label=$1 t0 t1 p0 p1 m0 m1
  alive
  thread_ticks "$player_pid" >"$work/threads0"
  t0=$(date +%s.%N); p0=$(cpu_ticks "$player_pid"); m0=$(cpu_ticks "$mpv_pid")
  sleep "$seconds"
  t1=$(date +%s.%N); p1=$(cpu_ticks "$player_pid"); m1=$(cpu_ticks "$mpv_pid")
  thread_ticks "$player_pid" >"$work/threads1"
  awk -v p=$((p1 - p0)) -v m=$((m1 - m0)) -v hz="$ticks" -v t0="$t0" -v t1="$t1" -v l="$label" \
    'BEGIN { t = t1 - t0; printf "%-26s player %5.2f %% of a core, mpv %5.2f %%, ratio %.2f\n", l, 100*p/hz/t, 100*m/hz/t, (m ? p/m : 0) }' |
    tee -a "$work/summary"
  echo "  player threads (CPU s in the period):"
  awk -v hz="$ticks" -v main="$player_pid" 'NR == FNR { a[$1] = $3; next }
    { d = $3 - a[$1]; if (d > 0) printf "    %-8s %-16s %6.2f\n", $1, ($1 == main ? "main" : $2), d / hz }' \
    "$work/threads0" "$work/threads1" | sort -k3 -nr
}
rss() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }

# Part 1, CPU and memory: the player on its null output against mpv's null output, the
# same stream, the same period.
CORVALE_AUDIO_OUTPUT=null "$build/bin/corvale-player" "$playlist" >"$work/player.out" 2>"$work/player.err" &
player_pid=$!
mpv "${mpv_common[@]}" --ao=null "$url" >/dev/null 2>"$work/mpv.err" &
mpv_pid=$!
main_window
sleep 5
measure "CPU, VU meter shown:"
xdotool windowminimize "$wid"
sleep 2
measure "CPU, minimised:"
alive
pr=$(rss "$player_pid"); mr=$(rss "$mpv_pid")
awk -v p="$pr" -v m="$mr" 'BEGIN { printf "%-26s player %5.1f MB, mpv %5.1f MB, ratio %.2f\n", "Peak RSS:", p/1024, m/1024, p/m }'
stop_player
kill "$mpv_pid" 2>/dev/null || true
wait "$mpv_pid" 2>/dev/null || true
mpv_pid=

# Part 2, timing: both players write raw audio files (the player's paced file output,
# mpv's --ao=pcm), started at the same moment; a watcher notes when audible samples
# arrive. Then the server drops every stream three times, 15 s apart.
"$here/audio_watch.py" "$work/audio.txt" "player=$work/player.raw:f32" "mpv=$work/mpv.raw:s16" &
watch_pid=$!
start=$(date +%s.%N)
CORVALE_AUDIO_OUTPUT="file:$work/player.raw" "$build/bin/corvale-player" "$playlist" >"$work/player.out" 2>"$work/player.err" &
player_pid=$!
mpv "${mpv_common[@]}" --ao=pcm --ao-pcm-file="$work/mpv.raw" --ao-pcm-waveheader=no --audio-format=s16 \
  "$url" >/dev/null 2>"$work/pcm.err" &
pcm_pid=$!
sleep 10
drops=()
for _ in 1 2 3; do
  drops+=("$(date +%s.%N)")
  curl -s "${base%/}/control/drop" >/dev/null
  sleep 15
done
kill "$watch_pid"
wait "$watch_pid" 2>/dev/null || true
watch_pid=
kill -0 "$player_pid" || { echo "the player ended during the run" >&2; exit 1; }

awk -v s="$start" '$2 == "first" { f[$1] = $3 - s }
  END { printf "%-26s player %5.2f s, mpv %5.2f s, ratio %.2f\n", "First audible sample:", f["player"], f["mpv"], (f["mpv"] ? f["player"]/f["mpv"] : 0) }' \
  "$work/audio.txt"
# Each drop's gap: the longest pause in audible samples that ends after the drop and
# before the next one. mpv ends when the server drops its stream (no gap figure).
awk -v d="${drops[*]}" '
  BEGIN { n = split(d, drop, " "); drop[n + 1] = 1e12 }
  $1 == "player" && $2 == "gap" {
    for (i = 1; i <= n; i++) if ($4 > drop[i] && $4 < drop[i + 1] && $4 - $3 > gap[i]) gap[i] = $4 - $3
  }
  $1 == "mpv" && $2 == "last" { mpvLast = $3 }
  END {
    worst = 0; text = ""
    for (i = 1; i <= n; i++) { text = text sprintf("%s%.2f", i > 1 ? ", " : "", gap[i]); if (gap[i] > worst) worst = gap[i] }
    printf "%-26s player %.2f s at most (%s s), mpv %s (goal for the player: <= 3.5 s)\n", "Gap after a server drop:", worst, text,
      (mpvLast < drop[1] + 1 ? "did not resume" : "resumed")
  }' "$work/audio.txt"
