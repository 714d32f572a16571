#pragma once

#include <cstdint>
#include <string>

namespace QXSDK {

// The fields that a camera's TXT record carries, declared once for the parsed record and for the
// camera record that joins it with an address. They follow Head's members, so a head of one
// 32-bit field keeps the flat layout the exported camera maps have always had: the head at 0,
// m_valid right behind it, m_mac at 8.
template <class Head>
struct CameraTextFields : Head {
    CameraTextFields() = default;
    // The head given, every text field copied from a record of another head.
    template <class OtherHead>
    CameraTextFields(const Head& head, const CameraTextFields<OtherHead>& text)
        : Head(head),
          m_valid(text.m_valid),
          m_mac(text.m_mac),
          m_hex32(text.m_hex32),
          m_hex16(text.m_hex16),
          m_fwMajor(text.m_fwMajor),
          m_fwMinor(text.m_fwMinor),
          m_pairFirst(text.m_pairFirst),
          m_pairSecond(text.m_pairSecond),
          m_model(text.m_model) {}

    bool m_valid = false;
    std::uint64_t m_mac = 0;
    std::uint32_t m_hex32 = 0;
    std::uint16_t m_hex16 = 0;
    std::int32_t m_fwMajor = 0;
    std::int32_t m_fwMinor = 0;
    std::uint16_t m_pairFirst = 0;
    std::uint16_t m_pairSecond = 0;
    std::string m_model;
};

// The head of the parsed record: nothing before the text fields.
struct NoCameraHead {};
// The head of the delivered record: the camera's address, host byte order.
struct CameraAddressHead {
    std::uint32_t m_ip = 0;
};

}  // namespace QXSDK
