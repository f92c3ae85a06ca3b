#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the Windows installer under wine, in a fresh wine prefix of its own:
#
#   1. a silent install (/S), as an administrator's script would run it, puts
#      Velmora.exe in Program Files\Velmora, a Start-menu shortcut, and the
#      uninstaller's entry that Apps & features lists;
#   2. the installed Velmora.exe works: the real-window check
#      (window/tests/wine_real_window.sh) runs it on a virtual X server;
#   3. a silent uninstall removes the program, the shortcut and the entry.
#
# usage: packaging/wine_installer_check.sh INSTALLER.exe
# Run from the source folder after ./build.sh windows has built and packed.
set -euo pipefail

installer=$(realpath "$1")
probe=$(find "$PWD/build/windows" -name window_probe.exe | head -n 1)
export WINEPREFIX=$PWD/build/windows/wineprefix-installer
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8

say() { echo "installer check: $*"; }
fail() {
    echo "installer check: FAILED: $*" >&2
    exit 1
}
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmora'
registered() { wine reg query "$uninstall_key" /reg:64 2>/dev/null | tr -d '\r'; }

rm -rf "$WINEPREFIX"
wine wineboot --init
wineserver -w

program_dir=$WINEPREFIX/drive_c/Program\ Files/Velmora
start_menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs

say "installing silently: $(basename "$installer") /S"
wine "$installer" /S
wineserver -w
[ -f "$program_dir/Velmora.exe" ] || fail "no Velmora.exe in Program Files\\Velmora"
say "installed: $(cd "$program_dir" && ls | tr '\n' ' ')"
shortcut=$(find "$WINEPREFIX/drive_c" -name 'Velmora.lnk' -path '*Start Menu*' | head -n 1)
[ -n "$shortcut" ] || fail "no Start-menu shortcut"
say "Start-menu shortcut: ${shortcut#"$WINEPREFIX/"}"
entry=$(registered) || fail "no uninstall entry $uninstall_key"
grep -q 'DisplayName.*Velmora' <<<"$entry" || fail "the uninstall entry has no DisplayName"
grep -q 'UninstallString' <<<"$entry" || fail "the uninstall entry has no UninstallString"
say "Apps & features entry:"
grep -E 'DisplayName|DisplayVersion|UninstallString|DisplayIcon' <<<"$entry"

say "running the installed Velmora.exe"
xvfb-run -a -s "-screen 0 1024x768x24" window/tests/wine_real_window.sh \
    "$program_dir/Velmora.exe" "$probe"

say "uninstalling silently"
wine "$program_dir/Uninstall.exe" /S
wineserver -w
[ ! -e "$program_dir/Velmora.exe" ] || fail "Velmora.exe is still there after uninstalling"
[ ! -e "$shortcut" ] || fail "the Start-menu shortcut is still there after uninstalling"
registered >/dev/null && fail "the uninstall entry is still there after uninstalling"
say "uninstalled: program, shortcut and entry removed"
# The registry query above started a wine server of its own, which writes
# the prefix's registry files as it ends: let it end before the prefix goes.
wineserver -w
rm -rf "$WINEPREFIX"
