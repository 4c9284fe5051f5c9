"""The X server the programs share and their windows: Xvfb, the moments windows are mapped
(through libX11, since xdotool's --sync looks only every half second), and xdotool for input."""

import ctypes
import ctypes.util
import os
import select
import subprocess
import time

from peers.processes import stop_process


class MapWatcher:
    """Reports top-level windows as they are mapped, with the moment, through libX11."""

    MAP_NOTIFY = 19
    SUBSTRUCTURE_NOTIFY = 1 << 19

    def __init__(self, display):
        x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        self.x = x
        vp, ul = ctypes.c_void_p, ctypes.c_ulong
        x.XOpenDisplay.restype = vp
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ul
        x.XDefaultRootWindow.argtypes = [vp]
        x.XSelectInput.argtypes = [vp, ul, ctypes.c_long]
        x.XConnectionNumber.argtypes = [vp]
        x.XPending.argtypes = [vp]
        x.XNextEvent.argtypes = [vp, vp]
        x.XFlush.argtypes = [vp]
        x.XCloseDisplay.argtypes = [vp]
        x.XInternAtom.restype = ul
        x.XInternAtom.argtypes = [vp, ctypes.c_char_p, ctypes.c_int]
        x.XFree.argtypes = [vp]
        x.XGetWindowProperty.argtypes = [
            vp, ul, ul, ctypes.c_long, ctypes.c_long, ctypes.c_int, ul, ctypes.POINTER(ul),
            ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ul), ctypes.POINTER(ul),
            ctypes.POINTER(vp)]
        x.XGetGeometry.argtypes = [vp, ul, ctypes.POINTER(ul)] + \
            [ctypes.POINTER(ctypes.c_int)] * 2 + [ctypes.POINTER(ctypes.c_uint)] * 4
        handler = ctypes.CFUNCTYPE(ctypes.c_int, vp, vp)
        # A window may be gone by the time it is asked about: that is no reason to exit.
        self._ignore = handler(lambda display, event: 0)
        x.XSetErrorHandler.argtypes = [handler]
        x.XSetErrorHandler.restype = vp
        x.XSetErrorHandler(self._ignore)
        self.dpy = x.XOpenDisplay(display.encode())
        if not self.dpy:
            raise OSError("cannot open display " + display)
        x.XSelectInput(self.dpy, x.XDefaultRootWindow(self.dpy), self.SUBSTRUCTURE_NOTIFY)
        x.XFlush(self.dpy)
        self.pid_atom = x.XInternAtom(self.dpy, b"_NET_WM_PID", 0)
        self.fd = x.XConnectionNumber(self.dpy)

    def close(self):
        self.x.XCloseDisplay(self.dpy)

    def _pid_of(self, window):
        kind, fmt, count, after = ctypes.c_ulong(), ctypes.c_int(), ctypes.c_ulong(), \
            ctypes.c_ulong()
        data = ctypes.c_void_p()
        status = self.x.XGetWindowProperty(self.dpy, window, self.pid_atom, 0, 1, 0, 6,
                                           ctypes.byref(kind), ctypes.byref(fmt),
                                           ctypes.byref(count), ctypes.byref(after),
                                           ctypes.byref(data))
        if status != 0 or not data.value:
            return None
        pid = ctypes.cast(data, ctypes.POINTER(ctypes.c_ulong))[0] if count.value else None
        self.x.XFree(data)
        return pid

    def _size_of(self, window):
        root, xy, wh = ctypes.c_ulong(), [ctypes.c_int() for _ in range(2)], \
            [ctypes.c_uint() for _ in range(4)]
        if not self.x.XGetGeometry(self.dpy, window, ctypes.byref(root),
                                   *[ctypes.byref(v) for v in xy + wh]):
            return 0, 0
        return wh[0].value, wh[1].value

    def drain(self):
        event = (ctypes.c_long * 24)()
        while self.x.XPending(self.dpy):
            self.x.XNextEvent(self.dpy, event)

    def wait_window(self, process, timeout=30.0):
        """The first main window of the process to be mapped, and when it was."""
        event = (ctypes.c_long * 24)()
        deadline = time.monotonic() + timeout
        while True:
            while self.x.XPending(self.dpy):
                self.x.XNextEvent(self.dpy, event)
                seen = time.monotonic()
                if event[0] & 0xFFFFFFFF != self.MAP_NOTIFY or event[6] & 0xFFFFFFFF:
                    continue
                window = event[5] & 0xFFFFFFFFFFFFFFFF
                width, height = self._size_of(window)
                if self._pid_of(window) == process.pid and width >= 100 and height >= 100:
                    return window, seen
            if process.poll() is not None:
                raise RuntimeError("exited with status %s before showing a window" %
                                   process.returncode)
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError("no window shown within %.0f s" % timeout)
            select.select([self.fd], [], [], min(left, 0.1))


class XServer:
    def __init__(self, folder):
        self.number = next(n for n in range(90, 400)
                           if not os.path.exists("/tmp/.X11-unix/X%d" % n)
                           and not os.path.exists("/tmp/.X%d-lock" % n))
        self.display = ":%d" % self.number
        self.log = open(os.path.join(folder, "xvfb.log"), "w")
        self.process = subprocess.Popen(
            ["Xvfb", self.display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
             "-noreset"], stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 20
        while True:
            if self.process.poll() is not None:
                raise RuntimeError("Xvfb %s exited: see %s" % (self.display, self.log.name))
            try:
                self.watcher = MapWatcher(self.display)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def stop(self):
        self.watcher.close()
        stop_process(self.process)
        self.log.close()


def xdotool(display, *args):
    subprocess.run(["xdotool"] + [str(a) for a in args], env=dict(os.environ, DISPLAY=display),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20, check=True)
