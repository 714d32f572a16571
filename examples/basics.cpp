// The foundation in a few lines: redirect the library's trace, keep bytes in a memory stream and
// read the result-code table.
#include <cstdio>
#include <string>

#include "qxnet/QXVersion.h"
#include "qxnet/common/QXMemoryStream.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/platform/QXDebugOutput.h"

namespace {
// Runs on whichever thread traced, one line at a time.
void CollectTrace(const wchar_t* line, void* context) {
    static_cast<std::wstring*>(context)->append(line);
}
}  // namespace

int main() {
    std::wstring traced;
    QX::SetDebugSink(CollectTrace, &traced);
    QX::Trace(L"%s::%S(): %d cameras", L"Example", "main", 3);
    QX::ResetDebugSink();

    QX::CMemoryStream stream;
    const char text[] = "hello, camera";
    stream.Write(text, sizeof text);
    char back[sizeof text] = {};
    int got = stream.Read(back, sizeof back);

    std::printf("QXNet %s\n", QXNET_VERSION_STRING);
    std::printf("trace: %ls", traced.c_str());
    std::printf("stream: %d bytes back: %s\n", got, back);
    std::printf("0xF000000C: %ls\n", QX::ResultMessage(QX::ResultCode::ObjectNotFound));
    return (got == static_cast<int>(sizeof text) && traced == L"Example::main(): 3 cameras\n") ? 0
                                                                                               : 1;
}
