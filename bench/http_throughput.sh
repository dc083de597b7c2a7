#!/usr/bin/env bash
# HTTP throughput of the plug-in against curl and ffmpeg: a FLV of at least 1 GB served by nginx
# over loopback, read in turns by "zovozudo read URL", "curl -o /dev/null URL" and
# "ffmpeg -i URL -c copy -f null -". Prints each run, the medians, the wall-time and CPU-time
# ratios to curl and ffmpeg and the plug-in's peak memory (maximum resident set size).
#
# Goals: at most 1.3 x curl's wall time and CPU time, faster than ffmpeg, peak memory under
# 100 MiB.
#
#   bench/http_throughput.sh [BUILD_DIR] [RUNS] [MIN_MB]
#
# BUILD_DIR holds zovozudo and libZOVOzudo.so (default: build). The medium is made once with
# ffmpeg (a short clip copied over and over, so no long encoding) and kept in
# ${ZOVOZUDO_BENCH_CACHE:-/tmp/zovozudo-bench}.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
runs=${2:-5}
min_mb=${3:-1024}
cache=${ZOVOZUDO_BENCH_CACHE:-/tmp/zovozudo-bench}
zovozudo="$build/zovozudo"

source bench/lib.sh
bench_require nginx ffmpeg curl
[ -x "$zovozudo" ] || { echo "no $zovozudo: build the zovozudo target first" >&2; exit 2; }
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

bench_big_flv "$cache" "$min_mb"
media="$cache/big.flv"
size=$(stat -c %s "$media")

# nginx on a free loopback port: try ports until one is ours.
server="$cache/nginx"
rm -rf "$server"
mkdir -p "$server"
nginx_pid=""
stop_nginx() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
}
trap stop_nginx EXIT
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    port=$(( 20000 + RANDOM % 40000 ))
    cat >"$server/nginx.conf" <<EOF
master_process off;
worker_processes 1;
pid $server/nginx.pid;
error_log $server/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $server/body;
  proxy_temp_path $server/proxy;
  fastcgi_temp_path $server/fastcgi;
  uwsgi_temp_path $server/uwsgi;
  scgi_temp_path $server/scgi;
  types { video/x-flv flv; }
  sendfile on;
  server { listen 127.0.0.1:$port; root $cache; }
}
EOF
    "$nginx_bin" -p "$server/" -c "$server/nginx.conf" -e "$server/error.log" -g 'daemon off;' &
    nginx_pid=$!
    for _ in $(seq 1 200); do
        curl -s -o /dev/null -I "http://127.0.0.1:$port/big.flv" && break
        kill -0 "$nginx_pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$nginx_pid" 2>/dev/null && curl -s -o /dev/null -I "http://127.0.0.1:$port/big.flv"; then
        break
    fi
    stop_nginx
    nginx_pid=""
done
[ -n "$nginx_pid" ] || { echo "nginx did not start" >&2; exit 1; }
url="http://127.0.0.1:$port/big.flv"

# Warm the page cache so that every tool reads from memory.
cat "$media" >/dev/null

have_time=0
[ -x /usr/bin/time ] && have_time=1

# Runs "$@" and prints "seconds peak_kib cpu_seconds" (peak and CPU 0 without GNU time). The
# CPU time (user + system) says more than the wall time on a machine that others load too.
measure() {
    local out="$server/measure.txt"
    if [ $have_time -eq 1 ]; then
        /usr/bin/time -f "%e %M %U %S" -o "$out" "$@" >/dev/null 2>"$server/stderr.txt"
        awk '{ printf "%s %s %.2f\n", $1, $2, $3 + $4 }' "$out"
    else
        local start end
        start=$(date +%s.%N)
        "$@" >/dev/null 2>"$server/stderr.txt"
        end=$(date +%s.%N)
        awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f 0 0\n", b - a }'
    fi
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "medium: $size bytes ($((size / 1024 / 1024)) MiB) at $url; $runs runs each"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-4s %16s %16s %16s %14s\n' run "zovozudo s(cpu)" "curl s(cpu)" "ffmpeg s(cpu)" zovozudo_peak
plugin_times=() curl_times=() ffmpeg_times=() peaks=() plugin_cpu=() curl_cpu=() ffmpeg_cpu=()
for run in $(seq 1 "$runs"); do
    read -r p peak pc < <(measure "$zovozudo" read "$url")
    read -r c _ cc < <(measure curl -s -o /dev/null "$url")
    read -r f _ fc < <(measure ffmpeg -hide_banner -loglevel error -i "$url" -map 0 -c copy -f null -)
    plugin_times+=("$p") curl_times+=("$c") ffmpeg_times+=("$f") peaks+=("$peak")
    plugin_cpu+=("$pc") curl_cpu+=("$cc") ffmpeg_cpu+=("$fc")
    printf '%-4s %16s %16s %16s %11s KiB\n' "$run" "$p($pc)" "$c($cc)" "$f($fc)" "$peak"
done

pm=$(printf '%s\n' "${plugin_times[@]}" | median)
cm=$(printf '%s\n' "${curl_times[@]}" | median)
fm=$(printf '%s\n' "${ffmpeg_times[@]}" | median)
peak=$(printf '%s\n' "${peaks[@]}" | sort -g | tail -1)
pcm=$(printf '%s\n' "${plugin_cpu[@]}" | median)
ccm=$(printf '%s\n' "${curl_cpu[@]}" | median)
fcm=$(printf '%s\n' "${ffmpeg_cpu[@]}" | median)
echo "median seconds: zovozudo $pm, curl $cm, ffmpeg $fm"
echo "median CPU seconds: zovozudo $pcm, curl $ccm, ffmpeg $fcm"
awk -v p="$pm" -v c="$cm" -v f="$fm" -v pc="$pcm" -v cc="$ccm" -v fc="$fcm" -v s="$size" \
    -v k="$peak" 'BEGIN {
    printf "throughput MB/s: zovozudo %.0f, curl %.0f, ffmpeg %.0f\n", s / p / 1e6, s / c / 1e6, s / f / 1e6
    printf "zovozudo / curl:   wall %.2f, CPU %s (goal <= 1.3 each)\n", p / c, (cc > 0 ? sprintf("%.2f", pc / cc) : "n/a")
    printf "zovozudo / ffmpeg: wall %.2f, CPU %s (goal < 1 each)\n", p / f, (fc > 0 ? sprintf("%.2f", pc / fc) : "n/a")
    printf "zovozudo peak memory: %.1f MiB (goal < 100)\n", k / 1024
}'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
