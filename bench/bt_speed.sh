#!/usr/bin/env bash
# BitTorrent speed on loopback: one seeder (127.0.0.2) and one leecher
# (127.0.0.3) found through a local opentracker (HTTP announces, TCP peers),
# side by side in one run:
#   ours-ours   pftool seed      -> pftool download
#   aria-aria   aria2c seeder    -> aria2c leecher
#   lt-lt       libtorrent seed  -> libtorrent leecher
#   lt-ours     libtorrent seed  -> pftool download
#   lt-aria     libtorrent seed  -> aria2c leecher
# Every seeder serves its own torrent of the same bytes (the file is hard
# linked under three names), so a leecher only ever meets the one seeder of
# its case. The cases alternate over the runs. Each run times the leecher
# alone (wall, user+sys CPU, peak RSS), compares its file with the original,
# and notes the seeder's CPU. Prints each run, the medians and the ratios
# ours/aria2c, ours/libtorrent and (lt->ours)/(lt->aria2c). Any failing
# command or a wrong file stops the run.
#
#   bench/bt_speed.sh [build-dir]    (default: build)
# Environment: RUNS (default 3), BT_BENCH_MB (default 2048), PIECE_KB
# (default 2048), CASES (default "ours-ours aria-aria lt-lt lt-ours lt-aria"),
# WORK (default a temp dir; the test data and torrents are kept there
# between calls when set), LEECH_TIMEOUT (seconds per download, default 600),
# BASELINE (another build folder: adds the case base-base, its pftool seed ->
# its pftool download, to compare a change with what it started from).
#
# Notes: aria2c runs with --file-allocation=falloc (its best choice on ext4).
# libtorrent maps the file into memory, so its peak RSS counts the file's
# pages; /proc/PID/status RssAnon is the figure to judge its own memory by.
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-3}
size_mb=${BT_BENCH_MB:-2048}
size=$((size_mb * 1048576))
piece=$((${PIECE_KB:-2048} * 1024))
cases=(${CASES:-ours-ours aria-aria lt-lt lt-ours lt-aria})
leech_timeout=${LEECH_TIMEOUT:-600}
here=$(cd "$(dirname "$0")" && pwd)
lt_peer="$here/../tests/support/lt_peer.py"
python=/usr/bin/python3  # Debian's libtorrent bindings belong to the system interpreter
pftool="$build/tools/pftool"
[[ -x $pftool ]] || { echo "missing $pftool" >&2; exit 1; }
base_pftool=
if [[ -n ${BASELINE:-} ]]; then
    base_pftool="$(cd "$BASELINE" && pwd)/tools/pftool"
    [[ -x $base_pftool ]] || { echo "missing $base_pftool" >&2; exit 1; }
    [[ " ${cases[*]} " == *" base-base "* ]] || cases+=(base-base)
fi
for program in opentracker curl openssl cmp /usr/bin/time; do
    command -v "$program" >/dev/null || { echo "missing $program (scripts/setup installs it)" >&2; exit 1; }
done
need_aria=0 need_lt=0
for c in "${cases[@]}"; do
    case $c in
        ours-ours) ;;
        base-base) [[ -n $base_pftool ]] || { echo "base-base needs BASELINE" >&2; exit 1; } ;;
        aria-aria) need_aria=1 ;;
        lt-lt) need_lt=1 ;;
        lt-ours) need_lt=1 ;;
        lt-aria) need_lt=1 need_aria=1 ;;
        *) echo "unknown case $c" >&2; exit 1 ;;
    esac
done
if ((need_aria)); then command -v aria2c >/dev/null || { echo "missing aria2c (scripts/setup installs it)" >&2; exit 1; }; fi
if ((need_lt)); then
    $python -c 'import libtorrent' 2>/dev/null || { echo "missing python3-libtorrent (scripts/setup installs it)" >&2; exit 1; }
    [[ -f $lt_peer ]] || { echo "missing $lt_peer" >&2; exit 1; }
fi

work=${WORK:-$(mktemp -d)}
chmod 755 "$work"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work/dl"
    [[ -z ${WORK:-} ]] && rm -rf "$work"
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/data" "$work/ot" "$work/dl" "$work/logs"
file="$work/data/payload.bin"
if [[ ! -f $file || $(stat -c %s "$file") -ne $size ]]; then
    echo "# writing ${size_mb} MiB of test data" >&2
    # openssl ends on SIGPIPE once head has enough; the size check below counts.
    head -c "$size" < <(openssl enc -aes-128-ctr -pass pass:pelicanfetch -nosalt -pbkdf2 -in /dev/zero 2>/dev/null) > "$file"
    [[ $(stat -c %s "$file") -eq $size ]] || { echo "could not write the test data" >&2; exit 1; }
    rm -f "$work"/*.torrent "$work"/*.torrent.size
fi

free_port() {
    $python -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
tracker_port=$(free_port)
announce="http://127.0.0.1:$tracker_port/announce"

# One name, one torrent, one seeder: ours.bin, aria.bin, lt.bin are the same
# bytes. The announce URL lies outside the info-hash, so a kept torrent only
# gets this call's tracker port written into a copy.
with_announce() {  # base.torrent url out.torrent
    $python - "$@" <<'PY'
import re, sys
data = open(sys.argv[1], 'rb').read()
m = re.match(rb'd8:announce(\d+):', data)
start = m.end() + int(m.group(1))
url = sys.argv[2].encode()
open(sys.argv[3], 'wb').write(b'd8:announce%d:%s' % (len(url), url) + data[start:])
PY
}
declare -A hash
kinds=(ours aria lt)
[[ -n $base_pftool ]] && kinds+=(base)
for kind in "${kinds[@]}"; do
    ln -f "$file" "$work/data/$kind.bin"
    base="$work/$kind.base.torrent"
    if [[ ! -f $base || $(cat "$base.size" 2>/dev/null) != "$size $piece" ]]; then
        echo "# making $kind.torrent ($((piece / 1024)) KiB pieces)" >&2
        "$pftool" make-torrent --piece-length "$piece" --announce http://127.0.0.1:1/announce -o "$base" \
            "$work/data/$kind.bin" >/dev/null
        echo "$size $piece" > "$base.size"
    fi
    with_announce "$base" "$announce" "$work/$kind.torrent"
    hash[$kind]=$("$pftool" torrent-info "$work/$kind.torrent" | awk '/^info_hash:/ {print $2}')
    [[ ${#hash[$kind]} -eq 40 ]] || { echo "no info-hash for $kind.torrent" >&2; exit 1; }
    [[ $("$pftool" torrent-info "$base" | awk '/^info_hash:/ {print $2}') == "${hash[$kind]}" ]] ||
        { echo "rewriting the announce URL changed the info-hash of $kind.torrent" >&2; exit 1; }
done
printf '%s\n' "${hash[@]}" > "$work/ot/whitelist.txt"
cat "$file" > /dev/null  # into the page cache

# The tracker: Debian's build serves only whitelisted hashes, refuses root
# and reads the whitelist inside its chroot.
opentracker -i 127.0.0.1 -p "$tracker_port" -P "$tracker_port" -d "$work/ot" -u nobody -w /whitelist.txt \
    > "$work/logs/opentracker.log" 2>&1 &
pids+=($!)
for ((i = 0; i < 50; i++)); do curl -s -o /dev/null "http://127.0.0.1:$tracker_port/scrape" && break; sleep 0.1; done

seeders() {  # info-hash -> number of seeders the tracker lists
    local escaped
    escaped=$(sed 's/../%&/g' <<<"$1")
    curl -s "http://127.0.0.1:$tracker_port/scrape?info_hash=$escaped" | grep -ao '8:completei[0-9]*' |
        head -1 | grep -o '[0-9]*$' || echo 0
}
cpu_ticks() {  # utime + stime of a pid, in clock ticks
    awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0
}
aria_common=(aria2c --no-conf --enable-dht=false --enable-dht6=false --bt-enable-lpd=false
             --enable-peer-exchange=false --summary-interval=0 --console-log-level=warn --download-result=hide)

# The seeders, each on 127.0.0.2, started only when a case needs it and
# kept for the whole benchmark.
declare -A seeder_pid
start_seeder() {
    local kind=$1 port
    [[ -n ${seeder_pid[$kind]:-} ]] && return 0
    port=$(free_port)
    case $kind in
        ours) "$pftool" seed --torrent "$work/ours.torrent" --target "$work/data/ours.bin" \
                  --interface 127.0.0.2 --port "$port" > "$work/logs/seed-ours.log" 2>&1 & ;;
        aria) "${aria_common[@]}" --dir="$work/data" --interface=127.0.0.2 --listen-port="$port" \
                  --seed-ratio=0.0 --bt-seed-unverified=true "$work/aria.torrent" > "$work/logs/seed-aria.log" 2>&1 & ;;
        base) "$base_pftool" seed --torrent "$work/base.torrent" --target "$work/data/base.bin" \
                  --interface 127.0.0.2 --port "$port" > "$work/logs/seed-base.log" 2>&1 & ;;
        lt) $python "$lt_peer" seed --torrent "$work/lt.torrent" --save "$work/data" --listen "127.0.0.2:$port" \
                  --interval 10 > "$work/logs/seed-lt.log" 2>&1 & ;;
    esac
    seeder_pid[$kind]=$!
    pids+=($!)
    echo "# seeder $kind: pid ${seeder_pid[$kind]} on 127.0.0.2:$port" >&2
    local t
    for ((t = 0; t < 1200; t++)); do
        [[ $(seeders "${hash[$kind]}") -ge 1 ]] && return 0
        kill -0 "${seeder_pid[$kind]}" 2>/dev/null || break
        sleep 0.1
    done
    echo "FAILED: the $kind seeder did not announce itself" >&2
    tail -20 "$work/logs/seed-$kind.log" >&2
    exit 1
}

# One timed download into $work/dl: prints "wall cpu rss_kb seeder_cpu";
# a failing leecher or a file with other bytes stops the benchmark.
timed() {
    local name=$1 seeder=$2 leecher=$3 port out times before after
    port=$(free_port)
    rm -rf "$work/dl" && mkdir -p "$work/dl"
    out="$work/dl/$seeder.bin"
    local torrent="$work/$seeder.torrent"
    case $leecher in
        ours) cmd=("$pftool" download --torrent "$torrent" --target "$out" --interface 127.0.0.3 --port "$port") ;;
        base) cmd=("$base_pftool" download --torrent "$torrent" --target "$out" --interface 127.0.0.3 --port "$port") ;;
        aria) cmd=("${aria_common[@]}" --dir="$work/dl" --interface=127.0.0.3 --listen-port="$port" --seed-time=0
                   --file-allocation=falloc --bt-stop-timeout=60 "$torrent") ;;
        lt) cmd=($python "$lt_peer" leech --torrent "$torrent" --save "$work/dl" --listen "127.0.0.3:$port"
                 --timeout "$leech_timeout" --interval 5) ;;
    esac
    before=$(cpu_ticks "${seeder_pid[$seeder]}")
    if ! times=$(/usr/bin/time -f '%e %U %S %M' timeout "$leech_timeout" "${cmd[@]}" 2>&1 >"$work/logs/leech-$name.log"); then
        echo "FAILED: $name: ${cmd[*]}" >&2; echo "$times" | tail -5 >&2; tail -5 "$work/logs/leech-$name.log" >&2; exit 1
    fi
    after=$(cpu_ticks "${seeder_pid[$seeder]}")
    cmp -s "$out" "$work/data/payload.bin" || { echo "FAILED: $name wrote different bytes" >&2; exit 1; }
    tail -1 <<<"$times" | awk -v s=$((after - before)) -v hz="$(getconf CLK_TCK)" \
        '{printf "%s %.2f %s %.2f\n", $1, $2 + $3, $4, s / hz}'
}

declare -A wall cpu rss scpu
echo "# $(nproc) CPUs; load before: $(cut -d' ' -f1-3 /proc/loadavg); $runs runs; ${size_mb} MiB," \
     "$((piece / 1024)) KiB pieces; opentracker on 127.0.0.1:$tracker_port; seeders on 127.0.0.2, leechers on 127.0.0.3"
for ((i = 1; i <= runs; i++)); do
    for name in "${cases[@]}"; do
        seeder=${name%-*} leecher=${name#*-}
        start_seeder "$seeder"
        echo "# run $i $name ..." >&2
        read -r w c m s < <(timed "$name" "$seeder" "$leecher")
        [[ -n ${w:-} ]] || exit 1
        printf 'run %d  %-10s %7.2f s  %7.0f MB/s  cpu %6.2f s  rss %7.1f MB  seeder cpu %6.2f s  bytes ok\n' \
            "$i" "$name" "$w" "$(awk -v w="$w" -v mb="$size_mb" 'BEGIN {print mb * 1.048576 / w}')" "$c" \
            "$(awk -v m="$m" 'BEGIN {print m / 1024}')" "$s"
        wall[$name]+="$w "; cpu[$name]+="$c "; rss[$name]+="$m "; scpu[$name]+="$s "
    done
done
rm -rf "$work/dl"

declare -A med_wall med_cpu med_rss
echo "# medians of the leecher (CPU per GiB moved; peak RSS in MB)"
for name in "${cases[@]}"; do
    med_wall[$name]=$(tr ' ' '\n' <<<"${wall[$name]}" | grep . | median)
    med_cpu[$name]=$(tr ' ' '\n' <<<"${cpu[$name]}" | grep . | median)
    med_rss[$name]=$(tr ' ' '\n' <<<"${rss[$name]}" | grep . | median)
    ms=$(tr ' ' '\n' <<<"${scpu[$name]}" | grep . | median)
    awk -v n="$name" -v w="${med_wall[$name]}" -v c="${med_cpu[$name]}" -v m="${med_rss[$name]}" -v s="$ms" -v mb="$size_mb" \
        'BEGIN {printf "%-10s %7.2f s  %7.0f MB/s  cpu %6.2f s/GiB  rss %7.1f MB  seeder cpu %6.2f s/GiB\n",
                n, w, mb * 1.048576 / w, c * 1024 / mb, m / 1024, s * 1024 / mb}'
done
ratio() {  # label a b -> "label: wall x  cpu y  rss z" when both cases ran
    [[ -n ${med_wall[$2]:-} && -n ${med_wall[$3]:-} ]] || return 0
    awk -v l="$1" -v wa="${med_wall[$2]}" -v wb="${med_wall[$3]}" -v ca="${med_cpu[$2]}" -v cb="${med_cpu[$3]}" \
        -v ma="${med_rss[$2]}" -v mb="${med_rss[$3]}" \
        'function r(a, b) {return b > 0 ? sprintf("%.2f", a / b) : "n/a"}
         BEGIN {printf "ratio %-28s wall %s  cpu %s  rss %s\n", l, r(wa, wb), r(ca, cb), r(ma, mb)}'
}
ratio "ours/aria2c" ours-ours aria-aria
ratio "ours/libtorrent" ours-ours lt-lt
ratio "(lt->ours)/(lt->aria2c)" lt-ours lt-aria
ratio "ours/baseline build" ours-ours base-base
