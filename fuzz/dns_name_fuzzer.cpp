// DNSName::ParseInit on arbitrary bytes: the first byte picks the offset, the rest is the message;
// the name is parsed both from the message and from an rdata copy of its tail.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qxnet/mdns/QXDNSName.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::vector<std::uint8_t> message(data + 1, data + size);
    const std::uint32_t offset = data[0];
    QXSDK::DNSName name;
    const std::uint32_t used = name.ParseInit(message, message, offset);
    if (used > message.size()) {
        __builtin_trap();
    }
    std::vector<std::uint8_t> encoded;
    name.Encode(encoded);
    name.ToString();
    if (offset < message.size()) {
        const std::vector<std::uint8_t> rdata(message.begin() + offset, message.end());
        QXSDK::DNSName fromRdata;
        if (fromRdata.ParseInit(message, rdata, 0) > rdata.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
