#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real Velmora.exe under wine, driven like a user with the mouse and the
# keyboard (xdotool) on an X server (ctest starts it under xvfb-run):
#
#   1. it starts and shows a window titled "Main" with a 312 x 136 client area,
#      fixed, with a close box but no minimize or maximize box;
#   2. a click on FILE CONVERT converts C:\in.txt into C:\ok.txt (the paths it
#      starts with), and one after typing another output path converts there;
#   3. with the list of names that completes a path open, one click on FILE
#      CONVERT does what it would do without the list, 5 times over each:
#      OUTPUT typed as C:\w\data beside data.bin, which the list offers,
#      converts into it; INPUT typed as C:\windows\sys, which names no file
#      though the list offers system.ini, system32\ and syswow64\, is
#      reported; and a drag of the title bar moves the window and closes the
#      list;
#   4. with the input missing, a click shows the report titled "Velmora";
#      after OK (Return) the window is still there, and the program running;
#   5. a file dropped on INPUT and one on OUTPUT, as from an X file manager,
#      are converted from and into by a click; a drop of two files is refused;
#   6. closed as its close box does, it ends with exit status 0.
#
# The drops use the X drag-and-drop protocol (XDND, xdnd_drop.py beside this
# script), which wine turns into an Explorer drop: a Windows file list.
#
# The prefix is set up by wine_gui_prefix.sh beside this script, at 100%,
# or at the screen's scale in dots per inch given as LOGPIXELS.
#
# usage: wine_real_window.sh VELMORA_EXE WINDOW_PROBE_EXE [SCREENSHOT.png [LOGPIXELS]]
# Needs WINEPREFIX (set by the test preset), DISPLAY, xdotool, python3-xlib;
# ImageMagick's "import" for the screenshot of the window, taken after it starts.
set -euo pipefail

exe=$1
probe=$2
screenshot=${3:-}
logpixels=${4:-96}
: "${WINEPREFIX:?WINEPREFIX must name the wine prefix}"
: "${DISPLAY:?an X server is needed (run under xvfb-run)}"
wine=${VELMORA_WINE:-wine}
drive_c=$WINEPREFIX/drive_c
xdnd_drop=$(dirname "$0")/xdnd_drop.py

say() { echo "real window: $*"; }
fail() {
    echo "real window: FAILED: $*" >&2
    exit 1
}

# Waits up to 30 s for the window titled $1 to be shown (or, with "gone" as
# $2, to be gone); prints its description, e.g. "client=312x136 origin=10,30 ...".
wait_for() {
    local tenth info
    for tenth in $(seq 150); do
        if info=$("$wine" "$probe" "$1" | tr -d '\r'); then
            [ "${2:-}" = gone ] || { echo "$info"; return 0; }
        elif [ "${2:-}" = gone ]; then
            return 0
        fi
        sleep 0.2
    done
    return 1
}
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

# Waits up to 20 s for FILE to hold exactly the bytes "Hello".
expect_hello() {
    local tenth
    for tenth in $(seq 200); do
        if [ -f "$1" ] && [ "$(od -An -tx1 "$1" | tr -d ' \n')" = "48656c6c6f" ]; then
            return 0
        fi
        sleep 0.1
    done
    # Whether the conversion failed or never started tells a typing slip from
    # a lost click.
    local shown=no
    report_shown && shown=yes
    fail "$1 does not hold Hello (a failure report shown: $shown)"
}

# Clicks at a point of the window's client area, given at 100%.
click_at() {
    xdotool mousemove "$((origin_x + $1 * logpixels / 96))" "$((origin_y + $2 * logpixels / 96))" \
        click 1
}
# Whether the list of names is shown: a window titled with the program's
# name, as the report is, but with no title bar and so no system menu.
list_shown() {
    local info
    info=$("$wine" "$probe" Velmora | tr -d '\r') && [ "$(field sysmenu "$info")" = 0 ]
}
list_gone() { ! list_shown; }
# Whether the failure report is shown: titled as the list is, with a system menu.
report_shown() {
    local info
    info=$("$wine" "$probe" Velmora | tr -d '\r') && [ "$(field sysmenu "$info")" = 1 ]
}
# Runs the command given until it succeeds, for up to 10 s.
within_10s() { local n; for n in $(seq 50); do "$@" && return 0; sleep 0.2; done; return 1; }
# Types the last letter of the box at $1,$2 again, which opens the list.
reopen_list() {
    click_at "$1" "$2"
    xdotool key End BackSpace type "$3"
    within_10s list_shown || fail "the list of names did not open"
}
# Centre of FILE CONVERT (Cmdgo: 208, 88, 89 x 33) and of the output box
# (txtOfile: 64, 56, 241 x 19), in client coordinates.
click_convert() { click_at 252 104; }

# Drops files at a point of the client area as a file manager does, with
# their URLs as text too; prints "accepted" or "refused".
drop_at() {
    local x=$1 y=$2 urls
    shift 2
    urls=$(/usr/bin/python3 -c 'import sys, urllib.parse
print(" ".join("file://" + urllib.parse.quote(path) for path in sys.argv[1:]))' "$@")
    "$xdnd_drop" "$((origin_x + x * logpixels / 96))" "$((origin_y + y * logpixels / 96))" \
        "text/uri-list=$urls" \
        "text/plain=$urls" || true
}

# A wine server still running from wine programs started without this X
# server would give the window no display: let it end first.
wineserver -w

# Windows' dialog font, no window manager, and the screen's scale.
"$(dirname "$0")/wine_gui_prefix.sh" "$logpixels"

rm -rf "$drive_c/in.txt" "$drive_c/ok.txt" "$drive_c/typed.bin" "$drive_c/dropped" "$drive_c/w"
printf '48656C6C6F' >"$drive_c/in.txt"
mkdir "$drive_c/w"
printf 'old' >"$drive_c/w/data.bin"
mkdir "$drive_c/dropped"
printf '48656C6C6F' >"$drive_c/dropped/in put.txt"
printf 'old' >"$drive_c/dropped/out put.bin"

say "starting $exe"
"$wine" "$exe" &
pid=$!
# Whatever happens, nothing of wine outlives the X server.
trap 'kill "$pid" 2>/dev/null || true; wineserver -w || true' EXIT

# 1. The window.
info=$(wait_for Main) || fail "no window titled \"Main\" appeared"
say "Main: $info"
client=$(field client "$info")
scaled=$((312 * logpixels / 96))x$((136 * logpixels / 96))
[ "$client" = "$scaled" ] || fail "client area is $client, not $scaled"
[ "$(field sizable "$info")" = "0" ] || fail "the window has a sizing border"
[ "$(field minimize "$info")" = "0" ] || fail "the window has a minimize box"
[ "$(field maximize "$info")" = "0" ] || fail "the window has a maximize box"
[ "$(field sysmenu "$info")" = "1" ] || fail "the window has no system menu (close box)"
locate() {
    origin=$(field origin "$info")
    origin_x=${origin%,*}
    origin_y=${origin#*,}
}
locate
xdotool mousemove 0 0 # nothing under the pointer
sleep 1 # let it paint
if [ -n "$screenshot" ] && ! command -v import >/dev/null; then
    say "no screenshot: ImageMagick's import is not installed"
elif [ -n "$screenshot" ]; then
    frame=$(field frame "$info")
    import -window root -crop "$frame" +repage "$screenshot"
    say "screenshot of the window: $screenshot"
fi

# 2. Conversions.
click_convert
expect_hello "$drive_c/ok.txt"
say "a click converted C:\\in.txt into C:\\ok.txt (Hello)"

click_at 184 65
xdotool key ctrl+a
xdotool type --delay 20 'C:\typed.bin'
click_convert
expect_hello "$drive_c/typed.bin"
say "after typing C:\\typed.bin as the output, a click converted into it"

# 3. One click with the list open.
click_at 184 65
xdotool key ctrl+a
xdotool type --delay 20 'C:\w\data'
for run in $(seq 5); do
    reopen_list 184 65 a
    click_convert
    expect_hello "$drive_c/w/data"
    within_10s list_gone || fail "run $run: the list stayed open after the click"
    rm "$drive_c/w/data"
done
say "5 of 5: with data.bin offered under OUTPUT, one click converted into C:\\w\\data"
click_at 184 33
xdotool key ctrl+a
xdotool type --delay 20 'C:\windows\sys'
for run in $(seq 5); do
    reopen_list 184 33 s
    click_convert
    report=$(wait_for Velmora) && [ "$(field sysmenu "$report")" = 1 ] ||
        fail "run $run: one click did not report the missing input"
    xdotool key Return
    wait_for Velmora gone || fail "run $run: the report did not close on Return"
    # Wine, with no window manager, gives the window back the focus it had
    # before the report (FILE CONVERT) late, after a click that came first.
    sleep 2
done
say "5 of 5: with system.ini, system32\\ and syswow64\\ offered under INPUT, one click reported C:\\windows\\sys missing"
reopen_list 184 33 s
before=$origin
frame=$(field frame "$info")
title_y=$(((${frame##*+} + origin_y) / 2)) # halfway between the frame's top and the client area
xdotool mousemove "$((origin_x + 100))" "$title_y" mousedown 1 sleep 0.2 \
    mousemove_relative 40 30 sleep 0.2 mouseup 1
within_10s list_gone || fail "the list stayed open when the title bar was dragged"
info=$(wait_for Main) || fail "the window is gone after a drag of its title bar"
locate
[ "$origin" != "$before" ] || fail "a drag of the title bar did not move the window"
say "with the list open, a drag of the title bar moved the window from $before to $origin"
click_at 184 33
xdotool key ctrl+a
xdotool type --delay 20 'C:\in.txt'

# 4. The failure report, and the window after it.
rm "$drive_c/in.txt"
click_convert
report=$(wait_for Velmora) || fail "no report titled \"Velmora\" for a missing input"
say "report for the missing input: Velmora ($report)"
xdotool key Return
wait_for Velmora gone || fail "the report did not close on Return"
kill -0 "$pid" 2>/dev/null || fail "the program ended after the report"
wait_for Main >/dev/null || fail "the window is gone after the report"
expect_hello "$drive_c/typed.bin" # the failed conversion left its output as it was
say "after OK the window is still there and C:\\typed.bin unchanged"

# 5. Drops. Each box then holds the file's Windows path (C:\dropped\...),
#    which the conversion reads and writes.
[ "$(drop_at 184 33 "$drive_c/dropped/in put.txt")" = accepted ] ||
    fail "a file dropped on INPUT was refused"
[ "$(drop_at 184 65 "$drive_c/dropped/out put.bin")" = accepted ] ||
    fail "a file dropped on OUTPUT was refused"
click_convert
expect_hello "$drive_c/dropped/out put.bin"
say "files dropped on INPUT and OUTPUT: a click converted C:\\dropped\\in put.txt into out put.bin"
[ "$(drop_at 184 33 "$drive_c/in.txt" "$drive_c/ok.txt")" = refused ] ||
    fail "a drop of two files was taken"
rm "$drive_c/dropped/out put.bin"
click_convert
expect_hello "$drive_c/dropped/out put.bin"
say "a drop of two files on INPUT was refused, and the box kept the dropped path"

# 6. Closing it.
"$wine" "$probe" Main close || fail "could not close the window"
for tenth in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "the program is still running 30 s after its window was closed"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after closing, not 0"
say "closed; exit status 0"
