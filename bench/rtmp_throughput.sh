#!/usr/bin/env bash
# RTMP throughput of the plug-in against ffmpeg: a FLV of at least 1 GB played on demand by nginx
# with its RTMP module over loopback, read in turns by "zovozudo read URL" and by
# "ffmpeg -rtmp_buffer 36000000 -i URL -map 0 -c copy -f null -" (the same ten-hour buffer the
# plug-in asks for, so that nginx sends both as fast as it can). Prints each run, the medians, the
# ratio and the plug-in's peak memory (maximum resident set size).
#
# Goals: no slower than ffmpeg, peak memory under 100 MiB.
#
#   bench/rtmp_throughput.sh [BUILD_DIR] [RUNS] [MIN_MB]
#
# BUILD_DIR holds zovozudo and libZOVOzudo.so (default: build). The medium is the one that
# bench/http_throughput.sh makes and keeps in ${ZOVOZUDO_BENCH_CACHE:-/tmp/zovozudo-bench}; it
# is made here the same way when missing. nginx runs in a temporary folder of its own, on a free
# loopback port, and is stopped on exit; every run is bounded by ${RUN_LIMIT_S:-600} seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
runs=${2:-3}
min_mb=${3:-1024}
run_limit=${RUN_LIMIT_S:-600}
cache=${ZOVOZUDO_BENCH_CACHE:-/tmp/zovozudo-bench}
zovozudo="$build/zovozudo"
module=/usr/lib/nginx/modules/ngx_rtmp_module.so

source bench/lib.sh
bench_require nginx ffmpeg timeout
[ -r "$module" ] || { echo "needs nginx's RTMP module ($module)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time) for the peak memory" >&2; exit 2; }
[ -x "$zovozudo" ] || { echo "no $zovozudo: build the zovozudo target first" >&2; exit 2; }
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

bench_big_flv "$cache" "$min_mb"
media="$cache/big.flv"
size=$(stat -c %s "$media")

# nginx in a folder of its own (another benchmark may use the cache's), on a free port: a port
# that someone takes between the choice and nginx's bind makes nginx exit, and another is tried.
server=$(mktemp -d /tmp/zovozudo-rtmp-bench.XXXXXX)
nginx_pid=""
stop_nginx() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
        nginx_pid=""
    fi
}
trap 'stop_nginx; rm -rf "$server"' EXIT
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for _ in 1 2 3 4 5 6 7 8 9 10; do
    port=$(( 20000 + RANDOM % 40000 ))
    port_open "$port" && continue
    cat >"$server/nginx.conf" <<EOF
load_module $module;
master_process off;
worker_processes 1;
pid $server/nginx.pid;
error_log $server/error.log warn;
events { worker_connections 64; }
rtmp {
  server {
    listen 127.0.0.1:$port;
    application vod { play $cache; }
  }
}
EOF
    "$nginx_bin" -p "$server/" -c "$server/nginx.conf" -e "$server/error.log" -g 'daemon off;' &
    nginx_pid=$!
    for _ in $(seq 1 200); do
        port_open "$port" && break
        kill -0 "$nginx_pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$nginx_pid" 2>/dev/null && port_open "$port"; then
        break
    fi
    stop_nginx
done
[ -n "$nginx_pid" ] || { echo "nginx did not start: $(tail -3 "$server/error.log" 2>/dev/null)" >&2; exit 1; }
url="rtmp://127.0.0.1:$port/vod/big.flv"

# Warm the page cache so that nginx reads from memory for every tool.
cat "$media" >/dev/null

# Runs "$@" bounded in time and prints "seconds peak_kib cpu_seconds status". The CPU time
# (user + system) says more than the wall time on a machine that others load too.
measure() {
    local out="$server/measure.txt" status=0
    /usr/bin/time -f "%e %M %U %S" -o "$out" timeout "$run_limit" "$@" \
        >"$server/stdout.txt" 2>"$server/stderr.txt" || status=$?
    # GNU time writes a line about a failed command's status in front of its figures.
    tail -1 "$out" | awk -v s="$status" '{ printf "%s %s %.2f %s\n", $1, $2, $3 + $4, s }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "medium: $size bytes ($((size / 1024 / 1024)) MiB) at $url; $runs runs each"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-4s %18s %18s %14s\n' run "zovozudo s(cpu)" "ffmpeg s(cpu)" zovozudo_peak
plugin_times=() ffmpeg_times=() peaks=() plugin_cpu=() ffmpeg_cpu=()
failed=0
for run in $(seq 1 "$runs"); do
    read -r p peak pc ps < <(measure "$zovozudo" read "$url")
    summary=$(tail -1 "$server/stdout.txt")
    read -r f _ fc fs < <(measure ffmpeg -nostdin -hide_banner -loglevel error \
        -rtmp_buffer 36000000 -i "$url" -map 0 -c copy -f null -)
    plugin_times+=("$p") ffmpeg_times+=("$f") peaks+=("$peak")
    plugin_cpu+=("$pc") ffmpeg_cpu+=("$fc")
    printf '%-4s %18s %18s %10s KiB   %s\n' "$run" "$p($pc)" "$f($fc)" "$peak" "$summary"
    if [ "$ps" != 0 ] || [ "$fs" != 0 ]; then
        echo "     exit status: zovozudo $ps, ffmpeg $fs (124: stopped after $run_limit s)"
        failed=1
    fi
done

pm=$(printf '%s\n' "${plugin_times[@]}" | median)
fm=$(printf '%s\n' "${ffmpeg_times[@]}" | median)
peak=$(printf '%s\n' "${peaks[@]}" | sort -g | tail -1)
pcm=$(printf '%s\n' "${plugin_cpu[@]}" | median)
fcm=$(printf '%s\n' "${ffmpeg_cpu[@]}" | median)
echo "median seconds: zovozudo $pm, ffmpeg $fm"
echo "median CPU seconds: zovozudo $pcm, ffmpeg $fcm"
awk -v p="$pm" -v f="$fm" -v s="$size" -v k="$peak" 'BEGIN {
    printf "throughput MB/s: zovozudo %.0f, ffmpeg %.0f\n", s / p / 1e6, s / f / 1e6
    printf "zovozudo / ffmpeg: %.2f (goal <= 1)\n", p / f
    printf "zovozudo peak memory: %.1f MiB (goal < 100)\n", k / 1024
}'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $failed
