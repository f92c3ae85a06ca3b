#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# Debian's own Python: python3-xlib is installed for it.
"""Drops data on the window at a point of the X screen, as a file manager
does: by the X drag-and-drop protocol (XDND), without a mouse. Wine hands
such a drop to a Windows program as an Explorer drop.

    xdnd_drop.py X Y TYPE=DATA [TYPE=DATA ...]

X, Y are screen coordinates; each TYPE=DATA is a format the drop offers and
its content, e.g. "text/uri-list=file:///tmp/in%20put.txt" (URLs separated
by spaces, each sent with a line end) and "text/plain=/tmp/in put.txt". Prints "accepted" and
exits 0 when the window took the drop, prints "refused" and exits 2 when it
refused it; exits 1 when there is no window there that takes drops or it
did not answer within 10 seconds.
"""

import sys
import time

from Xlib import X, Xatom, display, error, protocol

VERSION = 5


def main():
    x, y = int(sys.argv[1]), int(sys.argv[2])
    offers = {}
    for argument in sys.argv[3:]:
        kind, _, data = argument.partition("=")
        if kind == "text/uri-list":
            data = "".join(url + "\r\n" for url in data.split(" "))
        offers[kind] = data.encode()

    screen = display.Display()
    # A window that went away while it was sent to is no failure: the next
    # round finds the one under the point.
    screen.set_error_handler(
        lambda failure, request: None if isinstance(failure, error.BadWindow) else print(failure))
    atom = lambda name: screen.intern_atom(name)
    root = screen.screen().root
    source = root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
    source.set_selection_owner(atom("XdndSelection"), X.CurrentTime)
    types = [atom(kind) for kind in offers]
    source.change_property(atom("XdndTypeList"), Xatom.ATOM, 32, types)

    def find_target():
        """The window under the point that takes XDND drops: the top-level
        one, or under a window manager's frame, the program's window in it."""
        window = root
        while True:
            window = window.translate_coords(root, x, y).child
            if not window or window.get_full_property(atom("XdndAware"), X.AnyPropertyType):
                return window

    def send(name, *data):
        values = [source.id, *data] + [0] * (4 - len(data))
        event = protocol.event.ClientMessage(window=target, client_type=atom(name),
                                             data=(32, values))
        target.send_event(event)
        screen.flush()

    def answer(request):
        """Gives the window what the drop offers in the format it asks for."""
        kind = screen.get_atom_name(request.target)
        prop = request.property or request.target
        if kind in offers:
            request.requestor.change_property(prop, request.target, 8, offers[kind])
        else:
            prop = X.NONE
        request.requestor.send_event(protocol.event.SelectionNotify(
            time=request.time, requestor=request.requestor, selection=request.selection,
            target=request.target, property=prop))
        screen.flush()

    # A file manager sends a new position with each move of the pointer, and
    # so finds the window again; one that is just closing may still be there
    # (wine unmaps a closed dialog's X window late). Here: each second.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        target = find_target()
        if not target:
            print("no window that takes drops at", x, y)
            return 1
        more = 1 if len(types) > 3 else 0
        send("XdndEnter", (VERSION << 24) | more, *(types + [0, 0, 0])[:3])
        send("XdndPosition", 0, (x << 16) | y, X.CurrentTime, atom("XdndActionCopy"))
        accepted = None
        retry = time.monotonic() + 1
        while time.monotonic() < (retry if accepted is None else deadline):
            if not screen.pending_events():
                time.sleep(0.01)
                continue
            event = screen.next_event()
            if event.type == X.SelectionRequest:
                answer(event)
            elif event.type == X.ClientMessage and event.client_type == atom("XdndStatus"):
                if accepted is None:
                    accepted = bool(event.data[1][1] & 1)
                    if not accepted:
                        send("XdndLeave")
                        print("refused")
                        return 2
                    send("XdndDrop", 0, X.CurrentTime)
            elif event.type == X.ClientMessage and event.client_type == atom("XdndFinished"):
                print("accepted")
                return 0
        if accepted:
            break
        send("XdndLeave")
    print("no answer from the window")
    return 1


if __name__ == "__main__":
    sys.exit(main())
