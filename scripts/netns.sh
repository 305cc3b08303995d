#!/usr/bin/env bash
# Runs a command inside a private network namespace (and mount namespace)
# where the only links are loopback and a veth pair carrying the test
# addresses 10.77.0.1-9. Nothing sent there reaches the real network.
#   scripts/netns.sh COMMAND [ARGS...]
set -euo pipefail
if [[ "${TRC_TEST_NETNS:-}" != "1" ]]; then
  exec unshare --net --mount --map-root-user env TRC_TEST_NETNS=1 "$0" "$@"
fi
ip link set lo up
ip link add v0 type veth peer name v1
ip link set v0 up
ip link set v1 up
for i in 1 2 3 4 5 6 7 8 9; do
  ip addr add "10.77.0.$i/24" dev v0
done
ip route add default dev v0
exec "$@"
