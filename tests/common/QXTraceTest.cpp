#include <gtest/gtest.h>

#include <string>

#include "qxnet/common/QXTrace.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "tests/support/QXTraceCapture.h"

namespace {

TEST(Trace, OneLinePerCallWithLineFeed) {
    QXTest::TraceCapture capture;
    QX::Trace(L"%s::Receive(): select() Timeout", L"TFTPClient[127.0.0.1]");
    QX::Trace(L"DNSName::ParseInit: %S", "korv-QX112233.local");
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"TFTPClient[127.0.0.1]::Receive(): select() Timeout\n");
    EXPECT_EQ(lines[1], L"DNSName::ParseInit: korv-QX112233.local\n");
}

TEST(Trace, LineOfExactly1020CharactersIsEmittedWhole) {
    QXTest::TraceCapture capture;
    std::wstring text(1020, L'a');
    QX::Trace(L"%s", text.c_str());
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], text + L"\n");
}

TEST(Trace, LongerLinesAreCutAt1020AndStillEndTheLine) {
    QXTest::TraceCapture capture;
    std::wstring text(1500, L'b');
    QX::Trace(L"%s tail", text.c_str());
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 1021u);
    EXPECT_EQ(lines[0], std::wstring(1020, L'b') + L"\n");
}

TEST(Trace, NullSinkSilencesAndResetRestores) {
    int calls = 0;
    QX::SetDebugSink([](const wchar_t*, void* context) { ++*static_cast<int*>(context); }, &calls);
    QX::Trace(L"counted");
    QX::SetDebugSink(nullptr, nullptr);
    QX::Trace(L"silenced");
    QX::ResetDebugSink();
    EXPECT_EQ(calls, 1);
}

}  // namespace
