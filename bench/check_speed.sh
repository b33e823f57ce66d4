#!/usr/bin/env bash
# Start-up check speed: `pftool check` of one 2 GiB file with 2 MiB pieces
# (data in the page cache) next to `openssl dgst -sha1` over the same file and
# `aria2c --check-integrity` on the same torrent, alternating in one run.
# Prints each run, the medians, the ratios and pftool's peak memory.
#
#   bench/check_speed.sh [build-dir]    (default: build)
# Environment: RUNS (default 5), SIZE_MB (default 2048), WORK (default a temp dir).
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-5}
size_mb=${SIZE_MB:-2048}
pftool="$build/tools/pftool"
[[ -x $pftool ]] || { echo "missing $pftool" >&2; exit 1; }
command -v aria2c >/dev/null || { echo "installing aria2" >&2; apt-get install -y -qq aria2 >/dev/null; }

work=${WORK:-$(mktemp -d)}
trap '[[ -z ${WORK:-} ]] && rm -rf "$work"' EXIT
mkdir -p "$work/data"
file="$work/data/payload.bin"
if [[ ! -f $file || $(stat -c %s "$file") -ne $((size_mb * 1048576)) ]]; then
    echo "# writing ${size_mb} MiB of test data" >&2
    openssl enc -aes-128-ctr -pass pass:pelicanfetch -nosalt -pbkdf2 -in /dev/zero 2>/dev/null |
        head -c $((size_mb * 1048576)) > "$file"
fi
"$pftool" make-torrent --piece-length 2097152 --announce http://127.0.0.1:1/announce \
    -o "$work/payload.torrent" "$file" >/dev/null
cat "$file" > /dev/null  # into the page cache

# Elapsed seconds and peak RSS (KB) of one command; a failing command stops the run.
seconds() {
    local out
    out=$(/usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null) || { echo "failed: $*" >&2; exit 1; }
    tail -1 <<<"$out"
}

echo "# $(nproc) CPUs; load before: $(cut -d' ' -f1-3 /proc/loadavg); $runs runs; ${size_mb} MiB, 2 MiB pieces"
ours=() ossl=() aria=() rss=()
for ((i = 0; i < runs; i++)); do
    read -r t m < <(seconds "$pftool" check "$work/payload.torrent" "$work/data")
    ours+=("$t"); rss+=("$m")
    read -r t _ < <(seconds openssl dgst -sha1 "$file")
    ossl+=("$t")
    read -r t _ < <(seconds aria2c --check-integrity=true --hash-check-only=true \
        --enable-dht=false --bt-enable-lpd=false --enable-peer-exchange=false --quiet=true \
        -d "$work/data" "$work/payload.torrent")
    aria+=("$t")
done
m_ours=$(printf '%s\n' "${ours[@]}" | median)
m_ossl=$(printf '%s\n' "${ossl[@]}" | median)
m_aria=$(printf '%s\n' "${aria[@]}" | median)
m_rss=$(printf '%s\n' "${rss[@]}" | sort -g | tail -1)
printf 'pftool check   s: %s  median %s  peak RSS %s KB\n' "${ours[*]}" "$m_ours" "$m_rss"
printf 'openssl sha1   s: %s  median %s\n' "${ossl[*]}" "$m_ossl"
printf 'aria2c check   s: %s  median %s\n' "${aria[*]}" "$m_aria"
awk -v a="$m_ours" -v b="$m_ossl" -v c="$m_aria" \
    'BEGIN {printf "ratio pftool/openssl %.2f   pftool/aria2c %.2f\n", a / b, a / c}'
