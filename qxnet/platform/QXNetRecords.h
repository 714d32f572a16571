#pragma once

// The Windows records of the host's addressing that the exported interface carries: the IP
// address table, the neighbour (ARP) table and the socket layer's interface records. On Windows
// they are the SDK's own; elsewhere they are defined here with the same field names and sizes.

#include <cstdint>

#include "qxnet/platform/QXWinTypes.h"

#if defined(_WIN32)
#include <ws2tcpip.h>

#include <iphlpapi.h>
#else
#define ANY_SIZE 1
#define MAXLEN_PHYSADDR 8

#define MIB_IPADDR_PRIMARY 0x0001
#define MIB_IPADDR_DYNAMIC 0x0004
#define MIB_IPADDR_DISCONNECTED 0x0008
#define MIB_IPADDR_DELETED 0x0040
#define MIB_IPADDR_TRANSIENT 0x0080

#define MIB_IPNET_TYPE_OTHER 1
#define MIB_IPNET_TYPE_INVALID 2
#define MIB_IPNET_TYPE_DYNAMIC 3
#define MIB_IPNET_TYPE_STATIC 4

struct MIB_IPADDRROW {
    DWORD dwAddr;
    DWORD dwIndex;
    DWORD dwMask;
    DWORD dwBCastAddr;
    DWORD dwReasmSize;
    unsigned short unused1;
    unsigned short wType;
};

struct MIB_IPADDRTABLE {
    DWORD dwNumEntries;
    MIB_IPADDRROW table[ANY_SIZE];
};

struct MIB_IPNETROW {
    DWORD dwIndex;
    DWORD dwPhysAddrLen;
    unsigned char bPhysAddr[MAXLEN_PHYSADDR];
    DWORD dwAddr;
    DWORD dwType;
};

struct MIB_IPNETTABLE {
    DWORD dwNumEntries;
    MIB_IPNETROW table[ANY_SIZE];
};

// The IPv4 view of the socket layer's address union; the address is in network order.
struct QX_IN_ADDR {
    std::uint32_t s_addr;
};
struct QX_SOCKADDR_IN {
    std::int16_t sin_family;
    std::uint16_t sin_port;
    QX_IN_ADDR sin_addr;
    char sin_zero[8];
};
struct QX_SOCKADDR {
    std::uint16_t sa_family;
    char sa_data[14];
};
union sockaddr_gen {
    QX_SOCKADDR Address;
    QX_SOCKADDR_IN AddressIn;
    unsigned char AddressIn6[24];
};

// iiFlags uses the socket layer's values: up 0x1, broadcast 0x2, loopback 0x4,
// point-to-point 0x8, multicast 0x10.
struct INTERFACE_INFO {
    DWORD iiFlags;
    sockaddr_gen iiAddress;
    sockaddr_gen iiBroadcastAddress;
    sockaddr_gen iiNetmask;
};
#endif

static_assert(sizeof(MIB_IPADDRROW) == 24, "MIB_IPADDRROW keeps the Windows layout");
static_assert(sizeof(MIB_IPADDRTABLE) == 28, "MIB_IPADDRTABLE keeps the Windows layout");
static_assert(sizeof(MIB_IPNETROW) == 24, "MIB_IPNETROW keeps the Windows layout");
static_assert(sizeof(MIB_IPNETTABLE) == 28, "MIB_IPNETTABLE keeps the Windows layout");
static_assert(sizeof(INTERFACE_INFO) == 76, "INTERFACE_INFO keeps the Windows layout");
