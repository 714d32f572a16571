#pragma once

// The debugger-output line sink behind Trace. By default a line goes to OutputDebugStringW on
// Windows and, as UTF-8, to standard error elsewhere (unless QXNET_TRACE=off is set in the
// environment). A host can install its own sink, or a null sink to silence the library.

#include "qxnet/QXExport.h"

namespace QX {

// Called with each finished line (it ends in a line feed). Lines are delivered one at a time,
// under the sink's own lock, on the thread that traced.
typedef void (*DebugSink)(const wchar_t* line, void* context);

// Installs sink (null silences all output) and returns nothing; ResetDebugSink restores the
// default.
QXNET_API void SetDebugSink(DebugSink sink, void* context);
QXNET_API void ResetDebugSink();
QXNET_API void DebugOutput(const wchar_t* line);

}  // namespace QX

namespace QX {
// The backend's default sink (standard error, or the debugger output on Windows).
DebugSink PlatformDebugSink();
}  // namespace QX
