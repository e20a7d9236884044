#!/usr/bin/python3
"""Reads a running daemon's /metrics (the URL) with the Prometheus client's own
parser and prints one sample a line: name{label=value,...} value, labels sorted;
then "missing <name>" for each vellort_ or process_ word of the files named
after the URL that the daemon does not serve (the events' ones only when it
serves any)."""
import re
import sys
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

text = urllib.request.urlopen(sys.argv[1], timeout=10).read().decode("utf-8")
served = set()
for family in text_string_to_metric_families(text):
    served.add(family.name)
    for sample in family.samples:
        served.add(sample.name)
        labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items()))
        print(f"{sample.name}{{{labels}}} {sample.value!r}")
# The events' series are served only by a daemon with a broker.
events = "vellort_broker_connected" in served
for path in sys.argv[2:]:
    with open(path, encoding="utf-8") as f:
        for name in sorted(set(re.findall(r"\b(?:vellort|process)_[a-z_]+", f.read()))):
            if name not in served and (events or not name.startswith(("vellort_events_", "vellort_broker_"))):
                print(f"missing {name}")
