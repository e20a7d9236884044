#!/usr/bin/python3
"""Checks what subscribe.py received from the daemon's events and prints one
line per finding, for the test to compare:

    files <storage> <distinct relative paths copied>
    duplicates <storage> <repeats dropped by id>
    order <storage> <seq> after <seq>     an event came before one published ahead of it
    bad <what> <relative path>             size or hash differs from the file's copy below <copies>
                                           (xxhsum -H2), which outlives the shift
    failed <storage> <relative path>       a copy given up
    message <code> <subject>
    state <online|offline> <pid>           each change of the retained state, in order
    unparsed <topic>                       a payload that is no JSON object

    check_events.py <received file> <copies>
"""
import json
import os
import subprocess
import sys


def main():
    seen, copies, failed, last_seq = set(), {}, [], {}
    duplicates, lines, state = {}, [], None
    for raw in open(sys.argv[1], encoding="utf-8"):
        received = json.loads(raw)
        topic = received["topic"]
        try:
            event = json.loads(received["payload"])
        except ValueError:
            lines.append(f"unparsed {topic}")
            continue
        if topic.endswith("/state"):
            now = (event["state"], event["pid"])
            if now != state:
                lines.append(f"state {now[0]} {now[1]}")
            state = now
            continue
        storage = event.get("storage", {}).get("id", "-")
        if event["id"] in seen:
            duplicates[storage] = duplicates.get(storage, 0) + 1
            continue
        seen.add(event["id"])
        if topic.endswith("/message"):
            lines.append(f"message {event['code']} {event['subject']}")
            continue
        if not topic.endswith("/file"):
            continue
        if event["seq"] <= last_seq.get(storage, 0):
            lines.append(f"order {storage} {event['seq']} after {last_seq[storage]}")
        last_seq[storage] = event["seq"]
        if event["event"] == "failed":
            failed.append(f"failed {storage} {event['relative']}")
        else:
            copies.setdefault(storage, {})[event["relative"]] = event
    relatives = sorted({relative for events in copies.values() for relative in events})
    hashes = {}
    for start in range(0, len(relatives), 500):
        paths = [os.path.join(sys.argv[2], relative) for relative in relatives[start:start + 500]]
        out = subprocess.run(["xxhsum", "-H2", *paths], capture_output=True, text=True).stdout
        for line in out.splitlines():
            digest, path = line.split(None, 1)
            hashes[os.path.relpath(path.strip(), sys.argv[2])] = digest
    for storage in sorted(copies):
        events = copies[storage]
        for relative, e in sorted(events.items()):
            reference = os.path.join(sys.argv[2], relative)
            if not os.path.exists(reference) or e["size"] != os.stat(reference).st_size:
                lines.append(f"bad size {relative}")
            if e.get("hash") != hashes.get(relative):
                lines.append(f"bad hash {relative}")
        lines[:0] = [f"files {storage} {len(events)}", f"duplicates {storage} {duplicates.get(storage, 0)}"]
    print("\n".join(lines + failed))


if __name__ == "__main__":
    main()
