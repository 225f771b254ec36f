#!/usr/bin/env bash
# The Windows player under Wine, end to end, from the Linux side (Wine cannot wait for a
# Linux program, so the station simulator and the checks live here):
#   player-e2e.sh play      BUILD_DIR HOST_BIN  the player plays the simulator: its debug log
#                                               shows the start-up path in order and a title's
#                                               loudness, and it ends when its windows are closed
#   player-e2e.sh raise     BUILD_DIR HOST_BIN  a second start ends at once and brings back the
#                                               first one's minimized window
#   player-e2e.sh installer BUILD_DIR HOST_BIN  the installer installs silently, the installed
#                                               player plays, the uninstaller removes it all
# Each run has a prefix of its own (the player's settings live in the user's folders) on
# the fixture's X display and sound server; every wait is bounded.
set -uo pipefail
mode=$1
build=$2
host_bin=$3
run="$build/wine-run"
work=$(mktemp -d "$build/wine-e2e-$mode.XXXXXX")
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
export PULSE_SERVER="unix:$run/pulse/native"
export CORVALE_DIALOGS=stderr
wine_user=$(id -un)
[ -f "$run/display" ] && export DISPLAY="$(cat "$run/display")"
sim_pid=
fail() {
  echo "player-e2e $mode: $*" >&2
  for f in "$work"/logs/*; do [ -f "$f" ] && { echo "--- debug log $f" >&2; tr -d '\r' <"$f" >&2; }; done
  for f in "$work"/player*.err; do [ -s "$f" ] && { echo "--- $f" >&2; tail -20 "$f" >&2; }; done
  exit 1
}
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
[ -n "${DISPLAY:-}" ] || fail "no X display from the fixture"

# wait_for SECONDS COMMAND...: polls every 0.2 s until the command succeeds.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.2
  done
}
win_path() { echo "Z:${1//\//\\}"; }

timeout 120 wineboot -i >/dev/null 2>&1 || fail "wineboot failed"
wineserver -p >/dev/null 2>&1 </dev/null

# The station: titles of 6 s, so a title's loudness line comes soon.
"$host_bin/station-sim" --port 0 --title-seconds 6 --no-tls >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait_for 10 grep -q '^URL ' "$work/sim.out" || fail "the station simulator did not start"
base=$(sed -n 's/^URL //p' "$work/sim.out")
base=${base%/}
info="$base/info.json?streams=mp3,aac"

# The player's settings: debug log on (into $work/logs), no version check, no tray icon.
user_dir="$WINEPREFIX/drive_c/users/$wine_user/AppData/Roaming/{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}"
mkdir -p "$user_dir" "$work/logs"
logs_win=$(win_path "$work/logs/")
printf '{"program": {"id": "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}", "version": "5.4"}, "player": {"versioncheck": 0, "trayicon": 0}, "debug": {"show": 1, "savepath": "%s"}}' \
  "${logs_win//\\/\\\\}" >"$user_dir/settings.json"
station_json() {
  printf '{"stationlist": [{"name": "Test", "id": "test", "refresh": 3600, "website": "http://127.0.0.1/", "info": ["%s"]}]}' "$info" >"$1/station.json"
}

# app_copy DIR [NAME]: the built player (as NAME.exe) with its libraries and data folder,
# the station ours.
app_copy() {
  mkdir -p "$1/data"
  cp "$build/bin/corvale-player.exe" "$1/${2:-corvale-player}.exe"
  cp "$build"/bin/*.dll "$1/"
  for f in "$build"/bin/data/*; do
    [ "$(basename "$f")" = station.json ] || ln -s "$f" "$1/data/"
  done
  station_json "$1/data"
}

# start_player EXE N: starts the player in the background (output in player<N>.out/err).
start_player() {
  timeout -k 5 120 wine "$1" >"$work/player$2.out" 2>"$work/player$2.err" </dev/null &
  echo $!
}
log_text() { cat "$work"/logs/* 2>/dev/null | tr -d '\r' | cut -c25-; }
log_has() { log_text | grep -qxF -- "$1"; }
log_line() { log_text | grep -nxF -- "$1" | head -1 | cut -d: -f1; }
loudness_logged() {
  log_text | grep -qE '^".* - .*", Headroom [0-9]+\.[0-9]{2} dB, RMS -[0-9]+\.[0-9]{2} dBFS, -?[0-9]+\.[0-9]{2} dBFS Max Peak\.$'
}
# The main window of the player started as NAME.exe (the other tests' players share the
# display): Wine names a window's class after its program.
main_window() {
  local w
  for w in $(xdotool search --classname "^$1\.exe\$" 2>/dev/null); do
    [[ "$(xdotool getwindowname "$w" 2>/dev/null)" =~ (^| - )Corvale\ Player$ ]] && { echo "$w"; return; }
  done
}
has_main_window() { [ -n "$(main_window "$1")" ]; }
viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }
iconic() { ! viewable "$1"; }

# check_plays: the start-up path in order, then a title's loudness (a title change).
check_plays() {
  wait_for 60 log_has "Playing." || fail "the player never played"
  local fetch count connect connected playing
  fetch=$(log_line "Getting stream info from $info")
  count=$(log_line "2 entries in playlist.")
  connect=$(log_line "Connecting to \"MP3 128k\" $base/stream/mp3")
  connected=$(log_line "Connected, 2 Ch, 44 KHz MP3.")
  playing=$(log_line "Playing.")
  [ -n "$fetch" ] && [ -n "$count" ] && [ -n "$connect" ] && [ -n "$connected" ] ||
    fail "a start-up line is missing"
  [ "$fetch" -lt "$count" ] && [ "$count" -lt "$connect" ] && [ "$connect" -lt "$connected" ] &&
    [ "$connected" -lt "$playing" ] || fail "the start-up path ran out of order"
  wait_for 30 loudness_logged || fail "no title's loudness after a title change"
}

# stop_player PID [NAME]: closing its windows (taskkill without /F sends WM_CLOSE) ends it.
stop_player() {
  timeout 20 wine taskkill /im "${2:-corvale-player}.exe" >/dev/null 2>&1
  wait_for 30 sh -c "! kill -0 $1 2>/dev/null" || fail "the player did not end when its windows were closed"
}

case $mode in
play)
  app_copy "$work/app"
  pid=$(start_player "$work/app/corvale-player.exe" 1)
  check_plays
  stop_player "$pid"
  ;;
raise)
  app_copy "$work/app" corvale-player-raise
  exe="$work/app/corvale-player-raise.exe"
  pid=$(start_player "$exe" 1)
  wait_for 60 log_has "Playing." || fail "the first player never played"
  wait_for 20 has_main_window corvale-player-raise || fail "no main window"
  win=$(main_window corvale-player-raise)
  xdotool windowminimize "$win"
  wait_for 10 iconic "$win" || fail "the main window did not minimize"
  started=$SECONDS
  timeout -k 5 60 wine "$exe" >"$work/player2.out" 2>"$work/player2.err" </dev/null
  rc=$?
  took=$((SECONDS - started))
  [ $rc -eq 0 ] || fail "the second start ended with $rc"
  # "At once": it never plays; the bound only keeps a hung second start from passing.
  [ $took -le 20 ] || fail "the second start took $took s to end"
  [ "$(log_text | grep -cxF 'Playing.')" -eq 1 ] || fail "the second start played too"
  wait_for 10 viewable "$win" || fail "the first player's window was not brought back"
  kill -0 "$pid" 2>/dev/null || fail "the first player ended"
  stop_player "$pid" corvale-player-raise
  ;;
installer)
  setup=$(ls "$build"/corvale-player-*-setup.exe 2>/dev/null | head -1)
  [ -n "$setup" ] || fail "no installer built (target installer)"
  WINEDEBUG=fixme+shell timeout 120 wine "$setup" /S 2>"$work/install.err" || fail "the silent install failed"
  dir="$WINEPREFIX/drive_c/users/$wine_user/AppData/Local/Programs/Corvale Player"
  link="$WINEPREFIX/drive_c/users/$wine_user/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Corvale Player.lnk"
  key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\CorvalePlayer'
  [ -f "$dir/corvale-player.exe" ] && [ -f "$dir/uninstall.exe" ] && [ -f "$dir/data/bass.dll" ] ||
    fail "installed files are missing"
  [ -f "$link" ] || fail "no Start-menu shortcut"
  [ ! -e "$dir/shortcut-id.exe" ] || fail "the installer's helper was installed"
  # The shortcut carries the player's taskbar id. Wine keeps no shortcut properties (its
  # store's SetValue and Commit are stubs that say so): there the call is what shows.
  id=$(timeout 30 wine "$build/bin/shortcut-id.exe" "$(win_path "$link")" --read 2>/dev/null | tr -d '\r')
  [ "$id" = Corvale.Player ] || grep -q 'propertystore_SetValue' "$work/install.err" ||
    fail "the shortcut was given no taskbar id"
  timeout 30 wine reg query "$key" /v UninstallString >/dev/null 2>&1 || fail "no uninstall entry"
  # The installed player, with the test's station.
  station_json "$dir/data"
  pid=$(start_player "$dir/corvale-player.exe" 1)
  check_plays
  stop_player "$pid"
  rm -f "$dir/data/station.json"
  timeout 120 wine "$dir/uninstall.exe" /S || fail "the silent uninstall failed"
  # The uninstaller copies itself to the temporary folder and works from there.
  wait_for 30 test ! -e "$dir" || fail "the program folder is still there: $(ls -R "$dir" | head -20)"
  [ ! -e "$link" ] || fail "the Start-menu shortcut is still there"
  ! timeout 30 wine reg query "$key" >/dev/null 2>&1 || fail "the uninstall entry is still there"
  ;;
*)
  fail "unknown mode"
  ;;
esac
echo "player-e2e $mode: passed"
