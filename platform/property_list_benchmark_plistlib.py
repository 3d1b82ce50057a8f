#!/usr/bin/env python3
"""Times Python's plistlib on the record set of property_list_benchmark.cpp, so that our binary
property-list codec can be compared with it in one run: prints milliseconds per write and per
read, the best of several repetitions in processor time (compare
with the benchmark's CPU column: the machine may be busy)."""
import plistlib
import sys
import time

ITEM_COUNT = 100_000
LABEL_COUNT = 20
GROUP_COUNT = 10
GROUP_SIZE = 1_000


def identifier_for(item):
    return "8F3C2A1E-0000-4000-8000-%d" % (100_000_000_000 + item)


def make_metadata():
    items = []
    label_items = [[] for _ in range(LABEL_COUNT)]
    for i in range(ITEM_COUNT):
        items.append({
            "identifier": identifier_for(i),
            "fileURL": "file:///Users/someone/Library/Group%20Containers/Zelvar/Zelvar/Item%20"
                       + str(i) + ".rtfd",
            "wasEncrypted": i % 7 == 0,
            "isFavorite": i % 11 == 0,
            "wasNote": True,
            "label": "label-" + str(i % LABEL_COUNT),
            "tags": "" if i % 3 == 0 else "work,caf\u00e9,2024",
        })
        label_items[i % LABEL_COUNT].append(identifier_for(i))
    labels = {}
    for i in range(LABEL_COUNT):
        labels["label-" + str(i)] = {
            "name": "Label " + str(i), "identifier": "label-" + str(i),
            "redComponent": i / 20.0, "greenComponent": 0.5, "blueComponent": 1 - i / 20.0,
            "alphaComponent": 1.0, "items": label_items[i]}
    groups = {}
    for i in range(GROUP_COUNT):
        groups["group-" + str(i)] = {
            "name": "Group " + str(i), "identifier": "group-" + str(i),
            "items": [identifier_for(i * GROUP_SIZE + j) for j in range(GROUP_SIZE)]}
    return {
        "Files": {"name": "Zelvar", "items": items,
                  "folderURL": "file:///Users/someone/Library/Group%20Containers/Zelvar/Zelvar/"},
        "Labels": labels, "Groups": groups, "Searches": {},
        "Exporter": {"CFBundleIdentifier": "com.example.zelvar-importer",
                     "CFBundleVersion": "1", "CFBundleShortVersionString": "1.0"},
    }


def best_of(repetitions, action):
    best = float("inf")
    for _ in range(repetitions):
        start = time.process_time()
        action()
        best = min(best, time.process_time() - start)
    return best * 1000


def main():
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    tree = make_metadata()
    data = plistlib.dumps(tree, fmt=plistlib.FMT_BINARY)
    write = best_of(repetitions, lambda: plistlib.dumps(tree, fmt=plistlib.FMT_BINARY))
    read = best_of(repetitions, lambda: plistlib.loads(data))
    print("plistlib write %.1f ms, read %.1f ms (processor time), %d bytes" % (write, read, len(data)))


if __name__ == "__main__":
    main()
