// Names, and the rdata readers of the four record types, from hand-made wire bytes.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "qxnet/mdns/QXDNSName.h"
#include "qxnet/mdns/QXDNSRrdataA.h"
#include "qxnet/mdns/QXDNSRrdataPTR.h"
#include "qxnet/mdns/QXDNSRrdataSRV.h"
#include "qxnet/mdns/QXDNSRrdataTXT.h"
#include "qxnet/mdns/QXMDNSCameraData.h"
#include "tests/support/QXDnsMessage.h"
#include "tests/support/QXTraceCapture.h"

using namespace QXSDK;
using Bytes = std::vector<std::uint8_t>;

constexpr auto CameraTxt = &QXTest::DnsMessage::TxtRdata;

// The head, then n copies of the label, dotted.
std::string Dotted(std::string head, const std::string& label, int n) {
    for (int i = 0; i < n; ++i) {
        head += (head.empty() ? "" : ".") + label;
    }
    return head;
}

// What a name occupies and reads: within its buffer, the message and 255 bytes of wire form.
TEST(DNSName, ParsesWithinItsBuffer) {
    const Bytes local = QXTest::DnsMessage::Name("local");
    Bytes localThenA = local;
    localThenA.insert(localThenA.end(), {1, 'a', 0xC0, 0x00});
    Bytes run;  // 2000 one-byte labels, then the end: 4001 bytes
    for (int i = 0; i < 2000; ++i) {
        run.insert(run.end(), {1, 'x'});
    }
    run.push_back(0);
    const auto runThen = [&run](const Bytes& tail) {
        Bytes message = run;
        message.insert(message.end(), tail.begin(), tail.end());
        return message;
    };
    const auto label = [](std::uint8_t length, bool whole) {  // 64 to 191 are plain lengths
        Bytes message(whole ? length + 2u : length, 'x');
        message[0] = length;
        message.back() = whole ? 0 : 'x';
        return message;
    };
    struct Case {
        const char* what;
        Bytes message;
        std::uint32_t offset, occupies;
        std::string text;
        Bytes buffer = {};  // empty: the message itself
    };
    const Case cases[] = {
        {"root", {0}, 0, 1, ""},
        {"offset at the end", {1, 'a', 0}, 3, 0, ""},
        {"offset far outside", {1, 'a', 0}, 1000, 0, ""},
        {"labels", QXTest::DnsMessage::Name("_korv._tcp.local"), 0, 18, "_korv._tcp.local"},
        {"label then pointer", localThenA, 7, 4, "a.local"},
        {"pointer from an rdata copy", local, 0, 6, "cam.local", {3, 'c', 'a', 'm', 0xC0, 0}},
        {"pointer to itself", {0xC0, 0x00}, 0, 2, ""},
        {"self-pointer, 16 hops", {1, 'a', 0xC0, 0}, 0, 4, Dotted("", "a", 17)},
        {"pointer missing its second byte", {1, 'a', 0xC0}, 0, 3, "a"},
        {"pointer outside the message", {1, 'a', 0xFF, 0xFF}, 0, 4, "a"},
        {"label running past the end", {1, 'a', 5, 'b', 'c'}, 0, 3, "a"},
        {"label ending at the end unterminated", {1, 'a', 1, 'b'}, 0, 3, "a"},
        {"any byte in a label", {3, 0, '.', 0xFF, 0}, 0, 5, std::string("\0.\xFF", 3)},
        {"length byte 64", label(64, true), 0, 66, std::string(64, 'x')},
        {"length byte 191", label(191, true), 0, 193, std::string(191, 'x')},
        {"length byte 191, label cut", label(191, false), 0, 1, ""},
        {"run in place: measured whole", run, 0, 4001, Dotted("", "x", 127)},
        {"pointer to the run", runThen({0xC0, 0}), 4001, 2, Dotted("", "x", 127)},
        {"label, run", runThen({3, 'c', 'a', 'm', 0xC0, 0}), 4001, 6, Dotted("cam", "x", 125)},
        {"pointer into the run's middle", runThen({0xC0, 0x10}), 4001, 2, Dotted("", "x", 127)},
        {"chain", runThen({1, 'a', 0xCF, 0xA5, 1, 'b', 0xC0, 0}), 4001, 4, Dotted("a.b", "x", 125)},
    };
    for (const Case& c : cases) {
        DNSName name;
        const Bytes& buffer = c.buffer.empty() ? c.message : c.buffer;
        EXPECT_EQ(name.ParseInit(c.message, buffer, c.offset), c.occupies) << c.what;
        EXPECT_EQ(name.ToString(), c.text) << c.what;
    }
}

// Encoding writes the wire form (a label cut at 255 bytes); parsing appends to the labels.
TEST(DNSName, EncodesAndAppends) {
    DNSName name;
    for (const char* label : {"_korv", "_tcp", "local"}) {
        name.AddLabel(label);
    }
    Bytes out = {9, 9};
    name.Encode(out);
    EXPECT_EQ(out, QXTest::DnsMessage::Name("_korv._tcp.local"));
    DNSName back;
    EXPECT_EQ(back.ParseInit(out, out, 0), 18u);
    EXPECT_EQ(back, name);
    DNSName overlong;
    overlong.AddLabel(std::string(300, 'x'));
    overlong.Encode(out);
    ASSERT_EQ(out.size(), 257u);
    EXPECT_EQ(out[0], 255);
    name.ParseInit(Bytes{1, 'b', 0}, Bytes{1, 'b', 0}, 0);
    EXPECT_EQ(name.ToString(), "_korv._tcp.local.b");
}

// Too short, with one trace line each; a root target is invalid without one.
TEST(DNSRrdata, AddressPointerAndService) {
    DNSRrdataA a;
    EXPECT_TRUE(a.ParseInit(Bytes{192, 168, 1, 10}));
    EXPECT_EQ(a.m_address, 0xC0A8010Au);
    const Bytes msg = {5, 'l', 'o', 'c', 'a', 'l', 0};
    DNSRrdataPTR ptr;
    EXPECT_TRUE(ptr.ParseInit(msg, Bytes{3, 'c', 'a', 'm', 0xC0, 0}));
    EXPECT_EQ(ptr.m_target.ToString(), "cam.local");
    DNSRrdataSRV srv;
    EXPECT_TRUE(srv.ParseInit(msg, Bytes{0, 1, 0, 2, 0x1F, 0x90, 3, 'c', 'a', 'm', 0xC0, 0}));
    EXPECT_EQ(std::make_tuple(srv.m_priority, srv.m_weight, srv.m_port, srv.m_target.ToString()),
              std::make_tuple(1, 2, 8080, std::string("cam.local")));

    QXTest::TraceCapture capture;
    for (const Bytes& rdata : {Bytes{}, Bytes{1, 2, 3}, Bytes{1, 2, 3, 4, 5}}) {
        DNSRrdataA wrong;
        EXPECT_FALSE(wrong.ParseInit(rdata) || wrong.m_valid);
    }
    EXPECT_FALSE(DNSRrdataPTR().ParseInit(msg, Bytes{0}));
    EXPECT_FALSE(DNSRrdataSRV().ParseInit(msg, Bytes(7, 0)));
    EXPECT_FALSE(DNSRrdataPTR().ParseInit(msg, Bytes{0, 0}));
    EXPECT_FALSE(DNSRrdataSRV().ParseInit(msg, Bytes(8, 0)));
    const std::wstring aError = L"DNSRrdataA::ParseInit: Error 1! Data length != 4!\n";
    EXPECT_EQ(
        capture.Lines(),
        (std::vector<std::wstring>{
            aError, aError, aError, L"DNSRrdataPTR::ParseInit: Error 1! Data length less than 2!\n",
            L"DNSRrdataSRV::ParseInit: Error 1! Data length less than 8!\n"}));
}

TEST(DNSRrdataTXT, CameraTextFields) {
    DNSRrdataTXT txt;
    ASSERT_TRUE(txt.ParseInit(CameraTxt("MAC=QX00A1B2-FW3.14-00010002-0000001F-0A0B/ Model X  ")));
    EXPECT_EQ(
        std::make_tuple(txt.m_mac, txt.m_fwMajor, txt.m_fwMinor, txt.m_pairFirst, txt.m_pairSecond,
                        txt.m_hex32, txt.m_hex16, txt.m_model),
        std::make_tuple(0x0E1F2A00A1B2ull, 3, 14, 1, 2, 0x1Fu, 0x0A0B, std::string(" Model X")));
    // The camera record takes every field, and its address heads a flat layout.
    const MDNSCameraData camera(0x7F000001, txt);
    EXPECT_EQ(
        std::make_tuple(camera.m_ip, camera.m_valid, camera.m_mac, camera.m_fwMajor,
                        camera.m_fwMinor, camera.m_pairFirst, camera.m_pairSecond, camera.m_hex32,
                        camera.m_hex16, camera.m_model),
        std::make_tuple(0x7F000001u, txt.m_valid, txt.m_mac, txt.m_fwMajor, txt.m_fwMinor,
                        txt.m_pairFirst, txt.m_pairSecond, txt.m_hex32, txt.m_hex16, txt.m_model));
    const auto* base = reinterpret_cast<const char*>(&camera);
    EXPECT_EQ(std::make_tuple(reinterpret_cast<const char*>(&camera.m_ip) - base,
                              reinterpret_cast<const char*>(&camera.m_valid) - base,
                              reinterpret_cast<const char*>(&camera.m_mac) - base),
              std::make_tuple(0, 4, 8));

    // Malformed fields read as 0 and leave the record valid.
    ASSERT_TRUE(txt.ParseInit(CameraTxt("MAC=QX00A1B2-x-zzzzzzzz-12-A/M-1/x")));
    EXPECT_EQ(txt.m_fwMajor + txt.m_pairFirst + txt.m_pairSecond + txt.m_hex16, 0);
    EXPECT_EQ(txt.m_hex32, 0u);
    EXPECT_EQ(txt.m_model, "M-1/x");  // dashes and slashes after the slash belong to the model
    // Strings of 128 bytes and more: their length bytes are unsigned.
    Bytes rdata = {200};
    rdata.insert(rdata.end(), 200, 'z');
    rdata.push_back(0);
    const Bytes text =
        CameraTxt("MAC=QX010203-2.5-AAAABBBB-CCCCDDDD-EEEE/" + std::string(150, 'm'));
    rdata.insert(rdata.end(), text.begin() + 4, text.end());  // past the two leading strings
    std::vector<std::string> strings;
    ASSERT_TRUE(DNSRrdataTXT::ParseLabelSequence(rdata, strings));
    ASSERT_EQ(strings.size(), 3u);
    EXPECT_EQ(strings[0].size(), 200u);
    ASSERT_TRUE(txt.ParseInit(rdata));
    EXPECT_EQ(std::make_tuple(txt.m_mac, txt.m_hex32, txt.m_model.size()),
              std::make_tuple(0x0E1F2A010203ull, 0xCCCCDDDDu, std::size_t{150}));
}

TEST(DNSRrdataTXT, FieldReaders) {
    for (const char* mac : {"QX00A1B", "0E1F2A00A1B2", "", "QX", "XQ00A1B2", "QX00A1BG"}) {
        EXPECT_EQ(DNSRrdataTXT::ParseMacText(mac), 0u) << mac;
    }
    EXPECT_EQ(DNSRrdataTXT::ParseMacText("00A1B2"), 0x0E1F2A00A1B2ull);
    EXPECT_EQ(DNSRrdataTXT::ParseMacText("QXffffff"), 0x0E1F2AFFFFFFull);
    const std::tuple<const char*, std::int32_t, std::int32_t> versions[] = {
        {"65", 65, 0},
        {"FW", 0, 0},
        {"1.2.3", 1, 2},
        {"3.FW7", 3, 7},
        {" -4.+5x", -4, 5},
        {"v1.x", 0, 0},
        {"99999999999.-99999999999", 2147483647, -2147483647 - 1},
    };
    for (const auto& [text, major, minor] : versions) {
        std::pair<std::int32_t, std::int32_t> read{-1, -1};
        DNSRrdataTXT::ParseFirmwareVersion(text, read.first, read.second);
        EXPECT_EQ(read, std::make_pair(major, minor)) << text;
    }
    for (const char* bad : {"123", "12345", "12G4", ""}) {
        EXPECT_EQ(DNSRrdataTXT::ParseHex16(bad), 0) << bad;
    }
    EXPECT_EQ(DNSRrdataTXT::ParseHex16("0a0B"), 0x0A0B);
    for (const char* bad : {"1F", "0000001 ", "+0000001"}) {
        EXPECT_EQ(DNSRrdataTXT::ParseHex32(bad), 0u) << bad;
    }
    EXPECT_EQ(DNSRrdataTXT::ParseHex32("DEADbeef"), 0xDEADBEEFu);
}

// Each way a text fails, with its one trace line.
TEST(DNSRrdataTXT, EachErrorTraced) {
    const auto mac = [](const std::string& rest) { return CameraTxt("MAC=QX00A1B2" + rest); };
    const std::vector<std::pair<Bytes, std::wstring>> cases = {
        {{3, 'a', 'b'}, L"! LabelSequence parse error. Data not from QX camera?"},
        {{1, 'a', 0}, L"! Num labels is 2 which is less than 3! Data not from QX camera?"},
        {{}, L"! Num labels is 0 which is less than 3! Data not from QX camera?"},
        {CameraTxt("mac=QX00A1B2-1-00010002-1-2/M"), L" 1! Start is not 'MAC=' !"},
        {mac(""), L" 2! No '-' found after MAC!"},
        {mac("-"), L" 3! '-' shouldn't be last character of string!"},
        {mac("-1"), L" 4! No characters between 1st and 2nd dashes!"},
        {mac("--00010002-1-2/M"), L" 4! No characters between 1st and 2nd dashes!"},
        {mac("-1-0001000-1-2/M"), L" 5! Expected 8 chars between 2nd and 3rd dashes!"},
        {mac("-1-00010002"), L" 5! Expected 8 chars between 2nd and 3rd dashes!"},
        {mac("-1-00010002-"), L" 6! No characters between 3rd and 4th dashes!"},
        {mac("-1-00010002--2/M"), L" 6! No characters between 3rd and 4th dashes!"},
        {mac("-1-00010002-1-2"), L" 7! No characters between dash and slash!"},
        {mac("-1-00010002-1-/M"), L" 7! No characters between dash and slash!"},
        {mac("-1-00010002-1-2/   "), L" 8! Model name consists only of spaces!"},
        {mac("-1-00010002-1-2/"), L" 8! Model name consists only of spaces!"},
    };
    for (const auto& [rdata, trace] : cases) {
        QXTest::TraceCapture capture;
        DNSRrdataTXT txt;
        EXPECT_FALSE(txt.ParseInit(rdata) || txt.m_valid)
            << std::string(rdata.begin(), rdata.end());
        EXPECT_EQ(capture.Lines(),
                  std::vector<std::wstring>{L"DNSRrdataTXT::ParseInit: Error" + trace + L"\n"});
    }
}
