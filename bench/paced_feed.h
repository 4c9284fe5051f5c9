#pragma once

#include <QtGlobal>

#include <atomic>
#include <ctime>
#include <poll.h>
#include <unistd.h>

// The board's side of a pseudo-terminal, for the benchmarks' feeding threads.
namespace feed {

// Writes all of data to the master, waiting while the line is full; gives up once stop is set.
inline void writeAll(int master, const char *data, qsizetype size,
                     const std::atomic<bool> *stop = nullptr)
{
    for (qsizetype done = 0; done < size && !(stop && *stop);) {
        pollfd p{master, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::write(master, data + done, size_t(size - done));
        if (n > 0)
            done += n;
    }
}

// Sleeps until stepNs after next and moves next there: a steady pace that does not drift with
// the time the writes take.
inline void waitNext(timespec &next, qint64 stepNs)
{
    next.tv_nsec += stepNs % 1000000000;
    next.tv_sec += stepNs / 1000000000 + next.tv_nsec / 1000000000;
    next.tv_nsec %= 1000000000;
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
}

} // namespace feed
