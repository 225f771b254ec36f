#!/usr/bin/env bash
# Screenshots of the song log window under Xvfb at 96 DPI (scale 1) and 144 DPI (scale
# 1.5), over a generated log of 2 000 titles: all titles, and filtered by "queen".
# Usage: song_log_shots.sh <build folder> <output folder>
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
out=$(mkdir -p "${2:?output folder}" && cd "$2" && pwd)
if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -n $((300 + RANDOM % 400)) -s "-screen 0 1600x1200x24 -noreset" "$0" "$build" "$out"
fi
unset QT_QPA_PLATFORM
export CORVALE_DATA_DIR="$build/bin/data" CORVALE_DIALOGS=stderr
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$(dirname "$0")/../../tests/lsan.supp:print_suppressions=0}
for dpi in 96 144; do
  "$build/bin/xwin-tool" dpi "$dpi"
  "$build/bin/bench_song_log" --shot "$out/songlog-$dpi.png"
  "$build/bin/bench_song_log" --shot "$out/songlog-$dpi-filtered.png" queen
done
