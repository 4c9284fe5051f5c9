#!/usr/bin/python3
"""Plays a board's XMODEM side with python3-xmodem on a serial line (a pseudo-terminal).

    xmodem_peer.py recv|send xmodem|xmodem1k DEVICE FILE

Exits 0 when the transfer completed.
"""
import os
import select
import sys
import tty

from xmodem import XMODEM


def main():
    direction, mode, device, path = sys.argv[1:5]
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)

    def getc(size, timeout=1):
        data = b''
        while len(data) < size:
            ready, _, _ = select.select([fd], [], [], timeout)
            if not ready:
                return None
            data += os.read(fd, size - len(data))
        return data

    def putc(data, timeout=1):
        os.write(fd, data)
        return len(data)

    modem = XMODEM(getc, putc, mode=mode)
    if direction == 'recv':
        with open(path, 'wb') as stream:
            ok = modem.recv(stream, crc_mode=1, retry=16) is not None
    else:
        with open(path, 'rb') as stream:
            ok = bool(modem.send(stream, retry=16))
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main())
