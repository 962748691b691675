#!/bin/sh
# Installs every Debian package the engine and its tests need; does nothing when all are present.
set -eu

PACKAGES="build-essential cmake pkg-config git ca-certificates
libevent-dev libhiredis-dev liblua5.1-0-dev lua-cjson-dev libcjson-dev libevhtp-dev libcoap3-dev libssl-dev
redis-server redis-tools libcoap3-bin libgtest-dev libgmock-dev libbenchmark-dev
iproute2 python3 python3-websockets openssl procps minissdpd curl faketime"

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run this script as root)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# The SSDP daemon is only ever started by the tests, inside namespaces of their own.
echo "minissdpd minissdpd/start_daemon boolean false" | debconf-set-selections
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
