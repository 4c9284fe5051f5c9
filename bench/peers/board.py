"""The board's side of a pseudo-terminal: what it prints and how it paces its writes."""

import fcntl
import os
import select
import struct
import termios
import threading
import time
import tty

BAUD = 115200


class Pty:
    """A pseudo-terminal whose master is the board; the slave stays open here too, so that the
    board's writes never fail while a program opens and closes it, and so that its input queue
    can be read."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        attributes = termios.tcgetattr(self.slave)
        attributes[4] = attributes[5] = termios.B115200
        termios.tcsetattr(self.slave, termios.TCSANOW, attributes)
        self.path = os.ttyname(self.slave)
        fcntl.fcntl(self.master, fcntl.F_SETFL,
                    fcntl.fcntl(self.master, fcntl.F_GETFL) | os.O_NONBLOCK)

    def backlog(self):
        """Bytes the board wrote that wait in the line discipline for the program to read (at
        most 4095; more wait in the kernel's buffers behind them)."""
        buffer = fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0")
        return struct.unpack("i", buffer)[0]

    def write_all(self, data, stop):
        """Writes data whole, waiting while the pseudo-terminal is full; returns the seconds it
        waited: how long the program held the board up."""
        done = 0
        blocked = None
        while done < len(data) and not stop.is_set():
            try:
                done += os.write(self.master, data[done:])
            except BlockingIOError:
                blocked = blocked or time.monotonic()
                select.select([], [self.master], [], 0.1)
        return time.monotonic() - blocked if blocked else 0.0

    def close(self):
        os.close(self.master)
        os.close(self.slave)


def board_text(size):
    """Lines of exactly 80 characters, CR LF included, as a board logs its sensors."""
    lines = []
    n = 0
    total = 0
    while total < size:
        line = b"I (%07d) sensor: T=%d.%d H=%d%% P=101%03d n=%d " % (
            n * 7, 20 + n % 7, n % 10, 40 + n % 13, n % 1000, n)
        lines.append(line.ljust(78, b".") + b"\r\n")
        total += 80
        n += 1
    return memoryview(b"".join(lines))


class PacedFeeder(threading.Thread):
    """Writes `size` bytes every size/rate seconds on an absolute schedule (t0 + k * interval),
    so that the pace does not drift with the time the writes take."""

    def __init__(self, pty, text, rate, size, seconds):
        super().__init__(daemon=True)
        self.pty, self.text, self.size = pty, text, size
        self.interval = size / rate
        self.writes = max(1, int(round(seconds / self.interval)))
        self.stop = threading.Event()
        self.max_lag = 0.0  # the feeder's own delays too, on a busy machine
        self.max_blocked = 0.0
        self.sent = 0
        self.started = self.ended = None

    def run(self):
        start = self.started = time.monotonic()
        at = 0
        for k in range(self.writes):
            due = start + k * self.interval
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            if at + self.size > len(self.text):
                at = 0
            blocked = self.pty.write_all(self.text[at:at + self.size], self.stop)
            self.max_blocked = max(self.max_blocked, blocked)
            if self.stop.is_set():
                break
            at += self.size
            self.sent += self.size
            self.max_lag = max(self.max_lag, time.monotonic() - due)
        # The feed lasts its schedule: the last interval belongs to it.
        finish = start + self.writes * self.interval
        wait = finish - time.monotonic()
        if wait > 0 and not self.stop.is_set():
            time.sleep(wait)
        self.ended = time.monotonic()
