#!/usr/bin/env python3
"""Times Python's plistlib on the metadata-shaped property list of property_list_benchmark.cpp
(100,000 item records of seven keys), to compare with our codec. Run by hand:

  python3 platform/testdata/plist_benchmark.py
"""
import plistlib
import resource
import time

ITEMS, LABELS, GROUPS, GROUP_SIZE = 100_000, 20, 10, 1_000


def identifier(item):
    return f"8F3C2A1E-0000-4000-8000-{100_000_000_000 + item}"


def metadata():
    items, label_items = [], [[] for _ in range(LABELS)]
    for i in range(ITEMS):
        items.append({
            "identifier": identifier(i),
            "fileURL": "file:///Users/someone/Library/Group%20Containers/Zelvar/Zelvar/"
                       f"Item%20{i}.rtfd",
            "wasEncrypted": i % 7 == 0,
            "isFavorite": i % 11 == 0,
            "wasNote": True,
            "label": f"label-{i % LABELS}",
            "tags": "" if i % 3 == 0 else "work,caf\u00e9,2024",
        })
        label_items[i % LABELS].append(identifier(i))
    labels = {f"label-{i}": {"name": f"Label {i}", "identifier": f"label-{i}",
                             "redComponent": i / 20, "greenComponent": 0.5,
                             "blueComponent": 1 - i / 20, "alphaComponent": 1.0,
                             "items": label_items[i]} for i in range(LABELS)}
    groups = {f"group-{i}": {"name": f"Group {i}", "identifier": f"group-{i}",
                             "items": [identifier(i * GROUP_SIZE + j) for j in range(GROUP_SIZE)]}
              for i in range(GROUPS)}
    return {"Files": {"name": "Zelvar", "items": items,
                      "folderURL": "file:///Users/someone/Library/Group%20Containers/Zelvar/Zelvar/"},
            "Labels": labels, "Groups": groups, "Searches": {},
            "Exporter": {"CFBundleIdentifier": "com.example.zelvar-importer",
                         "CFBundleVersion": "1", "CFBundleShortVersionString": "1.0"}}


def best_of(runs, action):
    best = float("inf")
    for _ in range(runs):
        start = time.process_time()
        result = action()
        best = min(best, time.process_time() - start)
    return best, result


def main():
    tree = metadata()
    write_time, data = best_of(3, lambda: plistlib.dumps(tree, fmt=plistlib.FMT_BINARY,
                                                         sort_keys=False))
    read_time, _ = best_of(3, lambda: plistlib.loads(data))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"plistlib binary write: {write_time * 1000:.0f} ms CPU, {len(data) / 2**20:.1f} MB")
    print(f"plistlib binary read:  {read_time * 1000:.0f} ms CPU")
    print(f"peak resident size:    {peak:.0f} MB")


if __name__ == "__main__":
    main()
