#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "qxnet/platform/QXCodeLock.h"

namespace QX {

// Holds a CodeLock for a scope. Release() leaves early; the destructor leaves only if the lock is
// still held, so a guard released before an exception does not leave a second time.
class ScopedLock {
public:
    explicit ScopedLock(CodeLock* lock) : m_lock(lock), m_held(0) { Take(); }
    explicit ScopedLock(const boost::shared_ptr<CodeLock>& lock) : ScopedLock(lock.get()) {}
    ~ScopedLock() { Release(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    void Take() {
        m_lock->Enter();
        m_held = 1;
    }
    void Release() {
        if (m_held != 0) {
            m_held = 0;
            m_lock->Leave();
        }
    }
    bool Held() const { return m_held != 0; }

private:
    CodeLock* m_lock;
    std::int32_t m_held;
};

}  // namespace QX
