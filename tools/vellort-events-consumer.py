#!/usr/bin/python3
# Starts a pipeline's work on each file that VELLORT has made safe on its EXTERNAL storage.
# Debian's python3-paho-mqtt (1.6). Usage: vellort-events-consumer.py [BROKER_HOST [PORT]]
import collections, json, logging, sys
import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

CLIENT_ID = "pipeline-archive-mover"  # fixed: the broker keeps this client's session under it
SESSION_EXPIRY = 7 * 24 * 3600        # seconds the broker queues events while we are away
recent = collections.OrderedDict()    # ids of the last 100000 events, to drop duplicates

def start_work(event):  # placeholder: queue a job; return soon, the event is acknowledged after it
    logging.info("start work on %s (%d bytes, from %s)", event["copy"], event["size"], event["host"])

def on_connect(client, userdata, flags, reason, properties):
    if reason != 0:
        logging.error("the broker refused us: %s", reason)
        return
    if not flags["session present"]:
        logging.warning("new session: events published while we were away are not there")
    client.subscribe("vellort/+/file", qos=1)

def on_message(client, userdata, msg):
    try:
        event = json.loads(msg.payload)
        event_id, kind, storage = event["id"], event["event"], event.get("storage", {})
    except (ValueError, KeyError, TypeError):
        logging.error("not an event on %s: %r", msg.topic, msg.payload[:200])
        return
    if event_id in recent:
        return  # published again after an outage or a restart: already handled
    if kind == "copied" and storage.get("type") == "EXTERNAL":
        start_work(event)  # an exception ends the program unacknowledged: the event comes again
    elif kind == "failed":
        logging.warning("%s: no copy of %s on %s (%s) after %s attempts: %s", event.get("host"),
                        event.get("path"), storage.get("id"), storage.get("type"),
                        event.get("attempts"), event.get("reason"))
    recent[event_id] = None
    if len(recent) > 100000:
        recent.popitem(last=False)

logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)s %(message)s")
client = mqtt.Client(client_id=CLIENT_ID, protocol=mqtt.MQTTv5)
client.on_connect, client.on_message = on_connect, on_message
client.reconnect_delay_set(1, 60)
session = Properties(PacketTypes.CONNECT)
session.SessionExpiryInterval = SESSION_EXPIRY
host = sys.argv[1] if len(sys.argv) > 1 else "localhost"
port = int(sys.argv[2]) if len(sys.argv) > 2 else 1883
client.connect_async(host, port, keepalive=30, clean_start=False, properties=session)
client.loop_forever(retry_first_connection=True)
