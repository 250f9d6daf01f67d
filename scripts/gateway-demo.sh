#!/usr/bin/env bash
# The gateway shown working: the simulated panel behind a link, zulgate with
# the guide's configuration (docs/gateway/) on free ports, a register read
# and written with mbpoll, the write read back from the panel's side, the
# points on a mosquitto broker of the demo's own and a write through MQTT,
# the status server's /health, and a clean stop. Exits non-zero if any step
# fails.
#
#   bash scripts/gateway-demo.sh [BUILD]     (default build/native)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
zulsim=$build/sim/zulsim
zulgate=$build/gateway/zulgate
for program in "$zulsim" "$zulgate"; do
  [[ -x $program ]] || { echo "gateway demo: $program is not built" >&2; exit 1; }
done
for program in mbpoll mosquitto_sub mosquitto_pub /usr/sbin/mosquitto curl; do
  command -v $program >/dev/null || { echo "gateway demo: $program is missing (bash scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d)
link=/tmp/zg$(( $$ % 10000 ))  # within the 11 characters of a port name
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
mport=$(free_port)
http=$(free_port)
sim_pid= gate_pid= broker_pid=
finish() {
  for pid in $gate_pid $sim_pid $broker_pid; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap finish EXIT

sed -e "0,/^listen = /s|^listen = .*|listen = \"127.0.0.1:$port\"|" \
  -e "s|^listen = \"127.0.0.1:9702\".*|listen = \"127.0.0.1:$http\"|" -e "s|^port = .*|port = \"$link\"|" \
  -e "s|^broker = .*|broker = \"127.0.0.1:$mport\"|" \
  docs/gateway/zulgate.toml >"$work/zulgate.toml"
cp docs/gateway/ahu1.csv "$work/"
printf 'user root\nlistener %s 127.0.0.1\nallow_anonymous true\n' "$mport" >"$work/mosquitto.conf"
/usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/broker.out" 2>&1 &
broker_pid=$!
"$zulsim" --link "$link" --set 01A2F3=D2,00 --set 000100=40,01,48,01,50,01,58,01 >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do [[ -e $link ]] && break; sleep 0.1; done

echo "--- zulgate --check"
"$zulgate" --check "$work/zulgate.toml" || exit 1
"$zulgate" --config "$work/zulgate.toml" 2>"$work/gate.err" &
gate_pid=$!
mb=(mbpoll -m tcp -p "$port" -a 1 -0 -1 -q -o 5)
ms=(-h 127.0.0.1 -p "$mport" -q 1)

# Every wait below is for the value it names, until a deadline; the first
# message or a pause proves nothing on a loaded machine.
# until_ok SECONDS COMMAND...: runs the command until it succeeds or the time is up.
until_ok() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}
# held TOPIC PATTERN: whether what the broker holds on TOPIC matches the extended regular expression.
held() {
  last_held=$(mosquitto_sub "${ms[@]}" -t "$1" --retained-only -C 1 -W 1 2>/dev/null)
  grep -Eq "$2" <<<"$last_held"
}
serves() { "${mb[@]}" -t 4 -r 0 127.0.0.1 >/dev/null 2>&1; }

failed=0
until_ok 30 serves || { echo "gateway demo: zulgate did not serve holding 0 within 30 s"; failed=1; }
echo "--- mbpoll: holding 0-3 (the setpoints) and input 0 (supply air)"
out=$("${mb[@]}" -t 4 -r 0 -c 4 127.0.0.1 2>&1) && echo "$out" | grep '^\[' || { echo "$out"; failed=1; }
grep -q '^\[0\]:[[:space:]]*320$' <<<"$out" || { echo "gateway demo: holding 0 is not the panel's 320"; failed=1; }
out=$("${mb[@]}" -t 3 -r 0 127.0.0.1 2>&1) && echo "$out" | grep '^\[' || { echo "$out"; failed=1; }
echo "--- mbpoll: write 345 to holding 0, read it back"
"${mb[@]}" -t 4 -r 0 127.0.0.1 345 >/dev/null 2>&1 || { echo "gateway demo: the write failed"; failed=1; }
out=$("${mb[@]}" -t 4 -r 0 127.0.0.1 2>&1)
echo "$out" | grep '^\['
grep -q '^\[0\]:[[:space:]]*345$' <<<"$out" || { echo "gateway demo: holding 0 did not read back 345"; failed=1; }

echo "--- MQTT: what the broker holds (a subscriber that came late), and a write"
until_ok 10 held 'zultrk/site1/status' '^online$' ||
  { echo "gateway demo: the broker did not hold status online within 10 s (it held '$last_held')"; failed=1; }
# Modbus is the panel's raw number (345); MQTT carries what it means too: 34.5 °C.
until_ok 10 held 'zultrk/site1/ahu1/setpoints' '^\{"value":34.5,"raw":345,"quality":"good"' ||
  { echo "gateway demo: the broker did not hold setpoints 34.5 (raw 345) within 10 s (it held '$last_held')"; failed=1; }
mosquitto_sub "${ms[@]}" -t 'zultrk/site1/#' -v --retained-only -W 1 2>/dev/null | head -5
# -d says when the broker has taken the subscription (line by line with stdbuf); the set goes after it.
stdbuf -oL mosquitto_sub "${ms[@]}" -t 'zultrk/site1/ahu1/setpoints/1/result' -v -C 1 -W 20 -d >"$work/result" 2>&1 &
sub_pid=$!
until_ok 10 grep -q SUBACK "$work/result" || { echo "gateway demo: mosquitto_sub did not subscribe within 10 s"; failed=1; }
mosquitto_pub "${ms[@]}" -t 'zultrk/site1/ahu1/setpoints/1/set' -m 33.3
wait "$sub_pid"
grep -a '^zultrk/' "$work/result"
grep -q 'result ok$' "$work/result" || { echo "gateway demo: the MQTT write did not come back ok within 20 s"; failed=1; }
until_ok 10 held 'zultrk/site1/ahu1/setpoints/1' '^\{"value":33.3,"raw":333,"quality":"good"' ||
  { echo "gateway demo: the broker did not hold setpoints/1 33.3 (raw 333) within 10 s (it held '$last_held')"; failed=1; }
echo "--- the status server: /health"
healthy() { curl -s -w ' (%{http_code})\n' "http://127.0.0.1:$http/health" >"$work/health" && grep -q '(200)$' "$work/health"; }
until_ok 10 healthy || { cat "$work/health"; echo "gateway demo: /health was not 200 within 10 s"; failed=1; }
cat "$work/health"

echo "--- stop (SIGTERM)"
kill -TERM "$gate_pid"
wait "$gate_pid"
status=$?
gate_pid=
sed 's/^/  /' "$work/gate.err"
[[ $status -eq 0 ]] || { echo "gateway demo: zulgate exited $status"; failed=1; }
until_ok 10 held 'zultrk/site1/status' '^offline$'
echo "  the broker's status afterwards: $last_held"
[[ $last_held == offline ]] || { echo "gateway demo: the status is not offline within 10 s of the stop"; failed=1; }
kill -TERM "$sim_pid"
wait "$sim_pid" 2>/dev/null
sim_pid=
grep -q 'writes=2' "$work/sim.out" || { echo "gateway demo: the panel did not take the write: $(tail -1 "$work/sim.out")"; failed=1; }
[[ $failed -eq 0 ]] && echo "gateway demo: done" || echo "gateway demo: FAILED"
exit $failed
