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

std::uint16_t InternetChecksum(const unsigned char* data, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        sum += static_cast<std::uint32_t>(data[i]) | (static_cast<std::uint32_t>(data[i + 1]) << 8);
    }
    if ((length & 1) != 0) {
        sum += data[length - 1];
    }
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

}  // namespace QX
