#!/usr/bin/python3
"""Subscribes to a topic filter with QoS 1 in a persistent MQTT 5 session and
writes every message it gets as one JSON line {"topic", "retained", "payload"}
to a file, until it is stopped. It reconnects on its own when the broker goes,
and the broker keeps what comes meanwhile for its session.

    subscribe.py <port> <client id> <topic filter> <output file>
"""
import json
import sys

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties


def main():
    port, client_id, topic, path = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    out = open(path, "a", encoding="utf-8")

    def on_connect(client, userdata, flags, reason, properties):
        if reason == 0:
            client.subscribe(topic, qos=1)
            print("connected", flush=True)

    def on_message(client, userdata, message):
        line = {"topic": message.topic, "retained": bool(message.retain),
                "payload": message.payload.decode("utf-8", errors="replace")}
        out.write(json.dumps(line) + "\n")
        out.flush()

    client = mqtt.Client(client_id=client_id, protocol=mqtt.MQTTv5)
    client.on_connect = on_connect
    client.on_message = on_message
    client.reconnect_delay_set(min_delay=1, max_delay=2)
    session = Properties(PacketTypes.CONNECT)
    session.SessionExpiryInterval = 3600
    client.connect("127.0.0.1", port, keepalive=10, clean_start=False, properties=session)
    client.loop_forever(retry_first_connection=True)


if __name__ == "__main__":
    main()
