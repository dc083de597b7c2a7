# Sourced by the benchmark scripts.

# Exits with 2 unless every named tool is on PATH or in /usr/sbin.
bench_require() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] || {
            echo "needs $tool" >&2
            exit 2
        }
    done
}

# Makes $1/big.flv, at least $2 MB, when it is missing or smaller: 10 s of 720p H.264 at about
# 40 Mbit/s with AAC, then the same clip looped and copied. Files appear whole or not at all.
bench_big_flv() {
    local cache=$1 min_mb=$2
    local media="$cache/big.flv"
    mkdir -p "$cache"
    if [ -s "$media" ] && [ "$(stat -c %s "$media")" -ge $((min_mb * 1024 * 1024)) ]; then
        return 0
    fi
    echo "making a FLV of at least $min_mb MB in $cache ..."
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=1280x720:rate=30" -f lavfi -i "sine=frequency=440:sample_rate=44100" \
        -t 10 -c:v libx264 -preset ultrafast -b:v 40M -maxrate 40M -bufsize 80M -g 60 \
        -c:a aac -b:a 128k "$cache/clip.flv.tmp.flv"
    mv "$cache/clip.flv.tmp.flv" "$cache/clip.flv"
    local clip loops
    clip=$(stat -c %s "$cache/clip.flv")
    loops=$(( (min_mb * 1024 * 1024 + clip - 1) / clip ))
    ffmpeg -nostdin -hide_banner -loglevel error -y -stream_loop "$loops" -i "$cache/clip.flv" \
        -c copy "$cache/big.flv.tmp.flv"
    mv "$cache/big.flv.tmp.flv" "$media"
}
