#!/usr/bin/env bash
# Whole-package download speed: pelicanfetch, built for the full package
# (12 GB in four files), downloads it from the loopback servers, next to aria2c
# fetching the same four files from the same two HTTP servers; the two take
# turns within one run. Prints each run, the medians and the ratios of wall
# time, CPU seconds per GiB (user + system) and peak RSS.
#
# What each side gets (scripts/package-servers starts the servers):
#   pelicanfetch  what the build embeds: the resource list over HTTPS, the
#                 download server (18080) and the mirror (18081) over HTTP, and
#                 the seeder on 127.0.0.2 over BitTorrent through the tracker;
#                 it runs headless, presses Start at once and exits as soon as
#                 the four files are downloaded (its MD5 verification after that
#                 is not timed).
#   aria2c        both HTTP addresses of each file (download server and mirror)
#                 as split sources, the four files at once (ARIA_OPTS, default
#                 -j4 -s4 -x2: four connections a file, two to each server); no
#                 BitTorrent and no integrity check.
# Both write to the same disk; the content is served from the same files. Each
# side's download is checked (size and MD5) and deleted after it is measured,
# outside the timing.
#
#   bench/package_speed.sh
# Environment:
#   BUILD_DIR  build of the full package (default build-full; configured and
#              built with -j JOBS, default 1, when pelicanfetch is missing there)
#   RUNS       default 1 (a run takes minutes)
#   WORK       default a new temp dir, removed afterwards
#   CONTENT    the package's files (default WORK/content; made when missing)
#   ARIA_OPTS  aria2c's connection options (default "-j4 -s4 -x2")
#   TIMEOUT    seconds either side may take (default 3600)
#   VERIFY     0 skips the MD5 check of the downloads (default 1)
#   SIDES      which sides run (default "pelicanfetch aria2c")
#   PFTOOL     the seeders' pftool (default BUILD_DIR/tools/pftool)
# Needs free disk for the content (when it is made) plus one download.
# Traffic stays on loopback.
set -euo pipefail
source "$(dirname "$0")/common.sh"

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$repo/build-full}
runs=${RUNS:-1}
aria_opts=${ARIA_OPTS:--j4 -s4 -x2}
limit=${TIMEOUT:-3600}
verify=${VERIFY:-1}
read -r -a sides <<<"${SIDES:-pelicanfetch aria2c}"
has_side() { [[ " ${sides[*]} " == *" $1 "* ]]; }
names=(Setup156.exe Data156.zip Data15601.cab Data15602.cab)
ini=$repo/packages/full/package.ini
mapfile -t sizes < <(sed -n 's/^size = //p' "$ini")
mapfile -t md5s < <(sed -n 's/^md5 = //p' "$ini")
total=$((sizes[0] + sizes[1] + sizes[2] + sizes[3]))

command -v aria2c >/dev/null || { echo "installing aria2" >&2; apt-get install -y -qq aria2 >/dev/null; }
[[ -x /usr/bin/time ]] || { echo "installing time" >&2; apt-get install -y -qq time >/dev/null; }

# The application and pftool (the seeders), built for the full package.
pftool=${PFTOOL:-$build/tools/pftool}
find_app() { find "$build" -name pelicanfetch -type f -perm -u+x 2>/dev/null | head -1; }
app=
[[ -d $build ]] && app=$(find_app)
if { has_side pelicanfetch && [[ -z $app ]]; } || [[ ! -x $pftool ]]; then
    echo "# building pelicanfetch and pftool for the full package in $build" >&2
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPF_PACKAGE=full \
        -DPF_TESTS=OFF -DPF_BENCH=OFF >/dev/null
    targets=(pftool)
    has_side pelicanfetch && targets+=(pelicanfetch)
    cmake --build "$build" -j "${JOBS:-1}" --target "${targets[@]}"
    app=$(find_app)
fi
if has_side pelicanfetch; then
    [[ -n $app ]] || { echo "no pelicanfetch in $build" >&2; exit 1; }
    grep -q '^PF_PACKAGE:STRING=full$' "$build/CMakeCache.txt" ||
        { echo "$build is not a build of the full package (PF_PACKAGE)" >&2; exit 1; }
fi

temp_work=
if [[ -z ${WORK:-} ]]; then
    temp_work=$(mktemp -d -t package-speed.XXXXXX)
    work=$temp_work
else
    mkdir -p "$WORK"
    work=$(cd "$WORK" && pwd)
fi
content=${CONTENT:-$work/content}
mkdir -p "$content"
content=$(cd "$content" && pwd)

# Disk: the content where it is missing, one download, 2 GiB to spare.
need=$((total + (2 << 30)))
for i in 0 1 2 3; do
    [[ -f $content/${names[i]} && $(stat -c %s "$content/${names[i]}") -eq ${sizes[i]} ]] || need=$((need + sizes[i]))
done
free=$(($(df --output=avail -B1 "$work" | tail -1)))
if ((free < need)); then
    echo "not enough disk space in $work: $((free >> 30)) GiB free, $((need >> 30)) GiB needed" >&2
    echo "(the content, unless CONTENT names it already made, plus one download of $((total >> 30)) GiB)" >&2
    [[ -n $temp_work ]] && rm -rf "$temp_work"
    exit 1
fi

servers=$work/servers
cleanup() {
    "$repo/scripts/package-servers" stop "$servers" >/dev/null 2>&1 || true
    rm -rf "$work/save" "$work/xdg" "$work/aria"
    [[ -n $temp_work ]] && rm -rf "$temp_work"
    return 0
}
trap cleanup EXIT
PFTOOL=$pftool "$repo/scripts/package-servers" start full "$content" "$servers" >&2

# Size and MD5 of the four downloaded files in folder $1.
check_download() {
    local i file got
    for i in 0 1 2 3; do
        file=$1/${names[i]}
        [[ -f $file && $(stat -c %s "$file") -eq ${sizes[i]} ]] || { echo "$2: ${names[i]} is missing or has the wrong size" >&2; return 1; }
    done
    ((verify)) || return 0
    for i in 0 1 2 3; do
        got=$(md5sum < "$1/${names[i]}" | cut -d' ' -f1)
        [[ $got == "${md5s[i]}" ]] || { echo "$2: ${names[i]} has MD5 $got, not ${md5s[i]}" >&2; return 1; }
    done
}

# "wall user sys maxrss_kb" of one command, its output in log $2; a failing
# command stops the bench.
measure() {
    local label=$1 log=$2
    shift 2
    if ! /usr/bin/time -o "$work/time.txt" -f '%e %U %S %M' timeout --kill-after=30 "$limit" "$@" </dev/null >"$log" 2>&1; then
        echo "$label failed ($(tail -n 2 "$work/time.txt" | head -1)); its output ends:" >&2
        tail -n 20 "$log" >&2
        exit 1
    fi
    tail -1 "$work/time.txt"
}

aria_input=$work/aria.txt
for name in "${names[@]}"; do
    printf 'http://127.0.0.1:18080/package/%s\thttp://127.0.0.1:18081/mirror/%s\n  out=%s\n' "$name" "$name" "$name"
done > "$aria_input"

run_ours() {
    rm -rf "$work/save" "$work/xdg"
    mkdir -p "$work/save" "$work/xdg"
    measure pelicanfetch "$work/pelicanfetch.log" env XDG_DATA_HOME="$work/xdg" \
        "$app" --headless --no-upnp --save "$work/save" --start --exit-on-finish
    check_download "$work/save/QLN156" pelicanfetch
    rm -rf "$work/save" "$work/xdg"
}
run_aria() {
    rm -rf "$work/aria"
    mkdir -p "$work/aria"
    # shellcheck disable=SC2086
    measure aria2c "$work/aria2c.log" aria2c $aria_opts --min-split-size=20M --file-allocation=falloc \
        --enable-dht=false --enable-dht6=false --bt-enable-lpd=false --enable-peer-exchange=false \
        --check-integrity=false --allow-overwrite=true --auto-file-renaming=false \
        --console-log-level=warn --summary-interval=0 --quiet=true -d "$work/aria" -i "$aria_input"
    check_download "$work/aria" aria2c
    rm -rf "$work/aria"
}

gib=$(awk -v b="$total" 'BEGIN {printf "%.3f", b / 1073741824}')
echo "# $(nproc) CPUs; load before: $(cut -d' ' -f1-3 /proc/loadavg); $runs runs; $total bytes ($gib GiB) in four files"
echo "# aria2c options: $aria_opts"
printf '%-4s %-13s %9s %9s %9s %10s %12s %12s\n' run side wall_s user_s sys_s MiB/s CPU_s/GiB peakRSS_KB
declare -A wall cpu rss
for ((i = 0; i < runs; i++)); do
    # Alternate which side goes first, so that neither always meets the page
    # cache the other one left.
    order=("${sides[@]}")
    ((i % 2 == 0)) || mapfile -t order < <(printf '%s\n' "${sides[@]}" | tac)
    for side in "${order[@]}"; do
        sync
        if [[ $side == pelicanfetch ]]; then result=$(run_ours); else result=$(run_aria); fi
        read -r e u s m <<<"$result"
        c=$(awk -v u="$u" -v s="$s" -v g="$gib" 'BEGIN {printf "%.2f", (u + s) / g}')
        rate=$(awk -v b="$total" -v e="$e" 'BEGIN {printf "%.1f", b / 1048576 / e}')
        printf '%-4s %-13s %9s %9s %9s %10s %12s %12s\n' "$((i + 1))" "$side" "$e" "$u" "$s" "$rate" "$c" "$m"
        wall[$side]+="$e "
        cpu[$side]+="$c "
        rss[$side]+="$m "
    done
done

med() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | median; }
echo "# medians"
for side in "${sides[@]}"; do
    printf '%-13s wall %s s  CPU %s s/GiB  peak RSS %s KB\n' "$side" "$(med "${wall[$side]}")" \
        "$(med "${cpu[$side]}")" "$(med "${rss[$side]}")"
done
if has_side pelicanfetch && has_side aria2c; then
    awk -v w1="$(med "${wall[pelicanfetch]}")" -v w2="$(med "${wall[aria2c]}")" \
        -v c1="$(med "${cpu[pelicanfetch]}")" -v c2="$(med "${cpu[aria2c]}")" \
        -v r1="$(med "${rss[pelicanfetch]}")" -v r2="$(med "${rss[aria2c]}")" \
        'BEGIN {printf "ratio pelicanfetch/aria2c: wall %.2f  CPU per GiB %.2f  peak RSS %.2f\n", w1 / w2, c1 / c2, r1 / r2}'
fi
