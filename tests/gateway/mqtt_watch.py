"""A subscriber for the gateway's MQTT tests, with Debian's paho (run it
with /usr/bin/python3): subscribes to the topics given, says so once the
broker has acknowledged it, then prints every message as it comes, one
JSON line each, with the monotonic time it came (the clock C++'s
steady_clock reads), until SECONDS have passed.

    mqtt_watch.py PORT SECONDS TOPIC...
"""
import json
import sys
import time

import paho.mqtt.client as mqtt


def main():
    port, seconds, topics = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3:]

    def say(line):
        line["t"] = time.monotonic()
        print(json.dumps(line), flush=True)

    def on_connect(client, userdata, flags, rc):
        client.subscribe([(topic, 1) for topic in topics])

    def on_subscribe(client, userdata, mid, granted):
        say({"subscribed": True})

    def on_message(client, userdata, message):
        say({"topic": message.topic, "payload": message.payload.decode("utf-8", "backslashreplace"),
             "retain": bool(message.retain)})

    client = mqtt.Client(protocol=mqtt.MQTTv311)
    client.on_connect, client.on_subscribe, client.on_message = on_connect, on_subscribe, on_message
    client.connect("127.0.0.1", port)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        client.loop(timeout=0.1)


if __name__ == "__main__":
    main()
