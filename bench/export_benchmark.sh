#!/usr/bin/env bash
# Times whole exports with zelvar-export on generated snapshots and compares each with a plain
# copy (cp -R) of the same payload files into one folder, measured in the same run: the two take
# turns, and each reports its median time with the range and its peak memory. One more export
# per size, with --verbose, tells how long each step took (load, each kind, collections,
# metadata); it is not part of the times compared.
# Usage: bench/export_benchmark.sh [ITEMS...]          (default: 10000 100000)
#        bench/export_benchmark.sh 10000 100000 1000000 (a million items: about 3 GB of payload
#                                                        per copy, and as many files)
# ZV_EXPORT names the executable (default: build/bin/zelvar-export); ZV_ROUNDS how often each
# is timed (default 3, the median counts); TMPDIR where everything is written (default /tmp).
# ZV_PAYLOAD_SIZE gives every payload that many bytes (default: 1 to 4 KB each).
# ZV_REMOVE_EACH_ROUND=1 removes each round's copy and export once both are timed, and each
# library once its size is done: for a file system with too few inodes for them all (a million
# items on tmpfs: TMPDIR=/dev/shm), and only where a deletion does not slow what follows.
# Besides wall time, each run's CPU time (user + system) is reported, which other work on the
# machine disturbs less, and below the table its user and system parts apart.
#
# Nothing is deleted until the end: on some file systems (ext4 without a journal, for one)
# creating files right after many were deleted is several times slower, which would charge
# whichever run came after a deletion. Leave a few minutes between two runs of this script.
set -euo pipefail
cd "$(dirname "$0")/.."

exporter=${ZV_EXPORT:-build/bin/zelvar-export}
rounds=${ZV_ROUNDS:-3}
sizes=("$@")
if [[ ${#sizes[@]} -eq 0 ]]; then
  sizes=(10000 100000)
fi
if [[ ! -x $exporter ]]; then
  echo "export_benchmark: $exporter is missing; build it first (cmake --build --preset default)" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zelvar-export-benchmark.XXXXXX")
trap 'rm -rf "$work"' EXIT

# measure OUT COMMAND...: runs the command; writes "seconds peak-RSS-KB CPU-seconds user-seconds
# system-seconds" to OUT.
measure() {
  local out=$1
  shift
  if [[ -x /usr/bin/time ]]; then
    /usr/bin/time -v -o "$out.raw" "$@" >/dev/null 2>"$out.stderr"
    awk -F': ' '
      /Elapsed \(wall clock\) time/ {
        n = split($2, p, ":"); s = 0
        for (i = 1; i <= n; i++) s = s * 60 + p[i]
      }
      /Maximum resident set size/ { rss = $2 }
      /User time \(seconds\)/ { user = $2 }
      /System time \(seconds\)/ { kernel = $2 }
      END { printf "%.2f %d %.2f %.2f %.2f\n", s, rss, user + kernel, user, kernel }' "$out.raw" >"$out"
  else
    python3 - "$out" "$@" <<'PY'
import resource, subprocess, sys, time
start = time.monotonic()
subprocess.run(sys.argv[2:], check=True, stdout=subprocess.DEVNULL,
               stderr=open(sys.argv[1] + ".stderr", "w"))
seconds = time.monotonic() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
open(sys.argv[1], "w").write("%.2f %d %.2f %.2f %.2f\n" % (
    seconds, usage.ru_maxrss, usage.ru_utime + usage.ru_stime, usage.ru_utime, usage.ru_stime))
PY
  fi
}

# median_field N FILES...: the median of field N over the files.
median_field() {
  local field=$1
  shift
  cut -d' ' -f"$field" "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# median FILES...: the median, the smallest and the largest of the first field of the files
# (seconds), the largest second field (peak RSS) and the median of the third (CPU seconds).
median() {
  local cpu
  cpu=$(median_field 3 "$@")
  cat "$@" | sort -n | awk -v cpu="$cpu" '{ s[NR] = $1; if ($2 > rss) rss = $2 }
    END { printf "%s %s %s %d %s\n", s[int((NR + 1) / 2)], s[1], s[NR], rss, cpu }'
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores, $rounds rounds"
results=()
steps=()
for items in "${sizes[@]}"; do
  library="$work/library-$items"
  echo "generating $items items..." >&2
  python3 bench/generate_snapshot.py "$items" "$library" ${ZV_PAYLOAD_SIZE:+--payload-size "$ZV_PAYLOAD_SIZE"}
  payload_files=$(find "$library/payload" -type f | wc -l)
  payload_kb=$(du -sk "$library/payload" | cut -f1)
  sync

  # Copy and export take turns, each round into new folders and which goes first alternating,
  # so neither runs on a warmer cache or a fresher disk than the other. What the one before
  # left to write back is written before the next is timed.
  copy() {
    mkdir "$work/copy-$items-$round"
    sync
    measure "$work/copy-$items-$round.time" cp -R "$library/payload/." "$work/copy-$items-$round/"
  }
  export_library() {
    sync
    measure "$work/export-$items-$round.time" "$exporter" --library "$library" \
      --container "$work/container-$items-$round"
  }
  exported=
  for round in $(seq "$rounds"); do
    if ((round % 2)); then
      copy
      export_library
    else
      export_library
      copy
    fi
    if [[ -z $exported ]]; then
      exported=$(find "$work/container-$items-$round/Zelvar/Zelvar" -type f | wc -l)
      tail -n 1 "$work/export-$items-$round.time.stderr" >&2
    fi
    if [[ -n ${ZV_REMOVE_EACH_ROUND:-} ]]; then
      rm -rf "$work/copy-$items-$round" "$work/container-$items-$round"
    fi
  done

  read -r export_seconds export_low export_high export_kb export_cpu \
    < <(median "$work/export-$items-"[0-9]*.time)
  read -r copy_seconds copy_low copy_high copy_kb copy_cpu < <(median "$work/copy-$items-"[0-9]*.time)
  echo "  export: $(cut -d' ' -f1 "$work/export-$items-"[0-9]*.time | tr '\n' ' ')s;" \
    "copy: $(cut -d' ' -f1 "$work/copy-$items-"[0-9]*.time | tr '\n' ' ')s" >&2
  # Each round's ratio, export over the copy of the same round.
  ratios=$(paste -d' ' <(cat "$work/export-$items-"[0-9]*.time) <(cat "$work/copy-$items-"[0-9]*.time) |
    awk '{ if ($4 > 0) printf "%.2f ", $1 / $4 }')
  echo "  ratio per round: $ratios" >&2

  sync
  "$exporter" --library "$library" --container "$work/container-$items-verbose" --verbose \
    >/dev/null 2>"$work/verbose-$items.stderr"
  steps+=("$items: $(grep '^time: ' "$work/verbose-$items.stderr" | sed 's/^time: //' |
    paste -sd, - | sed 's/,/, /g')")
  if [[ -n ${ZV_REMOVE_EACH_ROUND:-} ]]; then
    rm -rf "$work/container-$items-verbose" "$library"
  fi
  results+=("$items $payload_files $payload_kb $exported $export_seconds $export_low $export_high $export_kb $export_cpu $copy_seconds $copy_low $copy_high $copy_kb $copy_cpu")
done

echo
printf '%8s %8s %9s %9s %20s %7s %8s %20s %7s %8s %6s\n' items payloads "payload MB" exported \
  "export s (range)" "CPU s" "RSS MB" "copy s (range)" "CPU s" "RSS MB" ratio
for row in "${results[@]}"; do
  read -r items files kb exported seconds low high rss cpu copy copy_low copy_high copy_rss \
    copy_cpu <<<"$row"
  awk -v i="$items" -v f="$files" -v kb="$kb" -v e="$exported" -v s="$seconds" -v sl="$low" \
    -v sh="$high" -v r="$rss" -v u="$cpu" -v c="$copy" -v cl="$copy_low" -v ch="$copy_high" \
    -v cr="$copy_rss" -v cu="$copy_cpu" 'BEGIN {
      printf "%8d %8d %9.1f %9d %8.2f (%.2f-%.2f) %7.2f %8.1f %8.2f (%.2f-%.2f) %7.2f %8.1f %6.2f\n",
        i, f, kb / 1024, e, s, sl, sh, u, r / 1024, c, cl, ch, cu, cr / 1024, (c > 0 ? s / c : 0) }'
done
# User and system time apart: the program's own work and the kernel's grow differently.
echo
echo "user and system CPU seconds (medians):"
for row in "${results[@]}"; do
  read -r items _ <<<"$row"
  echo "  $items: export $(median_field 4 "$work/export-$items-"[0-9]*.time) +" \
    "$(median_field 5 "$work/export-$items-"[0-9]*.time), copy" \
    "$(median_field 4 "$work/copy-$items-"[0-9]*.time) + $(median_field 5 "$work/copy-$items-"[0-9]*.time)"
done
echo
echo "steps of one more export with --verbose (seconds):"
printf '  %s\n' "${steps[@]}"
if [[ ${#results[@]} -ge 2 ]]; then
  read -r small_items _ _ _ small_seconds _ _ _ small_cpu small_copy _ _ _ small_copy_cpu \
    <<<"${results[0]}"
  read -r large_items _ _ _ large_seconds _ _ _ large_cpu large_copy _ _ _ large_copy_cpu \
    <<<"${results[-1]}"
  awk -v a="$small_items" -v b="$large_items" -v s="$small_seconds" -v l="$large_seconds" \
    -v su="$small_cpu" -v lu="$large_cpu" -v sc="$small_copy" -v lc="$large_copy" \
    -v scu="$small_copy_cpu" -v lcu="$large_copy_cpu" 'BEGIN {
      if (s > 0 && su > 0) printf "\ngrowth: %d items take %.1f times as long as %d (CPU %.1f times)\n", b, l / s, a, lu / su
      if (sc > 0 && scu > 0) printf "        the copy %.1f times as long (CPU %.1f times)\n", lc / sc, lcu / scu }'
fi
echo "(times are medians of $rounds rounds; peak RSS the largest)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
