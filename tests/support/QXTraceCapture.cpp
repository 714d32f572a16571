#include "tests/support/QXTraceCapture.h"

namespace QXTest {

TraceCapture::TraceCapture() {
    QX::DebugSink::Set(this);
}

TraceCapture::~TraceCapture() {
    QX::DebugSink::Set(nullptr);
}

void TraceCapture::Write(const wchar_t* line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.emplace_back(line);
}

std::vector<std::wstring> TraceCapture::Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

bool TraceCapture::Contains(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& line : m_lines) {
        if (line.find(text) != std::wstring::npos) {
            return true;
        }
    }
    return false;
}

void TraceCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

}  // namespace QXTest
