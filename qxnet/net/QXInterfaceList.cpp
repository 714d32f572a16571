#include "qxnet/net/QXInterfaceList.h"

#include <cstdio>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXNetInfo.h"
#include "qxnet/platform/QXUtf8.h"

namespace QX {

namespace {

constexpr int MAX_INTERFACE_RECORDS = 20;
constexpr DWORD ADAPTER_BLOCK_SIZE = 32000;

// One "%wS" line: the wide text as the runtime's print converts it. Here that is UTF-8, the
// narrow encoding of standard output on this system, written byte for byte.
void PrintLine(const char* label, const std::wstring& text) {
    std::string bytes = label + ToUtf8(text.c_str()) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

}  // namespace

int InterfaceList::Open() {
    NetInfoSource& source = NetInfoSource::Current();
    INTERFACE_INFO records[MAX_INTERFACE_RECORDS] = {};
    DWORD bytes = 0;
    if (!source.GetInterfaceList(records, sizeof records, &bytes)) {
        return static_cast<int>(ResultCode::Unexpected);
    }
    DWORD count = bytes / sizeof(INTERFACE_INFO);
    if (count > MAX_INTERFACE_RECORDS) {
        count = MAX_INTERFACE_RECORDS;
    }

    std::vector<AdapterAddresses> adapters;
    DWORD answer = source.GetAdapterAddresses(ADAPTER_BLOCK_SIZE, &adapters);
    if (answer == NetInfoError::BufferOverflow) {
        return static_cast<int>(ResultCode::BufferTooSmall);
    }
    // Any other failure leaves nothing to walk: the list stays as it was and Open reports it
    // as the unexpected answer it is.
    if (answer != NetInfoError::Success) {
        return static_cast<int>(ResultCode::Unexpected);
    }

    for (const AdapterAddresses& adapter : adapters) {
        PrintLine("Friendly Name: ", adapter.friendlyName);
        PrintLine("Description: ", adapter.description);
        for (const UnicastAddress& unicast : adapter.unicast) {
            if (unicast.family != AddressFamilyInet) {
                continue;
            }
            for (DWORD i = 0; i < count; ++i) {
                const INTERFACE_INFO& record = records[i];
                if (record.iiAddress.AddressIn.sin_addr.s_addr != unicast.address) {
                    continue;
                }
                if (SwapAddress(record.iiAddress.AddressIn.sin_addr.s_addr) != LOOPBACK_ADDRESS) {
                    m_interfaces.emplace_back(record.iiAddress.AddressIn.sin_addr.s_addr,
                                              record.iiBroadcastAddress.AddressIn.sin_addr.s_addr,
                                              record.iiNetmask.AddressIn.sin_addr.s_addr,
                                              adapter.friendlyName, adapter.description);
                }
                break;
            }
        }
    }
    std::fflush(stdout);
    return 0;
}

int InterfaceList::GetSize() const {
    return static_cast<int>(m_interfaces.size());
}

const NetInterface* InterfaceList::At(int index) const {
    return index >= 0 && static_cast<std::size_t>(index) < m_interfaces.size()
               ? &m_interfaces[static_cast<std::size_t>(index)]
               : nullptr;
}

std::uint32_t InterfaceList::GetAddress(int index, bool swap) const {
    const NetInterface* entry = At(index);
    if (entry == nullptr) {
        return 0;
    }
    return swap ? SwapAddress(entry->GetAddress()) : entry->GetAddress();
}

std::uint32_t InterfaceList::GetMask(int index, bool swap) const {
    const NetInterface* entry = At(index);
    if (entry == nullptr) {
        return 0;
    }
    return swap ? SwapAddress(entry->GetMask()) : entry->GetMask();
}

std::uint32_t InterfaceList::GetBroadcast(int index, bool swap) const {
    const NetInterface* entry = At(index);
    if (entry == nullptr) {
        return 0;
    }
    return swap ? SwapAddress(entry->GetBroadcast()) : entry->GetBroadcast();
}

std::wstring InterfaceList::GetName(int index) const {
    const NetInterface* entry = At(index);
    return entry != nullptr ? entry->GetName() : std::wstring();
}

std::wstring InterfaceList::GetDescription(int index) const {
    const NetInterface* entry = At(index);
    return entry != nullptr ? entry->GetDescription() : std::wstring();
}

int InterfaceList::IsValidAddress(std::uint32_t address, bool swap) const {
    std::uint32_t a = 0;
    if (!ScreenAddress(address, swap, a)) {
        return static_cast<int>(ResultCode::InvalidArgument);
    }
    for (const NetInterface& entry : m_interfaces) {
        if (InLocalSubnet(entry.GetAddress(), entry.GetMask(), a)) {
            return 0;
        }
    }
    return 1;
}

int InterfaceList::IsValidAddress(int index, std::uint32_t address, bool swap) const {
    std::uint32_t a = 0;
    const NetInterface* entry = At(index);
    if (!ScreenAddress(address, swap, a) || entry == nullptr) {
        return static_cast<int>(ResultCode::InvalidArgument);
    }
    return InLocalSubnet(entry->GetAddress(), entry->GetMask(), a) ? 0 : 1;
}

}  // namespace QX
