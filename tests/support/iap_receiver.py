#!/usr/bin/python3
"""A YMODEM receiver as ST's IAP examples and their copies in STM32 tutorials behave: it counts
every data block as 1 KB, so a 128-byte data block (block number 1 or more) is refused with
CAN CAN. Block 0 (the header) and the closing empty block are 128 bytes.

    iap_receiver.py DEVICE FOLDER

Writes the file under its header's name, cut to the header's size; exits 0 when it received a
whole file, 2 when it refused a 128-byte data block, 1 on any other failure.
"""
import binascii
import os
import select
import sys
import tty

SOH, STX, EOT, ACK, NAK, CAN = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18


def main():
    device, folder = sys.argv[1:3]
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)

    def read(n, timeout=10):
        data = b''
        while len(data) < n:
            ready, _, _ = select.select([fd], [], [], timeout)
            if not ready:
                return None
            data += os.read(fd, n - len(data))
        return data

    def block(first):
        size = 128 if first == SOH else 1024
        body = read(2 + size + 2)
        if body is None or body[0] != 255 - body[1]:
            return None, None
        data = body[2:2 + size]
        if binascii.crc_hqx(data, 0) != int.from_bytes(body[2 + size:], 'big'):
            return None, None
        return body[0], data

    def next_block():
        for _ in range(10):
            os.write(fd, b'C')
            first = read(1, timeout=3)
            if first is None:
                continue
            return first[0]
        return None

    first = next_block()
    if first != SOH:
        return 1
    number, header = block(first)
    if number != 0:
        return 1
    name, rest = header.split(b'\0', 1)
    size = int(rest.split(b'\0')[0].split(b' ')[0])
    os.write(fd, bytes([ACK]))
    data = b''
    expected = 1
    first = next_block()
    while first != EOT:
        if first == SOH:
            os.write(fd, bytes([CAN, CAN]))
            return 2
        number, payload = block(first)
        if number is None:
            os.write(fd, bytes([NAK]))
        elif number == expected % 256:
            data += payload
            expected += 1
            os.write(fd, bytes([ACK]))
        else:
            os.write(fd, bytes([ACK]))
        head = read(1)
        if head is None:
            return 1
        first = head[0]
    os.write(fd, bytes([ACK]))
    if next_block() != SOH:
        return 1
    number, closing = block(SOH)
    if number != 0 or closing.strip(b'\0'):
        return 1
    os.write(fd, bytes([ACK]))
    with open(os.path.join(folder, name.decode()), 'wb') as out:
        out.write(data[:size])
    return 0


if __name__ == '__main__':
    sys.exit(main())
