#!/usr/bin/env bash
# Package verification speed: the verification's MD5 loop (pf_verify_speed)
# over the package's files next to `openssl md5` over the same files,
# alternating in one run, the files in the page cache. Prints each run, the
# medians and the throughput ratio ours/openssl (at least 0.95 is the goal).
#
#   bench/md5_speed.sh [build-dir] [FILE...]   (default: build; files: four
#                                               made from the demo package's
#                                               names, SIZE_MB in all)
# Environment: RUNS (default 5), SIZE_MB (default 2048), WORK (default a temp dir).
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=$(cd "${1:-build}" && pwd)
shift || true
runs=${RUNS:-5}
size_mb=${SIZE_MB:-2048}
prog="$build/bench/pf_verify_speed"
[[ -x $prog ]] || { echo "missing $prog (build with -DPF_BENCH=ON)" >&2; exit 1; }

work=${WORK:-$(mktemp -d)}
trap '[[ -z ${WORK:-} ]] && rm -rf "$work"' EXIT
files=("$@")
if ((${#files[@]} == 0)); then
    # Four files in the package's proportions: a small installer and three archives.
    mkdir -p "$work/package"
    sizes=(3 $((size_mb * 30 / 100)) $((size_mb * 35 / 100)) $((size_mb - 3 - size_mb * 65 / 100)))
    names=(Setup156.exe Data156.zip Data15601.cab Data15602.cab)
    for i in 0 1 2 3; do
        file="$work/package/${names[i]}"
        files+=("$file")
        [[ -f $file && $(stat -c %s "$file") -eq $((sizes[i] * 1048576)) ]] && continue
        echo "# writing ${sizes[i]} MiB to ${names[i]}" >&2
        # openssl ends on a broken pipe once head has its bytes; the size tells.
        { openssl enc -aes-128-ctr -pass "pass:pelicanfetch-${names[i]}" -nosalt -pbkdf2 -in /dev/zero 2>/dev/null ||
            true; } | head -c $((sizes[i] * 1048576)) > "$file"
        [[ $(stat -c %s "$file") -eq $((sizes[i] * 1048576)) ]] || { echo "could not write $file" >&2; exit 1; }
    done
fi
total=$(stat -c %s "${files[@]}" | awk '{s += $1} END {print s}')
cat "${files[@]}" > /dev/null  # into the page cache

seconds() {  # elapsed seconds of one command; a failing command stops the run
    local out
    out=$(/usr/bin/time -f '%e' "$@" 2>&1 >/dev/null) || { echo "failed: $*" >&2; exit 1; }
    tail -1 <<<"$out"
}

# Both must agree on every digest before they are timed.
diff <("$prog" "${files[@]}" | cut -d' ' -f1) \
     <(openssl md5 -r "${files[@]}" | cut -d' ' -f1) >/dev/null || { echo "the digests differ" >&2; exit 1; }

echo "# $(openssl version); $(nproc) CPUs; load before: $(cut -d' ' -f1-3 /proc/loadavg); $runs runs; $((total / 1048576)) MiB in ${#files[@]} files"
ours=() ossl=()
for ((i = 0; i < runs; i++)); do
    ours+=("$(seconds "$prog" "${files[@]}")")
    ossl+=("$(seconds openssl md5 "${files[@]}")")
done
m_ours=$(printf '%s\n' "${ours[@]}" | median)
m_ossl=$(printf '%s\n' "${ossl[@]}" | median)
printf 'verification  s: %s  median %s\n' "${ours[*]}" "$m_ours"
printf 'openssl md5   s: %s  median %s\n' "${ossl[*]}" "$m_ossl"
awk -v a="$m_ours" -v b="$m_ossl" -v t="$total" 'BEGIN {
    printf "throughput ours %.0f MB/s, openssl %.0f MB/s; ratio ours/openssl %.3f\n", t / a / 1e6, t / b / 1e6, b / a }'
