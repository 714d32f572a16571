#include "qxnet/common/QXThreadStart.h"

#include <new>

#include "qxnet/platform/QXSync.h"

namespace QX {
namespace {
struct StartRecord {
    ThreadProc procedure;
    void* argument;
};
}  // namespace

HANDLE StartThread(ThreadProc procedure, void* argument) {
    auto* record = new (std::nothrow) StartRecord{procedure, argument};
    if (record == nullptr) {
        return nullptr;
    }
    HANDLE thread = ThreadCreate(ThreadStartRoutine, record);
    if (thread == nullptr) {
        delete record;
    }
    return thread;
}

DWORD QX_THREADAPI ThreadStartRoutine(void* parameter) {
    auto* record = static_cast<StartRecord*>(parameter);
    ComInitialize();
    DWORD result;
    try {
        result = record->procedure(record->argument);
    } catch (...) {
        // Clean up before the exception goes on: an exception that leaves a thread ends the
        // process without unwinding, so a guard object would never run.
        delete record;
        ComUninitialize();
        throw;
    }
    delete record;
    ComUninitialize();
    return result;
}

}  // namespace QX
