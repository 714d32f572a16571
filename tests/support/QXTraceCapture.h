#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "qxnet/platform/QXDebugOutput.h"

namespace QXTest {

// Collects every trace line while it lives (as the debug sink in place) and restores the
// platform's sink when it goes. Lines keep their trailing line feed.
class TraceCapture : public QX::DebugSink {
public:
    TraceCapture();
    ~TraceCapture() override;
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::wstring> Lines();
    // True when some line contains text.
    bool Contains(const std::wstring& text);
    void Clear();

private:
    void Write(const wchar_t* line) override;
    std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

}  // namespace QXTest
