#!/usr/bin/env bash
# FTP download speed: `pftool download` of one file with 2 MiB pieces from
# one local vsftpd mirror, next to `curl -o` fetching the same file from the
# same server. Alternating, in one run; prints each run, the medians (wall
# time, CPU seconds, peak RSS) and, last, `ratio ours/curl: R` (wall time).
# Any failing command or a wrong file stops the run.
#
#   bench/ftp_speed.sh [build-dir]    (default: build)
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
vsftpd=$(command -v vsftpd || echo /usr/sbin/vsftpd)
for program in "$vsftpd" curl openssl /usr/bin/time; do
    command -v "$program" >/dev/null || { echo "missing $program (scripts/setup installs it)" >&2; exit 1; }
done

work=${WORK:-$(mktemp -d)}
vsftpd_pid=
cleanup() {
    if [[ -n $vsftpd_pid ]]; then kill -TERM "$vsftpd_pid" 2>/dev/null || true; wait "$vsftpd_pid" 2>/dev/null || true; fi
    rm -rf "$work/dl"
    if [[ -z ${WORK:-} ]]; then chmod 755 "$work/root" 2>/dev/null || true; rm -rf "$work"; fi
    return 0
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/empty" "$work/dl"
chmod 755 "$work/root"
file="$work/root/payload.bin"
if [[ ! -f $file || $(stat -c %s "$file") -ne $size ]]; then
    echo "# writing ${size_mb} MiB of test data" >&2
    # openssl ends on SIGPIPE once head has enough; the size check below counts.
    head -c "$size" < <(openssl enc -aes-128-ctr -pass pass:pelicanfetch -nosalt -pbkdf2 -in /dev/zero 2>/dev/null) > "$file"
    [[ $(stat -c %s "$file") -eq $size ]] || { echo "could not write the test data" >&2; exit 1; }
fi
# vsftpd refuses an anonymous root it could write to.
chmod 555 "$work/root"
"$pftool" make-torrent --piece-length 2097152 --announce http://127.0.0.1:1/announce \
    -o "$work/payload.torrent" "$file" >/dev/null
want_sha1=$(openssl dgst -sha1 -r "$file" | cut -d' ' -f1)

# vsftpd on a free loopback port, ended by its pid; it writes start-up
# errors to its standard input.
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
background=NO
listen_address=127.0.0.1
listen_port=$port
anonymous_enable=YES
no_anon_password=NO
anon_root=$work/root
local_enable=NO
write_enable=NO
pasv_enable=YES
pasv_address=127.0.0.1
secure_chroot_dir=$work/empty
seccomp_sandbox=NO
xferlog_enable=NO
CONF
[[ $(id -u) -ne 0 ]] && echo "run_as_launching_user=YES" >> "$work/vsftpd.conf"
"$vsftpd" "$work/vsftpd.conf" 0>"$work/vsftpd.err" &
vsftpd_pid=$!
url="ftp://127.0.0.1:$port/payload.bin"
for ((i = 0; i < 50; i++)); do curl -sf -r 0-0 -o /dev/null "$url" && break; sleep 0.1; done
curl -sf -r 0-0 -o /dev/null "$url" || { echo "vsftpd does not answer on port $port: $(cat "$work/vsftpd.err")" >&2; exit 1; }
cat "$file" > /dev/null  # into the page cache

names=(pftool curl)
declare -A wall cpu rss
echo "# $(nproc) CPUs; load before: $(cut -d' ' -f1-3 /proc/loadavg); $runs runs; ${size_mb} MiB, 2 MiB pieces, vsftpd on 127.0.0.1:$port"
for ((i = 1; i <= runs; i++)); do
    for name in "${names[@]}"; do
        case $name in
            pftool) cmd=("$pftool" download --torrent "$work/payload.torrent" --target "$work/dl/out.bin" --source "$url") ;;
            curl) cmd=(curl -sS -o "$work/dl/out.bin" "$url") ;;
        esac
        record_run "$i" "$name" "${cmd[@]}"
    done
done
declare -A med_wall med_cpu
print_medians
awk -v p="${med_wall[pftool]}" -v c="${med_wall[curl]}" 'BEGIN {printf "ratio ours/curl: %.2f\n", p / c}'
