#pragma once

#include "qxnet/QXExport.h"
#include "qxnet/platform/QXWinTypes.h"

#if !defined(_WIN32)
#include <mutex>
#endif

namespace QX {

// The caller's lock: a recursive critical section that any thread may enter and leave. The caller
// creates it and hands it to each client as boost::shared_ptr<QX::CodeLock>; clients that share
// one are serialised against each other. Construction initialises it and destruction deletes it.
class QXNET_API CodeLock {
public:
    CodeLock();
    ~CodeLock();
    CodeLock(const CodeLock&) = delete;
    CodeLock& operator=(const CodeLock&) = delete;

    void Enter();
    void Leave();

private:
#if defined(_WIN32)
    CRITICAL_SECTION m_section;
#else
    std::recursive_mutex m_mutex;
#endif
};

}  // namespace QX
