#pragma once

// Facts about the host's own network: the socket layer's interface records, the adapters with
// their names and unicast addresses, the IP address table, the neighbour table, the adapters'
// types and indexes, and the flush of one adapter's neighbours. The calls keep the Windows
// shapes (sizes offered and needed, Win32 error numbers) so that the logic above them is the
// same on every platform. Sources run on the calling thread, run no callbacks and take no lock
// of the library; a source reads the network namespace of the thread that calls it.

#include <cstdint>
#include <string>
#include <vector>

#include "qxnet/QXExport.h"
#include "qxnet/platform/QXNetRecords.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXWinTypes.h"

namespace QX {

// Win32 error numbers that the sources answer with.
namespace NetInfoError {
constexpr DWORD Success = 0, NotSupported = 50, InvalidParameter = 87;
// The three ways a source says that there is nothing or not enough room.
constexpr DWORD BufferOverflow = 111, InsufficientBuffer = 122, NoData = 232;
}  // namespace NetInfoError

// Adapter types as the adapter-info chain reports them.
constexpr DWORD NETINFO_TYPE_OTHER = 1;
constexpr DWORD NETINFO_TYPE_ETHERNET = 6;
constexpr DWORD NETINFO_TYPE_PPP = 23;
constexpr DWORD NETINFO_TYPE_LOOPBACK = 24;
constexpr DWORD NETINFO_TYPE_IEEE80211 = 71;

// The size of one adapter-info record, the unit in which that chain is measured.
constexpr DWORD NETINFO_ADAPTER_INFO_SIZE = 648;

// One address of an adapter's unicast chain; address is in network order when family is
// AddressFamilyInet.
struct UnicastAddress {
    std::uint16_t family;
    std::uint32_t address;
};

// One adapter of the adapter list, IPv4 family.
struct AdapterAddresses {
    std::wstring friendlyName;
    std::wstring description;
    std::vector<UnicastAddress> unicast;
};

// One adapter of the adapter-info chain, as far as the neighbour flush needs it.
struct AdapterInfo {
    DWORD index;
    DWORD type;
};

class QXNET_API NetInfoSource {
public:
    // The source in place: the platform's, unless Set put another there.
    static NetInfoSource& Current();
    // Puts source in place and returns the one it replaced (null for the platform's); null
    // restores the platform's. A test sets it before the code under test runs.
    static NetInfoSource* Set(NetInfoSource* source);

    virtual ~NetInfoSource();

    // Makes an IPv4 datagram socket and reads the interface records into records, which holds
    // bufferBytes; *bytesReturned gets the bytes written (76 per record). False when the socket
    // cannot be made or the query fails.
    virtual bool GetInterfaceList(INTERFACE_INFO* records, DWORD bufferBytes,
                                  DWORD* bytesReturned) = 0;

    // The adapter list for the IPv4 family, measured against bufferBytes of the platform's
    // record block: BufferOverflow when it does not fit, Success, or another error number (then
    // adapters is left empty).
    virtual DWORD GetAdapterAddresses(DWORD bufferBytes,
                                      std::vector<AdapterAddresses>* adapters) = 0;

    // The IP address table and the neighbour table: a null table or a *size that is too small
    // gives InsufficientBuffer with the needed size in *size.
    virtual DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, DWORD* size, bool sort) = 0;
    virtual DWORD GetIpNetTable(MIB_IPNETTABLE* table, DWORD* size, bool sort) = 0;

    // The adapter-info chain: when *size (in bytes, NETINFO_ADAPTER_INFO_SIZE per adapter) is
    // too small the answer is BufferOverflow with the needed size in *size.
    virtual DWORD GetAdaptersInfo(std::vector<AdapterInfo>* adapters, DWORD* size) = 0;

    // Empties the neighbour table of one adapter; Success or an error number.
    virtual DWORD FlushIpNetTable(DWORD index) = 0;

    // The IPv4 addresses that the host's own name resolves to, network order, in the resolver's
    // order. False when the name does not resolve. The socket layer must have been started.
    virtual bool ResolveLocalHost(std::vector<std::uint32_t>* addresses) = 0;
};

// The platform's own source (posix/ or win/).
NetInfoSource& PlatformNetInfo();

}  // namespace QX
