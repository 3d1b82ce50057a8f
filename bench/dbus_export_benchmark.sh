#!/usr/bin/env bash
# Times a whole export of a generated library read from zelvar-sim over a private session bus
# against the same library read directly, and prints both medians and their ratio.
# Usage: bench/dbus_export_benchmark.sh [ITEMS] [ROUNDS]   (default: 10000 items, 3 rounds)
# TMPDIR says where everything is written (default /tmp); it is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

items=${1:-10000}
rounds=${2:-3}
for program in build/bin/zelvar-sim build/bin/zelvar-dbus-export-benchmark; do
  if [[ ! -x $program ]]; then
    echo "dbus_export_benchmark: $program is missing; build it first" >&2
    exit 2
  fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/zelvar-dbus-benchmark.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 bench/generate_snapshot.py "$items" "$work/library" >/dev/null
mkdir "$work/exports"
build/bin/zelvar-dbus-export-benchmark "$PWD/build/bin/zelvar-sim" "$work/library" \
  "$work/exports" "$rounds"
