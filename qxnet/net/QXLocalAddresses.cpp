#include "qxnet/net/QXLocalAddresses.h"

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXNetInfo.h"
#include "qxnet/platform/QXSocket.h"

namespace QX {

namespace {
constexpr std::size_t MAX_LOCAL_ADDRESSES = 10;
}  // namespace

std::vector<std::uint32_t> GetLocalAddresses() {
    std::vector<std::uint32_t> result;
    std::vector<std::uint32_t> resolved;
    SocketLayerStart();
    if (!NetInfoSource::Current().ResolveLocalHost(&resolved)) {
        Trace(L"gethostbyname() failed");
        SocketLayerEnd();
        return result;
    }
    for (std::size_t i = 0; i < resolved.size() && i < MAX_LOCAL_ADDRESSES; ++i) {
        result.push_back(SwapAddress(resolved[i]));
    }
    SocketLayerEnd();
    return result;
}

}  // namespace QX
