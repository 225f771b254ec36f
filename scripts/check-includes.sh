#!/usr/bin/env bash
# Checks the include rules of the layers: only src/runtime includes Qt; only src/platform
# and audiolib include libcurl or OpenSSL; only audiolib includes FFmpeg, ALSA or
# libpulse; only the platform's loudness meter includes libebur128 and only its song
# store SQLite; the base and the lower subsystems never include a header from above
# them (data and playback never include core/, so the subsystems meet in no circle).
# Usage: check-includes.sh [source folder]; exit status 1 and one line per breach.
set -uo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root" || exit 2
status=0

# breach <description> <grep pattern> <folders searched...> -- <folders allowed...>
breach() {
  local what=$1 pattern=$2
  shift 2
  local search=() allowed=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do search+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  allowed=("$@")
  local hits
  hits=$(grep -rnE --include='*.c' --include='*.cc' --include='*.cpp' --include='*.h' \
    --include='*.hpp' "$pattern" "${search[@]}" 2>/dev/null || true)
  for a in "${allowed[@]}"; do
    # A folder allows everything below it; a file allows itself.
    hits=$(printf '%s\n' "$hits" | awk -v a="$a" 'index($0, a "/") != 1 && index($0, a ":") != 1')
  done
  if [ -n "$hits" ]; then
    printf '%s\n' "$hits" | sed "s|^|$what: |"
    status=1
  fi
}

inc='^[[:space:]]*#[[:space:]]*include[[:space:]]*'
breach "Qt outside src/runtime" "$inc<Q[A-Za-z]" src audiolib -- src/runtime
breach "libcurl or OpenSSL outside src/platform and audiolib" "$inc<(curl|openssl)/" src audiolib -- src/platform audiolib
breach "FFmpeg, ALSA or libpulse outside audiolib" \
  "$inc<(libavcodec|libavformat|libavutil|libswresample|libavfilter|libswscale|alsa|pulse)/" src -- audiolib
breach "libebur128 outside src/platform/loudness_meter.cpp" "$inc<ebur128\.h>" src audiolib tools bench tests -- \
  src/platform/loudness_meter.cpp
breach "SQLite outside src/platform/song_store.cpp" "$inc<sqlite3\.h>" src audiolib tools bench tests -- \
  src/platform/song_store.cpp
breach "a layer below the player includes player code" \
  "$inc\"(base|core|data|playback|ui|update)/" src/platform src/runtime --
breach "the base includes a subsystem" "$inc\"(core|data|playback|ui|update)/" src/base --
breach "data includes a subsystem above it" "$inc\"(core|playback|ui|update)/" src/data --
breach "playback includes a subsystem above it" "$inc\"(core|ui|update)/" src/playback --

if [ $status -eq 0 ]; then echo "include rules hold"; fi
exit $status
