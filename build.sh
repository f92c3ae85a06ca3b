#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds, tests and starts Velmora on Debian or Ubuntu.
#
#   ./build.sh run     build and start the program
#   ./build.sh test    build and run every test
#   ./build.sh asan    every test under AddressSanitizer and UBSan
#   ./build.sh windows Velmora.exe, its installer and zip for Windows, and every
#                      test run under wine (./build.sh mingw is the same)
#   ./build.sh deb     the Debian package, velmora_1.00_amd64.deb, checked by lintian
#   ./build.sh fuzz    short runs of the fuzz targets
#   ./build.sh bench   the benchmarks
#
# Each command first installs the Debian packages it needs that are missing
# (through sudo when not run as root), then uses the CMake preset of the
# same name (deb uses the release build). Set CI=true to turn compiler
# warnings into errors.
set -euo pipefail
cd "$(dirname "$0")"

base_packages=(cmake make g++ pkg-config libgtest-dev libbenchmark-dev qt6-base-dev libgl-dev
    fonts-dejavu-core)

install_missing() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure, build and test one preset; extra arguments go to the configure step
build_and_test() {
    local preset=$1
    shift
    local werror=()
    [ "${CI:-}" = "true" ] && werror=(-DVELMORA_WERROR=ON)
    cmake --preset "$preset" "${werror[@]}" "$@"
    cmake --build --preset "$preset" --parallel "$(nproc)"
    ctest --preset "$preset" --parallel "$(nproc)"
}

command=${1:-}
case "$command" in
    test)
        install_missing "${base_packages[@]}"
        build_and_test release
        ;;
    run)
        install_missing "${base_packages[@]}"
        cmake --preset release
        cmake --build --preset release --parallel "$(nproc)" --target velmora
        if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
            echo "Velmora is built (build/release/window/velmora), but there is no display to show"
            echo "its window on: run it on a desktop, or set DISPLAY."
            exit 1
        fi
        exec build/release/window/velmora
        ;;
    asan)
        install_missing "${base_packages[@]}"
        build_and_test asan
        ;;
    windows | mingw)
        install_missing cmake make ninja-build g++-mingw-w64-x86-64-posix qt6-base-dev \
            qt6-base-dev-tools dpkg-dev wine wine64 fonts-wine googletest xvfb xauth xdotool nsis python3-xlib
        # The static Qt for Windows: built once into a cache outside the
        # source tree (20 to 30 minutes on 2 cores), then reused.
        VELMORA_QT_MINGW=$(tools/build-qt-mingw.sh)
        export VELMORA_QT_MINGW
        build_and_test windows
        (cd build/windows && cpack)
        packaging/wine_installer_check.sh build/windows/packages/Velmora-*-win64.exe
        ls -l build/windows/window/Velmora.exe build/windows/packages/Velmora-*-win64.*
        ;;
    deb)
        install_missing "${base_packages[@]}" dpkg-dev file lintian
        cmake --preset release
        cmake --build --preset release --parallel "$(nproc)" --target velmora
        (cd build/release && cpack -G DEB)
        # Errors fail the command; warnings are shown.
        lintian --fail-on error build/release/packages/velmora_*_amd64.deb
        ls -l build/release/packages/velmora_*_amd64.deb
        ;;
    fuzz)
        install_missing cmake make clang libclang-rt-dev
        build_and_test fuzz
        ;;
    bench)
        install_missing "${base_packages[@]}"
        build_and_test velmora_bench
        ;;
    *)
        sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
        exit 2
        ;;
esac
