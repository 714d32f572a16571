#include "qxnet/platform/posix/QXWirelessLinks.h"

#include "qxnet/platform/posix/QXNetlinkSocket.h"

#include <linux/genetlink.h>
#include <linux/nl80211.h>
#include <netlink/attr.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>

#include <atomic>
#include <cstring>

namespace QX {

namespace {

std::atomic<WirelessLinkSource> s_source{nullptr};

constexpr const char* WIRELESS_FAMILY = "nl80211";

// A generic-netlink socket of the calling thread's namespace that sends one request and
// hands each answer to a callback.
class GenericSocket {
public:
    GenericSocket() {
        if (m_socket.Get() != nullptr) {
            nl_socket_disable_auto_ack(m_socket.Get());
        }
    }

    // Dumps command of family, with the attributes of each answer passed to read; false when
    // the request cannot be made or the kernel refuses it.
    template <typename Reader>
    bool Dump(int family, std::uint8_t command, Reader read) {
        if (m_socket.Get() == nullptr) {
            return false;
        }
        nl_msg* message = nlmsg_alloc_simple(family, NLM_F_REQUEST | NLM_F_DUMP);
        genlmsghdr header{command, 1, 0};
        bool sent = message != nullptr &&
                    nlmsg_append(message, &header, sizeof header, NLMSG_ALIGNTO) == 0 &&
                    nl_send_auto(m_socket.Get(), message) >= 0;
        nlmsg_free(message);
        if (!sent) {
            return false;
        }
        auto callback = [](nl_msg* answer, void* context) -> int {
            nlmsghdr* answerHeader = nlmsg_hdr(answer);
            (*static_cast<Reader*>(context))(nlmsg_attrdata(answerHeader, GENL_HDRLEN),
                                             nlmsg_attrlen(answerHeader, GENL_HDRLEN));
            return NL_OK;
        };
        nl_socket_modify_cb(m_socket.Get(), NL_CB_VALID, NL_CB_CUSTOM, callback, &read);
        return nl_recvmsgs_default(m_socket.Get()) >= 0;
    }

private:
    NetlinkSocket m_socket{NETLINK_GENERIC};
};

std::vector<int> Nl80211Interfaces() {
    std::vector<int> indexes;
    GenericSocket socket;
    // The family's number comes from the list of registered families; asking for it by name
    // would make the kernel try to load the wireless modules on a host that has none.
    int family = -1;
    bool listed =
        socket.Dump(GENL_ID_CTRL, CTRL_CMD_GETFAMILY, [&](nlattr* attributes, int length) {
            nlattr* name = nla_find(attributes, length, CTRL_ATTR_FAMILY_NAME);
            nlattr* id = nla_find(attributes, length, CTRL_ATTR_FAMILY_ID);
            if (name != nullptr && id != nullptr && nla_strcmp(name, WIRELESS_FAMILY) == 0) {
                family = nla_get_u16(id);
            }
        });
    if (!listed || family < 0) {
        return indexes;
    }
    socket.Dump(family, NL80211_CMD_GET_INTERFACE, [&](nlattr* attributes, int length) {
        nlattr* index = nla_find(attributes, length, NL80211_ATTR_IFINDEX);
        if (index != nullptr) {
            indexes.push_back(static_cast<int>(nla_get_u32(index)));
        }
    });
    return indexes;
}

}  // namespace

std::vector<int> WirelessLinkIndexes() {
    WirelessLinkSource source = s_source.load();
    return source != nullptr ? source() : Nl80211Interfaces();
}

WirelessLinkSource SetWirelessLinkSource(WirelessLinkSource source) {
    return s_source.exchange(source);
}

}  // namespace QX
