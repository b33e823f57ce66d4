#!/usr/bin/env bash
# HTTPS download speed: `pftool download` of one file with 2 MiB pieces from
# one local nginx over https, next to `curl` over https from the same nginx,
# and both over plain http from it for scale. The certificate comes from a CA
# made here and given to both (`--ca-file`, `--cacert`). Alternating, in one
# run. Prints each run, the medians (wall time, CPU seconds, peak RSS) and the
# ratios. Any failing command or a wrong file stops the run.
#
#   bench/https_speed.sh [build-dir]    (default: build)
# Environment: RUNS (default 3), SIZE_MB (default 1024), WORK (default a temp
# dir; the test data is kept there between calls when set).
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-3}
size_mb=${SIZE_MB:-1024}
size=$((size_mb * 1048576))
pftool="$build/tools/pftool"
[[ -x $pftool ]] || { echo "missing $pftool" >&2; exit 1; }
for program in nginx curl openssl /usr/bin/time; do
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
mkdir -p "$work/data" "$work/nginx/logs" "$work/nginx/tmp" "$work/dl" "$work/tls"
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

# A CA of our own and a certificate for 127.0.0.1 signed by it.
tls=$work/tls
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=bench CA' -keyout "$tls/ca.key" -out "$tls/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null
echo 'subjectAltName=IP:127.0.0.1' > "$tls/server.ext"
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial -days 2 \
    -extfile "$tls/server.ext" -out "$tls/server.pem" 2>/dev/null

# nginx on two free loopback ports (http, https), ended by its pid.
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
tls_port=$(free_port)
user_line=
[[ $(id -u) -eq 0 ]] && user_line='user root;'
cat > "$work/nginx/nginx.conf" <<EOF
$user_line worker_processes 1; pid nginx.pid; error_log logs/error.log;
events { worker_connections 256; }
http { default_type application/octet-stream; access_log off; sendfile on;
  client_body_temp_path tmp; proxy_temp_path tmp; fastcgi_temp_path tmp; uwsgi_temp_path tmp; scgi_temp_path tmp;
  server { listen 127.0.0.1:$port; listen 127.0.0.1:$tls_port ssl; root $work/data;
           ssl_certificate $tls/server.pem; ssl_certificate_key $tls/server.key; } }
EOF
nginx -e "$work/nginx/logs/error.log" -p "$work/nginx" -c nginx.conf -g 'daemon off;' &
nginx_pid=$!
url="http://127.0.0.1:$port/payload.bin"
tls_url="https://127.0.0.1:$tls_port/payload.bin"
for ((i = 0; i < 50; i++)); do curl -sf --cacert "$tls/ca.pem" -r 0-0 -o /dev/null "$tls_url" && break; sleep 0.1; done
curl -sf --cacert "$tls/ca.pem" -r 0-0 -o /dev/null "$tls_url" || { echo "nginx does not answer on port $tls_port" >&2; exit 1; }
cat "$file" > /dev/null  # into the page cache

names=(pftool-https curl-https pftool-http curl-http)
declare -A wall cpu rss
echo "# $(nproc) CPUs; load before: $(cut -d' ' -f1-3 /proc/loadavg); $runs runs; ${size_mb} MiB, 2 MiB pieces," \
     "nginx on 127.0.0.1:$port (http) and :$tls_port (https)"
for ((i = 1; i <= runs; i++)); do
    for name in "${names[@]}"; do
        case $name in
            pftool-https) cmd=("$pftool" download --torrent "$work/payload.torrent" --target "$work/dl/out.bin"
                               --source "$tls_url" --ca-file "$tls/ca.pem") ;;
            curl-https) cmd=(curl -sS --cacert "$tls/ca.pem" -o "$work/dl/out.bin" "$tls_url") ;;
            pftool-http) cmd=("$pftool" download --torrent "$work/payload.torrent" --target "$work/dl/out.bin" --source "$url") ;;
            curl-http) cmd=(curl -sS -o "$work/dl/out.bin" "$url") ;;
        esac
        record_run "$i" "$name" "${cmd[@]}"
    done
done
declare -A med_wall med_cpu
print_medians
awk -v p="${med_wall[pftool-https]}" -v c="${med_wall[curl-https]}" -v ph="${med_wall[pftool-http]}" \
    -v ch="${med_wall[curl-http]}" \
    'BEGIN {printf "ratio wall  https: pftool/curl %.2f   http: pftool/curl %.2f   pftool https/http %.2f\n", p / c, ph / ch, p / ph}'
awk -v p="${med_cpu[pftool-https]}" -v c="${med_cpu[curl-https]}" \
    'BEGIN {printf "ratio cpu   https: pftool/curl %.2f\n", p / c}'
