#pragma once

#include <cstdint>
#include <string>

#include "qxnet/QXExport.h"

namespace QX {

// One IPv4 interface of the host: address, broadcast address and mask in network order, the
// adapter's friendly name and description. A plain value; no thread or lock is involved.
class QXNET_API NetInterface {
public:
    NetInterface(std::uint32_t address, std::uint32_t broadcast, std::uint32_t mask,
                 std::wstring name, std::wstring description);

    std::uint32_t GetAddress() const { return m_address; }
    std::uint32_t GetMask() const { return m_mask; }
    const std::wstring& GetName() const { return m_name; }
    const std::wstring& GetDescription() const { return m_description; }
    // Read by the qxnet program; the library's own logic never needs it.
    std::uint32_t GetBroadcast() const { return m_broadcast; }

private:
    std::uint32_t m_address;
    std::uint32_t m_broadcast;
    std::uint32_t m_mask;
    std::wstring m_name;
    std::wstring m_description;
};

}  // namespace QX
