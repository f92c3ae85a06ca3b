#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the static Qt for Windows that Velmora.exe is linked with, from
# Debian's own qt6-base source, with Debian's MinGW-w64 cross compiler.
#
#   tools/build-qt-mingw.sh                 build it unless the cache has it; print its folder
#   tools/build-qt-mingw.sh --print-prefix  only print the folder it is (or would be) in
#
# The result goes into a cache outside the source tree,
#   ${XDG_CACHE_HOME:-~/.cache}/velmora/qt-6.4.2-mingw-static-<key>
# where <key> is a hash of this script and of the toolchain file: a change of
# either gives a new folder, so a Qt built with other options is never reused.
# It is built once (20 to 30 minutes on 2 cores) and then reused by every
# build and CI run on the machine. The file "velmora-qt-complete" is written
# into the folder last, so an interrupted build is never taken for a
# finished one: without it the folder is wiped and built again.
#
# Needs: cmake, ninja-build, g++-mingw-w64-x86-64-posix, qt6-base-dev-tools
# (the host moc, uic and rcc), dpkg-dev (dpkg-source) and a deb-src entry for
# Debian bookworm, which is added if apt cannot find the source.
#
# Beside the libraries, the folder keeps what the notices of Velmora.exe are
# made from (tools/qt-notices reads it), in share/velmora/:
#   source-version     the Debian source package's version, e.g. 6.4.2+dfsg-10
#   source/            that source package itself (.dsc and tarballs), which
#                      is published beside the Windows packages: the LGPL asks
#                      that Qt's source go with a program that links it in
#   licenses/          Qt's licence texts and Debian's copyright file for it
#   attribution/       every qt_attribution.json of the source, with the
#                      licence files they name, at their places in the tree
#   object-sources.gz  for each object file of Qt's libraries, the source
#                      files that went into it (from the compiler's own
#                      dependency records), so that the notices can list
#                      exactly the code that Velmora.exe links in
set -euo pipefail

qt_version=6.4.2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
toolchain=$source_dir/cmake/mingw-w64-x86_64.cmake
key=$(cat "$0" "$toolchain" | sha256sum | cut -c1-12)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/velmora
prefix=$cache/qt-$qt_version-mingw-static-$key
stamp=$prefix/velmora-qt-complete

if [ "${1:-}" = "--print-prefix" ]; then
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache"
# One build at a time: a second caller waits, then finds the stamp.
exec 9>"$cache/qt-$key.lock"
flock 9
if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi

log() { echo "build-qt-mingw: $*" >&2; }
log "building Qt $qt_version for Windows into $prefix (takes a while; done once per machine)"
started=$(date +%s)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# The source: Debian's qt6-base package, with Debian's patches (security fixes
# included) applied by dpkg-source.
work=$cache/qt-$qt_version-work-$key
rm -rf "$work"
mkdir -p "$work/download"
cd "$work/download"
if ! apt-get source --download-only qt6-base >&2; then
    log "adding a deb-src entry for Debian bookworm main"
    "${sudo[@]}" tee /etc/apt/sources.list.d/velmora-deb-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    "${sudo[@]}" apt-get update -q >&2
    apt-get source --download-only qt6-base >&2
fi
dpkg-source -x qt6-base_"$qt_version"*.dsc "$work/src" >&2
cd "$work"
source_version=$(dpkg-parsechangelog -l src/debian/changelog -S Version)
# Resource data (rcc) records file times: the source package's date stands
# in for all of them, so that every build of this Qt gives the same bytes.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l src/debian/changelog -S Timestamp)
export SOURCE_DATE_EPOCH

# The toolchain file is copied into the result, because Qt's
# qt.toolchain.cmake remembers the path of the one Qt was built with.
rm -rf "$prefix"
mkdir -p "$prefix/lib/cmake"
cp "$toolchain" "$prefix/lib/cmake/velmora-mingw-w64-x86_64.cmake"

options=(
    -G Ninja
    -DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/velmora-mingw-w64-x86_64.cmake"
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX="$prefix"
    # No path of this machine in the libraries: source file names as
    # "qtbase/...", and no install prefix compiled into QtCore (a static Qt
    # finds nothing through it anyway).
    "-DCMAKE_C_FLAGS=-ffile-prefix-map=$work/src=qtbase -ffile-prefix-map=$work/build=qtbase"
    "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$work/src=qtbase -ffile-prefix-map=$work/build=qtbase"
    -DFEATURE_relocatable=ON
    # moc, uic and rcc are not cross-built: Debian's own (qt6-base-dev-tools,
    # the same 6.4.2) run on the build machine.
    -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    # Static libraries, so that Velmora.exe needs no Qt DLL beside it.
    -DBUILD_SHARED_LIBS=OFF
    # Only the libraries are wanted.
    -DQT_BUILD_EXAMPLES=OFF
    -DQT_BUILD_TESTS=OFF
    # Modules Velmora does not use (it needs Core, Gui, Widgets and Test).
    -DFEATURE_sql=OFF
    -DFEATURE_dbus=OFF
    -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF
    -DFEATURE_xml=OFF
    -DFEATURE_network=OFF
    # No OpenGL (the window is drawn with the raster engine): "-opengl no"
    # of Qt's configure. This turns off OpenGL, dynamic GL and the
    # QtOpenGL modules together; FEATURE_opengl=OFF alone leaves dynamicgl
    # on, and the Windows plugin then fails to compile (isSoftwareGl()).
    -DINPUT_opengl=no
    -DFEATURE_vulkan=OFF
    # Direct2D 1.1 is only for a second Windows platform plugin, "direct2d",
    # that Velmora does not use. (Direct2D itself stays on: the Windows font
    # database is built with it, and without it Qt 6.4.2 leaves the DirectWrite
    # font database out of QtGui while the Windows plugin still calls it.)
    -DFEATURE_direct2d1_1=OFF
    # Debian's source leaves out the Wacom tablet header (wintab.h) that
    # the Windows plugin needs for tablet events.
    -DFEATURE_tabletevent=OFF
    # Velmora shows no JPEG.
    -DFEATURE_jpeg=OFF
    # The bundled third-party libraries, built into Qt: Windows has none of
    # them, and the build machine's are Linux libraries.
    -DFEATURE_system_zlib=OFF
    -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_freetype=OFF
    -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_png=OFF
    -DFEATURE_system_jpeg=OFF
    -DFEATURE_system_doubleconversion=OFF
    -DFEATURE_system_md4c=OFF
)
cmake -S "$work/src" -B "$work/build" "${options[@]}" >&2
cmake --build "$work/build" --parallel "$(nproc)" >&2
cmake --install "$work/build" >&2

# What the notices are made from (see the top of this file).
notices=$prefix/share/velmora
mkdir -p "$notices/licenses" "$notices/attribution"
echo "$source_version" >"$notices/source-version"
mkdir -p "$notices/source"
cp download/qt6-base_* "$notices/source/"
cp src/LICENSES/*.txt "$notices/licenses/"
cp src/debian/copyright "$notices/licenses/debian-copyright"
(
    cd src
    find . -name qt_attribution.json -printf '%h\n' | while read -r dir; do
        mkdir -p "$notices/attribution/$dir"
        cp "$dir/qt_attribution.json" "$notices/attribution/$dir/"
        # The licence files it names, wherever they are.
        python3 -c 'import json, sys
entries = json.loads(open(sys.argv[1]).read(), strict=False)
for entry in entries if isinstance(entries, list) else [entries]:
    if entry.get("LicenseFile"):
        print(entry["LicenseFile"])' "$dir/qt_attribution.json" | while read -r file; do
            [ -f "$dir/$file" ] || continue
            mkdir -p "$notices/attribution/$(dirname "$dir/$file")"
            cp "$dir/$file" "$notices/attribution/$dir/$file"
        done
    done
)
ninja -C "$work/build" -t deps | sed "s|$work/src/||; s|$work/build/||" | gzip -n >"$notices/object-sources.gz"
rm -rf "$work"
touch "$stamp"
log "done in $(( ($(date +%s) - started) / 60 )) min; $(du -sh "$prefix" | cut -f1) in $prefix"
echo "$prefix"
