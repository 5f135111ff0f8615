# Shared by the scripts: package installation and the build.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${ROSTREL_BUILD_DIR:-$ROOT/build}"

# What building, testing and the demo need, from Debian 12's packages.
BASE_PACKAGES=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools
    qt6-qpa-plugins libgl-dev xvfb xauth x11-utils fonts-dejavu-core fonts-liberation curl python3 clang-format
    desktop-file-utils appstream dpkg-dev file xdotool libxkbcommon-dev git php-cli)

# The Windows cross-build and its tests under Wine.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
    wine wine64 nsis zip unzip imagemagick)

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
        echo "Need root (or sudo) to run: $*" >&2; return 1; fi
}

# ensure_packages pkg...: installs the packages that are missing.
ensure_packages() {
    local missing=() p
    # Each package once, however many lists name it.
    for p in $(printf '%s\n' "$@" | sort -u); do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "==> Installing ${#missing[@]} Debian packages (a fresh machine takes a few minutes): ${missing[*]}"
    echo "==> Updating the package lists"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    # -q leaves one line per package fetched and set up, readable in a log as on a terminal.
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    echo "==> Packages installed"
}

# configure_and_build [cmake options...] [-- targets...]: builds into $BUILD_DIR.
configure_and_build() {
    local jobs opts=() targets=()
    jobs="$(nproc 2>/dev/null || echo 2)"
    while [ $# -gt 0 ]; do
        if [ "$1" = "--" ]; then shift; targets=("$@"); break; fi
        opts+=("$1"); shift
    done
    if [ ! -f "$BUILD_DIR/CMakeCache.txt" ] || [ ${#opts[@]} -gt 0 ]; then
        echo "==> Configuring $BUILD_DIR"
        cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-RelWithDebInfo}" \
            "${opts[@]}"
    fi
    echo "==> Building in $BUILD_DIR with $jobs jobs"
    if [ ${#targets[@]} -gt 0 ]; then
        cmake --build "$BUILD_DIR" -j "$jobs" --target "${targets[@]}"
    else
        cmake --build "$BUILD_DIR" -j "$jobs"
    fi
}
