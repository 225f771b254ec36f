#!/usr/bin/env bash
# Screenshots of the Windows player under Wine, at 96 DPI (scale 1) and 144 DPI (scale
# 1.5): the VU meter, the information, statistics, preferences and downloader windows,
# and the tray menu opened by a right click on the icon in the tray host. Then the
# clipboard check: the information and statistics windows' Ctrl+C reports of the Windows
# player (read from the Windows clipboard) beside the Linux player's (read from the X
# clipboard), both playing the same simulator, with what differs.
# Usage: shots.sh <Windows build folder> <Linux build folder> <output folder>
# The shots are named win-<window>-<dpi>.png; the reports clip-<build>-<window>.txt.
set -uo pipefail
[[ -n "${SHOTS_TRACE:-}" ]] && set -x
wbuild=$(cd "${1:?Windows build folder}" && pwd)
lbuild=$(cd "${2:?Linux build folder}" && pwd)
out=$(mkdir -p "${3:?output folder}" && cd "$3" && pwd)
work=$(mktemp -d)
pids=()
sim_pid=
export WINEPREFIX="$work/prefix" WINEDEBUG=-all CORVALE_DIALOGS=stderr CORVALE_AUDIO_OUTPUT=null
cleanup() {
  wineserver -k >/dev/null 2>&1
  [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  rm -rf "$work"
}
[[ -n "${SHOTS_KEEP:-}" ]] || trap cleanup EXIT
die() {
  echo "shots: $*" >&2
  exit 1
}
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [[ $SECONDS -ge $end ]] && return 1
    sleep 0.2
  done
}

# The desktop: Xvfb, a window manager and a tray host.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
wait_for 20 test -s "$work/display" || die "Xvfb did not start"
export DISPLAY=":$(tr -dc 0-9 <"$work/display")"
openbox >/dev/null 2>&1 &
pids+=($!)
trayer --edge bottom --align right --widthtype pixel --width 200 --height 32 >/dev/null 2>&1 &
pids+=($!)
timeout 120 wineboot -i >/dev/null 2>&1 || die "wineboot failed"
user_dir="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}"

# The Windows clipboard reader.
x86_64-w64-mingw32-g++-posix -O2 -municode -static "$(dirname "$0")/clipboard_text.cpp" -o "$work/clipboard-text.exe" ||
  die "cannot build the clipboard reader"

# The station: short titles, so a title change comes soon.
"$lbuild/bin/station-sim" --port 0 --no-tls --title-seconds 8 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait_for 10 grep -q '^URL ' "$work/sim.out" || die "the station simulator did not start"
base=$(sed -n 's/^URL //p' "$work/sim.out")
base=${base%/}

# The program folder: the player, its libraries, its data with the station at our port.
app="$work/app"
mkdir -p "$app/data"
cp "$wbuild/bin/corvale-player.exe" "$wbuild"/bin/*.dll "$app/"
for f in "$wbuild"/bin/data/*; do
  case $(basename "$f") in station.json | version.json) ;; *) ln -s "$f" "$app/data/" ;; esac
done
printf '{"stationlist": [{"name": "Test", "id": "test", "refresh": 3600, "website": "http://127.0.0.1/", "info": ["%s/info.json?streams=mp3,aac"]}]}' \
  "$base" >"$app/data/station.json"
# The version list offers 5.5, served slowly so the downloader can be caught mid-way.
list="$base/versionlist.json?number=5.5&file=corvale-setup-5.5-big.exe%3Frate%3D200000"
printf '{ "versionlist": [ { "id": "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}", "publisher": "Corvale Productions", "name": "Corvale Player", "version": "5.4", "url": [ "%s" ] } ] }' \
  "$list" >"$app/data/version.json"

set_dpi() {
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  wine reg add 'HKCU\Control Panel\Desktop' /v DpiScalingVer /t REG_DWORD /d 0x1000 /f >/dev/null 2>&1
}
settings() {
  mkdir -p "$user_dir"
  printf '%s' "$1" >"$user_dir/settings.json"
}
player_pid=
start_player() {
  timeout -k 5 300 wine "$app/corvale-player.exe" >>"$work/player.out" 2>>"$work/player.err" </dev/null &
  player_pid=$!
}
stop_player() {
  timeout 20 wine taskkill /im corvale-player.exe >/dev/null 2>&1
  wait_for 20 sh -c "! kill -0 $player_pid 2>/dev/null" || {
    wineserver -k >/dev/null 2>&1
    echo "shots: the player did not end on close; killed" >&2
  }
}
# window TITLE-REGEX: the Windows player's window (Wine names the class after the program)
# whose title matches; the Linux player's windows share the display.
window() {
  local w
  for w in $(xdotool search --classname '^corvale-player\.exe$' 2>/dev/null); do
    [[ "$(xdotool getwindowname "$w" 2>/dev/null)" =~ $1 ]] && { echo "$w"; return; }
  done
}
has_window() { [[ -n "$(window "$1")" ]]; }
shot() {
  import -window "$1" "$out/$2.png" && echo "$2: $(xwininfo -id "$1" | awk '/Width:/{w=$NF} /Height:/{h=$NF} END{print w "x" h}')"
}
# tray_icon: the centre of the icon in the tray host's panel (Wine's tray windows belong
# to its explorer, so the icon is found as the panel's small child).
tray_icon() {
  local panel id
  panel=$(xwininfo -root -tree | awk '/"panel": \("panel" "trayer"\)/{print $1; exit}')
  [[ -n "$panel" ]] || return
  xwininfo -id "$panel" -tree | awk '/^ +0x[0-9a-f]+ / && / [0-9]+x[0-9]+\+/ {print $1}' | while read -r id; do
    read -r x y w h < <(xwininfo -id "$id" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF} END{print x, y, w, h}')
    if [[ $w -ge 8 && $w -le 64 && $h -ge 8 && $h -le 64 ]]; then
      echo "$((x + w / 2)) $((y + h / 2))"
      return
    fi
  done
}
# focus ID: the window takes the keyboard (the window manager may take a moment).
focus() {
  xdotool windowactivate "$1" >/dev/null 2>&1 || xdotool windowfocus "$1" >/dev/null 2>&1
  # The keyboard focus itself, which a client taking it on the manager's request sets later.
  wait_for 5 sh -c "[ \"\$(xdotool getwindowfocus 2>/dev/null)\" = $(($1)) ]" || echo "shots: window $1 took no focus" >&2
  sleep 0.3
}
# menu_window: a popup menu is the one mapped override-redirect window of some size.
menu_window() {
  local id
  for id in $(xwininfo -root -children | awk '/^ +0x[0-9a-f]+ / {print $1}'); do
    xwininfo -id "$id" | awk '/Map State: IsViewable/{m=1} /Override Redirect State: yes/{o=1} /Width:/{w=$NF} /Height:/{h=$NF}
      END{exit !(m && o && w > 60 && h > 100)}' && { echo "$id"; return; }
  done
}
has_menu() { [[ -n "$(menu_window)" ]]; }
copy_report() { # copy_report WINDOW-ID NAME: Ctrl+C in the window, the clipboard's text saved
  focus "$1"
  xdotool key --clearmodifiers ctrl+c
  sleep 0.5
  wine "$work/clipboard-text.exe" "$(echo "Z:$out/clip-windows-$2.txt" | tr / '\\')" || echo "shots: no clipboard text for $2" >&2
}

# The Linux player beside the Windows one on the same station, started together, so that
# both reports describe the same titles; its reports come from the X clipboard.
linux_start() {
  export XDG_CONFIG_HOME="$work/linux-config" XDG_RUNTIME_DIR="$work/linux-run"
  mkdir -p "$XDG_CONFIG_HOME/{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  local lapp="$work/lapp" f
  mkdir -p "$lapp/data"
  cp "$lbuild/bin/corvale-player" "$lapp/"
  for f in "$lbuild"/bin/data/*; do [[ $(basename "$f") == station.json ]] || ln -s "$f" "$lapp/data/"; done
  cp "$app/data/station.json" "$lapp/data/"
  printf '%s' '{ "program": { "id": "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}", "version": "5.4" },
    "player": { "versioncheck": 0, "trayicon": 0 }, "main": { "x": 40, "y": 600 },
    "info": { "state": 1, "x": 100, "y": 560 }, "stats": { "state": 1, "x": 760, "y": 560 } }' \
    >"$XDG_CONFIG_HOME/{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}/settings.json"
  ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM= "$lapp/corvale-player" >"$work/linux.out" 2>"$work/linux.err" &
  lpid=$!
  pids+=($lpid)
}
x_clipboard() { # x_clipboard FILE HEADER: the X clipboard's text saved; 0 when it starts with HEADER
  python3 -c 'import sys, tkinter
r = tkinter.Tk()
r.withdraw()
text = r.clipboard_get()
open(sys.argv[1], "wb").write(text.encode())
sys.exit(0 if text.startswith(sys.argv[2]) else 1)' "$1" "$2" 2>>"$work/tk.err"
}
linux_copy() { # linux_copy info|stats
  local title id got= try
  title="Corvale Player $([[ $1 == info ]] && echo Info || echo Stats)"
  id=$(xdotool search --all --pid "$lpid" --name "^$title\$" | head -1)
  [[ -n "$id" ]] || { echo "shots: the Linux player has no window $title" >&2; return; }
  focus "$id"
  for try in 1 2 3 4; do
    [[ $try == 1 || $try == 3 ]] && xdotool key --clearmodifiers ctrl+c
    sleep 0.5
    x_clipboard "$out/clip-linux-$1.txt" "$title" && got=1 && break
  done
  [[ -n "$got" ]] || echo "shots: no X clipboard text for $1: $(tail -1 "$work/tk.err")" >&2
}

for dpi in 96 144; do
  set_dpi "$dpi"
  settings '{ "program": { "id": "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}", "version": "5.4" },
    "player": { "versioncheck": 0, "trayicon": 1 }, "main": { "x": 40, "y": 40 },
    "info": { "state": 1, "x": 100, "y": 60 }, "stats": { "state": 1, "x": 760, "y": 60 } }'
  start_player
  [[ $dpi == 96 ]] && linux_start
  wait_for 40 has_window '^Corvale Player Stats$' || die "no statistics window at $dpi DPI: $(tail -5 "$work/player.err")"
  # A title change, so the history and the loudness lines have something.
  sleep 10
  shot "$(window '(^| - )Corvale Player$')" "win-vumeter-$dpi"
  shot "$(window '^Corvale Player Info$')" "win-info-$dpi"
  shot "$(window '^Corvale Player Stats$')" "win-stats-$dpi"
  if [[ $dpi == 96 ]]; then
    # Each Linux report right before the Windows one (same titles, a second apart).
    win_info=$(window '^Corvale Player Info$')
    win_stats=$(window '^Corvale Player Stats$')
    linux_copy info
    copy_report "$win_info" info
    linux_copy stats
    copy_report "$win_stats" stats
    kill "$lpid" 2>/dev/null
  fi
  # The tray menu by a right click on the icon, then "Open Preferences" from it.
  icon=$(tray_icon)
  if [[ -n "$icon" ]]; then
    read -r ix iy <<<"$icon"
    xdotool mousemove "$ix" "$iy" click 3
    if wait_for 5 has_menu; then
      sleep 0.5
      shot "$(menu_window)" "win-traymenu-$dpi"
    else
      echo "shots: no menu after the right click at $dpi DPI" >&2
    fi
    # Mute, Auto, Preset 1, Preset 2, Even Loudness, Info, Stats, Song Log, Preferences.
    xdotool key --delay 80 Down Down Down Down Down Down Down Down Down Return
  else
    echo "shots: no tray icon at $dpi DPI" >&2
  fi
  if wait_for 10 has_window '^Corvale Player Preferences$'; then
    # It opens by the tray, where the tray host's panel would cover part of the shot.
    xdotool windowmove "$(window '^Corvale Player Preferences$')" 300 300
    sleep 1
    shot "$(window '^Corvale Player Preferences$')" "win-prefs-$dpi"
  else
    echo "shots: no preferences window at $dpi DPI" >&2
  fi
  stop_player

  # The downloader: the version check finds 5.5, the question is answered Yes, the file
  # goes to our folder.
  settings '{ "program": { "id": "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}", "version": "5.4" },
    "player": { "versioncheck": 1, "trayicon": 0 }, "main": { "x": 40, "y": 40 } }'
  mkdir -p "$work/dl-$dpi"
  CORVALE_DIALOG_ANSWER=yes CORVALE_DIALOG_FILE="$(echo "Z:$work/dl-$dpi/corvale-setup-5.5-big.exe" | tr / '\\')" start_player
  if wait_for 40 has_window '^Corvale Player Downloader$'; then
    sleep 3
    shot "$(window '^Corvale Player Downloader$')" "win-downloader-$dpi"
  else
    echo "shots: no downloader window at $dpi DPI: $(grep dialog: "$work/player.err" | tail -3)" >&2
  fi
  stop_player
done

# What differs, byte for byte (cmp), then line by line.
for w in info stats; do
  [[ -s "$out/clip-windows-$w.txt" && -s "$out/clip-linux-$w.txt" ]] || continue
  for b in windows linux; do
    f="$out/clip-$b-$w.txt"
    echo "clipboard $w, $b: $(wc -c <"$f") bytes, $(grep -c $'\r$' "$f") lines end CR LF, $(grep -vc $'\r$' "$f") do not"
  done
  if cmp -s "$out/clip-windows-$w.txt" "$out/clip-linux-$w.txt"; then
    echo "clipboard $w: identical"
  else
    diff "$out/clip-windows-$w.txt" "$out/clip-linux-$w.txt" | tr -d '\r' | sed 's/^/  /'
  fi
done
