#!/usr/bin/env bash
# Runs one Windows test program under Wine for CTest: in the build's own prefix (made on
# first use), with a time limit so that a hung program fails instead of hanging the run,
# and with Windows' CR LF line ends turned back into LF for CTest's readers.
set -u
: "${WINEPREFIX:?}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] || timeout 120 wineboot -i >/dev/null 2>&1
  ) 9>"$WINEPREFIX.lock"
fi
# The X display that the setup test started (Wine's windows need one).
display_file="$(dirname "$WINEPREFIX")/wine-run/display"
[ -f "$display_file" ] && export DISPLAY="$(cat "$display_file")"
# A warm server makes each start take tens of milliseconds instead of a second.
wineserver -p >/dev/null 2>&1 || true
# The output goes through files, not pipes: processes that Wine starts on its own (the
# desktop process, say) outlive the test and would hold CTest's pipe open until its
# time-out.
out=$(mktemp)
err=$(mktemp)
timeout -k 10 "${CORVALE_WINE_TIMEOUT:-280}" wine "$@" >"$out" 2>"$err" </dev/null
rc=$?
tr -d '\r' <"$out"
tr -d '\r' <"$err" >&2
# Wine's own errors are off (WINEDEBUG=-all): a start that failed says at least that.
[ "$rc" != 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ] && echo "run.sh: wine $1 ended with status $rc and printed nothing" >&2
rm -f "$out" "$err"
exit $rc
