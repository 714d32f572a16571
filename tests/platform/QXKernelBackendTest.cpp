// The kernel facility's contract where Windows and the Linux backend could part ways: handles the
// library treats as absent, the last-error value around the library's own thread calls, a thread
// whose handle is closed while it runs, waits on a handle closed meanwhile, and the UTC clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "qxnet/platform/QXSync.h"

namespace {

constexpr DWORD kErrorInvalidHandle = 6;

TEST(KernelBackend, AbsentHandlesAreRefusedWithInvalidHandle) {
    for (HANDLE absent : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        QX::SetLastErrorValue(0);
        EXPECT_FALSE(QX::EventSet(absent));
        EXPECT_EQ(QX::GetLastErrorValue(), kErrorInvalidHandle);

        QX::SetLastErrorValue(0);
        EXPECT_FALSE(QX::EventReset(absent));
        EXPECT_EQ(QX::GetLastErrorValue(), kErrorInvalidHandle);

        // To Windows the all-ones value is also the process itself; a wait must not block on it.
        QX::SetLastErrorValue(0);
        EXPECT_EQ(QX::WaitForHandle(absent, INFINITE), WAIT_FAILED);
        EXPECT_EQ(QX::GetLastErrorValue(), kErrorInvalidHandle);

        QX::SetLastErrorValue(0);
        EXPECT_FALSE(QX::HandleClose(absent));
        EXPECT_EQ(QX::GetLastErrorValue(), kErrorInvalidHandle);

        DWORD code = 12345;
        QX::SetLastErrorValue(0);
        EXPECT_FALSE(QX::ThreadExitCode(absent, &code));
        EXPECT_EQ(QX::GetLastErrorValue(), kErrorInvalidHandle);
    }
}

TEST(KernelBackend, WaitOnTwoWithOneAbsentFailsAndConsumesNothing) {
    HANDLE event = QX::EventCreate(false, true);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(QX::WaitForEither(event, INVALID_HANDLE_VALUE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(QX::WaitForEither(INVALID_HANDLE_VALUE, event, INFINITE), WAIT_FAILED);
    EXPECT_EQ(QX::WaitForEither(nullptr, event, 0), WAIT_FAILED);
    // The auto-reset event is still set: the failed waits did not take it.
    EXPECT_EQ(QX::WaitForHandle(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(QX::WaitForHandle(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(QX::HandleClose(event));
}

DWORD QX_THREADAPI ReportLastError(void* seen) {
    static_cast<std::atomic<DWORD>*>(seen)->store(QX::GetLastErrorValue());
    QX::SetLastErrorValue(259);
    return 0;
}

// Callers read the last-error value after the library's thread calls (a failed start, a wait),
// so successful create, wait, exit-code and close calls leave it as it was.
TEST(KernelBackend, LastErrorSurvivesTheLibrarysThreadCalls) {
    std::atomic<DWORD> seenThere{1};
    QX::SetLastErrorValue(87);
    HANDLE thread = QX::ThreadCreate(ReportLastError, &seenThere);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(QX::WaitForHandle(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 1;
    EXPECT_TRUE(QX::ThreadExitCode(thread, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(QX::HandleClose(thread));
    EXPECT_EQ(seenThere.load(), 0u) << "a new thread starts without an error";
    EXPECT_EQ(QX::GetLastErrorValue(), 87u);
}

struct Handshake {
    HANDLE go;
    HANDLE done;
};

DWORD QX_THREADAPI WaitThenSignal(void* argument) {
    auto* handshake = static_cast<Handshake*>(argument);
    if (QX::WaitForHandle(handshake->go, INFINITE) != WAIT_OBJECT_0) {
        return 1;
    }
    return QX::EventSet(handshake->done) ? 0 : 2;
}

TEST(KernelBackend, ThreadGoesOnAfterItsHandleIsClosed) {
    Handshake handshake{QX::EventCreate(true, false), QX::EventCreate(true, false)};
    ASSERT_NE(handshake.go, nullptr);
    ASSERT_NE(handshake.done, nullptr);
    HANDLE thread = QX::ThreadCreate(WaitThenSignal, &handshake);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(QX::HandleClose(thread));
    EXPECT_TRUE(QX::EventSet(handshake.go));
    EXPECT_EQ(QX::WaitForHandle(handshake.done, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(QX::HandleClose(handshake.go));
    EXPECT_TRUE(QX::HandleClose(handshake.done));
}

struct Waiter {
    HANDLE first;
    HANDLE second;  // null: a wait on first alone
    std::atomic<bool> started{false};
    std::atomic<DWORD> result{0xFFFFu};
};

DWORD QX_THREADAPI WaitOnce(void* argument) {
    auto* waiter = static_cast<Waiter*>(argument);
    waiter->started = true;
    waiter->result = waiter->second == nullptr
                         ? QX::WaitForHandle(waiter->first, 3000)
                         : QX::WaitForEither(waiter->first, waiter->second, 3000);
    return 0;
}

// A handle closed while other threads wait on it: every wait ends failed (on Windows, whose
// result is not defined then, by its time-out at the latest), nothing signals it any more, and
// the object outlives its waiters. A wait that starts after the close fails at once.
TEST(KernelBackend, WaitsOnAHandleClosedMeanwhileEnd) {
    struct Case {
        const char* what;
        bool manualReset;
        bool either;  // the closed event is the second of two
    };
    const Case cases[] = {
        {"auto-reset event", false, false},
        {"manual-reset event", true, false},
        {"second of two events", false, true},
    };
    for (const Case& c : cases) {
        HANDLE closing = QX::EventCreate(c.manualReset, false);
        HANDLE other = c.either ? QX::EventCreate(false, false) : nullptr;
        ASSERT_NE(closing, nullptr);
        std::vector<std::unique_ptr<Waiter>> waiters;
        std::vector<HANDLE> threads;
        for (int i = 0; i < 3; ++i) {
            waiters.push_back(std::make_unique<Waiter>());
            waiters.back()->first = c.either ? other : closing;
            waiters.back()->second = c.either ? closing : nullptr;
            threads.push_back(QX::ThreadCreate(WaitOnce, waiters.back().get()));
            ASSERT_NE(threads.back(), nullptr);
        }
        for (const auto& waiter : waiters) {
            while (!waiter->started) {
                QX::SleepMs(1);
            }
        }
        QX::SleepMs(50);  // most likely inside their waits now; either way they must fail
        EXPECT_TRUE(QX::HandleClose(closing)) << c.what;
        EXPECT_FALSE(QX::EventSet(closing)) << c.what;
        for (std::size_t i = 0; i < threads.size(); ++i) {
            ASSERT_EQ(QX::WaitForHandle(threads[i], INFINITE), WAIT_OBJECT_0);
            EXPECT_TRUE(QX::HandleClose(threads[i]));
            const DWORD result = waiters[i]->result;
#if defined(_WIN32)
            EXPECT_TRUE(result == WAIT_FAILED || result == WAIT_TIMEOUT) << c.what << result;
#else
            EXPECT_EQ(result, WAIT_FAILED) << c.what;
#endif
        }
        QX::SetLastErrorValue(0);
        EXPECT_EQ(QX::WaitForHandle(closing, 0), WAIT_FAILED) << c.what;
        EXPECT_EQ(QX::GetLastErrorValue(), kErrorInvalidHandle) << c.what;
        EXPECT_FALSE(QX::HandleClose(closing)) << c.what;
        if (other != nullptr) {
            EXPECT_TRUE(QX::HandleClose(other));
        }
    }
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The UTC time is UTC, not local time: it agrees with the C++ system clock to a few seconds.
TEST(KernelBackend, UtcTimeAgreesWithTheSystemClock) {
    SYSTEMTIME now{};
    QX::GetUtcTime(&now);
    const auto reference = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    const std::int64_t days = DaysFromCivil(now.wYear, now.wMonth, now.wDay);
    const std::int64_t seconds = days * 86400 + now.wHour * 3600 + now.wMinute * 60 + now.wSecond;
    EXPECT_LE(std::llabs(seconds - reference), 5) << "year " << now.wYear << " hour " << now.wHour;
    // 1970-01-01 was a Thursday (4).
    EXPECT_EQ(now.wDayOfWeek, static_cast<WORD>(((days % 7) + 11) % 7));
}

}  // namespace
