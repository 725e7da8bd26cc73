#!/usr/bin/env bash
# The mail-server scenario (bench/mailserver_sim.cpp) against a daemon binary,
# a fresh daemon on a socket in a temporary directory for every run, one line
# of counts per run, then how often the daemon closed an idle connection or
# turned a client away and the CPU time it used.
#
#   held connections:  N processes in NS, each once (ROUNDS, CONC as the simulator)
#   overload (--fresh): C clients in flight in FRESH, RUNS runs each, REQUESTS
#                       AUTHs per run; then THINK_MS ms of work after the
#                       greeting for C in THINK_AT, RUNS runs each
#   held (--hold-ms):   C clients in flight in HELD, each holding its fresh
#                       connection HOLD_MS ms before the AUTH, RUNS runs each of
#                       HELD_REQUESTS AUTHs (fewer: each takes over a second)
#
#   bench/run_mailserver.sh [DAEMON]
#     (NS="60 65 120" ROUNDS=1 CONC=1 FRESH="60 65 120 200" THINK_AT="120 200"
#      THINK_MS=50 HELD="65 120 200" HOLD_MS=1200 HELD_REQUESTS=1000 RUNS=3
#      REQUESTS=12000; an empty list skips its part)
#
# Bounded: no run sends an AUTH after SIM_SECONDS (default 30) and every wait in
# the simulator has a 2 s limit, so each run stops by itself.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
NS=${NS-60 65 120}
ROUNDS=${ROUNDS:-1}
CONC=${CONC:-1}
FRESH=${FRESH-60 65 120 200}
THINK_AT=${THINK_AT-120 200}
THINK_MS=${THINK_MS:-50}
HELD=${HELD-65 120 200}
HOLD_MS=${HOLD_MS:-1200}
HELD_REQUESTS=${HELD_REQUESTS:-1000}
RUNS=${RUNS:-3}
REQUESTS=${REQUESTS:-12000}
SIM_SECONDS=${SIM_SECONDS:-30}

cmake --preset release >/dev/null
cmake --build --preset release --target vellumgard mailserver-sim >/dev/null
daemon=${1:-"$top/build/release/vellumgard"}
sim=$top/build/release/bench/mailserver-sim

tmp=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/cache"
printf '%s\tmail\n' "$(printf %s bench-pw | sha256sum | cut -d' ' -f1)" > "$tmp/cache/keys"
resp=$(printf '\0user\0bench-pw' | base64)
printf '[sasl]\nsocket = %s\ncache_dir = %s\n' "$tmp/vg.sock" "$tmp/cache" > "$tmp/vg.conf"
tick=$(getconf CLK_TCK)

# One run: a fresh daemon, the simulator with "$@", the daemon's side.
run() {
    "$daemon" -c "$tmp/vg.conf" 2>"$tmp/log" & pid=$!
    for _ in $(seq 100); do [ -S "$tmp/vg.sock" ] && break; sleep 0.05; done
    "$sim" "$tmp/vg.sock" "$@" --seconds "$SIM_SECONDS"
    # utime and stime, fields 14 and 15 of /proc/PID/stat, in clock ticks.
    cpu=$(awk -v t="$tick" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$pid/stat")
    kill -TERM "$pid"; wait "$pid" || true; pid=
    # One warning per reclaim, or one per interval carrying the count.
    closed=$(awk '/max connections reached, closing the longest idle/ { n++ }
        /max connections reached, closed [0-9]+ idle/ {
            for (i = 1; i < NF; i++) if ($i == "closed") n += $(i + 1) }
        END { print n + 0 }' "$tmp/log")
    echo "  daemon: $closed idle connections closed," \
         "$(grep -c 'rejecting' "$tmp/log" || true) clients rejected, ${cpu} s CPU"
}

echo "load: $(uptime)"
for n in $NS; do
    run "$n" "$resp" --rounds "$ROUNDS" --concurrency "$CONC"
done
for c in $FRESH; do
    for _ in $(seq "$RUNS"); do run "$c" "$resp" --fresh --requests "$REQUESTS"; done
done
for c in $THINK_AT; do
    for _ in $(seq "$RUNS"); do
        run "$c" "$resp" --fresh --requests "$REQUESTS" --think-ms "$THINK_MS"
    done
done
for c in $HELD; do
    for _ in $(seq "$RUNS"); do
        run "$c" "$resp" --fresh --requests "$HELD_REQUESTS" --hold-ms "$HOLD_MS"
    done
done
echo "load: $(uptime)"
