"""Modbus TCP requests for zulgate's tests, made with Debian's pymodbus (run
with /usr/bin/python3, where python3-pymodbus loads).

    modbus_client.py PORT < requests      one JSON answer a line, in order
    modbus_client.py PORT --clients N --rounds M < requests
        N clients connected at once, each making every request M times and
        comparing each answer with the request's "expect"; one JSON summary.
    modbus_client.py PORT --every MS --for SECONDS < requests
        one client making every request each MS ms for SECONDS (connecting
        as soon as the gateway listens), a JSON line a round: {"t": its
        start on CLOCK_MONOTONIC, in seconds, "answers": [...], "end": when
        the last answer came}; also ends on SIGTERM.

A request is a JSON object a line: {"fn": "read_holding", "unit": 1,
"address": 0, "count": 2} (fn: read_coils, read_discrete, read_holding,
read_input, write_coil, write_coils, write_register, write_registers, with
"value" or "values"). An answer: {"values": [...]}, {"ok": true},
{"exception": CODE} or {"error": TEXT}.
"""
import json
import signal
import sys
import threading
import time

from pymodbus.client import ModbusTcpClient


def call(client, r):
    fn, unit, a = r["fn"], r.get("unit", 1), r["address"]
    count = r.get("count", 1)
    try:
        if fn == "read_coils":
            rr = client.read_coils(a, count, slave=unit)
        elif fn == "read_discrete":
            rr = client.read_discrete_inputs(a, count, slave=unit)
        elif fn == "read_holding":
            rr = client.read_holding_registers(a, count, slave=unit)
        elif fn == "read_input":
            rr = client.read_input_registers(a, count, slave=unit)
        elif fn == "write_coil":
            rr = client.write_coil(a, bool(r["value"]), slave=unit)
        elif fn == "write_coils":
            rr = client.write_coils(a, [bool(v) for v in r["values"]], slave=unit)
        elif fn == "write_register":
            rr = client.write_register(a, r["value"], slave=unit)
        elif fn == "write_registers":
            rr = client.write_registers(a, r["values"], slave=unit)
        else:
            return {"error": "unknown fn " + fn}
    except Exception as e:  # the connection failed
        return {"error": repr(e)}
    if rr.isError():
        code = getattr(rr, "exception_code", None)
        return {"exception": code} if code is not None else {"error": str(rr)}
    if fn.startswith("read") and hasattr(rr, "registers") and rr.registers is not None:
        return {"values": list(rr.registers)}
    if fn.startswith("read"):
        return {"values": [int(b) for b in rr.bits[:count]]}
    return {"ok": True}


def connect(port):
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=10, retries=0)
    if not client.connect():
        raise SystemExit("cannot connect to 127.0.0.1:%d" % port)
    return client


def watch(port, requests, every, seconds):
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    end = time.monotonic() + seconds
    client = None
    while client is None and time.monotonic() < end and not stopping:
        client = ModbusTcpClient("127.0.0.1", port=port, timeout=10, retries=0)
        if not client.connect():
            client = None
            time.sleep(0.05)
    due = time.monotonic()
    while client is not None and time.monotonic() < end and not stopping:
        t = time.monotonic()
        answers = [call(client, r) for r in requests]
        print(json.dumps({"t": t, "answers": answers, "end": time.monotonic()}), flush=True)
        due += every
        time.sleep(max(0.0, due - time.monotonic()))
    if client is not None:
        client.close()


def main():
    port = int(sys.argv[1])
    requests = [json.loads(line) for line in sys.stdin if line.strip()]
    if "--every" in sys.argv:
        every = float(sys.argv[sys.argv.index("--every") + 1]) / 1000
        seconds = float(sys.argv[sys.argv.index("--for") + 1])
        watch(port, requests, every, seconds)
        return
    if "--clients" not in sys.argv:
        client = connect(port)
        for r in requests:
            print(json.dumps(call(client, r)), flush=True)
        client.close()
        return
    clients = int(sys.argv[sys.argv.index("--clients") + 1])
    rounds = int(sys.argv[sys.argv.index("--rounds") + 1])
    connected = [connect(port) for _ in range(clients)]  # all open before any request
    start = threading.Barrier(clients)
    lock = threading.Lock()
    summary = {"clients": clients, "requests": 0, "mismatches": 0, "first": [], "seconds": 0.0}

    def work(client):
        start.wait()
        for _ in range(rounds):
            for r in requests:
                answer = call(client, r)
                with lock:
                    summary["requests"] += 1
                    if answer != r.get("expect", answer):
                        summary["mismatches"] += 1
                        if len(summary["first"]) < 5:
                            summary["first"].append({"request": r, "answer": answer})

    began = time.monotonic()
    threads = [threading.Thread(target=work, args=(c,)) for c in connected]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    summary["seconds"] = time.monotonic() - began
    for c in connected:
        c.close()
    print(json.dumps(summary), flush=True)


main()
