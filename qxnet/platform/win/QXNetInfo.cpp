// The host's network facts on Windows: the socket layer's interface list (WSAIoctl) and IP
// Helper for the adapters, the tables and the flush.

#include "qxnet/platform/QXNetInfo.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

namespace QX {

namespace {

class WindowsNetInfo : public NetInfoSource {
public:
    bool GetInterfaceList(INTERFACE_INFO* records, DWORD bufferBytes,
                          DWORD* bytesReturned) override {
        SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, 0);
        if (s == INVALID_SOCKET) {
            return false;
        }
        DWORD bytes = 0;
        int answer = WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, records, bufferBytes, &bytes,
                              nullptr, nullptr);
        closesocket(s);
        if (answer == SOCKET_ERROR) {
            return false;
        }
        *bytesReturned = bytes;
        return true;
    }

    DWORD GetAdapterAddresses(DWORD bufferBytes, std::vector<AdapterAddresses>* adapters) override {
        adapters->clear();
        HANDLE heap = GetProcessHeap();
        auto* block = static_cast<IP_ADAPTER_ADDRESSES*>(HeapAlloc(heap, 0, bufferBytes));
        if (block == nullptr) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        ULONG size = bufferBytes;
        ULONG answer = ::GetAdaptersAddresses(AF_INET, 0, nullptr, block, &size);
        if (answer == NO_ERROR) {
            for (IP_ADAPTER_ADDRESSES* adapter = block; adapter != nullptr;
                 adapter = adapter->Next) {
                AdapterAddresses entry;
                entry.friendlyName = adapter->FriendlyName != nullptr ? adapter->FriendlyName : L"";
                entry.description = adapter->Description != nullptr ? adapter->Description : L"";
                for (IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
                     unicast != nullptr; unicast = unicast->Next) {
                    const SOCKADDR* address = unicast->Address.lpSockaddr;
                    if (address == nullptr) {
                        continue;
                    }
                    UnicastAddress item{static_cast<std::uint16_t>(address->sa_family), 0};
                    if (address->sa_family == AF_INET) {
                        item.address =
                            reinterpret_cast<const SOCKADDR_IN*>(address)->sin_addr.s_addr;
                    }
                    entry.unicast.push_back(item);
                }
                adapters->push_back(std::move(entry));
            }
        }
        HeapFree(heap, 0, block);
        return answer;
    }

    DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, DWORD* size, bool sort) override {
        ULONG length = *size;
        DWORD answer = ::GetIpAddrTable(table, &length, sort ? TRUE : FALSE);
        *size = length;
        return answer;
    }

    DWORD GetIpNetTable(MIB_IPNETTABLE* table, DWORD* size, bool sort) override {
        ULONG length = *size;
        DWORD answer = ::GetIpNetTable(table, &length, sort ? TRUE : FALSE);
        *size = length;
        return answer;
    }

    DWORD GetAdaptersInfo(std::vector<AdapterInfo>* adapters, DWORD* size) override {
        adapters->clear();
        ULONG length = *size < sizeof(IP_ADAPTER_INFO) ? sizeof(IP_ADAPTER_INFO) : *size;
        auto* block = static_cast<IP_ADAPTER_INFO*>(HeapAlloc(GetProcessHeap(), 0, length));
        if (block == nullptr) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        ULONG asked = length;
        DWORD answer = ::GetAdaptersInfo(block, &asked);
        if (answer == NO_ERROR) {
            for (IP_ADAPTER_INFO* adapter = block; adapter != nullptr; adapter = adapter->Next) {
                adapters->push_back(AdapterInfo{adapter->Index, adapter->Type});
            }
        }
        *size = asked;
        HeapFree(GetProcessHeap(), 0, block);
        return answer;
    }

    DWORD FlushIpNetTable(DWORD index) override { return ::FlushIpNetTable(index); }

    bool ResolveLocalHost(std::vector<std::uint32_t>* addresses) override {
        hostent* host = gethostbyname(nullptr);
        if (host == nullptr) {
            return false;
        }
        for (char** entry = host->h_addr_list; entry != nullptr && *entry != nullptr; ++entry) {
            std::uint32_t address;
            memcpy(&address, *entry, sizeof address);
            addresses->push_back(address);
        }
        return true;
    }
};

}  // namespace

NetInfoSource& PlatformNetInfo() {
    static WindowsNetInfo source;
    return source;
}

}  // namespace QX
