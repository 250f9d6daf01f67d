#!/usr/bin/env bash
# A BACnet server against a real client, captured: SCRIPT (node) drives the
# server on two free UDP ports of loopback while dumpcap captures them;
# then tshark decodes the capture, and every packet must be BACnet, none
# malformed, none with an expert note, and the full decode must show each
# --shows text. Needs root (dumpcap on lo).
#
#   client_run.sh NODE_MODULES WORK_DIR [--shows TEXT]... SCRIPT [ARGS...]
#
# SCRIPT runs as `node SCRIPT SERVER_PORT CLIENT_PORT ARGS...` and ends its
# run with a Who-Has for the name "end-of-run".
set -uo pipefail
modules=$1
work=$2
shift 2
shows=()
while [[ ${1:-} == --shows ]]; do
  shows+=("$2")
  shift 2
done
script=$1
shift
mkdir -p "$work"
capture=$work/bacnet.pcapng
rm -f "$capture"

# Two ports nobody holds now (the client cannot take port 0 itself).
read -r server client < <(node -e '
  const dgram = require("dgram");
  const a = dgram.createSocket("udp4"), b = dgram.createSocket("udp4");
  a.bind(0, "127.0.0.1", () => b.bind(0, "127.0.0.1", () => {
    console.log(a.address().port, b.address().port); a.close(); b.close(); }));')
decode=(-d "udp.port==$server,bvlc" -d "udp.port==$client,bvlc")

dumpcap -q -i lo -f "udp port $server or udp port $client" -w "$capture" 2>"$work/dumpcap.log" &
dumpcap_pid=$!
stop_capture() { kill -INT "$dumpcap_pid" 2>/dev/null; wait "$dumpcap_pid" 2>/dev/null; }
trap stop_capture EXIT
# Capturing once the file exists.
for _ in $(seq 100); do [[ -s $capture ]] && break; sleep 0.05; done
[[ -s $capture ]] || { echo "client_run: dumpcap did not start:"; cat "$work/dumpcap.log"; exit 1; }

NODE_PATH=$modules node "$script" "$server" "$client" "$@"
status=$?

# The capture is stopped once it holds the end-of-run marker, so nothing
# before it is lost.
marked=0
for _ in $(seq 50); do
  if tshark -r "$capture" "${decode[@]}" -Y 'frame contains "end-of-run"' 2>/dev/null | grep -q .; then
    marked=1
    break
  fi
  sleep 0.1
done
stop_capture
trap - EXIT
[[ $marked -eq 1 ]] || { echo "client_run: the capture never held the end of the run"; exit 1; }

frames=$(tshark -r "$capture" "${decode[@]}" -T fields -e frame.number 2>/dev/null | wc -l)
bacnet=$(tshark -r "$capture" "${decode[@]}" -Y bvlc -T fields -e frame.number 2>/dev/null | wc -l)
flagged=$(tshark -r "$capture" "${decode[@]}" -Y '_ws.malformed || _ws.expert' 2>/dev/null)
echo "client_run: tshark decoded $frames packets, $bacnet of them BACnet/IP"
if [[ $frames -lt 100 || $bacnet -ne $frames || -n $flagged ]]; then
  echo "client_run: FAILED: not every packet decodes cleanly as BACnet; flagged:"
  echo "$flagged"
  exit 1
fi
if [[ ${#shows[@]} -gt 0 ]]; then
  full=$(tshark -r "$capture" "${decode[@]}" -V 2>/dev/null)
  for text in "${shows[@]}"; do
    if ! grep -qF -- "$text" <<<"$full"; then
      echo "client_run: FAILED: tshark's decode never shows '$text'"
      exit 1
    fi
  done
  echo "client_run: tshark's decode shows: ${shows[*]}"
fi
exit "$status"
