#include "qxnet/scan/QXScannedCamera.h"

#include <cstring>

namespace QXSDK {

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
    std::vector<std::string> names;
    if ((flags & FLAG_OUTSIDE_SUBNET) != 0) {
        names.push_back("outside-subnet");
    }
    if ((flags & FLAG_ADDRESS_CONFLICT) != 0) {
        names.push_back("address-conflict");
    }
    if ((flags & FLAG_SEVERAL_INTERFACES) != 0) {
        names.push_back("several-interfaces");
    }
    return names;
}

std::vector<std::string> ScannedCamera::MethodNames(unsigned methods) {
    std::vector<std::string> names;
    if ((methods & METHOD_BROADCAST) != 0) {
        names.push_back("broadcast");
    }
    if ((methods & METHOD_MDNS) != 0) {
        names.push_back("mdns");
    }
    return names;
}

}  // namespace QXSDK
