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

# Times one download (`name`, run number `i`) and adds its figures to the
# caller's wall, cpu and rss arrays; the first run's bytes are checked.
record_run() {
    local i=$1 name=$2 w c m
    shift 2
    read -r w c m < <(timed "$name" "$@")
    [[ -n ${w:-} ]] || exit 1
    [[ $i -eq 1 ]] && check_content "$name"
    printf 'run %d  %-12s %7.2f s  cpu %6.2f s  rss %7d KB\n' "$i" "$name" "$w" "$c" "$m"
    wall[$name]+="$w "; cpu[$name]+="$c "; rss[$name]+="$m "
}

# Prints each of `names`' median wall and CPU time, throughput and peak RSS,
# and keeps the medians in the caller's med_wall and med_cpu arrays.
print_medians() {
    local name mc peak
    echo "# medians"
    for name in "${names[@]}"; do
        med_wall[$name]=$(tr ' ' '\n' <<<"${wall[$name]}" | grep . | median)
        mc=$(tr ' ' '\n' <<<"${cpu[$name]}" | grep . | median)
        med_cpu[$name]=$mc
        peak=$(tr ' ' '\n' <<<"${rss[$name]}" | grep . | sort -g | tail -1)
        awk -v n="$name" -v w="${med_wall[$name]}" -v c="$mc" -v m="$peak" -v mb="$size_mb" \
            'BEGIN {printf "%-12s %7.2f s  %7.0f MB/s  cpu %6.2f s (%.2f s/GiB)  peak rss %d KB\n", n, w, mb * 1.048576 / w, c, c * 1024 / mb, m}'
    done
}
