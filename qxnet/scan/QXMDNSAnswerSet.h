#pragma once

// The camera records that mDNS responses carry, gathered from any number of messages: a camera
// is joined from its TXT record (the camera text), the SRV record of the same owner and the A
// record of the SRV target, which may arrive in different messages. A TXT record with TTL 0 is
// the camera's goodbye. Used by the camera scanner for its own queries' answers and for the
// announcements it listens to; not thread-safe (each listener keeps its own).

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "qxnet/mdns/QXDNSRrdataA.h"
#include "qxnet/mdns/QXDNSRrdataSRV.h"
#include "qxnet/mdns/QXDNSRrdataTXT.h"
#include "qxnet/mdns/QXMDNSCameraData.h"

namespace QXSDK {

class MDNSAnswerSet {
public:
    // Records kept per kind while they wait for their partners; beyond it the oldest kind's
    // store is emptied, so a flood of unrelated names cannot grow it without bound.
    static constexpr std::size_t MaxPending = 1024;

    // The query for the cameras' service ("_korv._tcp.local", PTR) with a unicast-answer class,
    // under the given message ID.
    static std::vector<std::uint8_t> ServiceQuery(std::uint16_t id);

    // Files the records of one message: an error-free response (questions, which unicast
    // answers repeat, are skipped). Returns false, filing nothing, for anything else. When
    // wantedId is not negative only a message with that ID is taken.
    bool Add(const std::vector<std::uint8_t>& message, int wantedId = -1);

    // Moves out the cameras that could be joined (with the TTL of their TXT record, seconds) and
    // the MACs that said goodbye since the last call; SRV and A records stay for later texts.
    struct Camera {
        MDNSCameraData data;
        std::uint32_t ttl;
    };
    void Take(std::vector<Camera>& cameras, std::vector<std::uint64_t>& goodbyes);

private:
    struct Txt {
        DNSRrdataTXT data;
        std::uint32_t ttl;
    };
    std::map<std::string, DNSRrdataSRV> m_srv;
    std::map<std::string, DNSRrdataA> m_a;
    std::map<std::string, Txt> m_txt;
};

}  // namespace QXSDK
