#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/platform/QXUtf8.h"

#include <unistd.h>

#include <string>

namespace QX {
namespace {

class StandardErrorSink : public DebugSink {
public:
    void Write(const wchar_t* line) override {
        std::string bytes = ToUtf8(line);
        // One write per line keeps lines from different threads and processes whole.
        const char* p = bytes.data();
        size_t left = bytes.size();
        while (left > 0) {
            ssize_t n = ::write(STDERR_FILENO, p, left);
            if (n <= 0) {
                return;
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
    }
};

}  // namespace

DebugSink& PlatformDebugSink() {
    static auto& sink = *new StandardErrorSink;  // never destroyed, as the sink lock
    return sink;
}

}  // namespace QX
