#include "qxnet/scan/QXScannedCamera.h"

#include <cstring>
#include <initializer_list>
#include <utility>

namespace QXSDK {

namespace {

// The names of the bits set in bits, in the order of the table.
std::vector<std::string> BitNames(unsigned bits,
                                  std::initializer_list<std::pair<unsigned, const char*>> table) {
    std::vector<std::string> names;
    for (const auto& [bit, name] : table) {
        if ((bits & bit) != 0) {
            names.push_back(name);
        }
    }
    return names;
}

}  // namespace

std::uint32_t ScannedCamera::Address() const {
    return hasBroadcast ? broadcast.ip : (hasMdns ? mdns.m_ip : 0);
}

bool ScannedCamera::SameData(const ScannedCamera& other) const {
    if (mac != other.mac || Address() != other.Address()) {
        return false;
    }
    if (hasBroadcast && other.hasBroadcast) {
        const CameraData& a = broadcast;
        const CameraData& b = other.broadcast;
        if (a.ip != b.ip || a.fwVer != b.fwVer || a.byte36 != b.byte36 || a.infoTag != b.infoTag ||
            a.model != b.model || a.extModel != b.extModel || a.enclosure != b.enclosure ||
            a.features != b.features || std::memcmp(a.info12, b.info12, sizeof a.info12) != 0 ||
            std::memcmp(a.info20, b.info20, sizeof a.info20) != 0 ||
            std::memcmp(a.info28, b.info28, sizeof a.info28) != 0) {
            return false;
        }
    }
    if (hasMdns && other.hasMdns) {
        const MDNSCameraData& a = mdns;
        const MDNSCameraData& b = other.mdns;
        if (a.m_ip != b.m_ip || a.m_hex32 != b.m_hex32 || a.m_hex16 != b.m_hex16 ||
            a.m_fwMajor != b.m_fwMajor || a.m_fwMinor != b.m_fwMinor ||
            a.m_pairFirst != b.m_pairFirst || a.m_pairSecond != b.m_pairSecond ||
            a.m_model != b.m_model) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> ScannedCamera::FlagNames(unsigned flags) {
    return BitNames(flags, {{FLAG_OUTSIDE_SUBNET, "outside-subnet"},
                            {FLAG_ADDRESS_CONFLICT, "address-conflict"},
                            {FLAG_SEVERAL_INTERFACES, "several-interfaces"}});
}

std::vector<std::string> ScannedCamera::MethodNames(unsigned methods) {
    return BitNames(methods, {{METHOD_BROADCAST, "broadcast"}, {METHOD_MDNS, "mdns"}});
}

}  // namespace QXSDK
