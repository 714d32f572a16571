#pragma once

#include <cstdint>

#include "qxnet/platform/QXHttp.h"

namespace QXSDK {
class HTTPClient;
}

namespace QX {

// Where the stream bodies of one HTTPClient go. The client reads every body through a sink: its
// own over the response stream, unless a sink made for the client stands in for that stream for
// as long as it lives (a program that saves a body to a file writes it as it arrives, not after
// a second pass over memory). Every rule of the stream holds here too: each attempt appends, and
// an attempt that fails is taken back through Truncate, so the sink never keeps a failed
// attempt's bytes. Not exported: the library's own programs use it. Make and destroy a standing
// sink while the client is idle.
class BodySink : public HttpBodyReceiver {
public:
    // A sink that stands for client's response stream until it is destroyed.
    explicit BodySink(const QXSDK::HTTPClient& client);
    virtual ~BodySink();
    BodySink(const BodySink&) = delete;
    BodySink& operator=(const BodySink&) = delete;

    // Appends the bytes; a sink that cannot keep them records that itself, and the body reads on.
    void Append(const void* data, std::uint32_t size) override = 0;
    // Drops everything after the first size bytes.
    virtual void Truncate(std::uint64_t size) = 0;
    // The bytes held.
    virtual std::uint64_t Size() const = 0;

    // The sink that stands for client's response stream, or null.
    static BodySink* Of(const QXSDK::HTTPClient* client);

protected:
    // A sink that stands for no client: the client's own over its response stream.
    BodySink() = default;

private:
    const QXSDK::HTTPClient* m_client = nullptr;
};

}  // namespace QX
