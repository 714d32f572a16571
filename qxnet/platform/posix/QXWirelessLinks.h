#pragma once

// Which links of the calling thread's network namespace are wireless. rtnetlink reports a
// Wi-Fi link with the Ethernet hardware type; the wireless configuration interface (nl80211,
// on generic netlink) lists the interfaces that the kernel's wireless stack drives, for the
// namespace of the socket that asks. A host without that stack has no wireless link.

#include <vector>

namespace QX {

// The interface indexes of the wireless links, in no particular order.
std::vector<int> WirelessLinkIndexes();

// A test puts its own answer in place of nl80211's (null restores it) and gets the previous
// one back; no wireless device need exist for the decisions built on it to be tried.
typedef std::vector<int> (*WirelessLinkSource)();
WirelessLinkSource SetWirelessLinkSource(WirelessLinkSource source);

}  // namespace QX
