#!/usr/bin/env bash
# Many media in one host process: what each open medium costs and how that grows with their
# number. For each kind and each count N, build/many_media opens N media at once, each pulled by
# a thread of its own, and measures time to open all, frames delivered against frames sent,
# resident memory, threads, descriptors and CPU per medium (see bench/many_media.cpp).
#
# Kinds:  rtmp   N players of one live stream that ffmpeg publishes (-re) to nginx-rtmp
#         http   N plays of one file from nginx, each throttled to the medium's live rate
#         mixed  the two above and local files (paced by their timestamps), in turn
#
# Goals at N = 100: no frame lost; at most 2 MiB resident per medium; 1 thread per medium for
# RTMP (the host's pulling thread: the plug-in adds none) and 2 for HTTP (plus the client's Qt
# event-loop thread); CPU per medium about the same at every N.
#
#   bench/many_media.sh [BUILD_DIR] [KINDS] [COUNTS]
#
# BUILD_DIR holds many_media, zovozudo and libZOVOzudo.so (default: build); KINDS is a comma list
# (default rtmp,http,mixed); COUNTS a space-separated list (default "1 10 50 100"). WARMUP_S and
# WINDOW_S set the seconds before and of each measurement (3 and 15). The medium, 60 s of 360p
# H.264 and AAC, is made once in ${ZOVOZUDO_BENCH_CACHE:-/tmp/zovozudo-bench}. nginx and ffmpeg
# run on free loopback ports in a temporary folder and are stopped on exit, also when the script
# is interrupted; the plug-in's settings and logs go to that folder too.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
kinds=${2:-rtmp,http,mixed}
counts=${3:-1 10 50 100}
warmup=${WARMUP_S:-3}
window=${WINDOW_S:-15}
cache=${ZOVOZUDO_BENCH_CACHE:-/tmp/zovozudo-bench}
module=/usr/lib/nginx/modules/ngx_rtmp_module.so
seconds=60

source bench/lib.sh
bench_require nginx ffmpeg timeout
[ -r "$module" ] || { echo "needs nginx's RTMP module ($module)" >&2; exit 2; }
for tool in many_media zovozudo; do
    [ -x "$build/$tool" ] || { echo "no $build/$tool: build the $tool target first" >&2; exit 2; }
done
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
build=$(cd "$build" && pwd)

media="$cache/live.flv"
mkdir -p "$cache"
if [ ! -s "$media" ]; then
    echo "making $seconds s of 360p H.264 and AAC in $media ..."
    # No B-frames, so that the video's timestamps go up in equal steps.
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=640x360:rate=25" -f lavfi -i "sine=frequency=440:sample_rate=44100" \
        -t "$seconds" -c:v libx264 -preset ultrafast -tune zerolatency -bf 0 -b:v 600k -g 50 \
        -c:a aac -b:a 96k "$media.tmp.flv"
    mv "$media.tmp.flv" "$media"
fi
# A little above the medium's own rate, so that the plays keep up with the clock.
rate=$(( $(stat -c %s "$media") * 11 / 10 / seconds ))

work=$(mktemp -d /tmp/zovozudo-many.XXXXXX)
nginx_pid="" publisher_pid="" bench_pid=""
stop_pid() {
    [ -n "$1" ] || return 0
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    stop_pid "$bench_pid"
    stop_pid "$publisher_pid"
    stop_pid "$nginx_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {
    local port
    while :; do
        port=$(( 20000 + RANDOM % 40000 ))
        port_open "$port" || { echo "$port"; return; }
    done
}

# One nginx for both protocols. A port taken between the choice and nginx's bind makes nginx
# exit, and other ports are tried.
for _ in 1 2 3 4 5 6 7 8 9 10; do
    http_port=$(free_port)
    rtmp_port=$(free_port)
    [ "$http_port" != "$rtmp_port" ] || continue
    cat >"$work/nginx.conf" <<EOF
load_module $module;
master_process off;
worker_processes 1;
worker_rlimit_nofile 4096;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  types { video/x-flv flv; }
  sendfile on;
  server { listen 127.0.0.1:$http_port; root $cache; limit_rate $rate; }
}
rtmp {
  server {
    listen 127.0.0.1:$rtmp_port;
    application live { live on; }
  }
}
EOF
    "$nginx_bin" -p "$work/" -c "$work/nginx.conf" -e "$work/error.log" -g 'daemon off;' &
    nginx_pid=$!
    for _ in $(seq 1 200); do
        port_open "$http_port" && port_open "$rtmp_port" && break
        kill -0 "$nginx_pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$nginx_pid" 2>/dev/null && port_open "$http_port" && port_open "$rtmp_port"; then
        break
    fi
    stop_pid "$nginx_pid"
    nginx_pid=""
done
[ -n "$nginx_pid" ] || { echo "nginx did not start: $(tail -3 "$work/error.log" 2>/dev/null)" >&2; exit 1; }

rtmp_url="rtmp://127.0.0.1:$rtmp_port/live/cam"
http_url="http://127.0.0.1:$http_port/live.flv"

# The plug-in's settings and logs stay in the work folder (the default level: errors only).
export ZOVOZUDO_REGISTRY_DIR="$work/registry" ZOVOZUDO_APPDATA_DIR="$work/appdata"
# A stalled stream ends after 10 s instead of 30, so that stopping stays quick.
export ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS=10000 ZOVOZUDO_RTMP_CONNECT_TIMEOUT_MS=10000
ulimit -n 4096 2>/dev/null || true

ffmpeg -nostdin -hide_banner -loglevel error -re -stream_loop -1 -i "$media" -c copy -f flv \
    "$rtmp_url" </dev/null &
publisher_pid=$!
live=0
for _ in 1 2 3 4 5 6 7 8 9 10; do
    if ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS=3000 timeout 10 "$build/zovozudo" probe "$rtmp_url" \
        >/dev/null 2>&1; then
        live=1
        break
    fi
    kill -0 "$publisher_pid" 2>/dev/null || break
    sleep 0.5
done
[ $live = 1 ] || { echo "the live stream did not start at $rtmp_url" >&2; exit 1; }

echo "medium: $media ($(( $(stat -c %s "$media") / 1024 )) KiB, $seconds s), HTTP limit $rate B/s"
echo "live stream: $rtmp_url; warm-up $warmup s, measured $window s per run"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

results="$work/results.txt"
: >"$results"
status=0
for kind in ${kinds//,/ }; do
    case $kind in
        rtmp) locations=("$rtmp_url") ;;
        http) locations=("$http_url") ;;
        mixed) locations=("$rtmp_url" "$http_url" "$media") ;;
        *) echo "unknown kind $kind" >&2; exit 2 ;;
    esac
    for n in $counts; do
        echo "--- $kind, $n media"
        "$build/many_media" --warmup "$warmup" --seconds "$window" "$n" "${locations[@]}" \
            >"$work/run.txt" 2>"$work/run.err" &
        bench_pid=$!
        run_status=0
        wait "$bench_pid" || run_status=$?
        bench_pid=""
        grep -v '^RESULT' "$work/run.txt" || true
        sort "$work/run.err" | uniq -c | head -5
        [ $run_status = 0 ] || { echo "many_media exited with $run_status"; status=1; }
        sed -n "s/^RESULT /kind=$kind /p" "$work/run.txt" >>"$results"
    done
done

echo
echo "=== per medium (resident, threads and descriptors: peak while open over the count)"
awk '
function field(name,   i, kv) {
    for (i = 1; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == name) return kv[2] }
    return ""
}
{
    kind = field("kind"); n = field("n")
    rss = (field("rss_mib") - field("rss_base_mib")) / n
    thr = (field("threads") - field("threads_base")) / n
    fds = (field("fds") - field("fds_base")) / n
    cpu = field("cpu_s") / field("window_s") / n * 100
    if (!(kind in first)) { first[kind] = NR; order[++kinds] = kind }
    last[kind] = NR
    K[NR] = kind; N[NR] = n; R[NR] = field("rss_mib"); T[NR] = field("threads")
    F[NR] = field("fds"); C[NR] = field("cpu_s") / field("window_s")
    printf "%-6s N=%-4d open %6.2f s  frames %7d sent %7d lost %4d  %6.3f MiB  %5.2f threads  %5.2f fds  %6.3f %% CPU\n",
        kind, n, field("open_s"), field("frames"), field("frames") + field("lost"), field("lost"),
        rss, thr, fds, cpu
}
END {
    print ""
    print "=== growth: added cost of each medium between the smallest and the largest count"
    for (k = 1; k <= kinds; ++k) {
        a = first[order[k]]; b = last[order[k]]
        if (N[b] == N[a]) continue
        d = N[b] - N[a]
        printf "%-6s N=%d..%d: %.3f MiB, %.2f threads, %.2f fds, %.3f %% CPU per added medium\n",
            order[k], N[a], N[b], (R[b] - R[a]) / d, (T[b] - T[a]) / d, (F[b] - F[a]) / d,
            (C[b] - C[a]) / d * 100
    }
}' "$results"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
