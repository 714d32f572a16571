#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "qxnet/platform/QXDebugOutput.h"

namespace QXTest {

// The debug sink while it lives: collects every trace line (with its line feed).
class TraceCapture : public QX::DebugSink {
public:
    TraceCapture() { QX::DebugSink::Set(this); }
    ~TraceCapture() override { QX::DebugSink::Set(nullptr); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::wstring> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // The lines that hold text.
    int Count(const std::wstring& text) {
        const std::vector<std::wstring> lines = Lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return line.find(text) != line.npos;
        }));
    }
    bool Contains(const std::wstring& text) { return Count(text) > 0; }

private:
    void Write(const wchar_t* line) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.emplace_back(line);
    }
    std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

}  // namespace QXTest
