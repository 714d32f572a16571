#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/platform/QXWinTypes.h"

namespace QX {
namespace {
void DebuggerSink(const wchar_t* line, void*) {
    OutputDebugStringW(line);
}
}  // namespace

DebugSink PlatformDebugSink() {
    return DebuggerSink;
}

}  // namespace QX
