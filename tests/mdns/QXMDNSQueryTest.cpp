// The mDNS client on real sockets inside network namespaces of the test's own, so that port 5353
// is free and nothing leaves: against the simulated cameras' responder on loopback (with
// multicast on), and against avahi-daemon, an independent responder, across a veth pair (avahi
// leaves loopback alone).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/platform/QXSync.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXAvahi.h"
#include "tests/support/QXNetNamespace.h"
#include "tests/support/QXSimNamespace.h"

using QXSDK::MDNSClient;

namespace {

std::uint64_t TxtMac(const QXSim::SimCamera& camera) {
    return 0x0E1F2A000000ull | (camera.mac & 0xFFFFFF);
}

class TestClient : public MDNSClient {
public:
    explicit TestClient(std::uint32_t local = 0x7F000001)
        : MDNSClient(boost::make_shared<QX::CodeLock>(), local) {}
    using MDNSClient::StartWaitThread;
    std::uint16_t TransId() const { return m_transId; }
    void SetTransId(std::uint16_t id) { m_transId = id; }
    bool DelayThreadPresent() const { return m_hDelayThread != INVALID_HANDLE_VALUE; }
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

// The three queries and the IDs they take: unicast answers, the unicast-then-multicast pair of a
// fresh client (a single multicast query later), a MAC's A query; IDs wrap from 65535 to 1. Any
// 127/8 address joins on loopback (Debian gives the host name 127.0.1.1).
TEST_F(MdnsQuery, QueriesFindTheCamerasUnderTheirIds) {
    WithResponder(3, {}, [](QXSim::Simulator& sim, QXSim::MdnsResponder& responder) {
        TestClient client(0x7F000101);
        ASSERT_TRUE(client.Open());
        EXPECT_EQ(client.GetAddr(), 0x7F000101u);
        MDNSClient::CameraMap cameras;
        ASSERT_TRUE(client.QueryKorvaneCams(false, cameras));
        ExpectCameras(sim, cameras);
        EXPECT_EQ(responder.UnicastAnswers(), 1u);
        const QXSim::SimCamera& wanted = sim.Cameras()[1];
        std::uint64_t mac = 0;
        std::uint32_t ip = 0;
        ASSERT_TRUE(client.QueryKorvaneMAC(TxtMac(wanted), mac, ip));
        EXPECT_EQ(mac, TxtMac(wanted));
        EXPECT_EQ(ip, wanted.address);
        std::uint64_t otherMac = 7;
        EXPECT_FALSE(client.QueryKorvaneMAC(0x0E1F2A123456ull, otherMac, ip));
        EXPECT_EQ(otherMac, 7u);
        client.SetTransId(65535);
        ASSERT_TRUE(client.QueryKorvaneCams(true, cameras));
        EXPECT_EQ(client.TransId(), 1);
        ASSERT_TRUE(client.QueryKorvaneCamsUniMulti(cameras));
        ExpectCameras(sim, cameras);
        ASSERT_TRUE(client.QueryKorvaneCamsUniMulti(cameras));  // no first pass now
        EXPECT_EQ(responder.QueryIds(), (std::vector<std::uint16_t>{1, 2, 3, 65535, 1, 2, 3}));
        EXPECT_EQ(responder.MulticastAnswers(), 3u);  // the MAC's and the two multicast queries'
        EXPECT_EQ(client.TransId(), 4);
    });
}

// The responder's fault switches: what survives a quiet period of 150 ms and what does not.
TEST_F(MdnsQuery, FaultsWithinAndBeyondTheQuietPeriod) {
    struct Case {
        const char* what;
        QXSim::MdnsFaults faults;
        std::size_t count;  // cameras; the responder splits only the first
        bool found;
    };
    const Case cases[] = {
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

// The unicast-answer query after a multicast query with ID 9, and the 10-second delay thread that
// follows it: the next query collects it, and destruction waits for one. Two 10-second sleeps, so
// the sanitizer builds leave it out.
TEST_F(MdnsQuery, IdNineQueryStartsDelayThread) {
#if defined(QXNET_SANITIZED)
    GTEST_SKIP() << "sleeps 20 s; run in the Release suite";
#endif
    WithResponder(1, {}, [](QXSim::Simulator&, QXSim::MdnsResponder& responder) {
        auto client = std::make_unique<TestClient>();
        ASSERT_TRUE(client->Open());
        client->SetTransId(9);
        MDNSClient::CameraMap cameras;
        ASSERT_TRUE(client->QueryKorvaneCamsUniMulti(cameras));
        EXPECT_EQ(cameras.size(), 1u);
        EXPECT_EQ(responder.QueryIds(), (std::vector<std::uint16_t>{9, 8}));
        EXPECT_TRUE(client->DelayThreadPresent());
        EXPECT_EQ(client->TransId(), 10);
        ASSERT_TRUE(client->QueryKorvaneCams(false, cameras));  // waits for the delay thread
        EXPECT_FALSE(client->DelayThreadPresent());
        EXPECT_EQ(responder.QueryIds(), (std::vector<std::uint16_t>{9, 8, 10}));
        client->StartWaitThread();
        EXPECT_TRUE(client->DelayThreadPresent());
        client.reset();  // waits for the sleeping delay thread
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

// avahi-daemon, a standard responder, answers with message ID 0, so its answers reach the client
// as self-announcements, except the unicast answers to a unicast-answer query: its start-up
// announcements are seen; a unicast-answer query is answered by unicast with the query's ID
// echoed when avahi multicast the records recently, else by multicast with ID 0. Past that, a
// multicast-answer query is answered only by multicast with ID 0, so the camera arrives as an
// announcement; the MAC's A query is answered by multicast with ID 0 and the A record alone, which
// the query takes as its own. A name that nobody holds stays unanswered.
TEST(AvahiInterop, AnswersAndAnnouncementsReachTheClient) {
    if (!QXTest::Avahi::Available()) {
        GTEST_SKIP() << "needs root, the ip tool and avahi-daemon (scripts/install-deps.sh)";
    }
    std::unique_ptr<QXTest::NetNamespace> avahiNs;
    std::unique_ptr<QXTest::NetNamespace> clientNs;
    ASSERT_TRUE(QXTest::Avahi::Pair("qxav", 77, avahiNs, clientNs));
    clientNs->Run([&] {
        TestClient client(kClientAddress);
        ASSERT_TRUE(client.Open());
        const HANDLE announced = QX::EventCreate(false, false);
        client.RegisterSelfAnnounceEvent(announced);
        const auto avahi = QXTest::Avahi::Camera(*avahiNs, "qxav0", 0xA1B2);
        std::string log;
        ASSERT_TRUE(avahi->WaitReady(log)) << log;
        MDNSClient::CameraMap cameras;
        if (client.QueryKorvaneCams(false, cameras)) {
            ExpectAvahiCamera(cameras);
        }
        ExpectAnnounced(client, announced);  // the start-up announcements, or the answer

        QX::SleepMs(2000);  // past avahi's start-up announcements; drop what came meanwhile
        client.GetSelfAnnounceResponses(cameras);
        QX::WaitForHandle(announced, 0);
        client.SetTransId(2);  // past ID 1: only the multicast-answer query goes out
        EXPECT_FALSE(client.QueryKorvaneCamsUniMulti(cameras));
        ExpectAnnounced(client, announced);
        EXPECT_FALSE(client.GetSelfAnnounceResponses(cameras));
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
}
