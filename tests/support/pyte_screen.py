#!/usr/bin/python3
"""Draws a byte stream as python3-pyte's VT emulator does, for comparing with the terminal window.

    pyte_screen.py FILE ROWS COLUMNS [styles] [history]

Prints the cursor's row and column on the first line, then each row of the screen with trailing
blanks dropped. With "styles", then each row's styles as runs "FG.BG.FLAGS*COUNT" separated by
spaces: FG and BG are "d" for the default colour, else a letter per colour in order of first use
on the screen (so that two emulators' palettes need not agree); FLAGS are b(old), i(talic),
u(nderline), s(trike) and r(everse). The right half of a wide character is left out. With
"history", then how many lines scrolled off the top, and those lines, oldest first, trailing blanks
dropped."""
import sys

import pyte
from wcwidth import wcwidth


def style_rows(screen):
    letters = ({}, {})

    def letter(i, color):
        if color == "default":
            return "d"
        return letters[i].setdefault(color, chr(ord("A") + len(letters[i])))

    rows = []
    for y in range(screen.lines):
        line = screen.buffer[y]
        keys = []
        wide = False
        for x in range(screen.columns):
            if wide:
                wide = False
                continue
            c = line[x]
            wide = bool(c.data) and wcwidth(c.data[0]) == 2
            flags = "".join(f for f, on in (("b", c.bold), ("i", c.italics), ("u", c.underscore),
                                            ("s", c.strikethrough), ("r", c.reverse)) if on)
            keys.append(f"{letter(0, c.fg)}.{letter(1, c.bg)}.{flags}")
        runs = []
        for key in keys:
            if runs and runs[-1][0] == key:
                runs[-1][1] += 1
            else:
                runs.append([key, 1])
        rows.append(" ".join(f"{key}*{count}" for key, count in runs))
    return rows


def main():
    path, rows, columns = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    options = sys.argv[4:]
    if "history" in options:
        screen = pyte.HistoryScreen(columns, rows, history=10**7)
    else:
        screen = pyte.Screen(columns, rows)
    stream = pyte.ByteStream(screen)
    with open(path, "rb") as f:
        stream.feed(f.read())
    out = sys.stdout.buffer
    out.write(f"{screen.cursor.y} {screen.cursor.x}\n".encode())
    for line in screen.display:
        out.write(line.rstrip(" ").encode("utf-8") + b"\n")
    if "styles" in options:
        for line in style_rows(screen):
            out.write(line.encode() + b"\n")
    if "history" in options:
        out.write(f"{len(screen.history.top)}\n".encode())
        for line in screen.history.top:
            text = "".join(line[x].data for x in range(columns))
            out.write(text.rstrip(" ").encode("utf-8") + b"\n")


if __name__ == "__main__":
    main()
