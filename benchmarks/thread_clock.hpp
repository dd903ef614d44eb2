// The clock of queltfloor's timed loops: this thread's CPU time, as the harness times the calls
// that run on it alone.
#pragma once

#include <cstddef>
#include <ctime>

namespace QueltBench {

inline double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// Seconds that `calls` calls of `call` took on this thread.
template <typename Call>
double threadTimed(size_t calls, Call&& call)
{
    const double start = threadSeconds();
    for (size_t i = 0; i < calls; ++i) {
        call();
    }
    return threadSeconds() - start;
}

} // namespace QueltBench
