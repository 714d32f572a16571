#include "qxnet/tftp/QXCameraData.h"

#include <algorithm>
#include <iterator>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXByteReader.h"
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

constexpr std::uint32_t kMacOffset = 22;  // six octets, most significant first
constexpr std::uint32_t kBlockOffset = 69;
constexpr std::uint32_t kBlockHeadSize = 4;
constexpr std::size_t kWorkAreaShort = 25;  // versions 0xCE and 0xCF
constexpr std::size_t kWorkAreaLong = 40;   // version 0xD0

// Copies the bytes [offset, offset + count) of an answer of length bytes into out, leaving zero
// what the answer does not hold: the fields are then read from the copy, never past the answer.
void CopyPart(const unsigned char* answer, std::uint32_t length, std::uint32_t offset,
              std::uint8_t* out, std::size_t count) {
    for (std::size_t i = 0; answer != nullptr && i < count && offset + i < length; ++i) {
        out[i] = answer[offset + i];
    }
}

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
    std::uint8_t head[kBlockOffset + kBlockHeadSize] = {};
    CopyPart(answer, length, 0, head, sizeof head);
    QX::ByteReader reader(head, sizeof head, kMacOffset);
    reader.ReadBytes(mac, sizeof mac);
    std::reverse(std::begin(mac), std::end(mac));
    std::uint16_t shortModel = 0;
    reader.ReadU32(ip);
    reader.ReadU16(fwVer);
    reader.ReadU16(shortModel);
    reader.ReadU8(byte36);
    model = shortModel;
    QX::Trace(L"CameraData constructor: IP = %s", QX::AddressToText(ip).c_str());

    if (length > kBlockOffset + kBlockHeadSize) {
        QX::ByteReader blockHead(head, sizeof head, kBlockOffset);
        std::uint8_t tagLow = 0;
        std::uint8_t tagHigh = 0;
        std::uint16_t declared = 0;
        blockHead.ReadU8(tagLow);
        blockHead.ReadU8(tagHigh);
        blockHead.ReadU16(declared);
        const std::uint16_t tag = static_cast<std::uint16_t>(tagLow | (tagHigh << 8));
        if (tag == InfoTagCE || tag == InfoTagCF || tag == InfoTagD0) {
            const std::size_t areaSize = tag == InfoTagD0 ? kWorkAreaLong : kWorkAreaShort;
            // The work area holds what the block says it uses, the rest zero.
            std::uint8_t area[kWorkAreaLong] = {};
            CopyPart(answer, length, kBlockOffset, area,
                     std::min<std::size_t>(areaSize, kBlockHeadSize + declared));
            QX::ByteReader block(area, areaSize, 2);
            infoTag = tag;
            block.ReadU16(infoLength);
            block.ReadU32(model);
            block.ReadU32(extModel);
            block.ReadBytes(info12, sizeof info12);
            std::uint8_t low = 0;
            std::uint8_t high = 0;
            if (tag == InfoTagD0) {
                block.ReadBytes(info20, sizeof info20);
                block.ReadBytes(info28, sizeof info28);
                std::uint8_t middle = 0;
                block.ReadU8(enclosure);
                block.ReadU8(low);
                block.ReadU8(middle);
                block.ReadU8(high);
                features = static_cast<std::uint16_t>((((high << 8) | middle) << 7) | (low & 0x7F));
            } else {
                block.ReadBytes(info20, 2);
                block.ReadU8(low);
                block.ReadU8(enclosure);
                block.ReadU8(high);
                features =
                    tag == InfoTagCE ? low : static_cast<std::uint16_t>((high << 7) | (low & 0x7F));
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
