#!/usr/bin/env bash
# HTTP download speed: `pftool download` of one file with 2 MiB pieces from
# one local nginx mirror, next to `curl -o` and `aria2c -x1 -s1` fetching the
# same file from the same mirror; and from four mirrors (127.0.0.1-4) next to
# `aria2c -x1 -s4` with the same four URLs. Alternating, in one run.
# Prints each run, the medians (wall time, CPU seconds, peak RSS) and the
# ratios. Any failing command or a wrong file stops the run.
#
#   bench/http_speed.sh [build-dir]    (default: build)
# Environment: RUNS (default 3), SIZE_MB (default 1024), WORK (default a temp
# dir; the test data is kept there between calls when set), BASELINE (another
# build folder: its pftool runs the same two cases beside ours, to compare a
# change with what it started from).
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-3}
size_mb=${SIZE_MB:-1024}
size=$((size_mb * 1048576))
pftool="$build/tools/pftool"
[[ -x $pftool ]] || { echo "missing $pftool" >&2; exit 1; }
base_pftool=
if [[ -n ${BASELINE:-} ]]; then
    base_pftool="$(cd "$BASELINE" && pwd)/tools/pftool"
    [[ -x $base_pftool ]] || { echo "missing $base_pftool" >&2; exit 1; }
fi
for program in nginx aria2c curl openssl /usr/bin/time; do
    command -v "$program" >/dev/null || { echo "missing $program (scripts/setup installs it)" >&2; exit 1; }
done

work=${WORK:-$(mktemp -d)}
nginx_pid=
cleanup() {
    if [[ -n $nginx_pid ]]; then kill -TERM "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
    rm -rf "$work/dl"
    [[ -z ${WORK:-} ]] && rm -rf "$work"
    return 0
}
trap cleanup EXIT
mkdir -p "$work/data" "$work/nginx/logs" "$work/nginx/tmp" "$work/dl"
file="$work/data/payload.bin"
if [[ ! -f $file || $(stat -c %s "$file") -ne $size ]]; then
    echo "# writing ${size_mb} MiB of test data" >&2
    # openssl ends on SIGPIPE once head has enough; the size check below counts.
    head -c "$size" < <(openssl enc -aes-128-ctr -pass pass:pelicanfetch -nosalt -pbkdf2 -in /dev/zero 2>/dev/null) > "$file"
    [[ $(stat -c %s "$file") -eq $size ]] || { echo "could not write the test data" >&2; exit 1; }
fi
"$pftool" make-torrent --piece-length 2097152 --announce http://127.0.0.1:1/announce \
    -o "$work/payload.torrent" "$file" >/dev/null
want_sha1=$(openssl dgst -sha1 -r "$file" | cut -d' ' -f1)

# nginx on a free loopback port, ended by its pid.
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user_line=
[[ $(id -u) -eq 0 ]] && user_line='user root;'
cat > "$work/nginx/nginx.conf" <<EOF
$user_line worker_processes 1; pid nginx.pid; error_log logs/error.log;
events { worker_connections 256; }
http { default_type application/octet-stream; access_log off; sendfile on;
  client_body_temp_path tmp; proxy_temp_path tmp; fastcgi_temp_path tmp; uwsgi_temp_path tmp; scgi_temp_path tmp;
  server { listen 127.0.0.1:$port; listen 127.0.0.2:$port; listen 127.0.0.3:$port; listen 127.0.0.4:$port;
           root $work/data; } }
EOF
nginx -e "$work/nginx/logs/error.log" -p "$work/nginx" -c nginx.conf -g 'daemon off;' &
nginx_pid=$!
url="http://127.0.0.1:$port/payload.bin"
urls=() sources=()
for i in 1 2 3 4; do urls+=("http://127.0.0.$i:$port/payload.bin"); sources+=(--source "http://127.0.0.$i:$port/payload.bin"); done
for ((i = 0; i < 50; i++)); do curl -sf -r 0-0 -o /dev/null "$url" && break; sleep 0.1; done
curl -sf -r 0-0 -o /dev/null "$url" || { echo "nginx does not answer on port $port" >&2; exit 1; }
cat "$file" > /dev/null  # into the page cache

aria=(aria2c -q -d "$work/dl" -o out.bin --allow-overwrite=true --auto-file-renaming=false
      --file-allocation=none --enable-dht=false --enable-dht6=false --bt-enable-lpd=false
      --enable-peer-exchange=false)
names=(pftool curl aria2c-x1 pftool-4m aria2c-4m)
[[ -n $base_pftool ]] && names+=(base base-4m)
declare -A wall cpu rss
echo "# $(nproc) CPUs; load before: $(cut -d' ' -f1-3 /proc/loadavg); $runs runs; ${size_mb} MiB, 2 MiB pieces, nginx on 127.0.0.1:$port"
for ((i = 1; i <= runs; i++)); do
    for name in "${names[@]}"; do
        case $name in
            pftool) cmd=("$pftool" download --torrent "$work/payload.torrent" --target "$work/dl/out.bin" --source "$url") ;;
            curl) cmd=(curl -sS -o "$work/dl/out.bin" "$url") ;;
            aria2c-x1) cmd=("${aria[@]}" -x1 -s1 "$url") ;;
            pftool-4m) cmd=("$pftool" download --torrent "$work/payload.torrent" --target "$work/dl/out.bin" "${sources[@]}") ;;
            aria2c-4m) cmd=("${aria[@]}" -x1 -s4 -k1M "${urls[@]}") ;;
            base) cmd=("$base_pftool" download --torrent "$work/payload.torrent" --target "$work/dl/out.bin" --source "$url") ;;
            base-4m) cmd=("$base_pftool" download --torrent "$work/payload.torrent" --target "$work/dl/out.bin" "${sources[@]}") ;;
        esac
        record_run "$i" "$name" "${cmd[@]}"
    done
done
declare -A med_wall med_cpu
print_medians
awk -v p="${med_wall[pftool]}" -v c="${med_wall[curl]}" -v a="${med_wall[aria2c-x1]}" \
    -v p4="${med_wall[pftool-4m]}" -v a4="${med_wall[aria2c-4m]}" \
    'BEGIN {printf "ratio wall  one mirror: pftool/curl %.2f  pftool/aria2c-x1 %.2f   four mirrors: pftool/aria2c %.2f\n", p / c, p / a, p4 / a4}'
awk -v p="${med_cpu[pftool]}" -v a="${med_cpu[aria2c-x1]}" -v p4="${med_cpu[pftool-4m]}" -v a4="${med_cpu[aria2c-4m]}" \
    'BEGIN {printf "ratio cpu   one mirror: pftool/aria2c-x1 %.2f   four mirrors: pftool/aria2c %.2f\n", p / a, p4 / a4}'
if [[ -n $base_pftool ]]; then
    awk -v p="${med_wall[pftool]}" -v b="${med_wall[base]}" -v p4="${med_wall[pftool-4m]}" -v b4="${med_wall[base-4m]}" \
        -v pc="${med_cpu[pftool]}" -v bc="${med_cpu[base]}" \
        'BEGIN {printf "ratio against the baseline build: wall one mirror %.2f, four mirrors %.2f; cpu one mirror %.2f\n", p / b, p4 / b4, pc / bc}'
fi
