#include "qxnet/net/QXNetInterface.h"

#include <utility>

namespace QX {

NetInterface::NetInterface(std::uint32_t address, std::uint32_t broadcast, std::uint32_t mask,
                           std::wstring name, std::wstring description)
    : m_address(address),
      m_broadcast(broadcast),
      m_mask(mask),
      m_name(std::move(name)),
      m_description(std::move(description)) {}

}  // namespace QX
