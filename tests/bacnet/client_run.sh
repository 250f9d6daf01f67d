#!/usr/bin/env bash
# The BACnet server against a real client, captured: client_check.js drives
# bacnet_serve on two free UDP ports of loopback while dumpcap captures
# them; then tshark decodes the capture, and every packet must be BACnet,
# none malformed, none with an expert note. Needs root (dumpcap on lo).
#
#   client_run.sh BACNET_SERVE NODE_MODULES WORK_DIR
set -uo pipefail
serve=$1
modules=$2
work=$3
here=$(cd "$(dirname "$0")" && pwd)
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

NODE_PATH=$modules node "$here/client_check.js" "$serve" "$server" "$client"
status=$?

# The run ends with a Who-Has for a name nobody has; the capture is
# stopped once it holds that, so nothing before it is lost.
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
exit "$status"
