#!/usr/bin/env python3
"""Keyed archives in the shape the platform's archiver writes them, built with plistlib alone.

  keyed_archive_samples.py write FOLDER   writes one binary .plist file per sample into FOLDER
  keyed_archive_samples.py show FILE...   checks each file's archive structure and prints its root
                                          object as one line of JSON; exits 1 when malformed
"""

import json
import plistlib
import sys
from plistlib import UID

CHAINS = {
    "NSArray": ["NSArray", "NSObject"],
    "NSMutableArray": ["NSMutableArray", "NSArray", "NSObject"],
    "NSDictionary": ["NSDictionary", "NSObject"],
    "NSMutableDictionary": ["NSMutableDictionary", "NSDictionary", "NSObject"],
    "NSMutableString": ["NSMutableString", "NSString", "NSObject"],
    "NSMutableData": ["NSMutableData", "NSData", "NSObject"],
    "NSDate": ["NSDate", "NSObject"],
    "NSNull": ["NSNull", "NSObject"],
    "ZVTestPoint": ["ZVTestPoint", "NSObject"],
}


class Archive:
    """Appends objects as the platform does: "$null" first, class records shared."""

    def __init__(self):
        self.objects = ["$null"]
        self.class_uids = {}

    def add(self, value):
        self.objects.append(value)
        return UID(len(self.objects) - 1)

    def klass(self, name):
        if name not in self.class_uids:
            self.class_uids[name] = self.add({"$classes": CHAINS[name], "$classname": name})
        return self.class_uids[name]

    def record(self, name, **fields):
        uid = self.add(None)
        fields["$class"] = self.klass(name)
        self.objects[uid.data] = fields
        return uid

    def array(self, uids, name="NSArray"):
        return self.record(name, **{"NS.objects": list(uids)})

    def dictionary(self, pairs, name="NSDictionary"):
        keys = [self.add(key) for key, _ in pairs]
        return self.record(name, **{"NS.keys": keys, "NS.objects": [uid for _, uid in pairs]})

    def bytes(self, root):
        return plistlib.dumps(
            {"$version": 100000, "$archiver": "NSKeyedArchiver", "$top": {"root": root},
             "$objects": self.objects},
            fmt=plistlib.FMT_BINARY, sort_keys=False)


def inline_string():
    archive = Archive()
    return archive.bytes(archive.add("caf\u00e9 \U0001F600"))


def every_built_in():
    archive = Archive()
    elements = [
        archive.add("text"),
        archive.add(-42),
        archive.add(0.25),
        archive.add(True),
        archive.add(b"\x00\x01\xff"),
        archive.record("NSDate", **{"NS.time": 86400.5}),
        archive.record("NSNull"),
        archive.record("NSMutableString", **{"NS.string": "mutable"}),
        archive.record("NSMutableData", **{"NS.data": b"\x07"}),
    ]
    return archive.bytes(archive.array(elements, "NSMutableArray"))


def nested_dictionary():
    archive = Archive()
    inner = archive.array([archive.add(1), archive.add(2)])
    root = archive.dictionary([("name", archive.add("Zelvar")), ("list", inner)],
                              "NSMutableDictionary")
    return archive.bytes(root)


def shared_element():
    archive = Archive()
    shared = archive.record("NSMutableString", **{"NS.string": "once"})
    return archive.bytes(archive.array([shared, shared]))


def custom_objects():
    archive = Archive()
    first = archive.record("ZVTestPoint", x=3, y=1.5, label=archive.add("first"), next=UID(0))
    second = archive.record("ZVTestPoint", x=-7, y=0.0, label=archive.add("second"), next=first)
    return archive.bytes(archive.array([second, first]))


SAMPLES = {
    "inline_string": inline_string,
    "every_built_in": every_built_in,
    "nested_dictionary": nested_dictionary,
    "shared_element": shared_element,
    "custom_objects": custom_objects,
}


def fail(message):
    print(message)
    sys.exit(1)


def show(path):
    with open(path, "rb") as stream:
        archive = plistlib.load(stream)
    if archive.get("$archiver") != "NSKeyedArchiver" or archive.get("$version") != 100000:
        fail("bad $archiver or $version")
    objects = archive.get("$objects")
    if not isinstance(objects, list) or not objects or objects[0] != "$null":
        fail("$objects does not start with $null")

    def resolve(uid, depth=0):
        if not isinstance(uid, UID) or uid.data >= len(objects) or depth > 100:
            fail("bad reference")
        if uid.data == 0:
            return None
        value = objects[uid.data]
        if not isinstance(value, dict):
            return value.hex() if isinstance(value, bytes) else value
        record = objects[value["$class"].data]
        name = record["$classname"]
        if record["$classes"] != CHAINS.get(name, [name, "NSObject"]):
            fail("unexpected class chain for " + name)
        if name in ("NSArray", "NSMutableArray"):
            return [resolve(element, depth + 1) for element in value["NS.objects"]]
        if name in ("NSDictionary", "NSMutableDictionary"):
            keys = [resolve(key, depth + 1) for key in value["NS.keys"]]
            values = [resolve(item, depth + 1) for item in value["NS.objects"]]
            return dict(zip(keys, values))
        fields = {"$": name}
        for key, field in value.items():
            if key != "$class":
                field = resolve(field, depth + 1) if isinstance(field, UID) else field
                fields[key] = field.hex() if isinstance(field, bytes) else field
        return fields

    print(json.dumps(resolve(archive["$top"]["root"]), sort_keys=True, ensure_ascii=True))


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("write", "show"):
        fail(__doc__)
    if sys.argv[1] == "show":
        for path in sys.argv[2:]:
            show(path)
        return
    for name, build in SAMPLES.items():
        with open(f"{sys.argv[2]}/{name}.plist", "wb") as stream:
            stream.write(build())


if __name__ == "__main__":
    main()
