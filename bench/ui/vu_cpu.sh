#!/usr/bin/env bash
# The VU meter's cost: the player's CPU time over a measuring period with the main window
# shown and a stream playing, then the same with the window minimised, then shown again.
# Runs under Xvfb (no window manager; xwin-tool iconifies the window as one would), the
# station simulator on 127.0.0.1 and the paced null audio output.
# Usage: vu_cpu.sh <build folder> [seconds per phase, default 60]
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
seconds=${2:-60}
if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -n $((300 + RANDOM % 400)) -s "-screen 0 1280x1024x24 -noreset" "$0" "$build" "$seconds"
fi

. "$(dirname "$0")/common.sh"

start_station

export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export CORVALE_DIALOGS=stderr CORVALE_AUDIO_OUTPUT=null
unset QT_QPA_PLATFORM
"$build/bin/corvale-player" "${base}stream/mp3" >"$work/player.out" 2>"$work/player.err" &
player_pid=$!

# Wait for the main window, then give the connection time to settle.
for _ in $(seq 100); do "$build/bin/xwin-tool" "$player_pid" info >/dev/null 2>&1 && break; sleep 0.1; done
"$build/bin/xwin-tool" "$player_pid" info >/dev/null || { echo "no main window" >&2; cat "$work/player.err" >&2; exit 1; }
sleep 5

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$player_pid/stat"; }
measure() {
  local t0 c0 t1 c1
  t0=$(date +%s.%N); c0=$(cpu_ticks)
  sleep "$seconds"
  t1=$(date +%s.%N); c1=$(cpu_ticks)
  awk -v c="$((c1 - c0))" -v hz="$ticks" -v t0="$t0" -v t1="$t1" \
    'BEGIN { printf "%.2f %% of a core (%.2f s CPU in %.1f s)\n", 100 * c / hz / (t1 - t0), c / hz, t1 - t0 }'
}
echo "window shown:     $(measure)"
"$build/bin/xwin-tool" "$player_pid" minimise
sleep 2
echo "window minimised: $(measure)"
"$build/bin/xwin-tool" "$player_pid" restore
sleep 2
# Shown once more: the two shown phases bracket the minimised one and show the noise.
echo "window shown:     $(measure)"
kill -0 "$player_pid" || { echo "the player ended during the run" >&2; exit 1; }
