#pragma once

// One camera as a scan of several interfaces sees it: what each discovery method told about it,
// where it was heard and what looks wrong about it. A plain value.

#include <cstdint>
#include <string>
#include <vector>

#include "qxnet/QXExport.h"
#include "qxnet/mdns/QXMDNSCameraData.h"
#include "qxnet/tftp/QXCameraData.h"

namespace QXSDK {

class QXNET_API ScannedCamera {
public:
    // Which discovery methods heard the camera (bits of methods).
    static constexpr unsigned METHOD_BROADCAST = 0x1;
    static constexpr unsigned METHOD_MDNS = 0x2;
    // Problems worth showing the user (bits of flags).
    // The camera's address lies outside the subnet of an interface that heard it: it answers
    // broadcasts there but cannot be reached by unicast.
    static constexpr unsigned FLAG_OUTSIDE_SUBNET = 0x1;
    // Another MAC uses the same address.
    static constexpr unsigned FLAG_ADDRESS_CONFLICT = 0x2;
    // The same MAC was heard on more than one interface.
    static constexpr unsigned FLAG_SEVERAL_INTERFACES = 0x4;

    // The camera's address, host order: the broadcast answer's when there is one, else the
    // mDNS record's.
    std::uint32_t Address() const;
    // False when the address differs, or a field of a record that both hold (interfaces,
    // methods, flags and time are not compared): what the watch reports as a change.
    bool SameData(const ScannedCamera& other) const;
    // "outside-subnet", "address-conflict", "several-interfaces" for the set flags, and
    // "broadcast", "mdns" for the methods, in that order.
    static std::vector<std::string> FlagNames(unsigned flags);
    static std::vector<std::string> MethodNames(unsigned methods);

    std::uint64_t mac = 0;
    bool hasBroadcast = false;
    CameraData broadcast;
    bool hasMdns = false;
    MDNSCameraData mdns;
    // Names of the interfaces that heard it, in the order of the scan's interfaces.
    std::vector<std::wstring> interfaces;
    unsigned methods = 0;
    unsigned flags = 0;
    // Tick count (milliseconds) when it was last heard.
    std::uint32_t lastSeen = 0;
};

}  // namespace QXSDK
