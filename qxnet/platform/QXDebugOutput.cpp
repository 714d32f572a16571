#include "qxnet/platform/QXDebugOutput.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace QX {
namespace {

class SilentSink : public DebugSink {
public:
    void Write(const wchar_t*) override {}
};

// Recursive, so that a sink may trace (or Set) from inside Write. The lock and the library's
// sinks are never destroyed: a thread may still trace while the process exits.
std::recursive_mutex& SinkLock() {
    static auto& lock = *new std::recursive_mutex;
    return lock;
}

std::atomic<DebugSink*> g_installed{nullptr};

// The environment is read once: QXNET_TRACE is meant for a whole run, and reading it per line
// would race a host's setenv.
DebugSink& PlatformOrSilent() {
    static DebugSink& chosen = []() -> DebugSink& {
        const char* setting = std::getenv("QXNET_TRACE");
        const bool off = setting != nullptr &&
                         (std::strcmp(setting, "off") == 0 || std::strcmp(setting, "0") == 0);
        return off ? DebugSink::Silent() : PlatformDebugSink();
    }();
    return chosen;
}

}  // namespace

DebugSink::~DebugSink() = default;

DebugSink& DebugSink::Silent() {
    static auto& silent = *new SilentSink;
    return silent;
}

DebugSink& DebugSink::Current() {
    DebugSink* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : PlatformOrSilent();
}

// Unlike the other seams, Set takes the sink lock: a host frees its sink right after replacing
// it, so no line may still be on its way into it.
DebugSink* DebugSink::Set(DebugSink* sink) {
    std::lock_guard<std::recursive_mutex> lock(SinkLock());
    return g_installed.exchange(sink, std::memory_order_acq_rel);
}

void DebugOutput(const wchar_t* line) {
    if (line == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(SinkLock());
    DebugSink::Current().Write(line);
}

}  // namespace QX
