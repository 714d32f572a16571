#pragma once

#include "qxnet/QXExport.h"
#include "qxnet/platform/QXWinTypes.h"

namespace QX {

// Starts procedure(argument) on a new thread with COM initialised around it; the procedure's
// result is the thread's exit code. Returns the thread handle, which the caller owns and closes
// with HandleClose, or null when no thread could be created.
QXNET_API HANDLE StartThread(ThreadProc procedure, void* argument);

// The entry of such threads. record is a start record made by StartThread (procedure and
// argument); it is freed and COM released whether the procedure returns or throws.
QXNET_API DWORD QX_THREADAPI ThreadStartRoutine(void* record);

}  // namespace QX
