#!/usr/bin/env bash
# Times, on one generated snapshot: the dry run against a whole export; an export with --report
# against one without (the cost of hashing every written file again); and zelvar-verify on the
# finished export without hashing, hashing against the payloads (--library), and hashing against
# the report (--report), each with its MB/s beside sha256sum of the same files.
# Usage: bench/report_verify_benchmark.sh [ITEMS]   (default: 100000)
# ZV_BUILD names the folder holding the executables (default: build/bin); ZV_ROUNDS how often each
# is timed (default 3, the median counts); TMPDIR where everything is written (default /tmp).
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${ZV_BUILD:-build/bin}
rounds=${ZV_ROUNDS:-3}
items=${1:-100000}
for program in zelvar-export zelvar-verify; do
  if [[ ! -x $bin/$program ]]; then
    echo "report_verify_benchmark: $bin/$program is missing; build it first" >&2
    exit 2
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zelvar-report-benchmark.XXXXXX")
trap 'rm -rf "$work"' EXIT

# seconds COMMAND...: the wall-clock seconds the command took; its output is discarded, and a
# failure other than exit status 1 (zelvar-verify's "problems found") stops the script.
seconds() {
  local started ended status=0
  started=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/stderr" || status=$?
  ended=$(date +%s.%N)
  if [[ $status -ne 0 && $status -ne 1 ]]; then
    echo "report_verify_benchmark: $* failed ($status):" >&2
    tail -5 "$work/stderr" >&2
    exit 1
  fi
  echo "$ended - $started" | bc -l
}

# median LABEL COMMAND...: runs the command ZV_ROUNDS times and prints the median seconds.
median() {
  local label=$1 times=()
  shift
  for ((round = 0; round < rounds; round++)); do
    sync
    times+=("$(seconds "$@")")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p" >"$work/$label"
  printf '%-44s %8.2f s\n' "$label" "$(cat "$work/$label")"
}

rate() {  # rate BYTES SECONDS: MB/s
  echo "scale=1; $1 / 1000000 / $2" | bc -l
}

library="$work/library"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores, $rounds rounds, $items items"
python3 bench/generate_snapshot.py "$items" "$library"
sync

median "dry run" "$bin/zelvar-export" --library "$library" --container "$work/dry" --no-log \
  --dry-run
median "export" "$bin/zelvar-export" --library "$library" --container "$work/plain" --no-log
# Each round writes a new report; the one before is moved away, since a report never replaces one.
export_with_report() {
  rm -f "$work/report.jsonl"
  "$bin/zelvar-export" --library "$library" --container "$work/reported" --no-log \
    --report "$work/report.jsonl"
}
median "export --report" export_with_report

folder="$work/reported/Zelvar"
exported_bytes=$(du -sb --apparent-size "$folder/Zelvar" | cut -f1)
payload_bytes=$(du -sb --apparent-size "$library/payload" | cut -f1)
median "verify (no hashing)" "$bin/zelvar-verify" "$folder"
median "verify --report" "$bin/zelvar-verify" "$folder" --report "$work/report.jsonl"
median "verify --library" "$bin/zelvar-verify" "$folder" --library "$library"
hash_export() { find "$folder/Zelvar" -type f -print0 | xargs -0 sha256sum; }
hash_both() { find "$folder/Zelvar" "$library/payload" -type f -print0 | xargs -0 sha256sum; }
median "sha256sum of the exported files" hash_export
median "sha256sum of exported files and payloads" hash_both

echo
printf 'dry run / export: %.3f (target under 0.1)\n' \
  "$(echo "$(cat "$work/dry run") / $(cat "$work/export")" | bc -l)"
printf 'export --report / export: %.2f\n' \
  "$(echo "$(cat "$work/export --report") / $(cat "$work/export")" | bc -l)"
echo "exported files: $exported_bytes bytes; payloads: $payload_bytes bytes"
report_hashing=$(echo "$(cat "$work/verify --report") - $(cat "$work/verify (no hashing)")" | bc -l)
library_hashing=$(echo "$(cat "$work/verify --library") - $(cat "$work/verify (no hashing)")" | bc -l)
# The verifier's hashing rate is the bytes over the time it adds to the check without hashing.
echo "verify --report hashes $exported_bytes bytes in $report_hashing s more:" \
  "$(rate "$exported_bytes" "$report_hashing") MB/s;" \
  "sha256sum: $(rate "$exported_bytes" "$(cat "$work/sha256sum of the exported files")") MB/s"
echo "verify --library hashes $((exported_bytes + payload_bytes)) bytes in $library_hashing s more:" \
  "$(rate "$((exported_bytes + payload_bytes))" "$library_hashing") MB/s;" \
  "sha256sum: $(rate "$((exported_bytes + payload_bytes))" \
    "$(cat "$work/sha256sum of exported files and payloads")") MB/s"
