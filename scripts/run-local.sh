#!/bin/sh
# Runs the engine in the foreground on conf/local.conf with everything it needs beside it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
run=/tmp/brixmoor-local
build="$top/build"

"$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRX_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

mkdir -p "$run/scripts"
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

start_redis() { # <socket> <port>
    rm -f "$1"
    redis-server --unixsocket "$1" --unixsocketperm 777 --port "$2" --bind 127.0.0.1 \
        --notify-keyspace-events KA --save '' --appendonly no --daemonize no \
        --dir "$run" --logfile "$run/redis-$2.log" &
    pids="$pids $!"
    i=0
    until redis-cli -s "$1" PING >/dev/null 2>&1; do
        i=$((i + 1)); [ $i -lt 100 ] || { echo "redis on $1 did not start" >&2; exit 1; }
        sleep 0.1
    done
}
start_redis "$run/redis_state" 6390
start_redis "$run/redis_conf" 6391

echo "state Redis: redis-cli -s $run/redis_state    conf Redis: redis-cli -s $run/redis_conf"
"$build/src/Brixmoor" "$top/conf/local.conf" &
engine=$!
pids="$pids $engine"
wait "$engine"
