#!/usr/bin/python3
# Reads a text object of a running program over AT-SPI, as Orca does: finds the application by
# its name, then the object by its accessible name, and prints its character count, its text
# and the line at the given offset, one per line, with line breaks shown as \n and \r.
#   read_box.py APPLICATION OBJECT OFFSET
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def find(node, name, depth=0):
    if node is None or depth > 40:
        return None
    if node.get_name() == name and "Text" in node.get_interfaces():
        return node
    for i in range(node.get_child_count()):
        found = find(node.get_child_at_index(i), name, depth + 1)
        if found is not None:
            return found
    return None


def shown(text):
    return text.replace("\r", "\\r").replace("\n", "\\n")


def main():
    application, name, offset = sys.argv[1], sys.argv[2], int(sys.argv[3])
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None or app.get_name() != application:
            continue
        box = find(app, name)
        if box is None:
            continue
        count = Atspi.Text.get_character_count(box)
        print(count)
        print(shown(Atspi.Text.get_text(box, 0, count)))
        # GetTextAtOffset, which screen readers have long asked for a line; Qt 6.4's bridge does
        # not answer the newer GetStringAtOffset.
        line = Atspi.Text.get_text_at_offset(box, offset, Atspi.TextBoundaryType.LINE_START)
        print(shown(line.content))
        return 0
    names = [desktop.get_child_at_index(i).get_name() for i in range(desktop.get_child_count())
             if desktop.get_child_at_index(i) is not None]
    print("no %s in %s among %s" % (name, application, names), file=sys.stderr)
    return 1


sys.exit(main())
