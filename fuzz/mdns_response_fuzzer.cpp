// One datagram through the mDNS client's record reading, filing and joining: GetRRsFromResponse,
// AccumulateResponseData and TranslateResponseData, under the datagram's own ID and once more as
// a self-announcement (ID 0), as the socket thread would see it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/platform/QXDebugOutput.h"

namespace {

class FuzzClient : public QXSDK::MDNSClient {
public:
    FuzzClient() : MDNSClient(boost::make_shared<QX::CodeLock>(), 0x7F000001) {}

    void Run(const std::vector<std::uint8_t>& datagram) {
        std::vector<QXSDK::DNSResourceRecord> records;
        if (GetRRsFromResponse(datagram, records)) {
            for (const QXSDK::DNSResourceRecord& record : records) {
                if (record.m_rdata.size() != record.m_rdLength) {
                    __builtin_trap();
                }
            }
        }
        AccumulateResponseData(datagram);
        std::vector<std::uint8_t> announced = datagram;
        if (announced.size() >= 2) {
            announced[0] = 0;
            announced[1] = 0;
            AccumulateResponseData(announced);
        }
        std::uint32_t self = 0;
        std::uint32_t query = 0;
        TranslateResponseData(self, query);
        CameraMap cameras;
        const bool any = GetResponses(GetResponseTransID(datagram), cameras);
        for (const auto& [mac, camera] : cameras) {
            if (mac != camera.m_mac || !camera.m_valid || camera.m_model.empty()) {
                __builtin_trap();
            }
        }
        // Each pass is counted under its own ID: the copy filed under ID 0 is another message
        // wherever a compression pointer leads into the ID bytes, so it may join cameras that
        // the datagram itself does not (and the other way round).
        const std::uint16_t transId = GetResponseTransID(datagram);
        if (any != ((transId == SELF_ANNOUNCE_TRANS_ID ? self : query) > 0)) {
            __builtin_trap();
        }
        GetSelfAnnounceResponses(cameras);
    }
};

}  // namespace

// Traces would only slow the run down.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzClient client;
    client.Run(std::vector<std::uint8_t>(data, data + size));
    return 0;
}
