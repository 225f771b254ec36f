#!/usr/bin/env bash
# The Debian package as a user gets it. Each check says the fault it catches.
# CORVALE_PACKAGE_BUILD names the (unsanitized) build folder to package from; by default
# build-package/ beside the test build, configured and built here.
set -euo pipefail
src=${CORVALE_SOURCE_DIR:?}
build=${CORVALE_BUILD_DIR:?}
sim=${CORVALE_STATION_SIM:-$build/bin/station-sim}
for tool in dpkg-deb dpkg-shlibdeps lintian appstreamcli sox; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

work=$(mktemp -d /tmp/corvale-package-XXXXXX)
simpid=""
playerpid=""
cleanup() {
  [ -n "$playerpid" ] && kill -KILL "$playerpid" 2>/dev/null || true
  [ -n "$simpid" ] && kill -TERM "$simpid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The package, from a build without the test build's sanitizers.
pkgbuild=${CORVALE_PACKAGE_BUILD:-$(dirname "$build")/build-package}
cmake -S "$src" -B "$pkgbuild" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALE_SANITIZE=OFF -DCORVALE_TESTS=OFF >/dev/null
rm -f "$pkgbuild"/corvale-player_*.deb
nice -n 10 cmake --build "$pkgbuild" -j"$(nproc)" --target package >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log"; fail "the package did not build"; }
deb=$(ls "$pkgbuild"/corvale-player_*.deb)
echo "package: $deb"

# Catches a package that misses one of the files a desktop user needs, or carries the
# station simulator.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
for path in /usr/lib/corvale-player/corvale-player /usr/lib/corvale-player/data/libbass.so \
  /usr/lib/corvale-player/data/libbass_aac.so /usr/lib/corvale-player/data/libbassopus.so \
  /usr/lib/corvale-player/data/station.json /usr/lib/corvale-player/data/version.json \
  /usr/lib/corvale-player/data/trayicon_normal.png /usr/lib/corvale-player/data/SourceSansPro-Regular.otf \
  /usr/lib/corvale-player/data/manual/en/index.html /usr/bin/corvale-player \
  /usr/share/applications/corvale-player.desktop /usr/share/metainfo/org.corvale.player.metainfo.xml \
  /usr/share/man/man1/corvale-player.1.gz /usr/share/doc/corvale-player/copyright \
  /usr/share/icons/hicolor/16x16/apps/corvale-player.png /usr/share/icons/hicolor/48x48/apps/corvale-player.png \
  /usr/share/icons/hicolor/256x256/apps/corvale-player.png; do
  grep -qx "$path" "$work/contents" || fail "the package lacks $path"
done
if grep -q station-sim "$work/contents"; then fail "the station simulator is in the package"; fi

# Catches hand-written or sanitizer-polluted dependencies: shlibdeps must have found the
# sound server's and the toolkit's libraries, and nothing of the test build.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libpulse0 libqt6widgets6 libavcodec59 libcurl4; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib"
done
if [[ $depends == *libasan* || $depends == *libubsan* ]]; then fail "the package depends on a sanitizer"; fi

# Catches errors lintian reports (warnings are shown, not failed).
lintian --fail-on error --display-level ">=warning" "$deb" || fail "lintian reports errors"

root=$work/root
dpkg-deb -x "$deb" "$root"
# Catches an absolute or wrong /usr/bin link (it must work from any root).
[ "$(readlink "$root/usr/bin/corvale-player")" = "../lib/corvale-player/corvale-player" ] ||
  fail "the /usr/bin link points to $(readlink "$root/usr/bin/corvale-player")"
# Catches AppStream metadata a software centre would reject.
appstreamcli validate --no-net "$root/usr/share/metainfo/org.corvale.player.metainfo.xml" ||
  fail "appstreamcli rejects the metadata"
# Catches icons that are not the size their folder says.
for size in 16 22 24 32 48 64 128 256; do
  file "$root/usr/share/icons/hicolor/${size}x${size}/apps/corvale-player.png" | grep -q "$size x $size" ||
    fail "the ${size}x${size} icon has another size"
done
# Catches a --version that starts the player instead of answering.
"$root/usr/bin/corvale-player" --version | grep -qx "Corvale Player 5.4 (build .*)" || fail "--version"

# The unpacked player, started through its /usr/bin link, plays a custom URL from the
# station simulator. Catches a data folder looked up beside the link instead of the real
# executable (the audio library would be missing) and a package that does not play.
"$sim" --port 0 --no-tls --title-seconds 60 >"$work/sim.out" 2>&1 &
simpid=$!
for _ in $(seq 100); do grep -q '^URL ' "$work/sim.out" && break; sleep 0.1; done
port=$(sed -n 's/^PORT //p' "$work/sim.out")
[ -n "$port" ] || fail "the station simulator did not start: $(cat "$work/sim.out")"
home=$work/home
id='{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}'
mkdir -p "$home/config/$id" "$home/logs" "$home/run"
chmod 700 "$home/run"
cat >"$home/config/$id/settings.json" <<JSON
{"program":{"id":"$id","version":"5.4","title":"Corvale Player","publisher":"Corvale Productions"},
"player":{"versioncheck":0,"streaminfo":0,"trayicon":0,"artwork":1,"bitrate":0,"codec":""},
"debug":{"x":-32000,"y":-32000,"show":1,"savepath":"$home/logs/"}}
JSON
env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run" \
  QT_QPA_PLATFORM=offscreen CORVALE_DIALOGS=stderr CORVALE_AUDIO_OUTPUT="file:$work/out.wav" \
  DBUS_SESSION_BUS_ADDRESS=disabled: \
  "$root/usr/bin/corvale-player" "http://127.0.0.1:$port/stream/mp3" >"$work/player.out" 2>&1 &
playerpid=$!
# The log file is written through a large buffer: the output file shows the playing,
# the log is read once the player has ended (SIGTERM is a session end, which saves it).
for _ in $(seq 300); do
  [ "$(stat -c %s "$work/out.wav" 2>/dev/null || echo 0)" -gt 768000 ] && break
  kill -0 "$playerpid" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$playerpid" 2>/dev/null || true
wait "$playerpid" || true
playerpid=""
if ! grep -aq ' Playing\.' "$home"/logs/*.txt 2>/dev/null; then
  cat "$work/player.out" "$home"/logs/*.txt 2>/dev/null | tail -30
  fail "the unpacked player did not play"
fi
grep -a "Connecting to" "$home"/logs/*.txt | grep -q "http://127.0.0.1:$port/stream/mp3" ||
  fail "the custom URL was not the stream played"
rms=$(sox "$work/out.wav" -n stat 2>&1 | sed -n 's/^RMS *amplitude: *//p')
echo "played: $(sox "$work/out.wav" -n stat 2>&1 | sed -n 's/^Length (seconds): *//p') s at RMS $rms"
awk -v r="$rms" 'BEGIN { exit !(r > 0.01) }' || fail "the played audio is silent (RMS $rms)"
echo "package test passed"
