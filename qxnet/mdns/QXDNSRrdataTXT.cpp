#include "qxnet/mdns/QXDNSRrdataTXT.h"

#include <limits>

#include "qxnet/common/QXByteReader.h"
#include "qxnet/mdns/QXDNSTraceLimit.h"

namespace QXSDK {

namespace {

constexpr std::uint64_t MAC_PREFIX = 0x0E1F2A000000ull;

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The value of exactly `digits` hex digits, or false.
bool ParseHexExact(const std::string& text, std::size_t digits, std::uint64_t& value) {
    value = 0;
    if (text.size() != digits) {
        return false;
    }
    for (char c : text) {
        const int v = HexValue(c);
        if (v < 0) {
            value = 0;
            return false;
        }
        value = (value << 4) | static_cast<std::uint64_t>(v);
    }
    return true;
}

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a signed decimal the way "%ld" does: leading white space, an optional sign, digits up
// to the first non-digit. A value beyond 32 bits is held at the nearest limit, since the fields
// are 32-bit.
std::int32_t ParseDecimal(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    constexpr std::int64_t limit =
        static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) {
            value = limit;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > std::numeric_limits<std::int32_t>::max()) {
        value = std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(value);
}

// The next separator after the one at from, or npos when there is none or nothing stands between
// the two.
std::size_t NextField(const std::string& text, char separator, std::size_t from) {
    const std::size_t next = text.find(separator, from + 1);
    return next == from + 1 ? std::string::npos : next;
}

// Traces why the text is refused (one line, under the message's trace limit) and gives false.
template <class... Args>
bool Fail(const wchar_t* reason, Args... args) {
    std::wstring format = L"DNSRrdataTXT::ParseInit: ";
    format += reason;
    DNSTraceLimit::Trace(format.c_str(), args...);
    return false;
}

}  // namespace

bool DNSRrdataTXT::ParseLabelSequence(const std::vector<std::uint8_t>& rdata,
                                      std::vector<std::string>& strings) {
    strings.clear();
    QX::ByteReader reader(rdata);
    std::uint8_t length = 0;
    while (reader.ReadU8(length)) {
        std::string& text = strings.emplace_back(length, '\0');
        if (!reader.ReadBytes(reinterpret_cast<std::uint8_t*>(text.data()), length)) {
            strings.pop_back();
            return false;
        }
    }
    return true;
}

std::uint64_t DNSRrdataTXT::ParseMacText(const std::string& text) {
    const std::string digits = text.rfind("QX", 0) == 0 ? text.substr(2) : text;
    std::uint64_t value = 0;
    return ParseHexExact(digits, 6, value) ? MAC_PREFIX + value : 0;
}

std::uint32_t DNSRrdataTXT::ParseHex32(const std::string& text) {
    std::uint64_t value = 0;
    ParseHexExact(text, 8, value);
    return static_cast<std::uint32_t>(value);
}

std::uint16_t DNSRrdataTXT::ParseHex16(const std::string& text) {
    std::uint64_t value = 0;
    ParseHexExact(text, 4, value);
    return static_cast<std::uint16_t>(value);
}

void DNSRrdataTXT::ParseFirmwareVersion(const std::string& text, std::int32_t& major,
                                        std::int32_t& minor) {
    std::string rest = text;
    const std::size_t fw = rest.find("FW");
    if (fw != std::string::npos) {
        rest.erase(fw, 2);
    }
    const std::size_t dot = rest.find('.');
    if (dot == std::string::npos) {
        major = ParseDecimal(rest);
        minor = 0;
    } else {
        major = ParseDecimal(rest.substr(0, dot));
        minor = ParseDecimal(rest.substr(dot + 1));
    }
}

bool DNSRrdataTXT::ParseInit(const std::vector<std::uint8_t>& rdata) {
    m_valid = false;
    std::vector<std::string> strings;
    if (!ParseLabelSequence(rdata, strings)) {
        return Fail(L"Error! LabelSequence parse error. Data not from QX camera?");
    }
    if (strings.size() < 3) {
        return Fail(L"Error! Num labels is %d which is less than 3! Data not from QX camera?",
                    static_cast<std::int32_t>(strings.size()));
    }
    const std::string& text = strings[2];
    if (text.rfind("MAC=", 0) != 0) {
        return Fail(L"Error 1! Start is not 'MAC=' !");
    }
    const std::size_t dash1 = text.find('-');
    if (dash1 == std::string::npos) {
        return Fail(L"Error 2! No '-' found after MAC!");
    }
    // "MAC=" holds no dash, so dash 1 stands at offset 4 or later.
    m_mac = ParseMacText(text.substr(4, dash1 - 4));
    if (dash1 + 1 == text.size()) {
        return Fail(L"Error 3! '-' shouldn't be last character of string!");
    }
    const std::size_t dash2 = NextField(text, '-', dash1);
    if (dash2 == std::string::npos) {
        return Fail(L"Error 4! No characters between 1st and 2nd dashes!");
    }
    ParseFirmwareVersion(text.substr(dash1 + 1, dash2 - dash1 - 1), m_fwMajor, m_fwMinor);
    const std::size_t dash3 = text.find('-', dash2 + 1);
    if (dash3 != dash2 + 9) {
        return Fail(L"Error 5! Expected 8 chars between 2nd and 3rd dashes!");
    }
    m_pairFirst = ParseHex16(text.substr(dash2 + 1, 4));
    m_pairSecond = ParseHex16(text.substr(dash2 + 5, 4));
    const std::size_t dash4 = NextField(text, '-', dash3);
    if (dash4 == std::string::npos) {
        return Fail(L"Error 6! No characters between 3rd and 4th dashes!");
    }
    m_hex32 = ParseHex32(text.substr(dash3 + 1, dash4 - dash3 - 1));
    const std::size_t slash = NextField(text, '/', dash4);
    if (slash == std::string::npos) {
        return Fail(L"Error 7! No characters between dash and slash!");
    }
    m_hex16 = ParseHex16(text.substr(dash4 + 1, slash - dash4 - 1));
    std::string model = text.substr(slash + 1);
    const std::size_t last = model.find_last_not_of(' ');
    model.erase(last == std::string::npos ? 0 : last + 1);
    if (model.empty()) {
        return Fail(L"Error 8! Model name consists only of spaces!");
    }
    m_model = model;
    m_valid = true;
    return true;
}

}  // namespace QXSDK
