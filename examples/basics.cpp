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
struct CollectTrace : QX::DebugSink {
    void Write(const wchar_t* line) override { traced.append(line); }
    std::wstring traced;
};
}  // namespace

int main() {
    CollectTrace collect;
    const std::wstring& traced = collect.traced;
    QX::DebugSink::Set(&collect);
    QX::Trace(L"%s::%S(): %d cameras", L"Example", "main", 3);
    QX::DebugSink::Set(nullptr);

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
