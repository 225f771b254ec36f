#!/usr/bin/env bash
# Soak: plays the station simulator (a new title every 5 s, every stream dropped every
# 10 minutes) for N hours with the main window shown under Xvfb and the paced null
# output, and records the player's RSS, CPU and open file descriptors every minute to
# soak.csv, plotted to soak.png (gnuplot; installed from Debian when missing, as root).
# Prints the growth of RSS and descriptors after the first 10 minutes at the end.
# Usage: soak.sh <build folder> <hours, decimals allowed> [output folder, default .]
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
hours=${2:?hours}
out=$(mkdir -p "${3:-.}" && cd "${3:-.}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
interval=${SOAK_INTERVAL:-60}
command -v gnuplot >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends gnuplot-nox >/dev/null
if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -n $((300 + RANDOM % 400)) -s "-screen 0 1280x1024x24 -noreset" "$0" "$build" "$hours" "$out"
fi

. "$here/../ui/common.sh"
start_station_titles() {
  "$build/bin/station-sim" --port 0 --no-tls --title-seconds 5 >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^URL ' "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
  base=$(awk '/^URL /{print $2}' "$work/sim.out")
  [[ -n "$base" ]] || { echo "station-sim did not start" >&2; exit 1; }
}
start_station_titles

export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export CORVALE_DIALOGS=stderr CORVALE_AUDIO_OUTPUT=null
unset QT_QPA_PLATFORM
"$build/bin/corvale-player" "${base%/}/stream/mp3" >"$work/player.out" 2>"$work/player.err" &
player_pid=$!

ticks=$(getconf CLK_TCK)
csv="$out/soak.csv"
echo "minute,rss_kb,cpu_s,cpu_percent,fds,threads,drops" >"$csv"
end=$(($(date +%s) + $(awk -v h="$hours" 'BEGIN { printf "%d", h * 3600 }')))
t0=$(date +%s)
last_drop=$t0
drops=0
prev_cpu=0
prev_t=$t0
minute=0
while :; do
  kill -0 "$player_pid" 2>/dev/null || { echo "the player ended after $minute minutes" >&2; cat "$work/player.err" >&2; exit 1; }
  now=$(date +%s)
  stat=$(cat "/proc/$player_pid/stat")
  cpu=$(echo "${stat##*) }" | awk '{print $12 + $13}')
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$player_pid/status")
  fds=$(ls "/proc/$player_pid/fd" | wc -l)
  threads=$(ls "/proc/$player_pid/task" | wc -l)
  pct=$(awk -v c=$((cpu - prev_cpu)) -v hz="$ticks" -v t=$((now - prev_t)) 'BEGIN { printf "%.2f", t ? 100 * c / hz / t : 0 }')
  echo "$minute,$rss,$(awk -v c="$cpu" -v hz="$ticks" 'BEGIN { printf "%.2f", c / hz }'),$pct,$fds,$threads,$drops" >>"$csv"
  prev_cpu=$cpu
  prev_t=$now
  ((now >= end)) && break
  # Sleep to the next sample, dropping the streams when ten minutes have passed.
  next=$((t0 + (minute + 1) * interval))
  while (($(date +%s) < next)); do
    if (($(date +%s) - last_drop >= 600)); then
      curl -s "${base%/}/control/drop" >/dev/null || true
      last_drop=$(date +%s)
      drops=$((drops + 1))
    fi
    sleep 1
  done
  minute=$((minute + 1))
done

gnuplot <<GP
set terminal pngcairo size 1000,600 noenhanced
set output "$out/soak.png"
set datafile separator ","
set key autotitle columnhead
set xlabel "minutes"
set ylabel "RSS (MB)"
set y2label "CPU % of a core, open descriptors"
set y2tics
set ytics nomirror
plot "$csv" using 1:(\$2/1024) with lines lw 2 title "RSS (MB)", \
     "" using 1:4 axes x1y2 with lines title "CPU %", \
     "" using 1:5 axes x1y2 with lines title "open fds"
GP
# Growth after the first 10 minutes, per hour, from the samples at minute 10 and the last.
awk -F, -v i="$interval" 'NR > 1 && $1 * i >= 600 && !s { s = 1; m0 = $1; r0 = $2; f0 = $5 }
  NR > 1 { m = $1; r = $2; f = $5; c += $4; n++ }
  END {
    printf "samples %d, mean CPU %.2f %% of a core\n", n, c / n
    if (s && m > m0) printf "after minute %d: RSS %.1f -> %.1f MB (%+.2f MB/hour), fds %d -> %d\n", m0 * i / 60, r0/1024, r/1024, (r - r0) / 1024 / ((m - m0) * i / 3600), f0, f
  }' "$csv"
echo "CSV: $csv  plot: $out/soak.png"
