#include "qxnet/c/QXCCamera.h"

#include <cstring>

#include "qxnet/c/QXCHandle.h"
#include "qxnet/platform/QXUtf8.h"

namespace QX::C {

void ToC(const QXSDK::CameraData& camera, qxnet_camera& out) {
    std::memset(&out, 0, sizeof out);
    out.size = sizeof out;
    out.address = camera.ip;
    out.mac = camera.MacNumber();
    out.model = camera.model;
    out.ext_model = camera.extModel;
    out.firmware = camera.fwVer;
    out.features = camera.features;
    out.enclosure = camera.enclosure;
    CopyCut(ToUtf8(camera.MacText().c_str()), out.mac_text, sizeof out.mac_text);
}

void ToC(const QXSDK::MDNSCameraData& camera, qxnet_mdns_camera& out) {
    std::memset(&out, 0, sizeof out);
    out.size = sizeof out;
    out.address = camera.m_ip;
    out.mac = camera.m_mac;
    out.hex32 = camera.m_hex32;
    out.hex16 = camera.m_hex16;
    out.pair_first = camera.m_pairFirst;
    out.pair_second = camera.m_pairSecond;
    out.valid = camera.m_valid ? 1 : 0;
    out.firmware_major = camera.m_fwMajor;
    out.firmware_minor = camera.m_fwMinor;
    CopyCut(camera.m_model, out.model, sizeof out.model);
}

void ToC(const QXSDK::ScannedCamera& camera, qxnet_scanned_camera& out) {
    std::memset(&out, 0, sizeof out);
    out.size = sizeof out;
    out.address = camera.Address();
    out.mac = camera.mac;
    out.methods = camera.methods;
    out.flags = camera.flags;
    out.has_broadcast = camera.hasBroadcast ? 1 : 0;
    out.has_mdns = camera.hasMdns ? 1 : 0;
    if (camera.hasBroadcast) {
        ToC(camera.broadcast, out.broadcast);
    }
    if (camera.hasMdns) {
        ToC(camera.mdns, out.mdns);
    }
    out.last_seen = camera.lastSeen;
    out.interface_count = static_cast<std::uint32_t>(camera.interfaces.size());
    // Whole names only: a cut name could be read as another interface's.
    std::string names;
    for (const std::wstring& name : camera.interfaces) {
        const std::string next = ToUtf8(name.c_str());
        const std::size_t separator = names.empty() ? 0 : 1;
        if (names.size() + separator + next.size() >= sizeof out.interfaces) {
            break;
        }
        names.append(separator, ',');
        names += next;
    }
    std::memcpy(out.interfaces, names.data(), names.size());
}

}  // namespace QX::C
