#!/bin/sh
# Runs the engine in the foreground as a gateway on conf/local.conf, with its two Redis servers,
# the gateway bus stand-in, the application server's stand-in and a sample network: the gateway
# itself, one lamp behind it (an HTTP device on 127.0.0.1:8081) and a TCP sensor on loopback.
# Arguments go to the engine (-t runs script files published on "driver:dofile").
# The gateway holds the network id, so it leads at once and sends no datagram unless asked.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
run=/tmp/brixmoor-local
build="$top/build"

# The engine's own options: -d would leave a daemon behind this script, whose stand-ins end with it.
while getopts ":vhtdl:c:m:i:" opt; do
    if [ "$opt" = d ]; then
        echo "run-local.sh: -d is refused: the local run stays in the foreground and stops everything it" \
            "started on Ctrl-C" >&2
        exit 2
    fi
done
OPTIND=1

# One local run at a time: a second one would delete the first one's Redis sockets. The lock is held
# by this shell and everything it starts, so it lasts while any of them runs.
mkdir -p "$run"
exec 9>"$run/lock"
if ! flock -n 9; then
    echo "run-local.sh: another local run is active (it holds $run/lock); stop it first" >&2
    exit 2
fi

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

wait_for() { # <what> <command...>
    what=$1
    shift
    i=0
    until "$@" >/dev/null 2>&1; do
        i=$((i + 1)); [ $i -lt 100 ] || { echo "$what did not start" >&2; exit 1; }
        sleep 0.1
    done
}

start_redis() { # <socket> <port>
    rm -f "$1"
    redis-server --unixsocket "$1" --unixsocketperm 777 --port "$2" --bind 127.0.0.1 \
        --notify-keyspace-events KA --save '' --appendonly no --daemonize no \
        --dir "$run" --logfile "$run/redis-$2.log" &
    pids="$pids $!"
    wait_for "redis on $1" redis-cli -s "$1" PING
}
start_redis "$run/redis_state" 6390
start_redis "$run/redis_conf" 6391

# The gateway bus stand-in; the engine finds it, and runs pcb_cli, through the environment.
export PCB_STANDIN_SOCKET="$run/pcb_sys"
export PATH="$build/platform/pcb:$PATH"
rm -f "$PCB_STANDIN_SOCKET"
"$build/platform/pcb/pcb_busd" -s "$PCB_STANDIN_SOCKET" -j "$run/pcb.journal" "$top/platform/pcb/seed-gateway.json" \
    >"$run/pcb_busd.log" 2>&1 &
pids="$pids $!"
wait_for "pcb_busd" test -S "$PCB_STANDIN_SOCKET"

# The memory profiler on, with a limit for the "LAN" default driver's state.
pcb_cli 'APService.HomeAutomation.BrixmoorMemoryProfilerEnable=1' >/dev/null
pcb_cli 'APService.HomeAutomation.BrixmoorMemoryProfilerConfig={"limits":[{"driver":"luamem:limit:LAN","limit":"1000000"}]}' >/dev/null

# The CA the engine trusts for https (conf/local.conf names it) and a "localhost" certificate.
[ -f "$run/certs/ca.pem" ] || "$top/platform/appserver/make-certs.sh" "$run/certs" >/dev/null

# The application server's stand-in on https://localhost:8443 (the seed's "/app" base): it accepts
# registrations, serves firmware images from $run/firmware and logs every request in $run/appserver
# (its answers: $run/appserver.out).
mkdir -p "$run/appserver" "$run/firmware"
rm -f "$run/appserver.out"
[ -f "$run/appserver-rules.json" ] || echo '{}' >"$run/appserver-rules.json"
/usr/bin/python3 "$top/platform/appserver/appserver.py" --app --port 8443 --bind :: \
    --cert "$run/certs/localhost.pem" --key "$run/certs/localhost.key" \
    --rules "$run/appserver-rules.json" --log "$run/appserver" --files "$run/firmware" >"$run/appserver.out" 2>&1 &
pids="$pids $!"
wait_for "the application server" grep -q LISTENING "$run/appserver.out"

# The lamp: a small HTTP device on loopback.
/usr/bin/python3 "$top/platform/lamp/lamp.py" 8081 >"$run/lamp.log" 2>&1 &
pids="$pids $!"
wait_for "the lamp" curl -s http://127.0.0.1:8081/power

# The sample sensor: a device on loopback that pushes JSON readings over TCP.
python3 "$top/conf/sample_sensor_device.py" 6395 >"$run/sensor.log" 2>&1 &
pids="$pids $!"
wait_for "the sample sensor" python3 -c "import socket; socket.create_connection(('127.0.0.1', 6395)).close()"

# The sample network: network id, the gateway's own id (keyed by its MAC), the lamp and the sensor.
state() { redis-cli -s "$run/redis_state" "$@" >/dev/null; }
conf() { redis-cli -s "$run/redis_conf" "$@" >/dev/null; }
state SET LAN:networkid N-LOCAL
state SET device:LAN:0200C0000201 N-LOCAL-1
state SET device:N-LOCAL-1:meta:class gateway
state SET device:N-LOCAL-1:domain LAN
state SET device:N-LOCAL-1:meta:classname:gateway:LAN:Brixmoor:dev-gateway 1
# The last device number issued: registrations go on from N-LOCAL-4.
state SET deviceid 3
state SET landevicemap:N-LOCAL-1:N-LOCAL-2 1
state SET device:N-LOCAL-2:meta:class light
state SET device:N-LOCAL-2:meta:driver sample_lamp
state SET device:N-LOCAL-2:domain LAN
state SET device:N-LOCAL-2:driver:url http://127.0.0.1:8081
state SET landevicemap:N-LOCAL-1:N-LOCAL-3 1
state SET device:N-LOCAL-3:meta:class sensor
state SET device:N-LOCAL-3:meta:driver sample_sensor
state SET device:N-LOCAL-3:domain LAN
state SET device:N-LOCAL-3:driver:attributes:address 127.0.0.1
state SET device:N-LOCAL-3:driver:params '{"port":6395}'
# A scene: the lamp on, five seconds later off again.
state SET scene:evening:commands '[{"target":"device","id":"N-LOCAL-2","name":"on"},{"name":"delay","args":{"delay":5}},{"target":"device","id":"N-LOCAL-2","name":"off"}]'
# A rule of the gateway's own device: the event "doorbell" turns the lamp on.
state SET device:N-LOCAL-1:ifttt '[{"enabled":true,"if":"doorbell","then":[{"target":"device","id":"N-LOCAL-2","name":"on"}]}]'
conf SET brx:lualib:global "-- run in every script state before its script"
conf -x SET driver:gateway:code <"$top/conf/scripts/gateway.lua"
conf -x SET driver:sample_lamp:code <"$top/conf/scripts/sample_lamp.lua"
conf -x SET driver:sample_sensor:code <"$top/conf/scripts/sample_sensor.lua"
# The firmware commands of conf/local.conf: stand-ins that only log their calls into
# $run/upgrade.log (the configuration file has no comment syntax, so this is said here).
mkdir -p "$run/upgrade"
cp "$top"/conf/upgrade/*.sh "$run/upgrade/"
cp "$top/conf/scripts/lan_default.lua" "$top/conf/scripts/try_coap.lua" "$top/conf/scripts/udp_listen.lua" \
    "$run/scripts/"

echo "state Redis: redis-cli -s $run/redis_state    conf Redis: redis-cli -s $run/redis_conf"
echo "try: redis-cli -s $run/redis_state PUBLISH device:N-LOCAL-2:command '{\"name\":\"on\",\"args\":{\"for\":5}}'"
echo "     redis-cli -s $run/redis_state GET device:N-LOCAL-3:state:temperature"
"$build/src/Brixmoor" "$@" "$top/conf/local.conf" &
engine=$!
pids="$pids $engine"
wait "$engine"
