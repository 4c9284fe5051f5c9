#!/usr/bin/python3
"""Draws a byte stream as python3-pyte's VT emulator does, for comparing with the terminal window.

    pyte_screen.py FILE ROWS COLUMNS

Prints the cursor's row and column on the first line, then each row of the screen with trailing
blanks dropped."""
import sys

import pyte


def main():
    path, rows, columns = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    screen = pyte.Screen(columns, rows)
    stream = pyte.ByteStream(screen)
    with open(path, "rb") as f:
        stream.feed(f.read())
    out = sys.stdout.buffer
    out.write(f"{screen.cursor.y} {screen.cursor.x}\n".encode())
    for line in screen.display:
        out.write(line.rstrip(" ").encode("utf-8") + b"\n")


if __name__ == "__main__":
    main()
