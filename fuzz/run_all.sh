#!/usr/bin/env bash
# Builds every fuzz target with clang's libFuzzer and runs them one after another, each
# for the given time at the lowest CPU priority, from seed corpora taken from the test
# fixtures and from the station simulator's own files (playlists, documents, hostile
# variants, ICY streams). Corpora grow in <work>/<target>/corpus between runs; crashing
# inputs land in <work>/<target>/artifacts. Prints one summary line per target.
# Usage: fuzz/run_all.sh <build folder with bin/station-sim> <seconds per target> [work folder]
#        (environment: FUZZ_TARGETS="json playlist stream_title icy song_file" picks targets)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?build folder}" && pwd)
seconds=${2:?seconds per target}
work=$(mkdir -p "${3:-/tmp/corvale-fuzz}" && cd "${3:-/tmp/corvale-fuzz}" && pwd)
targets=${FUZZ_TARGETS:-json playlist stream_title icy song_file}
cd "$root"

flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc)
player_src="src/base/text.cpp src/playback/playlist.cpp src/playback/text.cpp src/playback/stream_format.cpp
  src/playback/records.cpp src/data/json.cpp src/platform/http.cpp src/platform/folders.cpp fuzz/playlists/support.cpp"
build_target() {
  local name=$1 bin="$work/$1/$1_fuzz"
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  case $name in
    json) clang++ "${flags[@]}" src/data/json.cpp src/base/text.cpp src/platform/folders.cpp fuzz/json/json_fuzz.cpp -o "$bin" ;;
    playlist) clang++ "${flags[@]}" $player_src fuzz/playlists/playlist_fuzz.cpp -lexpat -lcurl -o "$bin" ;;
    stream_title) clang++ "${flags[@]}" $player_src fuzz/playlists/stream_title_fuzz.cpp -lexpat -lcurl -o "$bin" ;;
    icy) clang++ "${flags[@]}" -Iaudiolib audiolib/icy.cpp fuzz/icy/icy_fuzz.cpp -o "$bin" ;;
    song_file) clang++ "${flags[@]}" src/playback/song_file.cpp src/base/text.cpp fuzz/song_file/song_file_fuzz.cpp -o "$bin" ;;
  esac
}

# Seeds from the simulator: every document and playlist it serves, and the start of an
# ICY stream with a short metadata interval (as the icy target's input: interval, cut
# seed, stream).
seed_from_simulator() {
  local sim_out="$work/sim.out" sim_pid base
  "$build/bin/station-sim" --port 0 --no-tls --title-seconds 2 >"$sim_out" 2>/dev/null &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^URL ' "$sim_out" 2>/dev/null && break; sleep 0.1; done
  base=$(awk '/^URL /{print $2}' "$sim_out")
  base=${base%/}
  fetch() { curl -s --max-time 5 "$base$1" || true; }
  fetch /info.json >"$work/json/corpus/sim-info.json"
  fetch /versionlist.json >"$work/json/corpus/sim-versionlist.json"
  for h in surrogate numbers wrongtypes nostream emptystream html bom short; do
    fetch "/hostile/$h.json" >"$work/json/corpus/sim-$h.json"
  done
  fetch "/hostile/deep.json?depth=200" >"$work/json/corpus/sim-deep.json"
  local k=0 f
  for f in playlist.m3u:0 playlist.m3u8:0 playlist.pls:1 playlist.xspf:2 playlist.vclt:3 playlist.jspf:4 \
    hostile/unsafe.m3u:0 hostile/latin1.m3u:0 hostile/cr-only.m3u:0 hostile/nul.m3u:0 hostile/trailing.pls:1 \
    hostile/query.pls:1 hostile/html.pls:1 hostile/wrong.vclt:3 hostile/location-string.jspf:4 \
    hostile/bad.jspf:4 hostile/version0.xspf:2 hostile/entities.xspf:2 hostile/external.xspf:2 hostile/badutf8.xspf:2; do
    { printf "\\x$(printf %02x "${f##*:}")"; fetch "/${f%%:*}"; } | head -c 65536 >"$work/playlist/corpus/sim-$k"
    k=$((k + 1))
  done
  for m in "" "?legacy=1" "?meta=long" "?meta=noquote" "?meta=quote" "?meta=badutf8" "?meta=latin1" "?meta=album" "?meta=case"; do
    sep='?'; [[ -n "$m" ]] && sep='&'
    # ICY: 2-byte interval 255 (stored as 254), cut seed, then the stream.
    { printf '\xfe\x00\x07\x00'; curl -s --max-time 2 -H 'Icy-MetaData: 1' "$base/stream/mp3$m${sep}metaint=255" | head -c 3000 || true; } \
      >"$work/icy/corpus/sim-$k"
    # Stream titles: the metadata block of that stream, and the response headers.
    { printf '\x00'; curl -s --max-time 2 -H 'Icy-MetaData: 1' "$base/stream/mp3$m${sep}metaint=255" | head -c 600 | tail -c +256 |
      tr -d '\000' | head -c 300 || true; } >"$work/stream_title/corpus/sim-$k"
    { printf '\x01'; curl -s --max-time 2 -D - -o /dev/null -H 'Icy-MetaData: 1' "$base/stream/mp3$m" || true; } \
      >"$work/stream_title/corpus/sim-headers-$k"
    k=$((k + 1))
  done
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
}

for t in $targets; do build_target "$t"; done
cp tests/data/fixtures/*.json tests/data/fixtures/fuzz/* "$work/json/corpus/" 2>/dev/null || true
python3 - "$work" <<'PY'
import glob, os, sys
work = sys.argv[1]
kinds = {'m3u': 0, 'pls': 1, 'xspf': 2, 'vclt': 3, 'jspf': 4}
for f in glob.glob('tests/playback/fixtures/*'):
    ext = f.rsplit('.', 1)[-1]
    if ext in kinds and os.path.isdir(work + '/playlist/corpus'):
        open(work + '/playlist/corpus/' + os.path.basename(f), 'wb').write(bytes([kinds[ext]]) + open(f, 'rb').read()[:65535])
if os.path.isdir(work + '/stream_title/corpus'):
    open(work + '/stream_title/corpus/seed', 'wb').write(b"\x00StreamTitle='Artist - Song';StreamUrl='x';")
PY
for d in json playlist icy stream_title song_file; do mkdir -p "$work/$d/corpus" "$work/$d/artifacts"; done
seed_from_simulator
# Saved songs: pieces of the audio library's test media, each behind its codec byte, where
# the connection's first bytes end and where the title begins.
sh tests/audiolib/make_media.sh "$work/media" >/dev/null
python3 - "$work" <<'PY'
import struct, sys
work = sys.argv[1]
for k, (codec, name, title) in enumerate([(0, 'tone.mp3', 1000), (1, 'tone.aac', 333), (2, 'tone.opus', 20011)]):
    data = open(work + '/media/' + name, 'rb').read()[:60000]
    open('%s/song_file/corpus/media-%d' % (work, k), 'wb').write(bytes([codec]) + struct.pack('<HH', len(data), title) + data)
PY

declare -A max_len=([json]=65536 [playlist]=65536 [stream_title]=4096 [icy]=16384 [song_file]=65536)
declare -A dict=([json]=fuzz/json/json.dict [playlist]=fuzz/playlists/playlist.dict [stream_title]=fuzz/playlists/playlist.dict)
for t in $targets; do
  args=(-max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=10 -rss_limit_mb=2048
    -artifact_prefix="$work/$t/artifacts/" -print_final_stats=1)
  [[ -n "${dict[$t]:-}" ]] && args+=(-dict="${dict[$t]}")
  nice -n 19 "$work/$t/${t}_fuzz" "${args[@]}" "$work/$t/corpus" >"$work/$t/log" 2>&1 || true
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$work/$t/log")
  found=$(ls "$work/$t/artifacts" | wc -l)
  echo "$t: ${runs:-?} inputs in $seconds s, corpus $(ls "$work/$t/corpus" | wc -l), findings $found (log $work/$t/log)"
done
