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

# Ends the player with SIGTERM (its session-end path saves the settings), and kills it
# when it has not ended within 5 s.
stop_player() {
  kill "$player_pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$player_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$player_pid" 2>/dev/null; then
    echo "player $player_pid did not end on SIGTERM; killed" >&2
    kill -9 "$player_pid" 2>/dev/null || true
  fi
  wait "$player_pid" 2>/dev/null || true
  player_pid=
}
