// The scanner through its seams: mDNS answers, scope and interfaces whose sockets are refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXNetInterface.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/scan/QXCameraScanner.h"
#include "qxnet/scan/QXMDNSAnswerSet.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "tests/support/QXDnsMessage.h"
#include "tests/support/QXFakeNetInfo.h"
#include "tests/support/QXRefusingSockets.h"

using QXSDK::CameraScanner;
using QXSDK::MDNSAnswerSet;
using QXSDK::ScannedCamera;
using QXTest::DnsBytes;
using QXTest::DnsMessage;

namespace {

constexpr std::uint64_t kMac = 0x0E1F2A00A1B2ull;
constexpr std::uint32_t kAddress = 0x0A000105;  // 10.0.1.5
const std::string kText = DnsMessage::CameraText(0xA1B2);
const char kOwner[] = "cam._korv._tcp.local";
const char kHost[] = "korv-QX00A1B2.local";

// Which messages are taken: cameras split over messages, goodbyes (TTL 0), cut messages.
TEST(MDNSAnswerSet, JoinsCamerasAndGoodbyes) {
    const auto full = [](DnsMessage m) { return m.Camera(0xA1B2, kAddress).Bytes(); };
    const DnsBytes srvTxt = DnsMessage(0).Srv(kOwner, kHost).Txt(kOwner, kText).Bytes();
    const DnsBytes a = DnsMessage(0).A(kHost, kAddress).Bytes();
    const DnsBytes whole = full(DnsMessage(0));
    const DnsBytes unicast = full(DnsMessage(7).Question("_korv._tcp.local", 12, 0x8001));
    const DnsBytes question = DnsMessage(7).Question(kOwner, 12, 1).Bytes();
    struct Case {
        const char* name;
        int wantedId;
        bool accepted;  // the first message (the others are)
        std::size_t cameras, goodbyes;
        std::vector<DnsBytes> messages;
    };
    const Case cases[] = {
        {"unicast answer repeating its question", 7, true, 1, 0, {unicast}},
        {"records split over two messages", -1, true, 1, 0, {srvTxt, a}},
        {"goodbye (TTL 0)", -1, true, 0, 1, {full(DnsMessage(0).Ttl(0))}},
        {"answer to another query", 7, false, 0, 0, {full(DnsMessage(8))}},
        {"a query, not a response", -1, false, 0, 0, {full(DnsMessage(7, 0))}},
        {"error response", -1, false, 0, 0, {DnsMessage(7, 0x8403).Txt(kOwner, kText).Bytes()}},
        {"whole records before a cut one", -1, true, 0, 0, {{whole.begin(), whole.end() - 2}}},
        {"cut question", -1, false, 0, 0, {{question.begin(), question.end() - 3}}},
        {"shorter than a header", -1, false, 0, 0, {{0x00, 0x07, 0x84}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MDNSAnswerSet answers;
        std::vector<MDNSAnswerSet::Camera> cameras;
        std::vector<std::uint64_t> goodbyes;
        for (std::size_t i = 0; i < c.messages.size(); ++i) {
            EXPECT_EQ(answers.Add(c.messages[i], c.wantedId), i != 0 || c.accepted) << i;
            answers.Take(cameras, goodbyes);
        }
        ASSERT_EQ(cameras.size(), c.cameras);
        ASSERT_EQ(goodbyes, std::vector<std::uint64_t>(c.goodbyes, kMac));
        for (const MDNSAnswerSet::Camera& camera : cameras) {
            EXPECT_EQ(
                std::tie(camera.data.m_mac, camera.data.m_ip, camera.data.m_model, camera.ttl),
                std::make_tuple(kMac, kAddress, std::string("QX2000"), 120u));
        }
    }
}

class ScannerSeams : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(QXSDK::TFTPClient::Startup()); }
    void TearDown() override { QXSDK::TFTPClient::Cleanup(); }

    static QX::NetInterface Loopback(std::uint32_t address, const wchar_t* name) {
        return QX::NetInterface(QX::HostToNetwork32(address), QX::HostToNetwork32(0x7FFFFFFF),
                                QX::HostToNetwork32(0xFF000000), name, name);
    }

    CameraScanner m_scanner{boost::make_shared<QX::CodeLock>()};
};

// What the scope holds decides between an error and a scan: loopback only when asked or named.
TEST_F(ScannerSeams, ScopeWithoutInterfaceIsAnError) {
    QXTest::FakeNetInfo net;
    const auto record = [&net](std::uint32_t address, DWORD flags, const wchar_t* name) {
        net.AddRecord(QX::HostToNetwork32(address), 0, QX::HostToNetwork32(0xFF000000));
        net.records.back().iiFlags = flags;
        net.adapters.push_back(
            {name, name, {{QX::AddressFamilyInet, QX::HostToNetwork32(address)}}});
    };
    record(0x7F000001, 0x1 | 0x4, L"lo");
    record(0x0A000001, 0x2, L"down0");  // not up
    using Case = std::tuple<const char*, std::vector<std::wstring>, std::size_t>;
    for (const auto& [what, names, failures] :
         std::vector<Case>{{"loopback is left out unless asked", {}, 0},
                           {"a name that no interface has", {L"eth9"}, 1},
                           {"an interface that is down", {L"down0"}, 1}}) {
        SCOPED_TRACE(what);
        m_scanner.SetInterfaceNames(names);
        std::vector<ScannedCamera> cameras(1);
        EXPECT_EQ(static_cast<std::uint32_t>(m_scanner.Scan(cameras)),
                  QX::ResultCode::NoNetworkDevice);
        EXPECT_TRUE(cameras.empty());
        EXPECT_EQ(m_scanner.GetFailures().size(), failures);
        EXPECT_EQ(static_cast<std::uint32_t>(m_scanner.Start()), QX::ResultCode::NoNetworkDevice);
    }
}

// A refused interface is reported per method and the others scanned. The last case needs a
// qxcam-sim named by QXNET_DISCOVERY_SIM_PORT and QXNET_MDNS_SIM (scripts/windows.sh, Wine).
TEST_F(ScannerSeams, InterfaceWhoseSocketsAreRefusedIsSkipped) {
    QXTest::RefusingSockets refusing({0x7F000002});
    const char* simPort = std::getenv("QXNET_MDNS_SIM") != nullptr
                              ? std::getenv("QXNET_DISCOVERY_SIM_PORT")
                              : nullptr;
    const QX::NetInterface lo = Loopback(0x7F000001, L"lo");
    const QX::NetInterface refused = Loopback(0x7F000002, L"refused");
    const unsigned broadcast = ScannedCamera::METHOD_BROADCAST;
    const unsigned both = broadcast | ScannedCamera::METHOD_MDNS;
    struct Case {
        const char* what;
        std::vector<QX::NetInterface> interfaces;
        unsigned methods;
        int port;  // of the discovery request; 0: the separate simulator's
        std::uint32_t result;
        std::size_t cameras;
    };
    const Case cases[] = {
        {"refused alone", {refused}, both, 9, QX::ResultCode::Unavailable, 0},
        {"beside loopback", {lo, refused}, broadcast, 9, QX::ResultCode::ObjectNotFound, 0},
        {"beside the simulator", {lo, refused}, both, 0, 0, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.port == 0 && simPort == nullptr) {
            continue;
        }
        m_scanner.SetInterfaces(c.interfaces);
        m_scanner.SetMethods(c.methods);
        const std::string request = CameraScanner::DefaultRequest;
        m_scanner.SetRequest(std::vector<std::uint8_t>(request.begin(), request.end()),
                             static_cast<std::uint16_t>(c.port != 0 ? c.port : std::atoi(simPort)));
        std::vector<ScannedCamera> cameras;
        EXPECT_EQ(static_cast<std::uint32_t>(m_scanner.Scan(cameras)), c.result);
        EXPECT_EQ(cameras.size(), c.cameras);
        unsigned methods = 0;
        for (const CameraScanner::Failure& failure : m_scanner.GetFailures()) {
            EXPECT_EQ(failure.interfaceName, L"refused");
            EXPECT_EQ(failure.address, 0x7F000002u);
            EXPECT_NE(failure.text.find(L"10049"), std::wstring::npos);
            EXPECT_EQ(methods & failure.method, 0u);  // once per method
            methods |= failure.method;
        }
        EXPECT_EQ(methods, c.methods);
        for (const ScannedCamera& camera : cameras) {
            SCOPED_TRACE(camera.mac);
            EXPECT_EQ(std::tie(camera.interfaces, camera.methods, camera.flags),
                      std::make_tuple(std::vector<std::wstring>{L"lo"}, both, 0u));
            EXPECT_EQ(camera.Address() >> 24, 127u);
        }
    }
}

}  // namespace
