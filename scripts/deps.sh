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
