// Events, threads, waits, last error and clocks, where Windows and the Linux backend could part.
#include "qxnet/platform/QXSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/common/QXScopedLock.h"
#include "qxnet/platform/QXCodeLock.h"

namespace {

constexpr DWORD kErrorInvalidHandle = 6;

struct Waiter {
    HANDLE first;
    HANDLE second = nullptr;  // null: a wait on first alone
    DWORD timeoutMs = INFINITE;
    std::atomic<DWORD> lastErrorThere{1};
    std::atomic<bool> started{false};
    std::atomic<DWORD> result{0xFFFFu};
};

DWORD QX_THREADAPI WaitOnce(void* argument) {
    auto* waiter = static_cast<Waiter*>(argument);
    waiter->lastErrorThere = QX::GetLastErrorValue();
    QX::SetLastErrorValue(259);
    waiter->started = true;
    const DWORD result = waiter->second == nullptr
                             ? QX::WaitForHandle(waiter->first, waiter->timeoutMs)
                             : QX::WaitForEither(waiter->first, waiter->second, waiter->timeoutMs);
    // The last touch of the waiter: once it is published the test may free it.
    waiter->result = result;
    return result == WAIT_OBJECT_0 ? 42 : 8;
}

// A thread is active while it runs, then has its exit code. Successful thread calls leave the
// last error as it was (callers read it after them); a new thread starts without one. Waits on a
// handle closed meanwhile end failed (on Windows, by their time-out at the latest), nothing
// signals it, the object outlives its waiters, a later wait fails at once; threads go on after
// their handles are closed.
TEST(Threads, ExitCodeLastErrorAndWaitsOnAHandleClosedMeanwhile) {
    Waiter waiter{QX::EventCreate(true, false)};
    QX::SetLastErrorValue(87);
    HANDLE thread = QX::ThreadCreate(WaitOnce, &waiter);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    EXPECT_FALSE(QX::ThreadExitCode(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(QX::WaitForHandle(thread, 20), WAIT_TIMEOUT);
    QX::SetLastErrorValue(87);
    EXPECT_TRUE(QX::EventSet(waiter.first));
    ASSERT_EQ(QX::WaitForHandle(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(QX::ThreadExitCode(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(QX::HandleClose(thread));
    EXPECT_EQ(waiter.lastErrorThere.load(), 0u);
    EXPECT_EQ(QX::GetLastErrorValue(), 87u);
    // Absent handles are refused, "invalid handle" (to Windows all-ones is the process: no wait
    // may block on it); a wait on two with one absent fails and takes nothing from the other.
    HANDLE initially = QX::EventCreate(false, true);
    for (HANDLE absent : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        EXPECT_FALSE(QX::EventSet(absent));
        EXPECT_FALSE(QX::EventReset(absent));
        EXPECT_FALSE(QX::HandleClose(absent));
        EXPECT_EQ(QX::WaitForHandle(absent, INFINITE), WAIT_FAILED);
        QX::SetLastErrorValue(0);
        EXPECT_FALSE(QX::ThreadExitCode(absent, &code));
        EXPECT_EQ(QX::GetLastErrorValue(), kErrorInvalidHandle);
        EXPECT_EQ(QX::WaitForEither(initially, absent, INFINITE), WAIT_FAILED);
        EXPECT_EQ(QX::WaitForEither(absent, initially, 0), WAIT_FAILED);
    }
    EXPECT_TRUE(QX::EventReset(waiter.first));
    EXPECT_EQ(QX::WaitForEither(waiter.first, initially, 0), WAIT_OBJECT_0 + 1);
    QX::HandleClose(waiter.first);
    QX::HandleClose(initially);

    for (int kind = 0; kind < 3; ++kind) {  // auto-reset, manual-reset, second of two
        SCOPED_TRACE(kind);
        HANDLE closing = QX::EventCreate(kind == 1, false);
        HANDLE other = kind == 2 ? QX::EventCreate(false, false) : nullptr;
        std::vector<std::unique_ptr<Waiter>> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.push_back(std::make_unique<Waiter>(
                other != nullptr ? other : closing, other != nullptr ? closing : nullptr, 3000u));
            ASSERT_TRUE(QX::HandleClose(QX::ThreadCreate(WaitOnce, waiters.back().get())));
        }
        for (const auto& waiter : waiters) {
            while (!waiter->started) {
                QX::SleepMs(1);
            }
        }
        QX::SleepMs(50);  // most likely inside their waits now; either way they must fail
        EXPECT_TRUE(QX::HandleClose(closing));
        EXPECT_FALSE(QX::EventSet(closing));
        for (const auto& waiter : waiters) {
            while (waiter->result == 0xFFFFu) {
                QX::SleepMs(1);
            }
#if defined(_WIN32)
            EXPECT_TRUE(waiter->result == WAIT_FAILED || waiter->result == WAIT_TIMEOUT);
#else
            EXPECT_EQ(waiter->result, WAIT_FAILED);
#endif
        }
        EXPECT_EQ(QX::WaitForHandle(closing, 0), WAIT_FAILED);
        EXPECT_EQ(QX::GetLastErrorValue(), kErrorInvalidHandle);
        EXPECT_FALSE(QX::HandleClose(closing));
        if (other != nullptr) {
            EXPECT_TRUE(QX::HandleClose(other));
        }
    }
}

// The tick advances; the UTC time is UTC, not local time: it agrees with the C++ system clock.
TEST(Clock, TickAdvancesAndUtcTimeAgreesWithTheSystemClock) {
    DWORD before = QX::TickCount();
    QX::SleepMs(50);
    EXPECT_NE(QX::TickCount(), before);
    SYSTEMTIME now{};
    QX::GetUtcTime(&now);
    using namespace std::chrono;
    const sys_days date{year{now.wYear} / month{now.wMonth} / day{now.wDay}};
    const auto time = date + hours{now.wHour} + minutes{now.wMinute} + seconds{now.wSecond};
    EXPECT_LE(abs(duration_cast<seconds>(system_clock::now() - time)).count(), 5)
        << "year " << now.wYear << " hour " << now.wHour;
    EXPECT_EQ(now.wDayOfWeek, weekday{date}.c_encoding());
    EXPECT_LE(now.wMilliseconds, 999);
}

// The lock the library's lists hold is recursive and keeps other threads out. A guard left by an
// exception releases once, and an explicit release is not repeated: an outer hold survives both.
TEST(CodeLock, RecursiveExclusiveAndReleasesOnce) {
    auto lock = boost::make_shared<QX::CodeLock>();
    auto throwing = [&](bool releaseFirst) {
        QX::ScopedLock guard(lock);
        QX::ScopedLock nested(lock.get());
        if (releaseFirst) {
            guard.Release();
            EXPECT_FALSE(guard.Held());
        }
        throw std::runtime_error("fault");
    };
    QX::ScopedLock outer(lock.get());
    EXPECT_THROW(throwing(false), std::runtime_error);
    EXPECT_THROW(throwing(true), std::runtime_error);
    std::atomic<bool> gotIn{false};
    std::thread other([&] {
        QX::ScopedLock attempt(lock.get());
        gotIn = true;
    });
    QX::SleepMs(50);
    EXPECT_FALSE(gotIn.load()) << "the outer hold was lost";
    outer.Release();
    other.join();
    EXPECT_TRUE(gotIn.load());
}

}  // namespace
