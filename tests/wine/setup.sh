#!/usr/bin/env bash
# Starts what the Windows tests need from the Linux side, where Wine cannot start and wait
# for it: the Wine prefix with a warm server, a PulseAudio server with a null sink (the
# Windows sound device under Wine), the station simulator's launcher, and the test media.
#   setup.sh BUILD_DIR HOST_BIN
set -euo pipefail
build=$1
host_bin=${2:-}
src=$(cd "$(dirname "$0")/../.." && pwd)
run="$build/wine-run"
mkdir -p "$run"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 120 wineboot -i >/dev/null 2>&1 || { echo "wine_setup: wineboot failed" >&2; exit 1; }
fi
wineserver -p >/dev/null 2>&1 </dev/null || true  # a server already running (wineboot leaves one) is fine

# Sound: a private PulseAudio server with a null sink as its default.
mkdir -p "$run/pulse"
if ! PULSE_SERVER="unix:$run/pulse/native" timeout 5 pactl info >/dev/null 2>&1; then
  rm -f "$run/pulse/native" "$run/pulse/pid"
  PULSE_RUNTIME_PATH="$run/pulse" PULSE_STATE_PATH="$run/pulse" HOME="$run/pulse" \
    pulseaudio --daemonize=yes --use-pid-file=yes --exit-idle-time=-1 --disallow-module-loading=no \
    -n --load="module-null-sink sink_name=wine_sink rate=48000" \
    --load="module-native-protocol-unix socket=$run/pulse/native auth-anonymous=1" \
    --load="module-always-sink" --log-target=file:"$run/pulse/log" ||
    { echo "wine_setup: pulseaudio did not start" >&2; exit 1; }
  for _ in $(seq 50); do
    PULSE_SERVER="unix:$run/pulse/native" pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  PULSE_SERVER="unix:$run/pulse/native" pactl set-default-sink wine_sink
fi

# The station simulator's launcher: the Windows tests ask it to start simulators.
launcher="$host_bin/sim-launcher"
if [ -x "$launcher" ]; then
  if [ -f "$run/launcher-pid" ] && kill -0 "$(cat "$run/launcher-pid")" 2>/dev/null; then
    :
  else
    rm -f "$run/launcher-port"
    setsid "$launcher" --station-sim "$host_bin/station-sim" --port-file "$run/launcher-port" \
      </dev/null >"$run/launcher.log" 2>&1 &
    echo $! >"$run/launcher-pid"
    for _ in $(seq 100); do [ -s "$run/launcher-port" ] && break; sleep 0.1; done
    [ -s "$run/launcher-port" ] || { echo "wine_setup: the launcher wrote no port" >&2; exit 1; }
  fi
else
  echo "wine_setup: no station simulator launcher in '$host_bin'; the tests that need it are skipped" >&2
fi

# Media that the Linux tests encode at test time with ffmpeg.
if [ -f "$src/tests/audiolib/make_media.sh" ]; then
  bash "$src/tests/audiolib/make_media.sh" "$run/media"
fi

# X display for the runtime's tests: Wine's windows need an X server, a window manager
# for their frames, and a tray host for the notification-area icon. run.sh exports the
# display written to $run/display. The prefix is made DPI-unaware at start, as Windows
# starts a program without a manifest (Wine's default is per-monitor aware, which would
# hide a missing awareness call), at 144 DPI, so the windows run at scale 1.5.
if [ -f "$run/display" ] && xdpyinfo -display "$(cat "$run/display")" >/dev/null 2>&1; then
  :
elif command -v Xvfb >/dev/null; then
  # Xvfb picks a free display itself and writes its number once it answers; on a busy
  # machine that can take seconds.
  rm -f "$run/display.num"
  setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp </dev/null >"$run/xvfb.log" 2>&1 3>"$run/display.num" &
  echo $! >"$run/xvfb-pid"
  for _ in $(seq 300); do
    [ -s "$run/display.num" ] && break
    sleep 0.1
  done
  if [ -s "$run/display.num" ]; then
    echo ":$(tr -dc '0-9' <"$run/display.num")" >"$run/display"
  else
    echo "wine_setup: Xvfb did not start" >&2
  fi
  if [ -f "$run/display" ]; then
    display=$(cat "$run/display")
    if command -v openbox >/dev/null; then
      DISPLAY=$display setsid openbox </dev/null >"$run/openbox.log" 2>&1 &
      echo $! >"$run/openbox-pid"
    fi
    if command -v trayer >/dev/null; then
      DISPLAY=$display setsid trayer --edge bottom --align right --widthtype pixel --width 200 --height 32 \
        </dev/null >"$run/trayer.log" 2>&1 &
      echo $! >"$run/trayer-pid"
    fi
  fi
else
  echo "wine_setup: no Xvfb; the runtime's tests need an X display" >&2
fi
# A Wine server started before the display (by CTest's listing of the tests) keeps a
# desktop without one, on which no window can be made: start it anew with the display.
if [ -f "$run/display" ]; then
  export DISPLAY="$(cat "$run/display")"
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  wineserver -p >/dev/null 2>&1 </dev/null || true
fi
dpi_key='HKCU\Control Panel\Desktop'
if ! wine reg query "$dpi_key" /v DpiScalingVer 2>/dev/null | grep -q 0x1000; then
  wine reg add "$dpi_key" /v DpiScalingVer /t REG_DWORD /d 0x1000 /f >/dev/null 2>&1
  wine reg add "$dpi_key" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
fi
