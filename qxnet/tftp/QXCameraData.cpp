#include "qxnet/tftp/QXCameraData.h"

#include <cstring>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXFormat.h"
#include "qxnet/common/QXTrace.h"

namespace QXSDK {

const wchar_t* const CameraData::EnclosureNames[EnclosureCount] = {
    L"BASIC",     L"CANOPY",      L"CANOPY2", L"BOXFORM",
    L"WIDEANGLE", L"TWIN IMAGER", L"ORBITAL", L"COMPACT"};

const wchar_t* const CameraData::FeatureNames[FeatureCount] = {
    L"Day Night",   L"Infrared", L"Auto Iris", L"Privacy Mask",
    L"Extended MD", L"Binning",  L"Cropping",  L"Focus",
    L"Focus aid",   L"WDR",      L"Audio",     L"SD Card",
    L"P-Iris",      L"Heater",   L"Scaling",   L"90 Degree Rotation"};

const std::uint16_t CameraData::FeatureBits[FeatureCount] = {
    0x0001, 0x0002, 0x0004, 0x0008, 0x0010, 0x0020, 0x0040, 0x0080,
    0x0100, 0x0200, 0x0400, 0x0800, 0x1000, 0x2000, 0x4000, 0x8000};

namespace {

constexpr std::uint32_t kBlockOffset = 69;
constexpr std::uint32_t kBlockHeadSize = 4;
constexpr std::size_t kWorkAreaShort = 25;  // versions 0xCE and 0xCF
constexpr std::size_t kWorkAreaLong = 40;   // version 0xD0

// Reads the answer through a window that yields zero past its end.
class Bytes {
public:
    Bytes(const unsigned char* bytes, std::uint32_t size) : m_bytes(bytes), m_size(size) {}
    std::uint8_t At(std::uint32_t offset) const {
        return m_bytes != nullptr && offset < m_size ? m_bytes[offset] : 0;
    }
    std::uint16_t Big16(std::uint32_t offset) const {
        return static_cast<std::uint16_t>((At(offset) << 8) | At(offset + 1));
    }
    std::uint32_t Big32(std::uint32_t offset) const {
        return (static_cast<std::uint32_t>(Big16(offset)) << 16) | Big16(offset + 2);
    }

private:
    const unsigned char* m_bytes;
    std::uint32_t m_size;
};

}  // namespace

CameraData::CameraData()
    : mac{},
      ip(0),
      fwVer(0),
      byte36(0),
      infoTag(0),
      infoLength(0),
      model(0),
      extModel(0),
      info12{},
      info20{},
      info28{},
      enclosure(0),
      features(0),
      hwVer(0) {}

CameraData::CameraData(const unsigned char* answer, std::uint32_t length) : CameraData() {
    const Bytes bytes(answer, length);
    ip = bytes.Big32(28);
    fwVer = bytes.Big16(32);
    model = bytes.Big16(34);
    byte36 = bytes.At(36);
    for (int i = 0; i < 6; ++i) {
        mac[i] = bytes.At(static_cast<std::uint32_t>(27 - i));
    }
    QX::Trace(L"CameraData constructor: IP = %s", QX::AddressToText(ip).c_str());

    if (length > kBlockOffset + kBlockHeadSize) {
        const std::uint16_t tag =
            static_cast<std::uint16_t>(bytes.At(kBlockOffset) | (bytes.At(kBlockOffset + 1) << 8));
        if (tag == InfoTagCE || tag == InfoTagCF || tag == InfoTagD0) {
            const std::size_t areaSize = tag == InfoTagD0 ? kWorkAreaLong : kWorkAreaShort;
            const std::uint32_t used = kBlockHeadSize + bytes.Big16(kBlockOffset + 2);
            std::uint8_t area[kWorkAreaLong] = {};
            for (std::uint32_t i = 0; i < areaSize && i < used; ++i) {
                area[i] = bytes.At(kBlockOffset + i);
            }
            const Bytes block(area, static_cast<std::uint32_t>(areaSize));
            infoTag = tag;
            infoLength = block.Big16(2);
            model = block.Big32(4);
            extModel = block.Big32(8);
            std::memcpy(info12, area + 12, 8);
            if (tag == InfoTagD0) {
                std::memcpy(info20, area + 20, 8);
                std::memcpy(info28, area + 28, 8);
                enclosure = area[36];
                const std::uint32_t high = (static_cast<std::uint32_t>(area[39]) << 8) | area[38];
                features = static_cast<std::uint16_t>((high << 7) | (area[37] & 0x7F));
            } else {
                std::memcpy(info20, area + 20, 2);
                enclosure = area[23];
                features = tag == InfoTagCE
                               ? area[22]
                               : static_cast<std::uint16_t>((area[24] << 7) | (area[22] & 0x7F));
            }
        }
    }

    QX::Trace(L"Camera %d (%d) enclosure 0x%02x:\n===========================", model, extModel,
              enclosure);
    QX::Trace(L"Enclosure: %s", EnclosureName(enclosure));
    for (int i = 0; i < FeatureCount; ++i) {
        QX::Trace(L"%s is %s", FeatureNames[i], Supports(i) ? L"SUPPORTED" : L"NOT SUPPORTED");
    }
    QX::Trace(L"===========================");
}

std::uint64_t CameraData::MacNumber() const {
    std::uint64_t number = 0;
    for (int i = 5; i >= 0; --i) {
        number = (number << 8) | mac[i];
    }
    return number;
}

std::wstring CameraData::MacText() const {
    wchar_t text[32];
    QX::Format(text, 31, L"%02x%c%02x%c%02x%c%02x%c%02x%c%02x", mac[5], L':', mac[4], L':', mac[3],
               L':', mac[2], L':', mac[1], L':', mac[0]);
    return text;
}

const wchar_t* CameraData::EnclosureName(std::uint8_t code) {
    return code < EnclosureCount ? EnclosureNames[code] : L"Unknown";
}

bool CameraData::Supports(int featureIndex) const {
    return featureIndex >= 0 && featureIndex < FeatureCount &&
           (features & FeatureBits[featureIndex]) != 0;
}

}  // namespace QXSDK
