#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/platform/QXWinTypes.h"

namespace QX {
namespace {

class DebuggerSink : public DebugSink {
public:
    void Write(const wchar_t* line) override { OutputDebugStringW(line); }
};

}  // namespace

DebugSink& PlatformDebugSink() {
    static auto& sink = *new DebuggerSink;  // never destroyed, as the sink lock
    return sink;
}

}  // namespace QX
