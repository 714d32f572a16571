#pragma once

// The debugger-output line sink behind Trace, a seam of the same shape as the others
// (platform/QXSeam.h). The platform's sink sends a line to OutputDebugStringW on Windows and, as
// UTF-8, to standard error elsewhere; with QXNET_TRACE=off (or 0) in the environment when the
// first line is traced, the platform's sink is the silent one. A host can put its own sink in
// place, or DebugSink::Silent() to silence the library.

#include "qxnet/QXExport.h"

namespace QX {

class QXNET_API DebugSink {
public:
    // The sink in place: the platform's, unless Set put another there.
    static DebugSink& Current();
    // Puts sink in place and returns the one it replaced (null for the platform's); null
    // restores the platform's. It waits for a line being written, so once it returns the
    // replaced sink is called no more (unless Set is called from inside a sink).
    static DebugSink* Set(DebugSink* sink);
    // A sink that drops every line.
    static DebugSink& Silent();

    virtual ~DebugSink();
    // Called with each finished line (it ends in a line feed). Lines are delivered one at a
    // time, under the sink lock (a recursive lock of the library's own, also held by Set), on
    // the thread that traced.
    virtual void Write(const wchar_t* line) = 0;
};

// Hands line to the sink in place; a null line is ignored.
QXNET_API void DebugOutput(const wchar_t* line);

// The backend's own sink (standard error, or the debugger output on Windows).
DebugSink& PlatformDebugSink();

}  // namespace QX
