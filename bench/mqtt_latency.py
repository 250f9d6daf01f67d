"""How soon a write through the gateway reaches the MQTT broker: writes
through Modbus (Debian's pymodbus) and sets through MQTT (Debian's paho),
each timed to the moment a paho subscriber on the same machine receives
the written value from the broker. Polls are far apart (the script that
runs this configures poll_ms 10000), so the value can come only from the
write. Run by bench/mqtt-latency.sh under /usr/bin/python3; prints a
markdown table.

    mqtt_latency.py MQTT_PORT MODBUS_PORT WRITES TOPIC_PREFIX
"""
import json
import statistics
import sys
import threading
import time

import paho.mqtt.client as mqtt
from pymodbus.client import ModbusTcpClient


def main():
    mqtt_port, modbus_port, writes, prefix = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    topic = prefix + "/ahu1/w"
    seen = []  # (monotonic time, payload) of every message on the value and result topics
    arrived = threading.Condition()
    subscribed = threading.Event()

    def on_connect(client, userdata, flags, rc):
        client.subscribe([(topic, 1), (topic + "/result", 1)])

    def on_message(client, userdata, message):
        with arrived:
            seen.append((time.monotonic(), message.topic, message.payload.decode()))
            arrived.notify_all()

    sub = mqtt.Client()
    sub.on_connect, sub.on_message = on_connect, on_message
    sub.on_subscribe = lambda *args: subscribed.set()
    sub.connect("127.0.0.1", mqtt_port)
    sub.loop_start()
    if not subscribed.wait(10):
        sys.exit("mqtt latency: the subscriber was not subscribed within 10 s")

    def value_at(value, since, wait=5.0):
        """When the broker delivered `value` on the value topic, after `since`."""
        deadline = time.monotonic() + wait
        with arrived:
            while True:
                for t, name, payload in seen:
                    if t >= since and name == topic and json.loads(payload).get("value") == value:
                        return t
                left = deadline - time.monotonic()
                if left <= 0:
                    sys.exit(f"mqtt latency: value {value} did not reach the broker within {wait} s")
                arrived.wait(left)

    modbus = ModbusTcpClient("127.0.0.1", port=modbus_port, timeout=5)
    if not modbus.connect():
        sys.exit("mqtt latency: cannot reach the gateway's Modbus port")
    answered_to_broker, set_to_broker, write_took = [], [], []
    for i in range(writes):
        value = 1000 + i
        asked = time.monotonic()
        reply = modbus.write_register(0, value, slave=1)
        answered = time.monotonic()
        if reply.isError():
            sys.exit(f"mqtt latency: the Modbus write of {value} failed: {reply}")
        write_took.append((answered - asked) * 1000)
        answered_to_broker.append((value_at(value, asked) - answered) * 1000)
        time.sleep(0.2)  # apart, so that each is measured alone
    for i in range(writes):
        value = 2000 + i
        asked = time.monotonic()
        sub.publish(topic + "/set", str(value), qos=1)
        set_to_broker.append((value_at(value, asked) - asked) * 1000)
        time.sleep(0.2)
    modbus.close()
    sub.loop_stop()

    def row(path, ms):
        ms = sorted(ms)
        p90 = ms[min(len(ms) - 1, int(round(0.9 * (len(ms) - 1))))]
        return f"| {path} | {len(ms)} | {statistics.median(ms):.1f} ms | {p90:.1f} ms | {max(ms):.1f} ms |"

    print("| path | writes | median | p90 | max |")
    print("|---|---:|---:|---:|---:|")
    print(row("Modbus write sent → answered (the write on the line)", write_took))
    print(row("Modbus write answered → value at a subscriber", answered_to_broker))
    print(row("MQTT set published → value at a subscriber (the write on the line included)", set_to_broker))


if __name__ == "__main__":
    main()
