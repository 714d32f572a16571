// The host's network facts on Linux, all from rtnetlink (libnl-route-3): the interface records,
// the adapters, the tables and the flush. Netlink answers for the network namespace of the
// calling thread, where sysfs would show the mount's namespace.

#include "qxnet/platform/QXNetInfo.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/neighbour.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace QX {

namespace {

// The bytes of the platform's adapter record block that one adapter and one unicast address
// take (the 64-bit layouts of the adapter and unicast records with their socket address), so
// that a block of a given size holds about as many adapters here as there.
constexpr DWORD ADAPTER_RECORD_BYTES = 448;
constexpr DWORD UNICAST_RECORD_BYTES = 64 + 16;

// A netlink route socket of the calling thread's namespace, with the caches read through it.
class RouteSocket {
public:
    RouteSocket() : m_socket(nl_socket_alloc()) {
        if (m_socket != nullptr && nl_connect(m_socket, NETLINK_ROUTE) != 0) {
            nl_socket_free(m_socket);
            m_socket = nullptr;
        }
    }
    ~RouteSocket() {
        if (m_socket != nullptr) {
            nl_socket_free(m_socket);
        }
    }
    RouteSocket(const RouteSocket&) = delete;
    RouteSocket& operator=(const RouteSocket&) = delete;
    nl_sock* Get() const { return m_socket; }

private:
    nl_sock* m_socket;
};

class Cache {
public:
    Cache() = default;
    ~Cache() {
        if (m_cache != nullptr) {
            nl_cache_free(m_cache);
        }
    }
    Cache(const Cache&) = delete;
    Cache& operator=(const Cache&) = delete;
    nl_cache** Out() { return &m_cache; }
    nl_cache* Get() const { return m_cache; }

private:
    nl_cache* m_cache = nullptr;
};

std::uint32_t Ipv4Of(nl_addr* address) {
    std::uint32_t value = 0;
    if (address != nullptr && nl_addr_get_family(address) == AF_INET &&
        nl_addr_get_len(address) == sizeof value) {
        std::memcpy(&value, nl_addr_get_binary_addr(address), sizeof value);
    }
    return value;
}

std::uint32_t MaskOfPrefix(int prefix) {
    std::uint32_t hostOrder =
        prefix <= 0 ? 0 : (prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix));
    return htonl(hostOrder);
}

std::wstring Widen(const char* text) {
    // Interface names and aliases are UTF-8 bytes; the ASCII that they nearly always are maps
    // one to one, and any other byte is kept as its Latin-1 character rather than dropped.
    std::wstring wide;
    for (; text != nullptr && *text != '\0'; ++text) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
    return wide;
}

std::wstring DescriptionOf(rtnl_link* link) {
    // Linux has no adapter description; the administrator's alias comes closest, then the
    // link's kind (veth, tun, bridge, ...), then its hardware type.
    const char* alias = rtnl_link_get_ifalias(link);
    if (alias != nullptr && *alias != '\0') {
        return Widen(alias);
    }
    const char* kind = rtnl_link_get_type(link);
    if (kind != nullptr && *kind != '\0') {
        return Widen(kind);
    }
    switch (rtnl_link_get_arptype(link)) {
        case ARPHRD_ETHER:
            return L"ethernet";
        case ARPHRD_LOOPBACK:
            return L"loopback";
        case ARPHRD_PPP:
            return L"ppp";
        default:
            return L"network adapter";
    }
}

DWORD AdapterTypeOf(rtnl_link* link) {
    // A wireless adapter is an Ethernet-framed link to rtnetlink as well; nothing in the route
    // family tells it apart, so it is counted as Ethernet.
    switch (rtnl_link_get_arptype(link)) {
        case ARPHRD_ETHER:
            return NETINFO_TYPE_ETHERNET;
        case ARPHRD_LOOPBACK:
            return NETINFO_TYPE_LOOPBACK;
        case ARPHRD_PPP:
            return NETINFO_TYPE_PPP;
        case ARPHRD_IEEE80211:
            return NETINFO_TYPE_IEEE80211;
        default:
            return NETINFO_TYPE_OTHER;
    }
}

DWORD NeighbourTypeOf(int state) {
    if ((state & NUD_PERMANENT) != 0) {
        return MIB_IPNET_TYPE_STATIC;
    }
    if ((state & (NUD_INCOMPLETE | NUD_FAILED)) != 0) {
        return MIB_IPNET_TYPE_INVALID;
    }
    if ((state & (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE)) != 0) {
        return MIB_IPNET_TYPE_DYNAMIC;
    }
    return MIB_IPNET_TYPE_OTHER;
}

DWORD SocketFlagsOf(unsigned int flags) {
    DWORD result = 0;
    result |= (flags & IFF_UP) != 0 ? 0x1 : 0;
    result |= (flags & IFF_BROADCAST) != 0 ? 0x2 : 0;
    result |= (flags & IFF_LOOPBACK) != 0 ? 0x4 : 0;
    result |= (flags & IFF_POINTOPOINT) != 0 ? 0x8 : 0;
    result |= (flags & IFF_MULTICAST) != 0 ? 0x10 : 0;
    return result;
}

void SetIpv4(sockaddr_gen* target, std::uint32_t networkAddress) {
    target->AddressIn.sin_family = AF_INET;
    target->AddressIn.sin_addr.s_addr = networkAddress;
}

// Reads every IPv4 address row; false when netlink cannot be read.
bool ReadAddressRows(std::vector<MIB_IPADDRROW>* rows) {
    RouteSocket route;
    Cache addresses;
    if (route.Get() == nullptr || rtnl_addr_alloc_cache(route.Get(), addresses.Out()) != 0) {
        return false;
    }
    for (nl_object* object = nl_cache_get_first(addresses.Get()); object != nullptr;
         object = nl_cache_get_next(object)) {
        auto* address = reinterpret_cast<rtnl_addr*>(object);
        if (rtnl_addr_get_family(address) != AF_INET) {
            continue;
        }
        MIB_IPADDRROW row{};
        row.dwAddr = Ipv4Of(rtnl_addr_get_local(address));
        row.dwIndex = static_cast<DWORD>(rtnl_addr_get_ifindex(address));
        row.dwMask = MaskOfPrefix(rtnl_addr_get_prefixlen(address));
        row.dwBCastAddr = Ipv4Of(rtnl_addr_get_broadcast(address));
        row.dwReasmSize = 65535;
        unsigned int flags = rtnl_addr_get_flags(address);
        row.wType =
            static_cast<unsigned short>(((flags & IFA_F_SECONDARY) == 0 ? MIB_IPADDR_PRIMARY : 0) |
                                        ((flags & IFA_F_PERMANENT) == 0 ? MIB_IPADDR_DYNAMIC : 0));
        rows->push_back(row);
    }
    return true;
}

template <typename Table, typename Row>
DWORD CopyTable(const std::vector<Row>& rows, Table* table, DWORD* size) {
    if (size == nullptr) {
        return NetInfoError::InvalidParameter;
    }
    // The table's fixed part holds the count and room for one row.
    DWORD needed =
        static_cast<DWORD>(sizeof(Table) + (rows.empty() ? 0 : rows.size() - 1) * sizeof(Row));
    if (table == nullptr || *size < needed) {
        *size = needed;
        return NetInfoError::InsufficientBuffer;
    }
    table->dwNumEntries = static_cast<DWORD>(rows.size());
    if (!rows.empty()) {
        std::memcpy(table->table, rows.data(), rows.size() * sizeof(Row));
    }
    return NetInfoError::Success;
}

class LinuxNetInfo : public NetInfoSource {
public:
    bool GetInterfaceList(INTERFACE_INFO* records, DWORD bufferBytes,
                          DWORD* bytesReturned) override {
        RouteSocket route;
        Cache links;
        std::vector<MIB_IPADDRROW> rows;
        if (route.Get() == nullptr ||
            rtnl_link_alloc_cache(route.Get(), AF_UNSPEC, links.Out()) != 0 ||
            !ReadAddressRows(&rows)) {
            return false;
        }
        // At most as many records as the buffer holds; the rest are not read.
        DWORD room = bufferBytes / sizeof(INTERFACE_INFO);
        DWORD count = 0;
        for (const MIB_IPADDRROW& row : rows) {
            if (count == room) {
                break;
            }
            INTERFACE_INFO& record = records[count++];
            std::memset(&record, 0, sizeof record);
            rtnl_link* link = rtnl_link_get(links.Get(), static_cast<int>(row.dwIndex));
            if (link != nullptr) {
                record.iiFlags = SocketFlagsOf(rtnl_link_get_flags(link));
                rtnl_link_put(link);
            }
            SetIpv4(&record.iiAddress, row.dwAddr);
            // An address without a broadcast address (point-to-point links, or none given)
            // has 0 here rather than some other address in its place.
            SetIpv4(&record.iiBroadcastAddress, row.dwBCastAddr);
            SetIpv4(&record.iiNetmask, row.dwMask);
        }
        *bytesReturned = count * sizeof(INTERFACE_INFO);
        return true;
    }

    DWORD GetAdapterAddresses(DWORD bufferBytes, std::vector<AdapterAddresses>* adapters) override {
        adapters->clear();
        RouteSocket route;
        Cache links;
        std::vector<MIB_IPADDRROW> rows;
        if (route.Get() == nullptr ||
            rtnl_link_alloc_cache(route.Get(), AF_UNSPEC, links.Out()) != 0 ||
            !ReadAddressRows(&rows)) {
            return NetInfoError::NotSupported;
        }
        std::vector<AdapterAddresses> result;
        DWORD needed = 0;
        for (nl_object* object = nl_cache_get_first(links.Get()); object != nullptr;
             object = nl_cache_get_next(object)) {
            auto* link = reinterpret_cast<rtnl_link*>(object);
            AdapterAddresses adapter;
            const char* name = rtnl_link_get_name(link);
            adapter.friendlyName = Widen(name);
            adapter.description = DescriptionOf(link);
            DWORD index = static_cast<DWORD>(rtnl_link_get_ifindex(link));
            for (const MIB_IPADDRROW& row : rows) {
                if (row.dwIndex == index) {
                    adapter.unicast.push_back(UnicastAddress{NETINFO_AF_INET, row.dwAddr});
                }
            }
            needed += ADAPTER_RECORD_BYTES +
                      static_cast<DWORD>((adapter.friendlyName.size() + 1) * 2 +
                                         (adapter.description.size() + 1) * 2 +
                                         (name != nullptr ? std::strlen(name) + 1 : 1)) +
                      static_cast<DWORD>(adapter.unicast.size()) * UNICAST_RECORD_BYTES;
            result.push_back(std::move(adapter));
        }
        if (result.empty()) {
            return NetInfoError::NoData;
        }
        if (needed > bufferBytes) {
            return NetInfoError::BufferOverflow;
        }
        adapters->swap(result);
        return NetInfoError::Success;
    }

    DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, DWORD* size, bool) override {
        // Rows keep netlink's order, which is already by interface; there is nothing to sort.
        std::vector<MIB_IPADDRROW> rows;
        if (!ReadAddressRows(&rows)) {
            return NetInfoError::NotSupported;
        }
        return CopyTable(rows, table, size);
    }

    DWORD GetIpNetTable(MIB_IPNETTABLE* table, DWORD* size, bool) override {
        RouteSocket route;
        Cache neighbours;
        if (route.Get() == nullptr || rtnl_neigh_alloc_cache(route.Get(), neighbours.Out()) != 0) {
            return NetInfoError::NotSupported;
        }
        std::vector<MIB_IPNETROW> rows;
        for (nl_object* object = nl_cache_get_first(neighbours.Get()); object != nullptr;
             object = nl_cache_get_next(object)) {
            auto* neighbour = reinterpret_cast<rtnl_neigh*>(object);
            if (rtnl_neigh_get_family(neighbour) != AF_INET) {
                continue;
            }
            MIB_IPNETROW row{};
            row.dwIndex = static_cast<DWORD>(rtnl_neigh_get_ifindex(neighbour));
            nl_addr* physical = rtnl_neigh_get_lladdr(neighbour);
            if (physical != nullptr) {
                unsigned int length = nl_addr_get_len(physical);
                row.dwPhysAddrLen = length > MAXLEN_PHYSADDR ? MAXLEN_PHYSADDR : length;
                std::memcpy(row.bPhysAddr, nl_addr_get_binary_addr(physical), row.dwPhysAddrLen);
            }
            row.dwAddr = Ipv4Of(rtnl_neigh_get_dst(neighbour));
            row.dwType = NeighbourTypeOf(rtnl_neigh_get_state(neighbour));
            rows.push_back(row);
        }
        return CopyTable(rows, table, size);
    }

    DWORD GetAdaptersInfo(std::vector<AdapterInfo>* adapters, DWORD* size) override {
        RouteSocket route;
        Cache links;
        if (size == nullptr) {
            return NetInfoError::InvalidParameter;
        }
        if (route.Get() == nullptr ||
            rtnl_link_alloc_cache(route.Get(), AF_UNSPEC, links.Out()) != 0) {
            return NetInfoError::NotSupported;
        }
        std::vector<AdapterInfo> result;
        for (nl_object* object = nl_cache_get_first(links.Get()); object != nullptr;
             object = nl_cache_get_next(object)) {
            auto* link = reinterpret_cast<rtnl_link*>(object);
            // The adapter-info chain leaves the loopback adapter out.
            if (rtnl_link_get_arptype(link) == ARPHRD_LOOPBACK) {
                continue;
            }
            result.push_back(
                AdapterInfo{static_cast<DWORD>(rtnl_link_get_ifindex(link)), AdapterTypeOf(link)});
        }
        if (result.empty()) {
            return NetInfoError::NoData;
        }
        DWORD needed = static_cast<DWORD>(result.size()) * NETINFO_ADAPTER_INFO_SIZE;
        if (*size < needed) {
            *size = needed;
            return NetInfoError::BufferOverflow;
        }
        adapters->swap(result);
        return NetInfoError::Success;
    }

    DWORD FlushIpNetTable(DWORD index) override {
        // Every IPv4 neighbour of the adapter goes, permanent ones included: the flush empties
        // the adapter's table as the platform's flush does. (`ip neigh flush` would keep the
        // permanent entries, which is not what a flush of the table means here.)
        RouteSocket route;
        Cache neighbours;
        if (route.Get() == nullptr || rtnl_neigh_alloc_cache(route.Get(), neighbours.Out()) != 0) {
            return NetInfoError::NotSupported;
        }
        DWORD result = NetInfoError::Success;
        for (nl_object* object = nl_cache_get_first(neighbours.Get()); object != nullptr;
             object = nl_cache_get_next(object)) {
            auto* neighbour = reinterpret_cast<rtnl_neigh*>(object);
            if (rtnl_neigh_get_family(neighbour) != AF_INET ||
                static_cast<DWORD>(rtnl_neigh_get_ifindex(neighbour)) != index) {
                continue;
            }
            if (rtnl_neigh_delete(route.Get(), neighbour, 0) != 0) {
                result = NetInfoError::InvalidParameter;
            }
        }
        return result;
    }

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
    static LinuxNetInfo source;
    return source;
}

}  // namespace QX
