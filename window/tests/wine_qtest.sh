#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a QtTest program under wine, on the X server in DISPLAY, and shows its
# report. The prefix is first set up by wine_gui_prefix.sh beside this script,
# for a screen of VELMORA_LOGPIXELS dots per inch (96, 100%, if not set).
# Under wine the program's standard output is lost once a window has opened,
# so the report goes through a file. Afterwards it waits for wine to end in
# this prefix, so that nothing of it outlives the X server.
#
# usage: wine_qtest.sh TEST_PROGRAM.exe [QTEST_ARGUMENTS...]
set -uo pipefail
program=$1
shift
wine=${VELMORA_WINE:-wine}
"$(dirname "$0")/wine_gui_prefix.sh" "${VELMORA_LOGPIXELS:-96}" || exit
report=$(mktemp -p . qtest-XXXXXX.txt)
"$wine" "$program" -o "$(basename "$report"),txt" "$@"
status=$?
cat "$report"
rm -f "$report"
wineserver -w
exit "$status"
