#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "qxnet/platform/QXDebugOutput.h"

namespace QXTest {

// Collects every trace line while it lives (through the debug sink) and restores the default
// sink when it goes. Lines keep their trailing line feed.
class TraceCapture {
public:
    TraceCapture() { QX::SetDebugSink(&TraceCapture::Sink, this); }
    ~TraceCapture() { QX::ResetDebugSink(); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::wstring> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // True when some line contains text.
    bool Contains(const std::wstring& text) {
        const std::vector<std::wstring> lines = Lines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& line) {
            return line.find(text) != std::wstring::npos;
        });
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    static void Sink(const wchar_t* line, void* context) {
        auto* self = static_cast<TraceCapture*>(context);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_lines.emplace_back(line);
    }
    std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

}  // namespace QXTest
