#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qxnet/QXExport.h"
#include "qxnet/mdns/QXCameraTextFields.h"

namespace QXSDK {

// The data of a camera's TXT record. The rdata is a sequence of length-prefixed strings; the
// third one is the camera text
//   "MAC=" mac "-" version "-" pair(8) "-" hex32 "-" hex16 "/" model
// whose fields end up here. A plain value type.
class QXNET_API DNSRrdataTXT : public CameraTextFields<NoCameraHead> {
public:
    // Returns the value left in m_valid; every failure writes one trace line.
    bool ParseInit(const std::vector<std::uint8_t>& rdata);

    // Splits rdata into its length-prefixed strings; false when one runs past the end.
    static bool ParseLabelSequence(const std::vector<std::uint8_t>& rdata,
                                   std::vector<std::string>& strings);
    // "QX" (optional) and 6 hex digits: 0x0E1F2A000000 plus their value; anything else gives 0.
    static std::uint64_t ParseMacText(const std::string& text);
    // Exactly 8 (or 4) hex digits: their value; anything else gives 0.
    static std::uint32_t ParseHex32(const std::string& text);
    static std::uint16_t ParseHex16(const std::string& text);
    // The first "FW" is removed, the rest split at its first "."; each part read as a signed
    // decimal ("%ld" manner); an unreadable part gives 0. Without "." the minor part is 0.
    static void ParseFirmwareVersion(const std::string& text, std::int32_t& major,
                                     std::int32_t& minor);
};

}  // namespace QXSDK
