#pragma once

// A camera as its broadcast discovery answer describes it. A plain value: built from one answer,
// stored by value in the caller's set and ordered by MAC alone.

#include <cstdint>
#include <string>

#include "qxnet/QXExport.h"

namespace QXSDK {

class QXNET_API CameraData {
public:
    // The tag that every answer begins with (compared without regard to case).
    static constexpr const char* AnswerTag = "korvane_optics-qx2000";
    static constexpr int AnswerTagLength = 21;

    // Extended information block tags, read with the first byte low.
    static constexpr std::uint16_t InfoTagCE = 0xCEBE;
    static constexpr std::uint16_t InfoTagCF = 0xCFBE;
    static constexpr std::uint16_t InfoTagD0 = 0xD0BE;

    static constexpr int EnclosureCount = 8;
    static constexpr int FeatureCount = 16;
    static const wchar_t* const EnclosureNames[EnclosureCount];
    static const wchar_t* const FeatureNames[FeatureCount];
    static const std::uint16_t FeatureBits[FeatureCount];

    // An empty record: every field zero, no name.
    CameraData();
    // Parses one answer of length bytes and traces the camera's description. Bytes that the
    // answer does not hold count as zero, so a short answer gives zero fields, never a read past
    // its end. The caller checks the tag; the record is built whatever the bytes are.
    CameraData(const unsigned char* answer, std::uint32_t length);

    // Ordered by MAC number alone; records with the same MAC are equal for a set.
    bool operator<(const CameraData& other) const { return MacNumber() < other.MacNumber(); }

    // The MAC as the shared 64-bit number (first octet of the written form most significant).
    std::uint64_t MacNumber() const;
    // "02:11:22:33:44:55"
    std::wstring MacText() const;
    // The enclosure's name, "Unknown" for codes from 8 up.
    static const wchar_t* EnclosureName(std::uint8_t code);
    bool Supports(int featureIndex) const;

    std::uint8_t mac[6];  // least significant octet first
    std::uint32_t ip;     // host byte order
    std::uint16_t fwVer;
    std::uint8_t byte36;
    std::wstring name;  // never filled by discovery
    std::uint16_t infoTag;
    std::uint16_t infoLength;
    std::uint32_t model;
    std::uint32_t extModel;
    std::uint8_t info12[8];
    std::uint8_t info20[8];
    std::uint8_t info28[8];
    std::uint8_t enclosure;
    std::uint16_t features;
    std::uint16_t hwVer;  // never filled by discovery
};

}  // namespace QXSDK
