// The mDNS client against the simulated cameras' responder, both inside a network namespace of
// the test's own (loopback with multicast on), so that port 5353 is free and nothing leaves.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/platform/QXSync.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXNetNamespace.h"

using QXSDK::MDNSClient;

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

std::uint64_t TxtMac(const QXSim::SimCamera& camera) {
    return 0x0E1F2A000000ull | (camera.mac & 0xFFFFFF);
}

class TestClient : public MDNSClient {
public:
    TestClient() : MDNSClient(boost::make_shared<QX::CodeLock>(), kLoopback) {}
    using MDNSClient::StartWaitThread;
    std::uint16_t TransId() const { return m_transId; }
    void SetTransId(std::uint16_t id) { m_transId = id; }
    bool DelayThreadPresent() const { return m_hDelayThread != INVALID_HANDLE_VALUE; }
};

class MdnsQuery : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QXTest::NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        m_ns = std::make_unique<QXTest::NetNamespace>("qxmdns");
        ASSERT_TRUE(m_ns->Valid());
        ASSERT_EQ(m_ns->Exec("ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo"), 0);
    }

    // Runs body inside the namespace with a simulator of count cameras and its mDNS responder
    // (when respond is set).
    void WithResponder(std::size_t count, const QXSim::MdnsOptions& options,
                       const std::function<void(QXSim::Simulator&, QXSim::MdnsResponder&)>& body) {
        m_ns->Run([&] {
            QXSim::Simulator sim(QXSim::GenerateCameras(count, 0x7F000101));
            auto& responder = sim.Add(std::make_unique<QXSim::MdnsResponder>(sim, options));
            std::string error;
            ASSERT_TRUE(sim.Start(error)) << error;
            body(sim, responder);
            sim.Stop();
        });
    }

    std::unique_ptr<QXTest::NetNamespace> m_ns;
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

TEST_F(MdnsQuery, FindsEveryCameraByUnicastAnswer) {
    WithResponder(3, {}, [](QXSim::Simulator& sim, QXSim::MdnsResponder& responder) {
        TestClient client;
        ASSERT_TRUE(client.Open());
        EXPECT_EQ(client.GetAddr(), kLoopback);
        MDNSClient::CameraMap cameras;
        ASSERT_TRUE(client.QueryKorvaneCams(false, cameras));
        ExpectCameras(sim, cameras);
        EXPECT_EQ(responder.UnicastAnswers(), 1u);
        EXPECT_EQ(responder.QueryIds(), std::vector<std::uint16_t>{1});
        MDNSClient::CameraMap again;
        ASSERT_TRUE(client.QueryKorvaneCams(true, again));
        EXPECT_EQ(again.size(), 3u);
        EXPECT_EQ(client.TransId(), 3);
    });
}

// The interface that Open joins on: any 127/8 address is loopback's (Debian gives the host name
// 127.0.1.1), and an address that no interface holds yet fails Open, leaving the client closed,
// so that once the address is added a second Open gives a client whose queries work.
TEST_F(MdnsQuery, OpenJoinsWhereTheAddressIs) {
    struct Case {
        const char* what;
        std::uint32_t address;
        const char* addLater;  // shell command that gives an interface the address
    };
    const Case cases[] = {
        {"127.0.1.1", 0x7F000101, nullptr},
        {"10.77.0.1, added after a failed Open", 0x0A4D0001, "ip addr add 10.77.0.1/24 dev lo"},
    };
    for (const Case& c : cases) {
        WithResponder(1, {}, [&](QXSim::Simulator& sim, QXSim::MdnsResponder&) {
            MDNSClient client(boost::make_shared<QX::CodeLock>(), c.address);
            if (c.addLater != nullptr) {
                EXPECT_FALSE(client.Open()) << c.what;
                ASSERT_EQ(m_ns->Exec(c.addLater), 0) << c.what;
            }
            ASSERT_TRUE(client.Open()) << c.what;
            EXPECT_EQ(client.GetAddr(), c.address);
            MDNSClient::CameraMap cameras;
            ASSERT_TRUE(client.QueryKorvaneCams(false, cameras)) << c.what;
            ExpectCameras(sim, cameras);
        });
    }
}

TEST_F(MdnsQuery, NothingAnswersWithoutResponder) {
    m_ns->Run([] {
        TestClient client;
        ASSERT_TRUE(client.Open());
        MDNSClient::CameraMap cameras;
        EXPECT_FALSE(client.QueryKorvaneCams(false, cameras));
        EXPECT_TRUE(cameras.empty());
        EXPECT_EQ(client.TransId(), 2);
        std::uint64_t mac = 5;
        std::uint32_t ip = 6;
        EXPECT_FALSE(client.QueryKorvaneMAC(0x0E1F2A00A1B2ull, mac, ip));
        EXPECT_EQ(mac, 5u);
        EXPECT_EQ(client.TransId(), 3);
    });
}

TEST_F(MdnsQuery, UniMultiOnFreshClientUsesIdsOneAndTwo) {
    WithResponder(2, {}, [](QXSim::Simulator& sim, QXSim::MdnsResponder& responder) {
        TestClient client;
        ASSERT_TRUE(client.Open());
        MDNSClient::CameraMap cameras;
        ASSERT_TRUE(client.QueryKorvaneCamsUniMulti(cameras));
        ExpectCameras(sim, cameras);
        EXPECT_EQ(responder.QueryIds(), (std::vector<std::uint16_t>{1, 2}));
        EXPECT_EQ(responder.UnicastAnswers(), 1u);
        EXPECT_EQ(responder.MulticastAnswers(), 1u);
        EXPECT_EQ(client.TransId(), 3);
        ASSERT_TRUE(client.QueryKorvaneCamsUniMulti(cameras));  // no first pass now
        EXPECT_EQ(responder.QueryIds(), (std::vector<std::uint16_t>{1, 2, 3}));
        EXPECT_EQ(client.TransId(), 4);
    });
}

TEST_F(MdnsQuery, MacQueryFindsOneCamera) {
    WithResponder(3, {}, [](QXSim::Simulator& sim, QXSim::MdnsResponder&) {
        TestClient client;
        ASSERT_TRUE(client.Open());
        const QXSim::SimCamera& wanted = sim.Cameras()[1];
        std::uint64_t mac = 0;
        std::uint32_t ip = 0;
        ASSERT_TRUE(client.QueryKorvaneMAC(TxtMac(wanted), mac, ip));
        EXPECT_EQ(mac, TxtMac(wanted));
        EXPECT_EQ(ip, wanted.address);
        std::uint64_t otherMac = 7;
        EXPECT_FALSE(client.QueryKorvaneMAC(0x0E1F2A123456ull, otherMac, ip));
        EXPECT_EQ(otherMac, 7u);
    });
}

TEST_F(MdnsQuery, TransIdWrapsAndUniMultiStartsOver) {
    WithResponder(1, {}, [](QXSim::Simulator&, QXSim::MdnsResponder& responder) {
        TestClient client;
        ASSERT_TRUE(client.Open());
        client.SetTransId(65535);
        MDNSClient::CameraMap cameras;
        ASSERT_TRUE(client.QueryKorvaneCams(false, cameras));
        EXPECT_EQ(client.TransId(), 1);
        ASSERT_TRUE(client.QueryKorvaneCamsUniMulti(cameras));
        EXPECT_EQ(responder.QueryIds(), (std::vector<std::uint16_t>{65535, 1, 2}));
        EXPECT_EQ(client.TransId(), 3);
    });
}

TEST_F(MdnsQuery, CameraSplitWithinQuietPeriodJoins) {
    QXSim::MdnsOptions options;
    options.faults.splitCamera = true;
    options.faults.splitGapMs = 40;
    WithResponder(2, options, [](QXSim::Simulator& sim, QXSim::MdnsResponder&) {
        TestClient client;
        ASSERT_TRUE(client.Open());
        MDNSClient::CameraMap cameras;
        ASSERT_TRUE(client.QueryKorvaneCams(false, cameras));
        ExpectCameras(sim, cameras);
    });
}

TEST_F(MdnsQuery, CameraSplitBeyondQuietPeriodIsLost) {
    QXSim::MdnsOptions options;
    options.faults.splitCamera = true;
    options.faults.splitGapMs = 600;
    WithResponder(1, options, [](QXSim::Simulator&, QXSim::MdnsResponder&) {
        TestClient client;
        ASSERT_TRUE(client.Open());
        MDNSClient::CameraMap cameras;
        EXPECT_FALSE(client.QueryKorvaneCams(false, cameras));
    });
}

TEST_F(MdnsQuery, DelayedAnswerIsStillFound) {
    QXSim::MdnsOptions options;
    options.faults.delayMs = 400;
    WithResponder(2, options, [](QXSim::Simulator& sim, QXSim::MdnsResponder&) {
        TestClient client;
        ASSERT_TRUE(client.Open());
        MDNSClient::CameraMap cameras;
        ASSERT_TRUE(client.QueryKorvaneCams(false, cameras));
        ExpectCameras(sim, cameras);
    });
}

TEST_F(MdnsQuery, DroppedQueryFindsNothing) {
    QXSim::MdnsOptions options;
    options.faults.dropShare = 1.0;
    WithResponder(2, options, [](QXSim::Simulator&, QXSim::MdnsResponder& responder) {
        TestClient client;
        ASSERT_TRUE(client.Open());
        MDNSClient::CameraMap cameras;
        EXPECT_FALSE(client.QueryKorvaneCams(false, cameras));
        EXPECT_EQ(responder.Dropped(), 1u);
    });
}

TEST_F(MdnsQuery, SelfAnnouncementsSignalRegisteredEvent) {
    QXSim::MdnsOptions options;
    options.announceIntervalMs = 300;
    WithResponder(2, options, [](QXSim::Simulator& sim, QXSim::MdnsResponder&) {
        TestClient client;
        ASSERT_TRUE(client.Open());
        const HANDLE event = QX::EventCreate(false, false);
        client.RegisterSelfAnnounceEvent(event);
        ASSERT_EQ(QX::WaitForHandle(event, 10000), WAIT_OBJECT_0);
        MDNSClient::CameraMap cameras;
        ASSERT_TRUE(client.GetSelfAnnounceResponses(cameras));
        ExpectCameras(sim, cameras);
        client.RegisterSelfAnnounceEvent(INVALID_HANDLE_VALUE);
        QX::HandleClose(event);
    });
}

TEST_F(MdnsQuery, DestructionWhileAnnouncementsStream) {
    QXSim::MdnsOptions options;
    options.announceIntervalMs = 20;  // never 150 ms of quiet
    WithResponder(1, options, [](QXSim::Simulator&, QXSim::MdnsResponder& responder) {
        for (int i = 0; i < 3; ++i) {
            auto client = std::make_unique<TestClient>();
            ASSERT_TRUE(client->Open());
            QX::SleepMs(100);
            client.reset();
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
