# What the download benchmarks share: sourced by the scripts beside it.

# The median of the numbers on standard input, one a line.
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# One timed download into $work/dl/out.bin: prints "wall cpu rss_kb"; a
# failing command or a file of the wrong size stops the benchmark.
timed() {
    local name=$1 out="$work/dl/out.bin" times
    shift
    rm -rf "$work/dl" && mkdir -p "$work/dl"
    if ! times=$(/usr/bin/time -f '%e %U %S %M' "$@" 2>&1 >/dev/null); then
        echo "FAILED: $name: $*" >&2; echo "$times" | tail -5 >&2; exit 1
    fi
    local got; got=$(stat -c %s "$out" 2>/dev/null || echo 0)
    [[ $got -eq $size ]] || { echo "FAILED: $name wrote $got bytes, want $size" >&2; exit 1; }
    tail -1 <<<"$times" | awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}'
}
check_content() {
    [[ $(openssl dgst -sha1 -r "$work/dl/out.bin" | cut -d' ' -f1) == "$want_sha1" ]] ||
        { echo "FAILED: $1 wrote different bytes" >&2; exit 1; }
}
