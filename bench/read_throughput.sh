#!/usr/bin/env bash
# bench/read_throughput.sh [REPETITIONS]
#
# How fast the plug-in hands out the frames of a large local FLV file, through `zovozudo read`,
# beside `cat FILE >/dev/null` (the cost of the bytes alone) and ffmpeg's own FLV demuxer
# (`ffmpeg -i FILE -map 0 -c copy -f null -`), timed side by side in one run on the same file.
# Prints each one's median wall time and rate and the ratios. Goals: zovozudo at most 2x cat,
# and at most half of ffmpeg's time.
#
# The file (>= 1 GB, 720p H.264 + AAC at about 4 Mbit/s, ffmpeg's sample looped with -c copy) is
# made once into build/bench-media and kept there. Needs a built build/zovozudo (scripts/run).
set -euo pipefail
cd "$(dirname "$0")/.."
repetitions=${1:-5}
zovozudo=build/zovozudo
[ -x "$zovozudo" ] || { echo "build/zovozudo is missing: build it first (scripts/run)" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "needs ffmpeg" >&2; exit 1; }

cache=build/bench-media
source=$cache/source-720p-30s.flv
big=$cache/big.flv
target_bytes=$((1024 * 1024 * 1024))
mkdir -p "$cache"

if [ ! -s "$source" ]; then
    echo "Making $source..."
    # Noise keeps the encoder busy spending its bit rate, as camera pictures do.
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=30,noise=alls=20:allf=t" \
        -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=30" \
        -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 50 -b:v 4M -maxrate 4M -bufsize 8M \
        -c:a aac -b:a 128k -ac 2 -f flv "$source.tmp"
    mv "$source.tmp" "$source"
fi
if [ ! -s "$big" ] || [ "$(stat -c %s "$big")" -lt "$target_bytes" ]; then
    source_bytes=$(stat -c %s "$source")
    loops=$(((target_bytes + source_bytes - 1) / source_bytes))
    echo "Making $big ($loops copies of the sample)..."
    ffmpeg -nostdin -hide_banner -loglevel error -y -stream_loop $((loops - 1)) -i "$source" \
        -map 0 -c copy -f flv "$big.tmp"
    mv "$big.tmp" "$big"
fi
bytes=$(stat -c %s "$big")

# Wall seconds of one run of the command given, with its output thrown away.
seconds_of() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", b - a }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The file is read once first so that every timed run finds it in the page cache.
cat "$big" >/dev/null
echo "File: $big, $bytes bytes; $repetitions repetitions, medians of wall time"
"$zovozudo" read "$big"

declare -a zovozudo_runs=() cat_runs=() ffmpeg_runs=()
for ((i = 1; i <= repetitions; i++)); do
    zovozudo_runs+=("$(seconds_of "$zovozudo" read "$big")")
    cat_runs+=("$(seconds_of cat "$big")")
    ffmpeg_runs+=("$(seconds_of ffmpeg -nostdin -hide_banner -loglevel error -i "$big" -map 0 -c copy -f null -)")
done

z=$(printf '%s\n' "${zovozudo_runs[@]}" | median)
c=$(printf '%s\n' "${cat_runs[@]}" | median)
f=$(printf '%s\n' "${ffmpeg_runs[@]}" | median)
report() { awk -v n="$1" -v t="$2" -v b="$bytes" 'BEGIN { printf "%-10s %8.3f s  %8.1f MB/s\n", n, t, b / t / 1e6 }'; }
report zovozudo "$z"
report cat "$c"
report ffmpeg "$f"
ratio() {
    awk -v what="$1" -v a="$2" -v b="$3" -v goal="$4" 'BEGIN {
        r = a / b
        printf "%-18s = %5.2f (goal <= %.2f: %s)\n", what, r, goal, r <= goal ? "met" : "MISSED" }'
}
ratio "zovozudo / cat" "$z" "$c" 2
ratio "zovozudo / ffmpeg" "$z" "$f" 0.5
