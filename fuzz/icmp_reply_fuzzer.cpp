// A datagram of arbitrary bytes read from a raw ICMP socket, against an echo request whose
// destination, identifier and sequence come from the first eight bytes: the reader must never
// read past the datagram, and a match is either an answer or a no-answer status.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qxnet/platform/QXIcmp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) {
        return 0;
    }
    std::uint32_t destination;
    std::uint16_t identifier;
    std::uint16_t sequence;
    std::memcpy(&destination, data, 4);
    std::memcpy(&identifier, data + 4, 2);
    std::memcpy(&sequence, data + 6, 2);
    // A copy of exactly the datagram's length, so that the sanitizer sees any read beyond it.
    auto* datagram = new unsigned char[size - 8 + 1];
    std::memcpy(datagram, data + 8, size - 8);
    DWORD status = 0xFFFFFFFF;
    if (QX::MatchRawEchoDatagram(datagram, size - 8, destination, identifier, sequence, &status) &&
        status != QX::ECHO_STATUS_SUCCESS && !QX::IsEchoNoAnswer(status)) {
        __builtin_trap();
    }
    delete[] datagram;
    return 0;
}
