#include "qxnet/platform/QXDebugOutput.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace QX {
namespace {

DebugSink DefaultSink() {
    const char* setting = std::getenv("QXNET_TRACE");
    if (setting != nullptr &&
        (std::strcmp(setting, "off") == 0 || std::strcmp(setting, "0") == 0)) {
        return nullptr;
    }
    return PlatformDebugSink();
}
struct SinkState {
    std::recursive_mutex mutex;
    DebugSink sink = DefaultSink();
    void* context = nullptr;
};

SinkState& State() {
    static SinkState state;
    return state;
}

}  // namespace

void SetDebugSink(DebugSink sink, void* context) {
    SinkState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    state.sink = sink;
    state.context = context;
}

void ResetDebugSink() {
    SetDebugSink(DefaultSink(), nullptr);
}

void DebugOutput(const wchar_t* line) {
    if (line == nullptr) {
        return;
    }
    SinkState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    if (state.sink != nullptr) {
        state.sink(line, state.context);
    }
}

}  // namespace QX
