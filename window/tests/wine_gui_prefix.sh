#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up the wine prefix in WINEPREFIX to show windows as Windows does, for
# the window tests and the real-window check:
#
#   - Windows' dialog font is wine's own Tahoma (fonts-wine), put in the
#     prefix's Fonts folder: Debian's wine does not find its fonts where the
#     package installs them, and drew windows in a wider serif font instead,
#     with "r" for the close box (its Marlett missing too);
#   - "MS Shell Dlg" and "MS Shell Dlg 2", the names programs ask for the
#     dialog font by, stand for Tahoma;
#   - wine draws title bars and borders itself, as there is no window
#     manager on the virtual X server;
#   - the screen has LOGPIXELS dots per inch: 96 is 100%, 144 is 150%, 192
#     is 200%.
#
# usage: wine_gui_prefix.sh [LOGPIXELS]
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the wine prefix}"
wine=${VELMORA_WINE:-wine}
wine_fonts=/usr/share/wine/fonts

# The first command creates a new prefix, with its Fonts folder.
substitutes='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
for name in "MS Shell Dlg" "MS Shell Dlg 2"; do
    "$wine" reg add "$substitutes" /v "$name" /d Tahoma /f >/dev/null
done
cp "$wine_fonts"/tahoma*.ttf "$wine_fonts"/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
"$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "${1:-96}" /f >/dev/null
# Wine takes the settings in when it starts again.
wineserver -w
