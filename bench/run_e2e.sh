#!/usr/bin/env bash
# End-to-end comparison of the daemon with the floor server, side by side:
# the same 16 MiB keys file, stderr of both to /dev/null, matrix.py
# interleaving them, then the SIGHUP reload stall of each.
#
#   bench/run_e2e.sh            (REPS=3 DUR=3 CONCS=1,8,32,64)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
floor=${FLOOR_DIR:-"$top/../shared/bench"}
REPS=${REPS:-3}
DUR=${DUR:-3}
CONCS=${CONCS:-1,8,32,64}

cmake --preset release >/dev/null
cmake --build --preset release --target vellumgard >/dev/null
tmp=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT
export BUILD="$tmp/floorbuild"
mkdir -p "$BUILD" "$tmp/cache"
gcc -O2 -Wall -pthread -o "$BUILD/loadgen" "$floor/loadgen.c"
gcc -O2 -Wall -o "$BUILD/floor_server" "$floor/floor_server.c" -lsodium

pw=$(python3 "$floor/mkkeys.py" --max --out "$tmp/cache/keys" --password-of 12345 \
        --sample-out "$tmp/pw" --sample 1000)
printf '[sasl]\nsocket = %s\ncache_dir = %s\n' "$tmp/daemon.sock" "$tmp/cache" > "$tmp/daemon.conf"

"$BUILD/floor_server" "$tmp/floor.sock" "$tmp/cache/keys" 2>/dev/null & pids+=($!); fp=$!
"$top/build/release/vellumgard" -c "$tmp/daemon.conf" 2>/dev/null & pids+=($!); dp=$!
for _ in $(seq 100); do
    [ -S "$tmp/floor.sock" ] && [ -S "$tmp/daemon.sock" ] && break
    sleep 0.1
done
sleep 0.5

python3 "$floor/matrix.py" --loadgen "$BUILD/loadgen" --reps "$REPS" --duration "$DUR" --conc "$CONCS" \
    --target "floor  $tmp/floor.sock  $fp -P $tmp/pw" \
    --target "daemon $tmp/daemon.sock $dp -P $tmp/pw"
echo "== SIGHUP reload stall: floor"
python3 "$floor/hup_probe.py" --pid "$fp" --socket "$tmp/floor.sock" --password "$pw" --count 9
echo "== SIGHUP reload stall: daemon"
python3 "$floor/hup_probe.py" --pid "$dp" --socket "$tmp/daemon.sock" --password "$pw" --count 9
