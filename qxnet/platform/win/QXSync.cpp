#include "qxnet/platform/QXSync.h"

#include <objbase.h>

#include <atomic>

namespace QX {
namespace {
std::atomic<ComObserver> g_comObserver{nullptr};

// The library keeps the all-ones value for "no handle". To Windows that value is also the
// current process's pseudo-handle: a wait on it would wait for this very process to end, and
// closing it would succeed. So it is refused here, like null, as the Linux backend refuses both.
bool Usable(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}
}  // namespace

HANDLE EventCreate(bool manualReset, bool initiallySet) {
    return CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
}

bool EventSet(HANDLE event) {
    return Usable(event) && SetEvent(event) != FALSE;
}

bool EventReset(HANDLE event) {
    return Usable(event) && ResetEvent(event) != FALSE;
}

DWORD WaitForHandle(HANDLE handle, DWORD timeoutMs) {
    return Usable(handle) ? WaitForSingleObject(handle, timeoutMs) : WAIT_FAILED;
}

DWORD WaitForEither(HANDLE first, HANDLE second, DWORD timeoutMs) {
    if (!Usable(first) || !Usable(second)) {
        return WAIT_FAILED;
    }
    HANDLE handles[2] = {first, second};
    return WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
}

bool HandleClose(HANDLE handle) {
    return Usable(handle) && CloseHandle(handle) != FALSE;
}

HANDLE ThreadCreate(ThreadProc procedure, void* argument) {
    return CreateThread(nullptr, 0, procedure, argument, 0, nullptr);
}

bool ThreadExitCode(HANDLE thread, DWORD* exitCode) {
    if (!Usable(thread) || exitCode == nullptr || GetExitCodeThread(thread, exitCode) == FALSE) {
        return false;
    }
    return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}

void SetLastErrorValue(DWORD value) {
    SetLastError(value);
}

DWORD GetLastErrorValue() {
    return GetLastError();
}

DWORD TickCount() {
    return GetTickCount();
}

void GetUtcTime(SYSTEMTIME* time) {
    if (time != nullptr) {
        GetSystemTime(time);
    }
}

void SleepMs(DWORD milliseconds) {
    Sleep(milliseconds);
}

void ComInitialize() {
    CoInitialize(nullptr);
    if (ComObserver observer = g_comObserver.load()) {
        observer(+1);
    }
}

void ComUninitialize() {
    CoUninitialize();
    if (ComObserver observer = g_comObserver.load()) {
        observer(-1);
    }
}

void SetComObserver(ComObserver observer) {
    g_comObserver.store(observer);
}

}  // namespace QX
