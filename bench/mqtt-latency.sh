#!/usr/bin/env bash
# How soon a write through the gateway reaches the MQTT broker: a paced
# simulated panel at 9600 baud, zulgate polling it only every 10 s, a
# mosquitto broker of the run's own, and bench/mqtt_latency.py (pymodbus
# and paho, Debian's) writing 20 times through Modbus and 20 times through
# MQTT. Prints a markdown table (kept in docs/gateway.md, Measurements).
#
#   bash bench/mqtt-latency.sh [BUILD] [WRITES]     (default build/native, 20)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
writes=${2:-20}
for program in "$build/sim/zulsim" "$build/gateway/zulgate" /usr/sbin/mosquitto; do
  [[ -x $program ]] || { echo "mqtt latency: $program is missing" >&2; exit 1; }
done

work=$(mktemp -d)
link=/tmp/zb$(( $$ % 10000 ))
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
modbus=$(free_port)
mport=$(free_port)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap finish EXIT

printf 'user root\nlistener %s 127.0.0.1\nallow_anonymous true\n' "$mport" >"$work/mosquitto.conf"
/usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/broker.out" 2>&1 &
pids+=($!)
"$build/sim/zulsim" --link "$link" --baud 9600 --set 000100=2A,00 >"$work/sim.out" 2>&1 &
pids+=($!)
printf 'name,address,table,register,access\nw,W000100,holding,0,rw\n' >"$work/points.csv"
cat >"$work/zulgate.toml" <<TOML
[modbus]
listen = "127.0.0.1:$modbus"
[mqtt]
broker = "127.0.0.1:$mport"
client_id = "zulgate-bench"
topic_prefix = "zultrk/bench"
[[panel]]
name = "ahu1"
port = "$link"
unit = 1
poll_ms = 10000
stale_ms = 30000
points = "points.csv"
TOML
for _ in $(seq 50); do [[ -e $link ]] && break; sleep 0.1; done
"$build/gateway/zulgate" --config "$work/zulgate.toml" -q 2>"$work/gate.err" &
pids+=($!)
for _ in $(seq 100); do grep -q 'ahu1: started' "$work/gate.err" 2>/dev/null && break; sleep 0.1; done
echo "mqtt latency: load average before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
/usr/bin/python3 bench/mqtt_latency.py "$mport" "$modbus" "$writes" zultrk/bench
status=$?
echo "mqtt latency: load average after: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
[[ $status -eq 0 ]] || cat "$work/gate.err" >&2
exit $status
