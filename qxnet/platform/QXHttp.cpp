#include "qxnet/platform/QXHttp.h"

#include <atomic>

namespace QX {
namespace {

std::atomic<HttpTransport*> g_transport{nullptr};

}  // namespace

HttpTransport& Http() {
    HttpTransport* transport = g_transport.load();
    return transport != nullptr ? *transport : PlatformHttpTransport();
}

HttpTransport* SetHttpTransport(HttpTransport* transport) {
    return g_transport.exchange(transport);
}

}  // namespace QX
