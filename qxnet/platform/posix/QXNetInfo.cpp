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

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qxnet/platform/QXUtf8.h"
#include "qxnet/platform/posix/QXNetlinkSocket.h"
#include "qxnet/platform/posix/QXWirelessLinks.h"

namespace QX {

namespace {

// The bytes of the platform's adapter record block that one adapter and one unicast address
// take (the 64-bit layouts of the adapter and unicast records with their socket address), so
// that a block of a given size holds about as many adapters here as there.
constexpr DWORD ADAPTER_RECORD_BYTES = 448;
constexpr DWORD UNICAST_RECORD_BYTES = 64 + 16;

// A netlink route socket of the calling thread's namespace, with the caches read through it.
class RouteSocket : public NetlinkSocket {
public:
    RouteSocket() : NetlinkSocket(NETLINK_ROUTE) {}
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

bool IsWireless(rtnl_link* link, const std::vector<int>& wireless) {
    return std::find(wireless.begin(), wireless.end(), rtnl_link_get_ifindex(link)) !=
           wireless.end();
}

std::wstring DescriptionOf(rtnl_link* link, const std::vector<int>& wireless) {
    // Linux has no adapter description; the administrator's alias comes closest, then the
    // link's kind (veth, tun, bridge, ...), then its hardware type. Names and aliases are UTF-8.
    const char* alias = rtnl_link_get_ifalias(link);
    if (alias != nullptr && *alias != '\0') {
        return FromUtf8(alias);
    }
    const char* kind = rtnl_link_get_type(link);
    if (kind != nullptr && *kind != '\0') {
        return FromUtf8(kind);
    }
    if (IsWireless(link, wireless)) {
        return L"wireless";
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

DWORD AdapterTypeOf(rtnl_link* link, const std::vector<int>& wireless) {
    // A Wi-Fi link has the Ethernet hardware type in rtnetlink; the wireless stack's own list
    // tells it apart.
    if (IsWireless(link, wireless)) {
        return NETINFO_TYPE_IEEE80211;
    }
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
    // NOARP entries (multicast and broadcast mappings) are fixed by the kernel: static, as
    // Windows lists them.
    if ((state & (NUD_PERMANENT | NUD_NOARP)) != 0) {
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

// The links and the IPv4 addresses of the calling thread's namespace, read once.
struct HostAddress {
    MIB_IPADDRROW row;
    // What the interface records carry as broadcast address (network order).
    std::uint32_t broadcast;
    unsigned int linkFlags;
};

class HostView {
public:
    // False when netlink cannot be read.
    bool Load() {
        Cache addresses;
        if (m_route.Get() == nullptr ||
            rtnl_link_alloc_cache(m_route.Get(), AF_UNSPEC, m_links.Out()) != 0 ||
            rtnl_addr_alloc_cache(m_route.Get(), addresses.Out()) != 0) {
            return false;
        }
        for (nl_object* object = nl_cache_get_first(addresses.Get()); object != nullptr;
             object = nl_cache_get_next(object)) {
            auto* address = reinterpret_cast<rtnl_addr*>(object);
            unsigned int flags = 0;
            if (rtnl_addr_get_family(address) != AF_INET ||
                !LinkFlags(rtnl_addr_get_ifindex(address), &flags)) {
                continue;
            }
            // A link that is set down takes no part in the host's addressing (Windows leaves
            // disabled adapters out); one that is up without carrier is marked disconnected.
            if ((flags & IFF_UP) == 0) {
                continue;
            }
            HostAddress host{};
            MIB_IPADDRROW& row = host.row;
            row.dwAddr = Ipv4Of(rtnl_addr_get_local(address));
            row.dwIndex = static_cast<DWORD>(rtnl_addr_get_ifindex(address));
            row.dwMask = MaskOfPrefix(rtnl_addr_get_prefixlen(address));
            // The table's field says that the broadcast address has all host bits set, as
            // Windows fills it; the interface records carry the address itself.
            row.dwBCastAddr = 1;
            row.dwReasmSize = 65535;
            unsigned int addressFlags = rtnl_addr_get_flags(address);
            row.wType = static_cast<unsigned short>(
                ((addressFlags & IFA_F_SECONDARY) == 0 ? MIB_IPADDR_PRIMARY : 0) |
                ((addressFlags & IFA_F_PERMANENT) == 0 ? MIB_IPADDR_DYNAMIC : 0) |
                ((flags & IFF_RUNNING) == 0 ? MIB_IPADDR_DISCONNECTED : 0));
            host.broadcast = BroadcastOf(address, row, flags);
            host.linkFlags = flags;
            m_addresses.push_back(host);
        }
        return true;
    }

    nl_cache* Links() const { return m_links.Get(); }
    const std::vector<HostAddress>& Addresses() const { return m_addresses; }

private:
    bool LinkFlags(int index, unsigned int* flags) const {
        rtnl_link* link = rtnl_link_get(m_links.Get(), index);
        if (link == nullptr) {
            return false;
        }
        *flags = rtnl_link_get_flags(link);
        rtnl_link_put(link);
        return true;
    }

    // The kernel's broadcast address; where it holds none (iproute2 adds none unless asked,
    // nor for secondary addresses), a point-to-point link's peer, else the address with all
    // host bits set, as the Windows records give it. Only a link that can do neither (the
    // loopback) keeps 0.
    static std::uint32_t BroadcastOf(rtnl_addr* address, const MIB_IPADDRROW& row,
                                     unsigned int flags) {
        std::uint32_t kernel = Ipv4Of(rtnl_addr_get_broadcast(address));
        if (kernel != 0) {
            return kernel;
        }
        std::uint32_t peer = Ipv4Of(rtnl_addr_get_peer(address));
        if ((flags & IFF_POINTOPOINT) != 0 && peer != 0 && peer != row.dwAddr) {
            return peer;
        }
        if ((flags & (IFF_BROADCAST | IFF_POINTOPOINT)) != 0) {
            return row.dwAddr | ~row.dwMask;
        }
        return 0;
    }

    RouteSocket m_route;
    Cache m_links;
    std::vector<HostAddress> m_addresses;
};

// Windows sorts a table, when asked, by address; rows of equal address keep their order.
template <typename Row>
void SortByAddress(std::vector<Row>* rows) {
    std::stable_sort(rows->begin(), rows->end(),
                     [](const Row& a, const Row& b) { return ntohl(a.dwAddr) < ntohl(b.dwAddr); });
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

// The IPv4 addresses of name in the host database's own order, as the Windows resolver gives
// them: getaddrinfo would re-sort them by RFC 6724 and so change which ten are kept.
bool ResolveInHostOrder(const char* name, std::vector<std::uint32_t>* addresses) {
    std::vector<char> buffer(4096);
    hostent entry{};
    hostent* found = nullptr;
    int error = 0;
    int answer;
    while ((answer = gethostbyname2_r(name, AF_INET, &entry, buffer.data(), buffer.size(), &found,
                                      &error)) == ERANGE &&
           buffer.size() < 1024 * 1024) {
        buffer.resize(buffer.size() * 2);
    }
    if (answer != 0 || found == nullptr || found->h_length != sizeof(std::uint32_t)) {
        return false;
    }
    for (char** item = found->h_addr_list; *item != nullptr; ++item) {
        std::uint32_t address;
        std::memcpy(&address, *item, sizeof address);
        addresses->push_back(address);
    }
    return true;
}

class LinuxNetInfo : public NetInfoSource {
public:
    bool GetInterfaceList(INTERFACE_INFO* records, DWORD bufferBytes,
                          DWORD* bytesReturned) override {
        HostView view;
        if (!view.Load()) {
            return false;
        }
        // At most as many records as the buffer holds; the rest are not read.
        DWORD room = bufferBytes / sizeof(INTERFACE_INFO);
        DWORD count = 0;
        for (const HostAddress& host : view.Addresses()) {
            if (count == room) {
                break;
            }
            INTERFACE_INFO& record = records[count++];
            std::memset(&record, 0, sizeof record);
            record.iiFlags = SocketFlagsOf(host.linkFlags);
            SetIpv4(&record.iiAddress, host.row.dwAddr);
            SetIpv4(&record.iiBroadcastAddress, host.broadcast);
            SetIpv4(&record.iiNetmask, host.row.dwMask);
        }
        *bytesReturned = count * sizeof(INTERFACE_INFO);
        return true;
    }

    DWORD GetAdapterAddresses(DWORD bufferBytes, std::vector<AdapterAddresses>* adapters) override {
        adapters->clear();
        HostView view;
        if (!view.Load()) {
            return NetInfoError::NotSupported;
        }
        std::vector<int> wireless = WirelessLinkIndexes();
        std::vector<AdapterAddresses> result;
        DWORD needed = 0;
        for (nl_object* object = nl_cache_get_first(view.Links()); object != nullptr;
             object = nl_cache_get_next(object)) {
            auto* link = reinterpret_cast<rtnl_link*>(object);
            AdapterAddresses adapter;
            DWORD index = static_cast<DWORD>(rtnl_link_get_ifindex(link));
            for (const HostAddress& host : view.Addresses()) {
                if (host.row.dwIndex == index) {
                    adapter.unicast.push_back(UnicastAddress{AddressFamilyInet, host.row.dwAddr});
                }
            }
            // The IPv4 adapter list holds the links that take part in IPv4: up, with an
            // address. Container hosts have hundreds of links without one (veth ends, bridges
            // of other families); they are neither listed nor charged against the block.
            if (adapter.unicast.empty()) {
                continue;
            }
            const char* name = rtnl_link_get_name(link);
            adapter.friendlyName = FromUtf8(name);
            adapter.description = DescriptionOf(link, wireless);
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

    DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, DWORD* size, bool sort) override {
        // Unsorted rows keep netlink's order, which is by interface.
        HostView view;
        if (!view.Load()) {
            return NetInfoError::NotSupported;
        }
        std::vector<MIB_IPADDRROW> rows;
        for (const HostAddress& host : view.Addresses()) {
            rows.push_back(host.row);
        }
        if (sort) {
            SortByAddress(&rows);
        }
        return CopyTable(rows, table, size);
    }

    DWORD GetIpNetTable(MIB_IPNETTABLE* table, DWORD* size, bool sort) override {
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
        // An empty table is "no data", as the Windows call answers it.
        if (rows.empty()) {
            return NetInfoError::NoData;
        }
        if (sort) {
            SortByAddress(&rows);
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
        std::vector<int> wireless = WirelessLinkIndexes();
        std::vector<AdapterInfo> result;
        for (nl_object* object = nl_cache_get_first(links.Get()); object != nullptr;
             object = nl_cache_get_next(object)) {
            auto* link = reinterpret_cast<rtnl_link*>(object);
            // The adapter-info chain leaves the loopback adapter out, and links set down as
            // Windows leaves disabled adapters out.
            if (rtnl_link_get_arptype(link) == ARPHRD_LOOPBACK ||
                (rtnl_link_get_flags(link) & IFF_UP) == 0) {
                continue;
            }
            result.push_back(AdapterInfo{static_cast<DWORD>(rtnl_link_get_ifindex(link)),
                                         AdapterTypeOf(link, wireless)});
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
        return gethostname(name, sizeof name - 1) == 0 && ResolveInHostOrder(name, addresses);
    }
};

}  // namespace

NetInfoSource& PlatformNetInfo() {
    static LinuxNetInfo source;
    return source;
}

}  // namespace QX
