# Sourced by the scripts: installs the Debian packages that building, testing and running need,
# asking apt only when one of them is missing.
ZOVOZUDO_PACKAGES=(
    build-essential g++ cmake ninja-build pkg-config
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libboost-dev libboost-filesystem-dev zlib1g-dev
    libcli11-dev nlohmann-json3-dev
    clang libclang-rt-14-dev
    ffmpeg nginx libnginx-mod-rtmp curl time
)

zovozudo_install_deps() {
    zovozudo_install_node_media_server
    local missing=()
    local package
    for package in "${ZOVOZUDO_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    # The nginx package would start a system-wide server on port 80; the tests start their own.
    DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
    if command -v systemctl >/dev/null 2>&1; then $sudo systemctl stop nginx >/dev/null 2>&1 || true; fi
    $sudo service nginx stop >/dev/null 2>&1 || true
}

# node-media-server, a second live RTMP server for the tests, from npm into the source tree's
# .deps folder (ignored by git), only when that version is not there yet. It needs node 20 or
# later; where apt has no such node the tests that want it skip.
ZOVOZUDO_NODE_MEDIA_SERVER_VERSION=4.4.3

zovozudo_install_node_media_server() {
    local root
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/.deps/node-media-server"
    local package=$root/node_modules/node-media-server/package.json
    if [ -f "$package" ] &&
        grep -q "\"version\": *\"$ZOVOZUDO_NODE_MEDIA_SERVER_VERSION\"" "$package"; then
        return 0
    fi
    if ! command -v npm >/dev/null 2>&1; then
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        echo "Installing: nodejs npm"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
            nodejs npm >/dev/null
    fi
    echo "Installing: node-media-server@$ZOVOZUDO_NODE_MEDIA_SERVER_VERSION into $root"
    mkdir -p "$root"
    npm install --prefix "$root" --no-save --no-audit --no-fund --loglevel=error \
        "node-media-server@$ZOVOZUDO_NODE_MEDIA_SERVER_VERSION" >/dev/null
}
