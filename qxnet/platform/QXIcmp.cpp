#include "qxnet/platform/QXIcmp.h"

#include <atomic>

namespace QX {

namespace {
std::atomic<EchoFacilityFactory> s_echoFactory{nullptr};
std::atomic<RawIcmpSocketFactory> s_rawFactory{nullptr};
}  // namespace

EchoFacility::~EchoFacility() = default;
RawIcmpSocket::~RawIcmpSocket() = default;

std::unique_ptr<EchoFacility> CreateEchoFacility() {
    EchoFacilityFactory factory = s_echoFactory.load();
    return factory != nullptr ? factory() : PlatformEchoFacility();
}

std::unique_ptr<RawIcmpSocket> CreateRawIcmpSocket() {
    RawIcmpSocketFactory factory = s_rawFactory.load();
    return factory != nullptr ? factory() : PlatformRawIcmpSocket();
}

EchoFacilityFactory SetEchoFacilityFactory(EchoFacilityFactory factory) {
    return s_echoFactory.exchange(factory);
}

RawIcmpSocketFactory SetRawIcmpSocketFactory(RawIcmpSocketFactory factory) {
    return s_rawFactory.exchange(factory);
}

}  // namespace QX
