#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/common/QXScopedLock.h"
#include "qxnet/platform/QXCodeLock.h"

namespace {

TEST(CodeLock, IsRecursive) {
    QX::CodeLock lock;
    QX::ScopedLock outer(&lock);
    {
        QX::ScopedLock inner(&lock);
        QX::ScopedLock innermost(&lock);
        EXPECT_TRUE(innermost.Held());
    }
    // Still held by the outer guard: another thread must not get in.
    bool gotIn = false;
    std::thread other([&] {
        QX::ScopedLock attempt(&lock);
        gotIn = true;
    });
    outer.Release();
    other.join();
    EXPECT_TRUE(gotIn);
}

TEST(CodeLock, SerialisesTwoThreads) {
    auto lock = boost::make_shared<QX::CodeLock>();
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            QX::ScopedLock guard(lock);
            QX::ScopedLock nested(lock);
            ++counter;
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

TEST(ScopedLock, ExceptionReleasesOnceAndExplicitReleaseIsNotRepeated) {
    QX::CodeLock lock;
    auto throwing = [&](bool releaseFirst) {
        QX::ScopedLock guard(&lock);
        if (releaseFirst) {
            guard.Release();
            EXPECT_FALSE(guard.Held());
        }
        throw std::runtime_error("fault");
    };
    // An outer hold must survive both paths: a guard that left twice would drop it.
    QX::ScopedLock outer(&lock);
    EXPECT_THROW(throwing(false), std::runtime_error);
    EXPECT_THROW(throwing(true), std::runtime_error);

    std::atomic<bool> gotIn{false};
    std::thread other([&] {
        QX::ScopedLock attempt(&lock);
        gotIn = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(gotIn.load()) << "the outer hold was lost";
    outer.Release();
    other.join();
    EXPECT_TRUE(gotIn.load());
}

}  // namespace
