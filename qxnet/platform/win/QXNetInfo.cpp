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

    // The host's name through the resolver, as on Linux: gethostbyname would answer with the
    // adapters' addresses in its own order instead of what the name resolves to.
    bool ResolveLocalHost(std::vector<std::uint32_t>* addresses) override {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) != 0) {
            return false;
        }
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_PASSIVE;
        addrinfo* found = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &found) != 0) {
            return false;
        }
        for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            addresses->push_back(reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
        }
        freeaddrinfo(found);
        return true;
    }
};

}  // namespace

NetInfoSource& PlatformNetInfo() {
    static WindowsNetInfo source;
    return source;
}

}  // namespace QX
