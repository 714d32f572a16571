#include "tests/support/QXSignalTimer.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

namespace QXTest {

namespace {
std::atomic<int> g_count{0};

void Handle(int) {
    g_count.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

SignalTimer::SignalTimer(long intervalMs) {
    g_count = 0;
    struct sigaction action {};
    action.sa_handler = &Handle;
    sigemptyset(&action.sa_mask);
    EXPECT_EQ(::sigaction(SIGALRM, &action, &m_previous), 0);
    // Aimed at this thread: the waits under test run here, whatever other threads the test has.
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event._sigev_un._tid = static_cast<pid_t>(::syscall(SYS_gettid));
    EXPECT_EQ(::timer_create(CLOCK_MONOTONIC, &event, &m_timer), 0);
    const timespec interval{intervalMs / 1000, (intervalMs % 1000) * 1000000};
    const itimerspec schedule{interval, interval};
    EXPECT_EQ(::timer_settime(m_timer, 0, &schedule, nullptr), 0);
}

SignalTimer::~SignalTimer() {
    ::timer_delete(m_timer);
    ::sigaction(SIGALRM, &m_previous, nullptr);
}

int SignalTimer::Count() {
    return g_count.load(std::memory_order_relaxed);
}

}  // namespace QXTest
