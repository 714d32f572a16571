#include "qxnet/common/QXTrace.h"

#include <cstdarg>

#include "qxnet/common/QXFormat.h"
#include "qxnet/platform/QXDebugOutput.h"

namespace QX {

void Trace(const wchar_t* format, ...) {
    constexpr std::size_t kLineChars = 1020;
    wchar_t line[1024];
    va_list args;
    va_start(args, format);
    std::size_t count = FormatV(line, kLineChars, format, args);
    va_end(args);
    line[count] = L'\n';
    line[count + 1] = L'\0';
    DebugOutput(line);
}

}  // namespace QX
