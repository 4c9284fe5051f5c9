// Preloaded into the board's programs (lrzsz) in the transfer tests. lrzsz drains and then
// flushes its terminal as it quits. On a UART tcdrain waits until the last ACK has gone out on
// the wire; on a pseudo-terminal it returns at once, and the flush throws that ACK away before
// the program's side has read it. Flushing input only keeps lrzsz as it behaves on a real line.
#include <dlfcn.h>
#include <termios.h>

extern "C" int tcflush(int fd, int queue)
{
    using Real = int (*)(int, int);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcflush"));
    if (queue == TCOFLUSH)
        return 0;
    return real(fd, queue == TCIOFLUSH ? TCIFLUSH : queue);
}
