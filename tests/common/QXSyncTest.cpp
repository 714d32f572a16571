#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "qxnet/platform/QXSync.h"

namespace {

TEST(Events, AutoResetReleasesOneWaiterAndResetsItself) {
    HANDLE event = QX::EventCreate(false, false);
    ASSERT_NE(event, nullptr);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (QX::WaitForHandle(event, 2000) == WAIT_OBJECT_0) {
            ++released;
        }
    };
    std::thread a(waiter);
    std::thread b(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(QX::EventSet(event));
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(QX::WaitForHandle(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(QX::HandleClose(event));
}

TEST(Events, ManualResetStaysSetUntilReset) {
    HANDLE event = QX::EventCreate(true, false);
    EXPECT_EQ(QX::WaitForHandle(event, 0), WAIT_TIMEOUT);
    QX::EventSet(event);
    EXPECT_EQ(QX::WaitForHandle(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(QX::WaitForHandle(event, 0), WAIT_OBJECT_0);
    QX::EventReset(event);
    EXPECT_EQ(QX::WaitForHandle(event, 10), WAIT_TIMEOUT);
    QX::HandleClose(event);

    HANDLE initially = QX::EventCreate(true, true);
    EXPECT_EQ(QX::WaitForHandle(initially, 0), WAIT_OBJECT_0);
    QX::HandleClose(initially);
}

TEST(Events, WaitOnTwoReturnsTheSignalledOneAndTheFirstWhenBoth) {
    HANDLE first = QX::EventCreate(true, false);
    HANDLE second = QX::EventCreate(false, false);
    EXPECT_EQ(QX::WaitForEither(first, second, 10), WAIT_TIMEOUT);
    QX::EventSet(second);
    EXPECT_EQ(QX::WaitForEither(first, second, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(QX::WaitForEither(first, second, 0), WAIT_TIMEOUT) << "auto-reset was consumed";
    QX::EventSet(first);
    QX::EventSet(second);
    EXPECT_EQ(QX::WaitForEither(first, second, 0), WAIT_OBJECT_0);
    QX::EventReset(first);
    EXPECT_EQ(QX::WaitForEither(first, second, 0), WAIT_OBJECT_0 + 1);

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        QX::EventSet(second);
    });
    EXPECT_EQ(QX::WaitForEither(first, second, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
    QX::HandleClose(first);
    QX::HandleClose(second);
}

TEST(Events, InvalidHandlesFail) {
    EXPECT_FALSE(QX::EventSet(INVALID_HANDLE_VALUE));
    EXPECT_EQ(QX::WaitForHandle(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
}

DWORD QX_THREADAPI ReturnArgument(void* argument) {
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(argument));
}

TEST(Threads, ExitCodeComesBackAfterJoin) {
    HANDLE thread = QX::ThreadCreate(ReturnArgument, reinterpret_cast<void*>(4242));
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(QX::WaitForHandle(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(QX::ThreadExitCode(thread, &code));
    EXPECT_EQ(code, 4242u);
    EXPECT_TRUE(QX::HandleClose(thread));
}

DWORD QX_THREADAPI WaitForEvent(void* event) {
    return QX::WaitForHandle(static_cast<HANDLE>(event), INFINITE) == WAIT_OBJECT_0 ? 7 : 8;
}

TEST(Threads, StillActiveWhileRunning) {
    HANDLE go = QX::EventCreate(true, false);
    HANDLE thread = QX::ThreadCreate(WaitForEvent, go);
    DWORD code = 0;
    EXPECT_FALSE(QX::ThreadExitCode(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(QX::WaitForHandle(thread, 20), WAIT_TIMEOUT);
    QX::EventSet(go);
    EXPECT_EQ(QX::WaitForHandle(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(QX::ThreadExitCode(thread, &code));
    EXPECT_EQ(code, 7u);
    QX::HandleClose(thread);
    QX::HandleClose(go);
}

DWORD QX_THREADAPI ReadAndSetLastError(void* seen) {
    *static_cast<DWORD*>(seen) = QX::GetLastErrorValue();
    QX::SetLastErrorValue(259);
    return 0;
}

TEST(LastError, IsPerThread) {
    // The library's own thread calls keep the caller's value; a C++ thread runtime may not.
    QX::SetLastErrorValue(87);
    DWORD seenThere = 1;
    HANDLE thread = QX::ThreadCreate(ReadAndSetLastError, &seenThere);
    ASSERT_NE(thread, nullptr);
    QX::WaitForHandle(thread, INFINITE);
    QX::HandleClose(thread);
    EXPECT_EQ(seenThere, 0u);
    EXPECT_EQ(QX::GetLastErrorValue(), 87u);
}

TEST(Clock, TickAdvancesAndUtcTimeIsPlausible) {
    DWORD before = QX::TickCount();
    QX::SleepMs(50);
    EXPECT_NE(QX::TickCount(), before);
    SYSTEMTIME now{};
    QX::GetUtcTime(&now);
    EXPECT_GE(now.wYear, 2024);
    EXPECT_GE(now.wMonth, 1);
    EXPECT_LE(now.wMonth, 12);
    EXPECT_LE(now.wDayOfWeek, 6);
    EXPECT_LE(now.wMilliseconds, 999);
}

}  // namespace
