#!/usr/bin/env python3
"""Writes a synthetic library snapshot for export benchmarks.

Usage: generate_snapshot.py ITEMS FOLDER [--seed N] [--labels N] [--collections N]
                            [--collection-size N] [--payload-size BYTES]

Each item gets a payload of 1 to 4 KB, or of the given size (a million items with payloads of a
few bytes take about three minutes, mostly creating the files). Most items share one of a handful
of names, so that making file names unique is exercised hard; half the items carry one of the labels, and the folder
collections each list a random sample of items. The same arguments always give the same snapshot.
"""
import argparse
import json
import os
import random

# Kind, share of the items, payload extension.
KINDS = [
    ("note", 0.55, "rtf"),
    ("serialNumber", 0.05, "rtf"),
    ("password", 0.05, "rtf"),
    ("bookmark", 0.05, None),
    ("image", 0.10, "png"),
    ("pdfArchive", 0.10, "pdf"),
    ("webArchive", 0.10, "webarchive"),
]
SHARED_NAMES = ["Meeting notes", "Untitled", "Receipt", "Invoice 2023", "Photo"]
SHARED_NAME_SHARE = 0.8
TAGS = ["tag%d" % i for i in range(50)]


def generate(items, folder, seed, label_count, collection_count, collection_size, payload_size):
    rng = random.Random(seed)
    payload_folder = os.path.join(folder, "payload")
    os.makedirs(payload_folder, exist_ok=True)

    labels = [{"id": "L%d" % i, "name": "Label %d" % i,
               "color": [rng.random(), rng.random(), rng.random()]}
              for i in range(label_count)]

    kinds = [kind for kind, _, _ in KINDS]
    weights = [share for _, share, _ in KINDS]
    extensions = {kind: extension for kind, _, extension in KINDS}

    def describe_item(index):
        kind = rng.choices(kinds, weights)[0]
        identifier = "I%d" % index
        if rng.random() < SHARED_NAME_SHARE:
            name = rng.choice(SHARED_NAMES)
        else:
            name = "Item %d" % index
        item = {"kind": kind, "id": identifier, "name": name,
                "tags": rng.sample(TAGS, rng.randint(0, 3))}
        if kind == "note" and rng.random() < 0.05:
            item["encrypted"] = True
        if labels and rng.random() < 0.5:
            item["label"] = rng.choice(labels)["id"]
        if kind == "bookmark":
            item["location"] = "https://example.org/page/%d" % index
        else:
            file_name = "%s.%s" % (identifier, extensions[kind])
            size = payload_size if payload_size is not None else rng.randint(1024, 4096)
            with open(os.path.join(payload_folder, file_name), "wb") as payload:
                payload.write(rng.randbytes(size))
            item["file"] = "payload/" + file_name
        return item

    # Items are the bulk: they are written as they are made, so that a million of them do not
    # have to be held at once.
    collections = [{"id": "F%d" % i, "name": "Folder %d" % i,
                    "items": ["I%d" % index
                              for index in rng.sample(range(items), min(collection_size, items))]}
                   for i in range(collection_count)]
    tag_collections = [{"id": "T%d" % i, "name": "Search %d" % i,
                        "tags": rng.sample(TAGS, 2), "behavior": "TgAl" if i % 2 else "TgAn"}
                       for i in range(10)]
    header = {
        "format": 1,
        "application": {"bundleIdentifier": "org.example.zelvar", "version": "1.4.2"},
        "labels": labels,
        "folderCollections": collections,
        "tagCollections": tag_collections,
    }
    with open(os.path.join(folder, "library.json"), "w", encoding="utf-8") as description:
        description.write(json.dumps(header)[:-1] + ', "items": [')
        for index in range(items):
            if index:
                description.write(", ")
            description.write(json.dumps(describe_item(index)))
        description.write("]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("items", type=int)
    parser.add_argument("folder")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--labels", type=int, default=1000)
    parser.add_argument("--collections", type=int, default=1000)
    parser.add_argument("--collection-size", type=int, default=100)
    parser.add_argument("--payload-size", type=int, default=None)
    arguments = parser.parse_args()
    generate(arguments.items, arguments.folder, arguments.seed, arguments.labels,
             arguments.collections, arguments.collection_size, arguments.payload_size)


if __name__ == "__main__":
    main()
