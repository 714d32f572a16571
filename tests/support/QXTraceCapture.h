#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace QXTest {

// Collects every trace line while it lives (through the debug sink) and restores the default
// sink when it goes. Lines keep their trailing line feed.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::wstring> Lines();
    // True when some line contains text.
    bool Contains(const std::wstring& text);
    void Clear();

private:
    static void Sink(const wchar_t* line, void* context);
    std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

}  // namespace QXTest
