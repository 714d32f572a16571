#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace QXTest {

// Builds DNS messages byte by byte for the mDNS tests: a header, then records with uncompressed
// owner names (dotted text) and raw rdata. ANCOUNT follows the records added.
class DnsMessage {
public:
    explicit DnsMessage(std::uint16_t id, std::uint16_t flags = 0x8400, std::uint16_t qdCount = 0) {
        U16(id);
        U16(flags);
        U16(qdCount);
        U16(0);
        U16(0);
        U16(0);
    }
    static std::vector<std::uint8_t> Name(const std::string& dotted) {
        std::vector<std::uint8_t> out;
        std::size_t start = 0;
        while (start < dotted.size()) {
            std::size_t dot = dotted.find('.', start);
            if (dot == std::string::npos) {
                dot = dotted.size();
            }
            out.push_back(static_cast<std::uint8_t>(dot - start));
            out.insert(out.end(), dotted.begin() + static_cast<std::ptrdiff_t>(start),
                       dotted.begin() + static_cast<std::ptrdiff_t>(dot));
            start = dot + 1;
        }
        out.push_back(0);
        return out;
    }
    DnsMessage& Record(const std::string& owner, std::uint16_t type,
                       const std::vector<std::uint8_t>& rdata, std::uint16_t rrClass = 1) {
        const std::vector<std::uint8_t> name = Name(owner);
        m_bytes.insert(m_bytes.end(), name.begin(), name.end());
        U16(type);
        U16(rrClass);
        U16(static_cast<std::uint16_t>(m_ttl >> 16));
        U16(static_cast<std::uint16_t>(m_ttl));
        U16(static_cast<std::uint16_t>(rdata.size()));
        m_bytes.insert(m_bytes.end(), rdata.begin(), rdata.end());
        ++m_bytes[7];
        return *this;
    }
    DnsMessage& A(const std::string& owner, std::uint32_t address) {
        return Record(
            owner, 1,
            {static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
             static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)});
    }
    DnsMessage& Srv(const std::string& owner, const std::string& target) {
        std::vector<std::uint8_t> rdata = {0, 0, 0, 0, 0, 80};
        const std::vector<std::uint8_t> name = Name(target);
        rdata.insert(rdata.end(), name.begin(), name.end());
        return Record(owner, 33, rdata);
    }
    DnsMessage& Txt(const std::string& owner, const std::string& cameraText) {
        std::vector<std::uint8_t> rdata = {1, 'a', 1, 'b'};
        rdata.push_back(static_cast<std::uint8_t>(cameraText.size()));
        rdata.insert(rdata.end(), cameraText.begin(), cameraText.end());
        return Record(owner, 16, rdata);
    }
    DnsMessage& Ptr(const std::string& owner, const std::string& target) {
        return Record(owner, 12, Name(target));
    }
    // A question (as unicast answers repeat it); add questions before any record.
    DnsMessage& Question(const std::string& name, std::uint16_t type, std::uint16_t qClass) {
        const std::vector<std::uint8_t> encoded = Name(name);
        m_bytes.insert(m_bytes.end(), encoded.begin(), encoded.end());
        U16(type);
        U16(qClass);
        ++m_bytes[5];
        return *this;
    }
    // The TTL of the records added from now on (120 until set).
    DnsMessage& Ttl(std::uint32_t ttl) {
        m_ttl = ttl;
        return *this;
    }
    const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }

private:
    std::uint32_t m_ttl = 120;
    void U16(std::uint16_t v) {
        m_bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        m_bytes.push_back(static_cast<std::uint8_t>(v));
    }
    std::vector<std::uint8_t> m_bytes;
};

// A datagram of the largest mDNS size built to make filing expensive: its first record's owner is
// a run of runLabels one-byte labels, and every further record (of the given type, until 8192
// bytes are used) has an owner that is a pointer to that run; an SRV record's target points there
// too, an A record carries an address, other types no data.
inline std::vector<std::uint8_t> CompressionBomb(std::size_t runLabels, std::uint16_t type) {
    constexpr std::size_t kDatagramBytes = 8192;
    DnsMessage header(0x1234);
    std::vector<std::uint8_t> out = header.Bytes();
    std::string run;
    for (std::size_t i = 0; i < runLabels; ++i) {
        run += i + 1 < runLabels ? "x." : "x";
    }
    std::vector<std::uint8_t> rdata;
    if (type == 33) {
        rdata = {0, 0, 0, 0, 0, 80, 0xC0, 12};
    } else if (type == 1) {
        rdata = {192, 168, 1, 10};
    }
    const std::vector<std::uint8_t> first = DnsMessage(0).Record(run, 1, {192, 168, 1, 10}).Bytes();
    out.insert(out.end(), first.begin() + 12, first.end());
    std::uint16_t count = 1;
    while (out.size() + 12 + rdata.size() <= kDatagramBytes) {
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

// A camera text for the MAC's three low octets.
inline std::string CameraText(std::uint32_t low24, const std::string& model = "QX2000") {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (int shift = 20; shift >= 0; shift -= 4) {
        hex += digits[(low24 >> shift) & 0xF];
    }
    return "MAC=QX" + hex + "-FW3.14-00010002-0000001F-0A0B/" + model;
}

}  // namespace QXTest
