#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qxnet/mdns/QXDNSResourceRecord.h"
#include "qxnet/mdns/QXDNSRrdataA.h"
#include "qxnet/mdns/QXDNSRrdataPTR.h"
#include "qxnet/mdns/QXDNSRrdataSRV.h"
#include "qxnet/mdns/QXDNSRrdataTXT.h"
#include "qxnet/mdns/QXMDNSCameraData.h"
#include "tests/support/QXTraceCapture.h"

using namespace QXSDK;
using Bytes = std::vector<std::uint8_t>;

namespace {

// TXT rdata with two leading strings and the given camera text.
Bytes CameraTxt(const std::string& text) {
    Bytes out = {4, 't', 'x', 't', 'v', 1, 'x'};
    out.push_back(static_cast<std::uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

const std::string kGood = "MAC=QX00A1B2-FW3.14-00010002-0000001F-0A0B/ Model X  ";

// Parses text as a camera TXT; expects failure with exactly the given trace line.
void ExpectTxtError(const std::string& text, const std::wstring& trace) {
    QXTest::TraceCapture capture;
    DNSRrdataTXT txt;
    EXPECT_FALSE(txt.ParseInit(CameraTxt(text))) << text;
    EXPECT_FALSE(txt.m_valid);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u) << text;
    EXPECT_EQ(lines[0], trace + L"\n") << text;
}

}  // namespace

TEST(DNSResourceRecord, CopiesRdata) {
    DNSName name;
    name.AddLabel("x");
    const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
    DNSResourceRecord rr(name, 16, 0x8001, 120, 3, bytes);
    EXPECT_EQ(rr.m_rdata, (Bytes{1, 2, 3}));
    EXPECT_EQ(rr.m_class, 0x8001);
    EXPECT_EQ(rr.m_ttl, 120u);
    DNSResourceRecord copy = rr;
    EXPECT_EQ(copy.m_name.ToString(), "x");
    EXPECT_EQ(copy.m_rdLength, 3);
}

TEST(DNSRrdataA, FourBytesBigEndian) {
    DNSRrdataA a;
    EXPECT_FALSE(a.m_valid);
    EXPECT_TRUE(a.ParseInit(Bytes{192, 168, 1, 10}));
    EXPECT_TRUE(a.m_valid);
    EXPECT_EQ(a.m_address, 0xC0A8010Au);
}

TEST(DNSRrdataA, WrongLengthFailsWithTrace) {
    for (const Bytes& rdata : {Bytes{}, Bytes{1, 2, 3}, Bytes{1, 2, 3, 4, 5}}) {
        QXTest::TraceCapture capture;
        DNSRrdataA a;
        EXPECT_FALSE(a.ParseInit(rdata));
        EXPECT_FALSE(a.m_valid);
        EXPECT_EQ(capture.Lines(), std::vector<std::wstring>{
                                       L"DNSRrdataA::ParseInit: Error 1! Data length != 4!\n"});
    }
}

TEST(DNSRrdataPTR, TargetAndShortData) {
    const Bytes msg = {5, 'l', 'o', 'c', 'a', 'l', 0};
    DNSRrdataPTR ptr;
    EXPECT_TRUE(ptr.ParseInit(msg, Bytes{3, 'c', 'a', 'm', 0xC0, 0}));
    EXPECT_EQ(ptr.m_target.ToString(), "cam.local");

    QXTest::TraceCapture capture;
    DNSRrdataPTR shortOne;
    EXPECT_FALSE(shortOne.ParseInit(msg, Bytes{0}));
    EXPECT_TRUE(capture.Contains(L"DNSRrdataPTR::ParseInit: Error 1! Data length less than 2!"));

    DNSRrdataPTR root;  // a root target occupies one byte: invalid, without a trace
    capture.Clear();
    EXPECT_FALSE(root.ParseInit(msg, Bytes{0, 0}));
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(DNSRrdataSRV, FieldsAndTarget) {
    const Bytes msg = {5, 'l', 'o', 'c', 'a', 'l', 0};
    const Bytes rdata = {0, 1, 0, 2, 0x1F, 0x90, 3, 'c', 'a', 'm', 0xC0, 0};
    DNSRrdataSRV srv;
    EXPECT_TRUE(srv.ParseInit(msg, rdata));
    EXPECT_EQ(srv.m_priority, 1);
    EXPECT_EQ(srv.m_weight, 2);
    EXPECT_EQ(srv.m_port, 8080);
    EXPECT_EQ(srv.m_target.ToString(), "cam.local");
}

TEST(DNSRrdataSRV, ShortOrRootTargetFails) {
    const Bytes msg = {0};
    QXTest::TraceCapture capture;
    DNSRrdataSRV srv;
    EXPECT_FALSE(srv.ParseInit(msg, Bytes{0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(capture.Contains(L"DNSRrdataSRV::ParseInit: Error 1! Data length less than 8!"));
    DNSRrdataSRV root;
    EXPECT_FALSE(root.ParseInit(msg, Bytes{0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(root.m_valid);
}

TEST(DNSRrdataTXT, GoodCameraText) {
    DNSRrdataTXT txt;
    ASSERT_TRUE(txt.ParseInit(CameraTxt(kGood)));
    EXPECT_TRUE(txt.m_valid);
    EXPECT_EQ(txt.m_mac, 0x0E1F2A00A1B2ull);
    EXPECT_EQ(txt.m_fwMajor, 3);
    EXPECT_EQ(txt.m_fwMinor, 14);
    EXPECT_EQ(txt.m_pairFirst, 0x0001);
    EXPECT_EQ(txt.m_pairSecond, 0x0002);
    EXPECT_EQ(txt.m_hex32, 0x1Fu);
    EXPECT_EQ(txt.m_hex16, 0x0A0B);
    EXPECT_EQ(txt.m_model, " Model X");

    const MDNSCameraData cam(0x7F000002, txt);
    EXPECT_TRUE(cam.m_valid);
    EXPECT_EQ(cam.m_ip, 0x7F000002u);
    EXPECT_EQ(cam.m_mac, txt.m_mac);
    EXPECT_EQ(cam.m_model, " Model X");
}

TEST(DNSRrdataTXT, MacVariants) {
    DNSRrdataTXT noPrefix;
    ASSERT_TRUE(noPrefix.ParseInit(CameraTxt("MAC=00A1B2-FW3.14-00010002-0000001F-0A0B/M")));
    EXPECT_EQ(noPrefix.m_mac, 0x0E1F2A00A1B2ull);
    for (const char* mac : {"QX00A1B", "0E1F2A00A1B2", "", "QX", "XQ00A1B2", "QX00A1BG"}) {
        DNSRrdataTXT txt;
        EXPECT_TRUE(txt.ParseInit(CameraTxt(std::string("MAC=") + mac + "-1.2-00010002-1-2/M")))
            << mac;
        EXPECT_EQ(txt.m_mac, 0u) << mac;
    }
    EXPECT_EQ(DNSRrdataTXT::ParseMacText("QXffffff"), 0x0E1F2AFFFFFFull);
    EXPECT_EQ(DNSRrdataTXT::ParseMacText("aQX123456"), 0u);
}

TEST(DNSRrdataTXT, FirmwareVersions) {
    std::int32_t major = -1;
    std::int32_t minor = -1;
    DNSRrdataTXT::ParseFirmwareVersion("65", major, minor);
    EXPECT_EQ(major, 65);
    EXPECT_EQ(minor, 0);
    DNSRrdataTXT::ParseFirmwareVersion("FW", major, minor);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);
    DNSRrdataTXT::ParseFirmwareVersion("1.2.3", major, minor);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 2);
    DNSRrdataTXT::ParseFirmwareVersion("3.FW7", major, minor);  // "FW" removed wherever it stands
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 7);
    DNSRrdataTXT::ParseFirmwareVersion(" -4.+5x", major, minor);
    EXPECT_EQ(major, -4);
    EXPECT_EQ(minor, 5);
    DNSRrdataTXT::ParseFirmwareVersion("v1.x", major, minor);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);
    DNSRrdataTXT::ParseFirmwareVersion("99999999999.-99999999999", major, minor);
    EXPECT_EQ(major, 2147483647);
    EXPECT_EQ(minor, -2147483647 - 1);
}

TEST(DNSRrdataTXT, HexReaders) {
    EXPECT_EQ(DNSRrdataTXT::ParseHex16("0a0B"), 0x0A0B);
    EXPECT_EQ(DNSRrdataTXT::ParseHex16("FFFF"), 0xFFFF);
    EXPECT_EQ(DNSRrdataTXT::ParseHex16("123"), 0);
    EXPECT_EQ(DNSRrdataTXT::ParseHex16("12345"), 0);
    EXPECT_EQ(DNSRrdataTXT::ParseHex16("12G4"), 0);
    EXPECT_EQ(DNSRrdataTXT::ParseHex16(""), 0);
    EXPECT_EQ(DNSRrdataTXT::ParseHex32("DEADbeef"), 0xDEADBEEFu);
    EXPECT_EQ(DNSRrdataTXT::ParseHex32("1F"), 0u);
    EXPECT_EQ(DNSRrdataTXT::ParseHex32("0000001 "), 0u);
    EXPECT_EQ(DNSRrdataTXT::ParseHex32("+0000001"), 0u);
}

TEST(DNSRrdataTXT, MalformedFieldsStayValidWithZero) {
    DNSRrdataTXT txt;
    ASSERT_TRUE(txt.ParseInit(CameraTxt("MAC=QX00A1B2-x-zzzzzzzz-12-A/M-1/x")));
    EXPECT_EQ(txt.m_fwMajor, 0);
    EXPECT_EQ(txt.m_pairFirst, 0);
    EXPECT_EQ(txt.m_pairSecond, 0);
    EXPECT_EQ(txt.m_hex32, 0u);
    EXPECT_EQ(txt.m_hex16, 0);
    EXPECT_EQ(txt.m_model, "M-1/x");  // dashes and slashes after the slash belong to the model
}

TEST(DNSRrdataTXT, EachErrorTraced) {
    {
        QXTest::TraceCapture capture;
        DNSRrdataTXT txt;
        EXPECT_FALSE(txt.ParseInit(Bytes{3, 'a', 'b'}));
        EXPECT_EQ(capture.Lines(),
                  std::vector<std::wstring>{L"DNSRrdataTXT::ParseInit: Error! LabelSequence parse "
                                            L"error. Data not from QX camera?\n"});
    }
    {
        QXTest::TraceCapture capture;
        DNSRrdataTXT txt;
        EXPECT_FALSE(txt.ParseInit(Bytes{1, 'a', 0}));
        EXPECT_EQ(capture.Lines(), std::vector<std::wstring>{
                                       L"DNSRrdataTXT::ParseInit: Error! Num labels is 2 which "
                                       L"is less than 3! Data not from QX camera?\n"});
    }
    {
        QXTest::TraceCapture capture;
        DNSRrdataTXT txt;
        EXPECT_FALSE(txt.ParseInit(Bytes{}));
        EXPECT_TRUE(capture.Contains(L"Num labels is 0 which is less than 3!"));
    }
    ExpectTxtError("mac=QX00A1B2-1-00010002-1-2/M",
                   L"DNSRrdataTXT::ParseInit: Error 1! Start is not 'MAC=' !");
    ExpectTxtError("MAC=QX00A1B2", L"DNSRrdataTXT::ParseInit: Error 2! No '-' found after MAC!");
    ExpectTxtError("MAC=QX00A1B2-",
                   L"DNSRrdataTXT::ParseInit: Error 3! '-' shouldn't be last character of string!");
    ExpectTxtError("MAC=QX00A1B2-1",
                   L"DNSRrdataTXT::ParseInit: Error 4! No characters between 1st and 2nd dashes!");
    ExpectTxtError("MAC=QX00A1B2--00010002-1-2/M",
                   L"DNSRrdataTXT::ParseInit: Error 4! No characters between 1st and 2nd dashes!");
    ExpectTxtError("MAC=QX00A1B2-1-0001000-1-2/M",
                   L"DNSRrdataTXT::ParseInit: Error 5! Expected 8 chars between 2nd and 3rd "
                   L"dashes!");
    ExpectTxtError("MAC=QX00A1B2-1-00010002",
                   L"DNSRrdataTXT::ParseInit: Error 5! Expected 8 chars between 2nd and 3rd "
                   L"dashes!");
    ExpectTxtError("MAC=QX00A1B2-1-00010002-",
                   L"DNSRrdataTXT::ParseInit: Error 6! No characters between 3rd and 4th dashes!");
    ExpectTxtError("MAC=QX00A1B2-1-00010002--2/M",
                   L"DNSRrdataTXT::ParseInit: Error 6! No characters between 3rd and 4th dashes!");
    ExpectTxtError("MAC=QX00A1B2-1-00010002-1-2",
                   L"DNSRrdataTXT::ParseInit: Error 7! No characters between dash and slash!");
    ExpectTxtError("MAC=QX00A1B2-1-00010002-1-/M",
                   L"DNSRrdataTXT::ParseInit: Error 7! No characters between dash and slash!");
    ExpectTxtError("MAC=QX00A1B2-1-00010002-1-2/   ",
                   L"DNSRrdataTXT::ParseInit: Error 8! Model name consists only of spaces!");
    ExpectTxtError("MAC=QX00A1B2-1-00010002-1-2/",
                   L"DNSRrdataTXT::ParseInit: Error 8! Model name consists only of spaces!");
}

TEST(DNSRrdataTXT, LongStringsAreUnsignedLengths) {
    Bytes rdata = {200};
    rdata.insert(rdata.end(), 200, 'z');
    rdata.push_back(0);  // an empty string
    const std::string text = "MAC=QX010203-2.5-AAAABBBB-CCCCDDDD-EEEE/" + std::string(150, 'm');
    rdata.push_back(static_cast<std::uint8_t>(text.size()));
    rdata.insert(rdata.end(), text.begin(), text.end());
    std::vector<std::string> strings;
    ASSERT_TRUE(DNSRrdataTXT::ParseLabelSequence(rdata, strings));
    ASSERT_EQ(strings.size(), 3u);
    EXPECT_EQ(strings[0].size(), 200u);
    EXPECT_TRUE(strings[1].empty());
    DNSRrdataTXT txt;
    ASSERT_TRUE(txt.ParseInit(rdata));
    EXPECT_EQ(txt.m_mac, 0x0E1F2A010203ull);
    EXPECT_EQ(txt.m_pairFirst, 0xAAAA);
    EXPECT_EQ(txt.m_pairSecond, 0xBBBB);
    EXPECT_EQ(txt.m_hex32, 0xCCCCDDDDu);
    EXPECT_EQ(txt.m_hex16, 0xEEEE);
    EXPECT_EQ(txt.m_model.size(), 150u);
}
