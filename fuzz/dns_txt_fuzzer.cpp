// DNSRrdataTXT::ParseInit on arbitrary rdata.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qxnet/mdns/QXDNSRrdataTXT.h"
#include "qxnet/platform/QXDebugOutput.h"

// Traces would only slow the run down.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> rdata(data, data + size);
    QXSDK::DNSRrdataTXT txt;
    const bool valid = txt.ParseInit(rdata);
    if (valid != txt.m_valid || (valid && txt.m_model.empty())) {
        __builtin_trap();
    }
    return 0;
}
