#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds, tests and starts Velmora on Debian or Ubuntu: see usage() just
# below, which is also what ./build.sh --help prints.
set -euo pipefail

usage() {
    cat <<'EOF'
Builds, tests and starts Velmora on Debian or Ubuntu.

  ./build.sh run     build and start the program
  ./build.sh test    build and run every test
  ./build.sh asan    every test under AddressSanitizer and UBSan
  ./build.sh windows Velmora.exe, its installer and zip for Windows, and every
                     test run under wine (./build.sh mingw is the same)
  ./build.sh deb     the Debian package for the release this runs on, checked
                     by lintian and appstreamcli
  ./build.sh filesystems [FILE_SYSTEM...]
                     as root: the file tests on ext4, xfs, btrfs, tmpfs,
                     exfat-fuse and ntfs-3g, and in a small VM on the
                     kernel's vfat and exfat, an NFS and an SMB share (or
                     only those named; tools/filesystem-tests says more)
  ./build.sh fuzz    short runs of the fuzz targets
  ./build.sh bench   the benchmarks
  ./build.sh packages deb|windows
                     only the packages, with no test built or run
  ./build.sh reproducible [deb|windows|all]
                     build the packages of the last commit twice, in two
                     fresh clones, and check they are the same bytes
  ./build.sh chroot RELEASE [COMMAND]
                     run ./build.sh COMMAND (test by default) in a fresh
                     minimal Debian RELEASE (trixie: Debian 13)
  ./build.sh --help  this text

Each command first installs the Debian packages it needs that are missing
(through sudo when not run as root), waiting while another apt or dpkg,
such as an unattended upgrade, holds their locks (up to VELMORA_APT_WAIT
seconds, 600 by default); then it uses the CMake preset of the same name
(deb uses the release build). Set CI=true to turn compiler warnings into
errors. Packages carry the last commit's time (SOURCE_DATE_EPOCH), so that
two builds of one commit give the same bytes; each build writes SHA256SUMS
beside them.
EOF
}

cd "$(dirname "$0")"
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    export SOURCE_DATE_EPOCH
fi

base_packages=(cmake make g++ pkg-config libgtest-dev libbenchmark-dev qt6-base-dev libgl-dev
    fonts-dejavu-core)
# For the check of the real window on a virtual X server, with xdotool.
real_window_packages=(xvfb xauth xdotool x11-utils)

windows_packages=(cmake make ninja-build g++-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools
    dpkg-dev python3 python3-xlib wine wine64 fonts-wine googletest xvfb xauth xdotool nsis)

# apt and dpkg refuse at once to start while another of them holds one of
# their locks, as the unattended upgrades of a desktop that has just started
# often do for minutes: dpkg's own (installing), the package lists' (apt-get
# update) and the downloaded packages'. So installing waits for them, up to
# VELMORA_APT_WAIT seconds.
apt_locks=(/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock
    /var/cache/apt/archives/lock)
apt_wait=${VELMORA_APT_WAIT:-600}

# Prints the first of apt_locks that a process holds, and that process.
# They are fcntl locks, which flock(1) does not see; the kernel lists each
# one in /proc/locks with its file's device (major:minor, in hex) and inode.
held_apt_lock() {
    local lock device inode id pid name
    for lock in "${apt_locks[@]}"; do
        read -r device inode < <(stat -c '%d %i' "$lock" 2>/dev/null) || continue
        id=$(printf '%02x:%02x:%s' $(((device >> 8 & 0xfff) | (device >> 32 & ~0xfff))) \
            $(((device & 0xff) | (device >> 12 & ~0xff))) "$inode")
        pid=$(awk -v id="$id" '$0 !~ /->/ && $6 == id { print $5; exit }' /proc/locks)
        if [ -n "$pid" ]; then
            name=$(cat "/proc/$pid/comm" 2>/dev/null) || true
            echo "$lock (process $pid${name:+, $name})"
            return 0
        fi
    done
    return 1
}

# apt-get "$@", once no lock is held; again if it failed because another apt
# took one meanwhile (apt itself waits only for dpkg's, and only when told).
apt_get() {
    local deadline=$((SECONDS + apt_wait)) held told=""
    while true; do
        while held=$(held_apt_lock); do
            if [ "$SECONDS" -ge "$deadline" ]; then
                echo "build.sh: another program still holds $held after $apt_wait seconds." >&2
                echo "Let it finish (an update may be running), then run ./build.sh again;" >&2
                echo "set VELMORA_APT_WAIT to wait longer than $apt_wait seconds." >&2
                exit 1
            fi
            if [ "$held" != "$told" ]; then
                echo "Waiting for another program to let go of $held..."
                told=$held
            fi
            sleep 2
        done
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get \
            -o DPkg::Lock::Timeout=$((deadline > SECONDS ? deadline - SECONDS : 0)) "$@" && return 0
        held_apt_lock >/dev/null || return 1
    done
}

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

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
    apt_get update -q
    apt_get install -y -q --no-install-recommends "${missing[@]}"
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

# The Windows packages from a built windows preset in $1: the installer and
# zip, with Velmora.exe itself beside them; the source of the Qt linked into
# it, which the LGPL asks to go with it; and their checksums.
pack_windows() {
    (cd "$1" && cpack)
    cp "$1/window/Velmora.exe" "$VELMORA_QT_MINGW"/share/velmora/source/qt6-base_* "$1/packages/"
    (cd "$1/packages" && sha256sum Velmora.exe Velmora-*-win64.exe Velmora-*-win64.zip \
        qt6-base_* >SHA256SUMS)
    cat "$1/packages/SHA256SUMS"
}

# The Debian package from a built release preset in $1, checked as Debian
# checks its own: no lintian warning (pedantic ones shown), valid AppStream
# metadata and desktop entry.
pack_deb() {
    (cd "$1" && cpack -G DEB)
    local deb
    deb=$(ls "$1"/packages/velmora_*.deb)
    lintian --pedantic --fail-on error,warning "$deb"
    appstreamcli validate --pedantic --no-net --explain "$1/packaging/org.velmora.velmora.metainfo.xml"
    desktop-file-validate packaging/linux/*.desktop
    (cd "$1/packages" && sha256sum velmora_*.deb >SHA256SUMS)
    cat "$1/packages/SHA256SUMS"
}

command=${1:-}
case "$command" in
    test)
        install_missing "${base_packages[@]}" "${real_window_packages[@]}"
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
        install_missing "${base_packages[@]}" "${real_window_packages[@]}"
        build_and_test asan
        ;;
    windows | mingw)
        install_missing "${windows_packages[@]}"
        # The static Qt for Windows: built once into a cache outside the
        # source tree (20 to 30 minutes on 2 cores), then reused.
        VELMORA_QT_MINGW=$(tools/build-qt-mingw.sh)
        export VELMORA_QT_MINGW
        build_and_test windows
        pack_windows build/windows
        packaging/wine_installer_check.sh build/windows/packages/Velmora-*-win64.exe
        ;;
    deb)
        install_missing "${base_packages[@]}" dpkg-dev file lintian appstream desktop-file-utils
        cmake --preset release
        cmake --build --preset release --parallel "$(nproc)"
        pack_deb build/release
        ;;
    packages)
        # Without tests, in the same build folder as test, deb and windows:
        # their presets turn the tests back on, so a later ./build.sh test or
        # windows builds and runs every test again.
        case "${2:-}" in
            deb)
                install_missing "${base_packages[@]}" dpkg-dev file lintian appstream \
                    desktop-file-utils
                cmake --preset release -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BENCH=OFF
                cmake --build --preset release --parallel "$(nproc)"
                pack_deb build/release
                ;;
            windows)
                install_missing "${windows_packages[@]}"
                VELMORA_QT_MINGW=$(tools/build-qt-mingw.sh)
                export VELMORA_QT_MINGW
                cmake --preset windows -DVELMORA_BUILD_TESTS=OFF
                cmake --build --preset windows --parallel "$(nproc)"
                pack_windows build/windows
                ;;
            *)
                echo "usage: ./build.sh packages deb|windows" >&2
                exit 2
                ;;
        esac
        ;;
    reproducible)
        install_missing git
        tools/check-reproducible "${2:-all}"
        ;;
    chroot)
        install_missing debootstrap
        tools/debian-chroot "${2:?usage: ./build.sh chroot RELEASE [COMMAND]}" "${3:-test}"
        ;;
    filesystems)
        install_missing "${base_packages[@]}" xfsprogs btrfs-progs exfatprogs exfat-fuse ntfs-3g \
            dosfstools qemu-system-x86 busybox-static samba nfs-kernel-server cifs-utils
        cmake --preset release
        cmake --build --preset release --parallel "$(nproc)" \
            --target stopped_conversion_test text_file_test
        tools/filesystem-tests build/release "${@:2}"
        ;;
    fuzz)
        install_missing cmake make clang libclang-rt-dev
        build_and_test fuzz
        ;;
    bench)
        install_missing "${base_packages[@]}"
        build_and_test velmora_bench
        ;;
    -h | --help | help)
        usage
        ;;
    *)
        usage >&2
        exit 2
        ;;
esac
