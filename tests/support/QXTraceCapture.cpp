#include "tests/support/QXTraceCapture.h"

#include "qxnet/platform/QXDebugOutput.h"

namespace QXTest {

TraceCapture::TraceCapture() {
    QX::SetDebugSink(&TraceCapture::Sink, this);
}

TraceCapture::~TraceCapture() {
    QX::ResetDebugSink();
}

void TraceCapture::Sink(const wchar_t* line, void* context) {
    auto* self = static_cast<TraceCapture*>(context);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_lines.emplace_back(line);
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
