# Shared set-up of the UI benchmarks, sourced after the Xvfb re-exec: a scratch folder,
# clean-up on exit, and start_station, which runs the station simulator on a free
# loopback port and sets $base to its URL. Expects $build.
work=$(mktemp -d)
sim_pid=
player_pid=
cleanup() {
  [[ -n "$player_pid" ]] && kill -9 "$player_pid" 2>/dev/null || true
  [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_station() {
  "$build/bin/station-sim" --port 0 --no-tls >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^URL ' "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
  base=$(awk '/^URL /{print $2}' "$work/sim.out")
  [[ -n "$base" ]] || { echo "station-sim did not start" >&2; exit 1; }
}
