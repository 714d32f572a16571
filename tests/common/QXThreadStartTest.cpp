#include "qxnet/common/QXThreadStart.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "qxnet/platform/QXSync.h"

namespace {

std::atomic<int> g_comBalance{0};
std::atomic<int> g_comCalls{0};

DWORD QX_THREADAPI Doubler(void* argument) {
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(argument) * 2);
}

DWORD QX_THREADAPI Thrower(void*) {
    throw std::runtime_error("procedure failed");
}

// A throwing procedure frees its start record and releases COM before the exception ends the
// process.
void RunThrowingThread() {
    QX::SetComObserver(
        [](int delta) { std::fprintf(stderr, delta > 0 ? "init\n" : "released\n"); });
    QX::WaitForHandle(QX::StartThread(Thrower, nullptr), INFINITE);
}

// The exit code is the procedure's result and COM is balanced; then a procedure that throws.
TEST(StartThreadDeathTest, ExitCodeComBalanceAndAThrowingProcedure) {
    QX::SetComObserver([](int delta) {
        g_comBalance += delta;
        ++g_comCalls;
    });
    HANDLE thread = QX::StartThread(Doubler, reinterpret_cast<void*>(21));
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(QX::WaitForHandle(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(QX::ThreadExitCode(thread, &code));
    EXPECT_EQ(code, 42u);
    QX::HandleClose(thread);
    QX::SetComObserver(nullptr);
    EXPECT_EQ(g_comCalls.load(), 2);
    EXPECT_EQ(g_comBalance.load(), 0);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(RunThrowingThread(), "init\nreleased\n");
}

}  // namespace
