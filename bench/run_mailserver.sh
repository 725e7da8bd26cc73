#!/usr/bin/env bash
# The mail-server scenario (bench/mailserver_sim.cpp) against a daemon binary:
# for each number of processes a fresh daemon on a socket in a temporary
# directory, one line of counts, then how often the daemon closed an idle
# connection or turned a client away. Bounded: each run stops by itself.
#
#   bench/run_mailserver.sh [DAEMON]    (NS="60 65 120" ROUNDS=1 CONC=1)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
NS=${NS:-60 65 120}
ROUNDS=${ROUNDS:-1}
CONC=${CONC:-1}

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

for n in $NS; do
    "$daemon" -c "$tmp/vg.conf" 2>"$tmp/log" & pid=$!
    for _ in $(seq 100); do [ -S "$tmp/vg.sock" ] && break; sleep 0.05; done
    "$sim" "$tmp/vg.sock" "$n" "$resp" --rounds "$ROUNDS" --concurrency "$CONC"
    kill -TERM "$pid"; wait "$pid" || true; pid=
    echo "  daemon: $(grep -c 'closing the longest idle' "$tmp/log" || true) idle connections closed," \
         "$(grep -c 'rejecting' "$tmp/log" || true) clients rejected"
done
