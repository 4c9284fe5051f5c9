#!/usr/bin/python3
# Another program opening the board's port, as a flasher does, run by the tests as an
# unprivileged user:
#   opener.py DEVICE BAUD [--exclusive] [--hello] [--crash-holding LOCKFILE]
# --exclusive opens it as esptool does (pyserial's exclusive=True, an flock); --hello sends
# "hello" and prints the board's answer; --crash-holding writes a UUCP lock file naming this
# process and is killed holding the port. Otherwise it prints "open" and holds the port until
# its standard input closes.
import os
import signal
import sys

import serial

device, baud = sys.argv[1], int(sys.argv[2])
port = serial.Serial(device, baud, exclusive="--exclusive" in sys.argv, timeout=10)
print("open", flush=True)
if "--hello" in sys.argv:
    port.write(b"hello\n")
    print(port.readline().decode().strip(), flush=True)
if "--crash-holding" in sys.argv:
    with open(sys.argv[sys.argv.index("--crash-holding") + 1], "w") as lock:
        lock.write("%10d\n" % os.getpid())
    os.kill(os.getpid(), signal.SIGKILL)
sys.stdin.read()
