#include "qxnet/scan/QXMDNSAnswerSet.h"

#include "qxnet/common/QXByteReader.h"
#include "qxnet/mdns/QXDNSName.h"
#include "qxnet/mdns/QXMDNSClient.h"

namespace QXSDK {

namespace {

constexpr std::size_t kHeaderBytes = 12;

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

template <class Map, class Value>
void Store(Map& map, const std::string& key, const Value& value) {
    if (map.size() >= MDNSAnswerSet::MaxPending && map.find(key) == map.end()) {
        map.clear();
    }
    map[key] = value;
}

}  // namespace

std::vector<std::uint8_t> MDNSAnswerSet::ServiceQuery(std::uint16_t id) {
    std::vector<std::uint8_t> query;
    PutU16(query, id);
    PutU16(query, 0);  // flags: a standard query
    PutU16(query, 1);  // one question
    PutU16(query, 0);
    PutU16(query, 0);
    PutU16(query, 0);
    std::vector<std::uint8_t> name;
    MDNSClient::ServiceName().Encode(name);
    query.insert(query.end(), name.begin(), name.end());
    PutU16(query, MDNSClient::TYPE_PTR);
    PutU16(query, MDNSClient::CLASS_IN_QU);
    return query;
}

bool MDNSAnswerSet::Add(const std::vector<std::uint8_t>& message, int wantedId) {
    QX::ByteReader header(message);
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    std::uint16_t questions = 0;
    if (message.size() < kHeaderBytes || !header.ReadU16(id) || !header.ReadU16(flags) ||
        !header.ReadU16(questions)) {
        return false;
    }
    if ((flags & 0x8000) == 0 || (flags & 0x000F) != 0 || (wantedId >= 0 && id != wantedId)) {
        return false;
    }
    std::size_t offset = kHeaderBytes;
    for (std::uint16_t i = 0; i < questions; ++i) {
        DNSName name;
        const std::uint32_t nameBytes =
            name.ParseInit(message, message, static_cast<std::uint32_t>(offset));
        QX::ByteReader reader(message, offset + nameBytes);
        if (nameBytes == 0 || !reader.Skip(4)) {
            return false;
        }
        offset = reader.Position();
    }
    while (offset < message.size()) {
        DNSName name;
        const std::uint32_t nameBytes =
            name.ParseInit(message, message, static_cast<std::uint32_t>(offset));
        QX::ByteReader reader(message, offset + nameBytes);
        std::uint16_t type = 0;
        std::uint16_t rrClass = 0;
        std::uint32_t ttl = 0;
        std::uint16_t rdLength = 0;
        // A record cut off ends the message; the whole records before it are kept.
        if (nameBytes == 0 || !reader.ReadU16(type) || !reader.ReadU16(rrClass) ||
            !reader.ReadU32(ttl) || !reader.ReadU16(rdLength) || reader.Remaining() < rdLength) {
            break;
        }
        const auto rdataBegin = message.begin() + static_cast<std::ptrdiff_t>(reader.Position());
        const std::vector<std::uint8_t> rdata(rdataBegin, rdataBegin + rdLength);
        const std::string owner = name.ToString();
        if (type == MDNSClient::TYPE_TXT) {
            Txt txt{DNSRrdataTXT(), ttl};
            if (txt.data.ParseInit(rdata)) {
                Store(m_txt, owner, txt);
            }
        } else if (type == MDNSClient::TYPE_SRV) {
            DNSRrdataSRV srv;
            if (srv.ParseInit(message, rdata)) {
                Store(m_srv, owner, srv);
            }
        } else if (type == MDNSClient::TYPE_A) {
            DNSRrdataA a;
            if (a.ParseInit(rdata)) {
                Store(m_a, owner, a);
            }
        }
        offset = reader.Position() + rdLength;
    }
    return true;
}

void MDNSAnswerSet::Take(std::vector<Camera>& cameras, std::vector<std::uint64_t>& goodbyes) {
    for (auto it = m_txt.begin(); it != m_txt.end();) {
        const Txt& txt = it->second;
        if (txt.ttl == 0) {
            goodbyes.push_back(txt.data.m_mac);
            it = m_txt.erase(it);
            continue;
        }
        const auto srv = m_srv.find(it->first);
        const auto a = srv == m_srv.end() ? m_a.end() : m_a.find(srv->second.m_target.ToString());
        if (a == m_a.end()) {
            ++it;  // its partners may come in a later message
            continue;
        }
        cameras.push_back(Camera{MDNSCameraData(a->second.m_address, txt.data), txt.ttl});
        it = m_txt.erase(it);
    }
}

}  // namespace QXSDK
