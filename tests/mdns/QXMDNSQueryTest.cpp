// The mDNS client on real sockets inside network namespaces of the test's own, so that port 5353
// is free and nothing leaves: against the simulated cameras' responder on loopback (with
// multicast on), and with the scanner against avahi-daemon across a veth pair (avahi leaves
// loopback alone).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/platform/QXSync.h"
#include "qxnet/scan/QXCameraScanner.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXAvahi.h"
#include "tests/support/QXNetNamespace.h"
#include "tests/support/QXSimNamespace.h"

using QXSDK::CameraScanner;
using QXSDK::MDNSClient;
using QXSDK::ScannedCamera;

namespace {

std::uint64_t TxtMac(const QXSim::SimCamera& camera) {
    return 0x0E1F2A000000ull | (camera.mac & 0xFFFFFF);
}

class TestClient : public MDNSClient {
public:
    explicit TestClient(std::uint32_t local = 0x7F000001)
        : MDNSClient(boost::make_shared<QX::CodeLock>(), local) {}
};

class MdnsQuery : public QXTest::SimNamespaceTest {
protected:
    void Prepare() override {
        ASSERT_EQ(ns->Exec("ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo"), 0);
    }

    // Runs body inside the namespace with a simulator of count cameras and its mDNS responder.
    void WithResponder(std::size_t count, const QXSim::MdnsOptions& options,
                       const std::function<void(QXSim::Simulator&, QXSim::MdnsResponder&)>& body) {
        ns->Run([&] {
            QXSim::Simulator sim(QXSim::GenerateCameras(count, 0x7F000101));
            auto& responder = sim.Add(std::make_unique<QXSim::MdnsResponder>(sim, options));
            std::string error;
            ASSERT_TRUE(sim.Start(error)) << error;
            body(sim, responder);
            sim.Stop();
        });
    }
};

void ExpectCameras(const QXSim::Simulator& sim, const MDNSClient::CameraMap& cameras) {
    ASSERT_EQ(cameras.size(), sim.Cameras().size());
    for (const QXSim::SimCamera& camera : sim.Cameras()) {
        const auto found = cameras.find(TxtMac(camera));
        ASSERT_NE(found, cameras.end());
        EXPECT_TRUE(found->second.m_valid);
        EXPECT_EQ(found->second.m_ip, camera.address);
        EXPECT_EQ(found->second.m_model, camera.modelName);
        EXPECT_EQ(found->second.m_fwMajor,
                  static_cast<std::int32_t>((camera.firmware >> 8) & 0xFF));
        EXPECT_EQ(found->second.m_hex32, camera.features);
    }
}

}  // namespace

// What survives a quiet period of 150 ms and what does not, by the responder's fault switches.
TEST_F(MdnsQuery, FaultsWithinAndBeyondTheQuietPeriod) {
    struct Case {
        const char* what;
        QXSim::MdnsFaults faults;
        std::size_t count;  // cameras; the responder splits only the first
        bool found;
    };
    const Case cases[] = {
        {"no fault", {}, 3, true},
        {"camera split 40 ms apart", {.splitCamera = true, .splitGapMs = 40}, 2, true},
        {"camera split 600 ms apart", {.splitCamera = true, .splitGapMs = 600}, 1, false},
        {"answer delayed 400 ms", {.delayMs = 400}, 2, true},
        {"query dropped", {.dropShare = 1.0}, 2, false},
    };
    for (const Case& c : cases) {
        QXSim::MdnsOptions options;
        options.faults = c.faults;
        WithResponder(c.count, options, [&](QXSim::Simulator& sim, QXSim::MdnsResponder&) {
            TestClient client;
            ASSERT_TRUE(client.Open());
            MDNSClient::CameraMap cameras;
            EXPECT_EQ(client.QueryKorvaneCams(false, cameras), c.found) << c.what;
            if (c.found) {
                ExpectCameras(sim, cameras);
            }
        });
    }
}

// Announcements that never leave 150 ms of quiet: destruction still ends.
TEST_F(MdnsQuery, DestroyedWhileAnnouncementsKeepComing) {
    QXSim::MdnsOptions options;
    options.announceIntervalMs = 20;
    WithResponder(1, options, [](QXSim::Simulator&, QXSim::MdnsResponder& responder) {
        for (int i = 0; i < 3; ++i) {
            auto client = std::make_unique<TestClient>();
            ASSERT_TRUE(client->Open());
            QX::SleepMs(100);
        }
        EXPECT_GT(responder.Announcements(), 0u);
    });
}

namespace {

constexpr std::uint32_t kClientAddress = 0x0A4D0001;  // 10.77.0.1
constexpr std::uint32_t kAvahiAddress = 0x0A4D0002;   // 10.77.0.2
constexpr std::uint64_t kAvahiMac = 0x0E1F2A00A1B2ull;

void ExpectAvahiCamera(const MDNSClient::CameraMap& cameras) {
    ASSERT_EQ(cameras.size(), 1u);
    const auto& camera = cameras.begin()->second;
    EXPECT_EQ(camera.m_mac, kAvahiMac);
    EXPECT_EQ(camera.m_ip, kAvahiAddress);
    EXPECT_EQ(camera.m_model, "QX2000");
    EXPECT_EQ(camera.m_fwMajor, 3);
    EXPECT_EQ(camera.m_fwMinor, 14);
    EXPECT_EQ(camera.m_pairSecond, 2);
}

// Waits for the announced camera and checks it.
void ExpectAnnounced(MDNSClient& client, HANDLE announced) {
    MDNSClient::CameraMap cameras;
    for (int i = 0; i < 10 && cameras.empty(); ++i) {
        if (QX::WaitForHandle(announced, 1000) == WAIT_OBJECT_0) {
            client.GetSelfAnnounceResponses(cameras);
        }
    }
    ExpectAvahiCamera(cameras);
}

}  // namespace

// avahi-daemon, an independent responder, answers with ID 0 (but for unicast answers to a
// unicast-answer query), so its answers reach the client as announcements; the MAC's A query takes
// the lone A record as its own. A name nobody holds stays unanswered. The scanner finds the camera
// while avahi on the scanning host holds port 5353 too, and takes the camera's goodbye (avahi
// stopping) as gone.
TEST(AvahiInterop, ClientAndScannerFindTheCamera) {
    if (!QXTest::Avahi::Available()) {
        GTEST_SKIP() << "needs root, the ip tool and avahi-daemon (scripts/install-deps.sh)";
    }
    std::unique_ptr<QXTest::NetNamespace> avahiNs;
    std::unique_ptr<QXTest::NetNamespace> clientNs;
    ASSERT_TRUE(QXTest::Avahi::Pair("qxav", 77, avahiNs, clientNs));
    std::unique_ptr<QXTest::Avahi> avahi;
    clientNs->Run([&] {
        TestClient client(kClientAddress);
        ASSERT_TRUE(client.Open());
        const HANDLE announced = QX::EventCreate(false, false);
        client.RegisterSelfAnnounceEvent(announced);
        avahi = QXTest::Avahi::Camera(*avahiNs, "qxav0", 0xA1B2);
        std::string log;
        ASSERT_TRUE(avahi->WaitReady(log)) << log;
        MDNSClient::CameraMap cameras;
        if (client.QueryKorvaneCams(false, cameras)) {
            ExpectAvahiCamera(cameras);
        }
        ExpectAnnounced(client, announced);  // the start-up announcements, or the answer

        client.RegisterSelfAnnounceEvent(INVALID_HANDLE_VALUE);
        QX::HandleClose(announced);
        QX::SleepMs(2000);  // avahi multicasts a record again only after a second
        std::uint64_t mac = 0;
        std::uint32_t ip = 0;
        EXPECT_TRUE(client.QueryKorvaneMAC(kAvahiMac, mac, ip));
        EXPECT_EQ(mac, kAvahiMac);
        EXPECT_EQ(ip, kAvahiAddress);
        std::uint64_t otherMac = 7;
        EXPECT_FALSE(client.QueryKorvaneMAC(0x0E1F2A123456ull, otherMac, ip));
        EXPECT_EQ(otherMac, 7u);
    });

    ASSERT_FALSE(HasFatalFailure());
    QXTest::Avahi host(*clientNs, "qxav1", "qxscanhost",
                       QXTest::Avahi::Service("scanning host", "_http._tcp", 8080, {}));
    std::string log;
    ASSERT_TRUE(host.WaitReady(log)) << log;
    CameraScanner scanner(boost::make_shared<QX::CodeLock>());
    scanner.SetMethods(ScannedCamera::METHOD_MDNS);
    std::vector<ScannedCamera> cameras;
    clientNs->Run([&] { EXPECT_EQ(scanner.Scan(cameras), 0); });
    EXPECT_TRUE(scanner.GetFailures().empty());
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0].mac, kAvahiMac);
    EXPECT_EQ(cameras[0].Address(), kAvahiAddress);
    EXPECT_EQ(cameras[0].methods, ScannedCamera::METHOD_MDNS);
    EXPECT_EQ(cameras[0].interfaces, std::vector<std::wstring>{L"qxav1"});
    // Rounds far apart and many missed rounds allowed: only the goodbye can make it gone.
    std::atomic<int> last{-1};
    scanner.SetCallback([](CameraScanner::Change change, const ScannedCamera&,
                           void* context) { *static_cast<std::atomic<int>*>(context) = change; },
                        &last);
    scanner.SetWatchTiming(600000, 100);
    clientNs->Run([&] { ASSERT_EQ(scanner.Start(), 0); });
    for (int i = 0; i < 600 && last != CameraScanner::CAMERA_APPEARED; ++i) {
        QX::SleepMs(100);
    }
    avahi->Stop();
    for (int i = 0; i < 600 && last != CameraScanner::CAMERA_GONE; ++i) {
        QX::SleepMs(100);
    }
    scanner.Stop();
    EXPECT_EQ(last, CameraScanner::CAMERA_GONE);
    EXPECT_TRUE(scanner.GetCameras().empty());
}
