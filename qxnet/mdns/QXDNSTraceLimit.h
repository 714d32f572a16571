#pragma once

#include "qxnet/common/QXTrace.h"

namespace QXSDK {

// Bounds the trace lines that the reading of one received message writes on the calling thread.
// A hostile datagram can hold hundreds of faulty records, and a line for each would flood the
// debugger output and slow the socket thread down. Outside a limit every line is written.
class DNSTraceLimit {
public:
    // From now until destruction, at most lines lines of this thread go through Trace; the
    // destructor writes one more line that counts those left out, if any. Limits do not nest.
    explicit DNSTraceLimit(unsigned lines);
    ~DNSTraceLimit();
    DNSTraceLimit(const DNSTraceLimit&) = delete;
    DNSTraceLimit& operator=(const DNSTraceLimit&) = delete;

    // QX::Trace, unless the calling thread's limit is used up.
    template <typename... Args>
    static void Trace(const wchar_t* format, Args... args) {
        if (Allow()) {
            QX::Trace(format, args...);
        }
    }

    // Trace's line for a parser that gives up: always false.
    static bool Fail(const wchar_t* line) {
        Trace(line);
        return false;
    }

private:
    static bool Allow();
};

}  // namespace QXSDK
