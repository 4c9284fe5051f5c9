#!/usr/bin/python3
"""A board that reads a program a line at a time after its prompt, as a BASIC or Forth
interpreter does: it works a while on each line, prints the prompt, then reads the next line
up to its CR.

    prompt_echo.py DEVICE PROMPT LINES OUT

Writes the lines it read to OUT; exits 1 when input arrived before its prompt was out.
"""
import os
import select
import sys
import time
import tty


def main():
    device, prompt, count, out = sys.argv[1], sys.argv[2].encode(), int(sys.argv[3]), sys.argv[4]
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    lines = []
    early = False
    for _ in range(count):
        time.sleep(0.05)
        ready, _, _ = select.select([fd], [], [], 0)
        if ready:
            early = True
        os.write(fd, b'\r\n' + prompt)
        line = b''
        while not line.endswith(b'\r'):
            ready, _, _ = select.select([fd], [], [], 30)
            if not ready:
                return 1
            line += os.read(fd, 1)
        os.write(fd, line + b'\n')
        lines.append(line[:-1])
    with open(out, 'wb') as f:
        f.write(b'\n'.join(lines))
    return 1 if early else 0


if __name__ == '__main__':
    sys.exit(main())
