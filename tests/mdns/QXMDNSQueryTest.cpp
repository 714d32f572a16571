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

using QXSDK::MDNSClient;

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

std::uint64_t TxtMac(const QXSim::SimCamera& camera) {
    return 0x0E1F2A000000ull | (camera.mac & 0xFFFFFF);
}

class TestClient : public MDNSClient {
public:
    explicit TestClient(std::uint32_t local = kLoopback)
        : MDNSClient(boost::make_shared<QX::CodeLock>(), local) {}
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

    // Runs body inside the namespace with a simulator of count cameras and its mDNS responder.
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

// The three queries and the IDs they take: unicast answers, the unicast-then-multicast pair of a
// fresh client (a single multicast query later), a MAC's A query; IDs wrap from 65535 to 1.
TEST_F(MdnsQuery, QueriesFindTheCamerasUnderTheirIds) {
    WithResponder(3, {}, [](QXSim::Simulator& sim, QXSim::MdnsResponder& responder) {
        TestClient client;
        ASSERT_TRUE(client.Open());
        EXPECT_EQ(client.GetAddr(), kLoopback);
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
            TestClient client(c.address);
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

// The responder's fault switches: what survives a quiet period of 150 ms and what does not.
TEST_F(MdnsQuery, FaultsWithinAndBeyondTheQuietPeriod) {
    struct Case {
        const char* what;
        std::function<void(QXSim::MdnsOptions&)> set;
        std::size_t count;  // cameras; the responder splits only the first
        bool found;
    };
    const Case cases[] = {
        {"camera split 40 ms apart",
         [](QXSim::MdnsOptions& o) {
             o.faults.splitCamera = true;
             o.faults.splitGapMs = 40;
         },
         2, true},
        {"camera split 600 ms apart",
         [](QXSim::MdnsOptions& o) {
             o.faults.splitCamera = true;
             o.faults.splitGapMs = 600;
         },
         1, false},
        {"answer delayed 400 ms", [](QXSim::MdnsOptions& o) { o.faults.delayMs = 400; }, 2, true},
        {"query dropped", [](QXSim::MdnsOptions& o) { o.faults.dropShare = 1.0; }, 2, false},
    };
    for (const Case& c : cases) {
        QXSim::MdnsOptions options;
        c.set(options);
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
    m_ns->Run([] {  // nobody answers at all
        TestClient client;
        ASSERT_TRUE(client.Open());
        MDNSClient::CameraMap cameras;
        EXPECT_FALSE(client.QueryKorvaneCams(false, cameras));
        EXPECT_TRUE(cameras.empty());
        EXPECT_EQ(client.TransId(), 2);
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
    options.announceIntervalMs = 20;  // never 150 ms of quiet: destruction still ends
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

const char kService[] = R"(<?xml version="1.0" standalone='no'?>
<!DOCTYPE service-group SYSTEM "avahi-service.dtd">
<service-group>
  <name>QX2000-QX00A1B2</name>
  <service>
    <type>_korv._tcp</type>
    <port>80</port>
    <txt-record>txtvers=1</txt-record>
    <txt-record>model=QX2000</txt-record>
    <txt-record>MAC=QX00A1B2-FW3.14-00010002-0000001F-0A0B/QX2000</txt-record>
  </service>
</service-group>
)";

// A standard responder answers with message ID 0, so its answers reach the client as
// self-announcements, except the unicast answers to a unicast-answer query.
class AvahiInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QXTest::NetNamespace::Available() || !QXTest::Avahi::Installed()) {
            GTEST_SKIP() << "needs root, the ip tool and avahi-daemon (scripts/install-deps.sh)";
        }
        m_avahiNs = std::make_unique<QXTest::NetNamespace>("qxavahi");
        m_clientNs = std::make_unique<QXTest::NetNamespace>("qxavcli");
        ASSERT_TRUE(QXTest::NetNamespace::Link(*m_avahiNs, "qxav0", "10.77.0.2/24", *m_clientNs,
                                               "qxav1", "10.77.0.1/24"));
        char pattern[] = "/tmp/qxavahi-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        m_avahi.reset();
        if (!m_dir.empty()) {
            QXTest::Shell("rm -rf '" + m_dir + "'");
        }
    }
    void StartAvahi() {
        m_avahi =
            std::make_unique<QXTest::Avahi>(*m_avahiNs, m_dir, "qxav0", "korv-QX00A1B2", kService);
        std::string log;
        ASSERT_TRUE(m_avahi->WaitReady(log)) << log;
    }
    // Waits for the announced camera and checks it.
    static void ExpectAnnounced(MDNSClient& client, HANDLE announced) {
        MDNSClient::CameraMap cameras;
        for (int i = 0; i < 10 && cameras.empty(); ++i) {
            if (QX::WaitForHandle(announced, 1000) == WAIT_OBJECT_0) {
                client.GetSelfAnnounceResponses(cameras);
            }
        }
        ExpectAvahiCamera(cameras);
    }
    static void ExpectAvahiCamera(const MDNSClient::CameraMap& cameras) {
        ASSERT_EQ(cameras.size(), 1u);
        const auto& camera = cameras.begin()->second;
        EXPECT_EQ(camera.m_mac, kAvahiMac);
        EXPECT_EQ(camera.m_ip, kAvahiAddress);
        EXPECT_EQ(camera.m_model, "QX2000");
        EXPECT_EQ(camera.m_fwMajor, 3);
        EXPECT_EQ(camera.m_fwMinor, 14);
        EXPECT_EQ(camera.m_pairSecond, 2);
    }

    std::unique_ptr<QXTest::NetNamespace> m_avahiNs;
    std::unique_ptr<QXTest::NetNamespace> m_clientNs;
    std::unique_ptr<QXTest::Avahi> m_avahi;
    std::string m_dir;
};

}  // namespace

TEST_F(AvahiInterop, StartupAnnouncementsAreSeen) {
    m_clientNs->Run([this] {
        TestClient client(kClientAddress);
        ASSERT_TRUE(client.Open());
        const HANDLE announced = QX::EventCreate(false, false);
        client.RegisterSelfAnnounceEvent(announced);
        StartAvahi();
        ExpectAnnounced(client, announced);
        client.RegisterSelfAnnounceEvent(INVALID_HANDLE_VALUE);
        QX::HandleClose(announced);
    });
}

// A unicast-answer query: avahi answers it by unicast with the query's ID echoed when it
// multicast the records recently (right after its start-up announcements), else by multicast
// with ID 0, which the client takes as an announcement.
TEST_F(AvahiInterop, UnicastAnswerQueryFindsCamera) {
    ASSERT_NO_FATAL_FAILURE(StartAvahi());
    m_clientNs->Run([] {
        TestClient client(kClientAddress);
        ASSERT_TRUE(client.Open());
        const HANDLE announced = QX::EventCreate(false, false);
        client.RegisterSelfAnnounceEvent(announced);
        MDNSClient::CameraMap cameras;
        if (client.QueryKorvaneCams(false, cameras)) {
            ExpectAvahiCamera(cameras);
        } else {
            ExpectAnnounced(client, announced);
        }
        client.RegisterSelfAnnounceEvent(INVALID_HANDLE_VALUE);
        QX::HandleClose(announced);
    });
}

// Past avahi's start-up announcements: a multicast-answer query is answered only by multicast
// with ID 0, so the camera arrives as an announcement; the MAC's A query is answered by multicast
// with ID 0 and the A record alone, which the query takes as its own. A name that nobody holds
// stays unanswered.
TEST_F(AvahiInterop, MulticastAnswersArriveAsSelfAnnouncements) {
    ASSERT_NO_FATAL_FAILURE(StartAvahi());
    QX::SleepMs(2000);
    m_clientNs->Run([] {
        TestClient client(kClientAddress);
        ASSERT_TRUE(client.Open());
        client.SetTransId(2);  // past ID 1: only the multicast-answer query goes out
        const HANDLE announced = QX::EventCreate(false, false);
        client.RegisterSelfAnnounceEvent(announced);
        MDNSClient::CameraMap cameras;
        EXPECT_FALSE(client.QueryKorvaneCamsUniMulti(cameras));
        ExpectAnnounced(client, announced);
        EXPECT_FALSE(client.GetSelfAnnounceResponses(cameras));
        client.RegisterSelfAnnounceEvent(INVALID_HANDLE_VALUE);
        QX::HandleClose(announced);
    });
}

TEST_F(AvahiInterop, MacQueryFindsTheCamera) {
    ASSERT_NO_FATAL_FAILURE(StartAvahi());
    QX::SleepMs(2000);  // past avahi's start-up announcements
    m_clientNs->Run([] {
        TestClient client(kClientAddress);
        ASSERT_TRUE(client.Open());
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
