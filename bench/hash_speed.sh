#!/usr/bin/env bash
# SHA-1 and MD5 throughput of our hashing next to `openssl speed`, run
# alternately in one session; prints the medians and the ratio ours/openssl.
#
#   bench/hash_speed.sh [build-dir]     (default: build)
# Environment: RUNS (default 5), SECONDS_PER_RUN (default 3), BYTES (default 16384).
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=${1:-build}
runs=${RUNS:-5}
secs=${SECONDS_PER_RUN:-3}
bytes=${BYTES:-16384}
prog="$build/bench/pf_hash_speed"
[[ -x $prog ]] || { echo "missing $prog (build with -DPF_BENCH=ON)" >&2; exit 1; }
command -v openssl >/dev/null || { echo "openssl not found" >&2; exit 1; }

echo "# $(openssl version); $(nproc) CPUs; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "# $runs runs x ${secs}s, ${bytes}-byte blocks, MB/s (10^6 B/s) by CPU time"
printf '%-5s %-8s %s\n' algo tool 'runs (MB/s)'
for algo in sha1 md5; do
    ours=() ref=()
    for ((i = 0; i < runs; i++)); do
        ours+=("$("$prog" "$algo" "$secs" "$bytes" | awk '{print $3}')")
        ref+=("$(openssl speed -mr -seconds "$secs" -bytes "$bytes" -evp "$algo" 2>/dev/null |
                 awk -F: '/^\+F:/ {printf "%.1f", $4 / 1e6}')")
    done
    printf '%-5s %-8s %s\n' "$algo" ours "${ours[*]}" "$algo" openssl "${ref[*]}"
    m_ours=$(printf '%s\n' "${ours[@]}" | median)
    m_ref=$(printf '%s\n' "${ref[@]}" | median)
    eval "med_${algo}_ours=$m_ours med_${algo}_ref=$m_ref"
done
echo "# load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
printf '%-5s %12s %14s %8s\n' algo 'ours MB/s' 'openssl MB/s' ratio
for algo in sha1 md5; do
    o=med_${algo}_ours r=med_${algo}_ref
    awk -v a="$algo" -v o="${!o}" -v r="${!r}" 'BEGIN {printf "%-5s %12.1f %14.1f %8.3f\n", a, o, r, o / r}'
done
