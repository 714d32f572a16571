#pragma once

// An interval timer that interrupts the thread that made it with SIGALRM, as an application's
// timer, a profiler or a Ctrl-C handler would, while it lives. A handler is installed without
// SA_RESTART, so every blocking call of that thread sees EINTR. Linux only.

#include <csignal>
#include <ctime>

namespace QXTest {

class SignalTimer {
public:
    explicit SignalTimer(long intervalMs = 50);
    ~SignalTimer();
    SignalTimer(const SignalTimer&) = delete;
    SignalTimer& operator=(const SignalTimer&) = delete;

    // Signals handled since the timer was made.
    static int Count();

private:
    timer_t m_timer{};
    struct sigaction m_previous {};
};

}  // namespace QXTest
