#pragma once

// Events, threads and the small kernel services that the library's logic needs: the last-error
// value of the calling thread, the millisecond tick, the UTC time, sleeping and the COM pair
// around worker threads. On Windows each is the plain Windows call; a host can use the event
// functions to make the events it hands to the library.

#include <cstdint>

#include "qxnet/QXExport.h"
#include "qxnet/platform/QXWinTypes.h"

namespace QX {

// Events. Waits take milliseconds, INFINITE for none, and return WAIT_OBJECT_0 (+1 for the second
// of two), WAIT_TIMEOUT or WAIT_FAILED. When both of two events are set, the first one wins; an
// auto-reset event releases one waiter and resets itself.
QXNET_API HANDLE EventCreate(bool manualReset, bool initiallySet);
QXNET_API bool EventSet(HANDLE event);
QXNET_API bool EventReset(HANDLE event);
QXNET_API DWORD WaitForHandle(HANDLE handle, DWORD timeoutMs);
QXNET_API DWORD WaitForEither(HANDLE first, HANDLE second, DWORD timeoutMs);
// Closes an event or a thread handle; a thread goes on running until its procedure returns.
// Waits on the handle in other threads end as failed (WAIT_FAILED; Windows may instead let them
// run to their time-out), and the object lives until the last of them has left. Using a closed
// handle fails with ERROR_INVALID_HANDLE; on Linux handle values are never given out twice.
QXNET_API bool HandleClose(HANDLE handle);

// Threads: a handle that is signalled once the procedure has returned; null when no thread could
// be created. The exit code is the procedure's result; false while the thread still runs.
QXNET_API HANDLE ThreadCreate(ThreadProc procedure, void* argument);
QXNET_API bool ThreadExitCode(HANDLE thread, DWORD* exitCode);

// The calling thread's last-error value (Win32 numbering).
QXNET_API void SetLastErrorValue(DWORD value);
QXNET_API DWORD GetLastErrorValue();

QXNET_API DWORD TickCount();
QXNET_API void GetUtcTime(SYSTEMTIME* time);
QXNET_API void SleepMs(DWORD milliseconds);

// COM initialisation around worker threads; nothing to do outside Windows. Tests observe the
// balance through the observer, which sees +1 for each initialisation and -1 for each release.
QXNET_API void ComInitialize();
QXNET_API void ComUninitialize();
typedef void (*ComObserver)(int delta);
QXNET_API void SetComObserver(ComObserver observer);

}  // namespace QX
