#!/usr/bin/env python3
"""Checks our property lists against Python's plistlib, an independent implementation.

  plist_interop.py verify binary|xml FILE   exit 0 when plistlib reads FILE as the sample
  plist_interop.py write binary|xml FILE    write the sample with plistlib

The sample must stay equal to the one in platform/property_list_interop_test.cpp.
"""
import datetime
import plistlib
import sys

DEEP_NESTING = 400


def sample(fmt):
    deep = ["deep"]
    for _ in range(DEEP_NESTING - 1):
        deep = [deep]
    value = {
        "ascii": "Zelvar Importer",
        "non-ascii": "caf\u00e9 \u65e5\u672c",
        "astral \U0001F600": "emoji \U0001F600\U0001F44D\U0001F3FD",
        "markup": "a & b < c > d \"e\" 'f'",
        "empty string": "",
        "long string": "x" * 300,
        "integers": [0, 1, 255, 256, 65535, 65536, 2**32 - 1, 2**32, -1, -(2**63), 2**63 - 1,
                     2**63, 2**64 - 1],
        "reals": [0.1, -2.5, 1e300, float("inf")],
        "booleans": [True, False],
        # Naive dates: plistlib reads and writes them as UTC.
        "dates": [datetime.datetime(2024, 2, 29, 12, 34, 56),
                  datetime.datetime(1969, 7, 20, 20, 17, 40),
                  datetime.datetime(2001, 1, 1)],
        "data": [b"", bytes(range(256))],
        "empty array": [],
        "empty dictionary": {},
        "many": list(range(300)),
        "deep": deep,
    }
    if fmt == "binary":
        value["uids"] = [plistlib.UID(0), plistlib.UID(300), plistlib.UID(2**32)]
    return value


def same(a, b, path="root"):
    """Equality that also checks types (Python's True == 1 would hide a mistake)."""
    if type(a) is not type(b):
        return f"{path}: {type(a).__name__} != {type(b).__name__}"
    if isinstance(a, dict):
        if list(a) != list(b):
            return f"{path}: keys {list(a)!r} != {list(b)!r}"
        for key in a:
            problem = same(a[key], b[key], f"{path}[{key!r}]")
            if problem:
                return problem
        return None
    if isinstance(a, list):
        if len(a) != len(b):
            return f"{path}: {len(a)} elements != {len(b)}"
        for i, (x, y) in enumerate(zip(a, b)):
            problem = same(x, y, f"{path}[{i}]")
            if problem:
                return problem
        return None
    return None if a == b else f"{path}: {a!r} != {b!r}"


def main():
    sys.setrecursionlimit(10000)
    action, fmt, path = sys.argv[1:4]
    plist_format = plistlib.FMT_BINARY if fmt == "binary" else plistlib.FMT_XML
    if action == "write":
        with open(path, "wb") as file:
            plistlib.dump(sample(fmt), file, fmt=plist_format, sort_keys=False)
        return 0
    with open(path, "rb") as file:
        loaded = plistlib.load(file, fmt=plist_format)
    problem = same(loaded, sample(fmt))
    if problem:
        print(problem, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
