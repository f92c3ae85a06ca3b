#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real velmora on an X server (ctest starts it under xvfb-run), used with
# the mouse and the keyboard (xdotool) while the list of names that completes
# a path is open: one click does what it would do without the list, and the
# list closes.
#
#   1. OUTPUT typed as DIR/data beside DIR/data.bin, which the list offers:
#      one click on FILE CONVERT converts into DIR/data, RUNS times over;
#   2. INPUT typed as the path of a folder without its final "/", which the
#      list offers: one click on FILE CONVERT reports the failure;
#   3. one click at the start of OUTPUT puts the caret there;
#   4. one click in INPUT puts the caret there;
#   5. the window moved: the list does not stay behind;
#   6. with the file-size limit (ulimit -f) at 0, a conversion is reported as
#      a failure, and the program lives on.
#
# usage: real_window.sh VELMORA [RUNS] [SCREENSHOT.png]
# Needs DISPLAY, xdotool, xprop, xwininfo and prlimit; ImageMagick's "import"
# for the screenshot of the window, taken after it starts.
set -euo pipefail

velmora=$1
runs=${2:-20}
screenshot=${3:-}
: "${DISPLAY:?an X server is needed (run under xvfb-run)}"

say() { echo "real window: $*"; }
fail() {
    echo "real window: FAILED: $*" >&2
    exit 1
}

# The program's shown windows: the list of names for "list" (the one window
# placed by the program, not by a window manager), or the failure report.
shown() {
    local id
    for id in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
        case $1 in
            list) xwininfo -id "$id" | grep -q 'Override Redirect State: yes' ;;
            report) xprop -id "$id" _NET_WM_WINDOW_TYPE | grep -q '= _NET_WM_WINDOW_TYPE_DIALOG' ;;
        esac && echo "$id"
    done
}
# Runs the command given until it succeeds, for up to 10 s.
within_10s() { local n; for n in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
is_shown() { [ -n "$(shown "$1")" ]; }
is_gone() { [ -z "$(shown "$1")" ]; }
# Closes the failure report with Return, as a keyboard user does.
close_report() {
    xdotool windowfocus --sync "$(shown report)" key Return
    within_10s is_gone report || fail "the report did not close on Return"
}
# Whether FILE holds exactly the bytes $2 (in hex).
holds() { [ -f "$1" ] && [ "$(od -An -tx1 "$1" | tr -d ' \n')" = "$2" ]; }

# Where the window is, and how large.
locate() {
    eval "$(xdotool getwindowgeometry --shell "$main" | sed 's/^/window_/')"
    x=$window_X y=$window_Y width=$window_WIDTH
}
# Clicks at a point of the window given as laid out (312 x 136), wherever
# the window is and however much it grew with the font.
click_at() {
    xdotool mousemove "$((x + $1 * width / 312))" "$((y + $2 * width / 312))" click 1
}
# FILE CONVERT, the right halves of INPUT and OUTPUT, and OUTPUT's start.
click_convert() { click_at 252 104; }
click_input() { click_at 250 33; }
click_output() { click_at 250 65; }
click_output_start() { click_at 66 65; }
# Replaces the text of the box that has the focus, as typed.
type_over() {
    xdotool key ctrl+a
    xdotool type --delay 10 "$1"
}
# Types the last letter of OUTPUT again, which opens the list under it.
reopen_output() {
    click_output
    xdotool key End BackSpace type "a"
    within_10s is_shown list || fail "the list did not open under OUTPUT"
}

dir=$(mktemp -d)
printf '48656C6C6F' >"$dir/in.txt"
printf '4F4B' >"$dir/in2.txt"
printf 'old' >"$dir/data.bin"
mkdir "$dir/folder"

say "starting $velmora"
"$velmora" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT

main=$(timeout 30 xdotool search --sync --onlyvisible --pid "$pid" --name '^Main$' | head -n 1) ||
    fail "no window titled \"Main\" appeared"
locate
say "Main: ${window_WIDTH}x$window_HEIGHT at $x,$y"
if [ -n "$screenshot" ] && command -v import >/dev/null; then
    sleep 1 # let it paint
    import -window "$main" "$screenshot"
    say "screenshot of the window: $screenshot"
fi

# 1.
click_input
type_over "$dir/in.txt"
click_output
type_over "$dir/data"
for run in $(seq "$runs"); do
    reopen_output
    click_convert
    within_10s holds "$dir/data" 48656c6c6f || fail "run $run: one click did not convert into $dir/data"
    within_10s is_gone list || fail "run $run: the list stayed open"
    rm "$dir/data"
done
say "$runs of $runs: with data.bin offered, one click converted into $dir/data"

# 2.
click_input
type_over "$dir/folde"
xdotool type "r"
within_10s is_shown list || fail "the list did not offer the folder under INPUT"
click_convert
within_10s is_shown report || fail "one click did not report the folder as the input"
close_report
say "with the folder offered under INPUT, one click reported the failure"

# 3. A "/" typed at the start names the same file; at the end, a folder.
click_input
type_over "$dir/in.txt"
reopen_output
click_output_start
within_10s is_gone list || fail "a click in OUTPUT left the list open"
xdotool type "/"
click_convert
within_10s holds "$dir/data" 48656c6c6f || fail "a click at the start of OUTPUT did not put the caret there"
say "with the list open, one click at the start of OUTPUT put the caret there"

# 4.
reopen_output
click_input
within_10s is_gone list || fail "a click in INPUT left the list open"
type_over "$dir/in2.txt"
click_convert
within_10s holds "$dir/data" 4f4b || fail "what was typed after a click in INPUT did not go there"
say "with the list open under OUTPUT, one click put the caret in INPUT"

# 5.
reopen_output
xdotool windowmove --sync "$main" "$((x + 40))" "$((y + 30))"
within_10s is_gone list || fail "the list stayed behind when the window moved"
locate
say "the list closed when the window moved to $x,$y"

# 6. The system stops a process that writes past its limit unless the
#    process ignores the signal it is sent.
prlimit --pid "$pid" --fsize=0
click_output
type_over "$dir/limited"
click_convert
within_10s is_shown report || fail "no report of a conversion past the file-size limit"
kill -0 "$pid" 2>/dev/null || fail "the program ended at the file-size limit"
[ ! -e "$dir/limited" ] || fail "a conversion past the file-size limit left $dir/limited"
close_report
say "past the file-size limit, the conversion was reported as a failure"

kill -0 "$pid" 2>/dev/null || fail "the program ended"
