"""The three programs: how each is given the board's port, started and made to open it."""

import os
import subprocess
import tempfile
import time
import xml.etree.ElementTree as ElementTree

from peers.board import BAUD, Pty
from peers.display import xdotool
from peers.processes import cpu_seconds, holds, stop_process, wait_until

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Answers the modem-line ioctls on a pseudo-terminal as a UART does. GTKTerm polls the lines
# and closes a port whose TIOCMGET fails with anything but EINVAL; a pseudo-terminal says ENOTTY.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <unistd.h>

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real)(int, unsigned long, ...);
    if (!real)
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const int saved = errno;
    const int r = real(fd, request, arg);
    if (r == -1 && errno == ENOTTY && isatty(fd) &&
        (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
         request == TIOCMBIC)) {
        if (request == TIOCMGET)
            *(int *)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
        errno = saved;
        return 0;
    }
    return r;
}
"""


def build_shim(folder):
    source = os.path.join(folder, "modem_lines.c")
    library = os.path.join(folder, "modem_lines.so")
    with open(source, "w") as f:
        f.write(SHIM)
    subprocess.check_call(["cc", "-shared", "-fPIC", "-O2", "-o", library, source, "-ldl"])
    return library


class Program:
    kind = ""

    def __init__(self, label):
        self.label = label

    def prepare(self, home, pty):
        pass

    def command(self, pty):
        raise NotImplementedError

    def extra_env(self):
        return {}

    def open_port(self, display, process, window, pty):
        raise NotImplementedError


class Ours(Program):
    kind = "ours"

    def __init__(self, label, path):
        super().__init__(label)
        self.path = os.path.abspath(path)
        self.button = self._open_button()

    @staticmethod
    def _open_button():
        """The centre of "打开串口" in the window, from the form's fixed layout."""
        try:
            top = ElementTree.parse(os.path.join(REPO, "src/app/form1.ui")).getroot()
        except (OSError, ElementTree.ParseError):
            return 584, 252

        def find(node, x, y, outer):
            for widget in node.findall("widget"):
                rect = widget.find("property[@name='geometry']/rect")
                values = {v: int(rect.find(v).text) for v in ("x", "y", "width", "height")} \
                    if rect is not None else {"x": 0, "y": 0, "width": 0, "height": 0}
                wx, wy = (x, y) if outer else (x + values["x"], y + values["y"])
                if widget.get("name") == "OpenCom":
                    return wx + values["width"] // 2, wy + values["height"] // 2
                found = find(widget, wx, wy, False)
                if found:
                    return found
            return None

        return find(top, 0, 0, True) or (584, 252)

    def prepare(self, home, pty):
        # The settings file as src/app/settings_keys.h names it: COM5 is the board.
        folder = os.path.join(home, ".config")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "zelqo柯澜欧.ini"), "w", encoding="utf-8") as f:
            f.write("[端口设置]\n端口=COM5\n波特率=%d\n[端口映射]\nCOM5=%s\n"
                    % (BAUD, pty.path))

    def command(self, pty):
        return [self.path]

    def open_port(self, display, process, window, pty):
        xdotool(display, "mousemove", "--window", window, *self.button)
        xdotool(display, "click", "1")
        return wait_until(lambda: holds(process.pid, pty.path), 5)


class GTKTerm(Program):
    kind = "gtkterm"
    shim = None

    def prepare(self, home, pty):
        folder = os.path.join(home, ".config")
        os.makedirs(folder, exist_ok=True)
        # GTKTerm's own defaults, as it writes them on a first start (after a dialog that would
        # hold the start), with the board's port.
        with open(os.path.join(folder, ".gtktermrc"), "w") as f:
            f.write("[default]\nport\t= %s\nspeed\t= %d\nbits\t= 8\nstopbits\t= 1\n"
                    "parity\t= none\nflow\t= none\nwait_delay\t= 0\nwait_char\t= -1\n"
                    "rs485_rts_time_before_tx\t= 30\nrs485_rts_time_after_tx\t= 30\n"
                    "echo\t= False\ncrlfauto\t= False\ntimestamp\t= False\n"
                    "font\t= \"Monospace 12\"\nterm_block_cursor\t= True\nterm_rows\t= 80\n"
                    "term_columns\t= 25\nterm_scrollback\t= 10000\nterm_visual_bell\t= True\n"
                    "term_foreground_red\t= 0.660000\nterm_foreground_blue\t= 0.660000\n"
                    "term_foreground_green\t= 0.660000\nterm_foreground_alpha\t= 1.000000\n"
                    "term_background_red\t= 0.000000\nterm_background_blue\t= 0.000000\n"
                    "term_background_green\t= 0.000000\nterm_background_alpha\t= 1.000000\n"
                    % (pty.path, BAUD))

    def command(self, pty):
        return ["gtkterm", "-p", pty.path, "-s", str(BAUD)]

    def extra_env(self):
        return {"LD_PRELOAD": self.shim}

    def open_port(self, display, process, window, pty):
        # GTKTerm opens the port, then closes it again at start since udev does not know a
        # pseudo-terminal; "Open Port" (F5) opens it for good, as a user would.
        time.sleep(1.0)
        for _ in range(10):
            if holds(process.pid, pty.path) and \
                    not wait_until(lambda: not holds(process.pid, pty.path), 1.0):
                return True
            xdotool(display, "windowfocus", "--sync", window)
            xdotool(display, "key", "F5")
            wait_until(lambda: holds(process.pid, pty.path), 1.0)
        return False


class CuteCom(Program):
    kind = "cutecom"

    def prepare(self, home, pty):
        # The device box lists the system's serial ports and the session's device; it takes no
        # typed text in 0.51. The session names the board's port, as a user's saved session does.
        folder = os.path.join(home, ".config", "CuteCom")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "CuteCom5.conf"), "w") as f:
            f.write("[sessions]\n1\\BaudRate=%d\n1\\DataBits=8\n1\\Device=%s\n"
                    "1\\FlowControl=0\n1\\OpenMode=3\n1\\Parity=0\n1\\StopBits=1\n"
                    "1\\autoReconnect=false\n1\\name=Default\n1\\showCtrlCharacters=false\n"
                    "1\\showTimestamp=false\nsize=1\n" % (BAUD, pty.path))

    def command(self, pty):
        return ["cutecom"]

    def open_port(self, display, process, window, pty):
        xdotool(display, "windowfocus", "--sync", window)
        xdotool(display, "key", "alt+o")  # "&Open"
        return wait_until(lambda: holds(process.pid, pty.path), 5)


class Session:
    """One program started with a throwaway home on a fresh pseudo-terminal."""

    def __init__(self, program, server, folder):
        self.program, self.server = program, server
        self.pty = Pty()
        self.home = tempfile.mkdtemp(prefix="home-", dir=folder)
        runtime = os.path.join(self.home, "run")
        os.makedirs(runtime, mode=0o700)
        program.prepare(self.home, self.pty)
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LANG": os.environ.get("LANG", "C.UTF-8"),
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local/share"),
            "XDG_RUNTIME_DIR": runtime,
            "DISPLAY": server.display,
            "QT_QPA_PLATFORM": "xcb",
            "GDK_BACKEND": "x11",
            # No session bus and no accessibility bus, for every program alike.
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(runtime, "no-bus"),
            "NO_AT_BRIDGE": "1",
        }
        if "LD_LIBRARY_PATH" in os.environ:
            env["LD_LIBRARY_PATH"] = os.environ["LD_LIBRARY_PATH"]
        env.update(program.extra_env())
        self.log_path = os.path.join(self.home, "output.log")
        self.log = open(self.log_path, "w")
        server.watcher.drain()
        self.begun = time.monotonic()
        self.process = subprocess.Popen(program.command(self.pty), env=env, cwd=self.home,
                                        stdout=self.log, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL, start_new_session=True)
        self.window = None

    def wait_shown(self):
        self.window, shown = self.server.watcher.wait_window(self.process)
        return shown - self.begun

    def open_port(self):
        if not self.program.open_port(self.server.display, self.process, self.window, self.pty):
            raise RuntimeError("the port did not open")
        # The pointer away from the window, so that no hover effect is repainted.
        xdotool(self.server.display, "mousemove", 1279, 1023)

    def cpu(self):
        return cpu_seconds(self.process.pid)

    def close(self):
        stop_process(self.process)
        self.log.close()
        self.pty.close()

    def tail_of_log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return "".join(f.readlines()[-5:]).strip()
        except OSError:
            return ""
