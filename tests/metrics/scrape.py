#!/usr/bin/python3
"""Scrapes a running daemon's /metrics and parses it with the Prometheus
client's own parser, so that the exposition is checked by a real reader.

Prints one sample a line: name{label=value,...} value, labels sorted. With
files named after the URL, also one line "missing <name>" for each metric
that a file refers to (a word starting vellort_ or process_) and the daemon
does not serve."""
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
for path in sys.argv[2:]:
    with open(path, encoding="utf-8") as f:
        for name in sorted(set(re.findall(r"\b(?:vellort|process)_[a-z_]+", f.read()))):
            if name not in served:
                print(f"missing {name}")
