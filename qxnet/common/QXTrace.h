#pragma once

#include "qxnet/QXExport.h"

namespace QX {

// Writes one line to the debugger output (see platform/QXDebugOutput.h for where it goes and how
// a host redirects or silences it). The format follows the system's convention (QXFormat.h); the
// text is cut at 1020 characters and a line feed is appended. Safe from any thread.
QXNET_API void Trace(const wchar_t* format, ...);

}  // namespace QX
