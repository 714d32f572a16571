#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace QXTest {

using DnsBytes = std::vector<std::uint8_t>;

// Builds DNS messages: a header, questions, then records with uncompressed owners and raw rdata.
class DnsMessage {
public:
    explicit DnsMessage(std::uint16_t id, std::uint16_t flags = 0x8400) {
        for (std::uint16_t field :
             {id, flags, std::uint16_t{0}, std::uint16_t{0}, std::uint16_t{0}, std::uint16_t{0}}) {
            U16(m_bytes, field);
        }
    }
    static DnsBytes Name(const std::string& dotted) {
        DnsBytes out;
        for (std::size_t start = 0; start < dotted.size();) {
            const std::size_t dot = std::min(dotted.find('.', start), dotted.size());
            out.push_back(static_cast<std::uint8_t>(dot - start));
            out.insert(out.end(), dotted.begin() + static_cast<std::ptrdiff_t>(start),
                       dotted.begin() + static_cast<std::ptrdiff_t>(dot));
            start = dot + 1;
        }
        out.push_back(0);
        return out;
    }
    // A question (as unicast answers repeat it); add questions before any record.
    DnsMessage& Question(const std::string& name, std::uint16_t type, std::uint16_t qClass) {
        Append(Name(name));
        U16(m_bytes, type);
        U16(m_bytes, qClass);
        ++m_bytes[5];
        return *this;
    }
    DnsMessage& Record(const std::string& owner, std::uint16_t type, const DnsBytes& rdata) {
        Append(Name(owner));
        for (std::uint16_t field :
             {type, std::uint16_t{1}, static_cast<std::uint16_t>(m_ttl >> 16),
              static_cast<std::uint16_t>(m_ttl), static_cast<std::uint16_t>(rdata.size())}) {
            U16(m_bytes, field);
        }
        Append(rdata);
        ++m_bytes[7];
        return *this;
    }
    DnsMessage& A(const std::string& owner, std::uint32_t address) {
        return Record(
            owner, 1,
            {Octet(address >> 24), Octet(address >> 16), Octet(address >> 8), Octet(address)});
    }
    DnsMessage& Srv(const std::string& owner, const std::string& target) {
        return Record(owner, 33, Join({0, 0, 0, 0, 0, 80}, Name(target)));
    }
    DnsMessage& Txt(const std::string& owner, const std::string& text) {
        return Record(owner, 16, TxtRdata(text));
    }
    // Two leading strings, then the camera text.
    static DnsBytes TxtRdata(const std::string& text) {
        return Join({1, 'a', 1, 'b', Octet(text.size())}, {text.begin(), text.end()});
    }
    // The four records of a camera with the MAC's three low octets at the address.
    DnsMessage& Camera(std::uint32_t low24, std::uint32_t address,
                       const std::string& model = "QX2000") {
        const std::string text = CameraText(low24, model);
        const std::string instance = "cam" + text.substr(6, 6) + "._korv._tcp.local";
        const std::string host = "korv-" + text.substr(4, 8) + ".local";
        return Record("_korv._tcp.local", 12, Name(instance))
            .Txt(instance, text)
            .Srv(instance, host)
            .A(host, address);
    }
    // The TTL of the records added from now on (120 until set).
    DnsMessage& Ttl(std::uint32_t ttl) {
        m_ttl = ttl;
        return *this;
    }
    const DnsBytes& Bytes() const { return m_bytes; }

    // A camera text for the MAC's three low octets.
    static std::string CameraText(std::uint32_t low24, const std::string& model = "QX2000") {
        char hex[7];
        std::snprintf(hex, sizeof hex, "%06X", static_cast<unsigned>(low24 & 0xFFFFFF));
        return "MAC=QX" + std::string(hex) + "-FW3.14-00010002-0000001F-0A0B/" + model;
    }

private:
    static std::uint8_t Octet(std::uint64_t v) { return static_cast<std::uint8_t>(v); }
    static void U16(DnsBytes& out, std::uint16_t v) {
        out.push_back(Octet(v >> 8));
        out.push_back(Octet(v));
    }
    static DnsBytes Join(DnsBytes head, const DnsBytes& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    }
    void Append(const DnsBytes& bytes) { m_bytes = Join(std::move(m_bytes), bytes); }

    std::uint32_t m_ttl = 120;
    DnsBytes m_bytes;
};

// 8192 bytes of records whose owners (and SRV targets) point at runLabels one-byte labels.
inline DnsBytes CompressionBomb(std::size_t runLabels, std::uint16_t type) {
    std::string run = "x";
    for (std::size_t i = 1; i < runLabels; ++i) {
        run += ".x";
    }
    DnsBytes out = DnsMessage(0x1234).A(run, 0xC0A8010A).Bytes();
    const DnsBytes rdata = type == 33  ? DnsBytes{0, 0, 0, 0, 0, 80, 0xC0, 12}
                           : type == 1 ? DnsBytes{192, 168, 1, 10}
                                       : DnsBytes{};
    std::uint16_t count = 1;
    while (out.size() + 12 + rdata.size() <= 8192) {
        out.insert(out.end(),
                   {0xC0, 12, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type),
                    0, 1, 0, 0, 0, 120, 0, static_cast<std::uint8_t>(rdata.size())});
        out.insert(out.end(), rdata.begin(), rdata.end());
        ++count;
    }
    out[6] = static_cast<std::uint8_t>(count >> 8);
    out[7] = static_cast<std::uint8_t>(count);
    return out;
}

}  // namespace QXTest
