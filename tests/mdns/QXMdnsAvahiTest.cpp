// Interop with an independent mDNS responder: avahi-daemon (tests/support/QXAvahi.h) with a
// static service file publishing _korv._tcp with a camera text, runs in one network
// namespace; the client runs in a second, joined to it by a veth pair (avahi leaves loopback
// alone). A standard responder answers with message ID 0, so its answers reach the client as
// self-announcements.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/platform/QXSync.h"
#include "tests/support/QXAvahi.h"
#include "tests/support/QXNetNamespace.h"

using QXSDK::MDNSClient;

namespace {

constexpr std::uint32_t kClientAddress = 0x0A4D0001;  // 10.77.0.1
constexpr std::uint32_t kAvahiAddress = 0x0A4D0002;   // 10.77.0.2
constexpr std::uint64_t kMac = 0x0E1F2A00A1B2ull;

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

class QueryClient : public MDNSClient {
public:
    QueryClient() : MDNSClient(boost::make_shared<QX::CodeLock>(), kClientAddress) {}
    using MDNSClient::IncTransID;
};

class AvahiInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QXTest::NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        if (!QXTest::Avahi::Installed()) {
            GTEST_SKIP() << "avahi-daemon is not installed (scripts/install-deps.sh)";
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

    std::unique_ptr<QXTest::NetNamespace> m_avahiNs;
    std::unique_ptr<QXTest::NetNamespace> m_clientNs;
    std::unique_ptr<QXTest::Avahi> m_avahi;
    std::string m_dir;
};

void ExpectAvahiCamera(const MDNSClient::CameraMap& cameras) {
    ASSERT_EQ(cameras.size(), 1u);
    const auto& camera = cameras.begin()->second;
    EXPECT_EQ(camera.m_mac, kMac);
    EXPECT_EQ(camera.m_ip, kAvahiAddress);
    EXPECT_EQ(camera.m_model, "QX2000");
    EXPECT_EQ(camera.m_fwMajor, 3);
    EXPECT_EQ(camera.m_fwMinor, 14);
    EXPECT_EQ(camera.m_pairSecond, 2);
}

}  // namespace

// A unicast-answer (QU) query: avahi answers it by unicast with the query's ID echoed when it
// multicast the records recently (right after its start-up announcements), else by multicast
// with ID 0. Either way the camera reaches the client, under the query or as an announcement.
TEST_F(AvahiInterop, UnicastAnswerQueryFindsCamera) {
    ASSERT_NO_FATAL_FAILURE(StartAvahi());
    m_clientNs->Run([] {
        MDNSClient client(boost::make_shared<QX::CodeLock>(), kClientAddress);
        ASSERT_TRUE(client.Open());
        const HANDLE announced = QX::EventCreate(true, false);
        client.RegisterSelfAnnounceEvent(announced);
        MDNSClient::CameraMap cameras;
        if (!client.QueryKorvaneCams(false, cameras)) {
            EXPECT_EQ(QX::WaitForHandle(announced, 5000), WAIT_OBJECT_0);
            ASSERT_TRUE(client.GetSelfAnnounceResponses(cameras));
        }
        ExpectAvahiCamera(cameras);
        client.RegisterSelfAnnounceEvent(INVALID_HANDLE_VALUE);
        QX::HandleClose(announced);
    });
}

// A multicast-answer (QM) query: a standard responder multicasts its answer with ID 0, so the
// query's own ID finds nothing and the camera arrives as a self-announcement.
TEST_F(AvahiInterop, MulticastAnswersArriveAsSelfAnnouncements) {
    ASSERT_NO_FATAL_FAILURE(StartAvahi());
    QX::SleepMs(2000);  // past avahi's start-up announcements
    m_clientNs->Run([] {
        QueryClient client;
        ASSERT_TRUE(client.Open());
        client.IncTransID();  // past ID 1: only the multicast-answer query goes out
        const HANDLE announced = QX::EventCreate(true, false);
        client.RegisterSelfAnnounceEvent(announced);
        MDNSClient::CameraMap cameras;
        EXPECT_FALSE(client.QueryKorvaneCamsUniMulti(cameras));
        EXPECT_TRUE(cameras.empty());
        EXPECT_EQ(QX::WaitForHandle(announced, 5000), WAIT_OBJECT_0);
        ASSERT_TRUE(client.GetSelfAnnounceResponses(cameras));
        ExpectAvahiCamera(cameras);
        EXPECT_FALSE(client.GetSelfAnnounceResponses(cameras));
        client.RegisterSelfAnnounceEvent(INVALID_HANDLE_VALUE);
        QX::HandleClose(announced);
    });
}

// The MAC's A query: avahi answers it by multicast with ID 0 and the A record alone; the query
// takes that answer as its own, with the MAC the camera's text names. A name that nobody holds
// stays unanswered.
TEST_F(AvahiInterop, MacQueryFindsTheCamera) {
    ASSERT_NO_FATAL_FAILURE(StartAvahi());
    QX::SleepMs(2000);  // past avahi's start-up announcements
    m_clientNs->Run([] {
        MDNSClient client(boost::make_shared<QX::CodeLock>(), kClientAddress);
        ASSERT_TRUE(client.Open());
        std::uint64_t mac = 0;
        std::uint32_t ip = 0;
        EXPECT_TRUE(client.QueryKorvaneMAC(kMac, mac, ip));
        EXPECT_EQ(mac, kMac);
        EXPECT_EQ(ip, kAvahiAddress);
        std::uint64_t otherMac = 7;
        std::uint32_t otherIp = 8;
        EXPECT_FALSE(client.QueryKorvaneMAC(0x0E1F2A123456ull, otherMac, otherIp));
        EXPECT_EQ(otherMac, 7u);
        EXPECT_EQ(otherIp, 8u);
    });
}

TEST_F(AvahiInterop, StartupAnnouncementsAreSeen) {
    m_clientNs->Run([this] {
        MDNSClient client(boost::make_shared<QX::CodeLock>(), kClientAddress);
        ASSERT_TRUE(client.Open());
        const HANDLE announced = QX::EventCreate(false, false);
        client.RegisterSelfAnnounceEvent(announced);
        StartAvahi();
        MDNSClient::CameraMap cameras;
        for (int i = 0; i < 10 && cameras.empty(); ++i) {
            if (QX::WaitForHandle(announced, 1000) == WAIT_OBJECT_0) {
                client.GetSelfAnnounceResponses(cameras);
            }
        }
        ExpectAvahiCamera(cameras);
        client.RegisterSelfAnnounceEvent(INVALID_HANDLE_VALUE);
        QX::HandleClose(announced);
    });
}

#if defined(QXNET_CLI_PATH)
TEST_F(AvahiInterop, WatchCommandShowsAnnouncedCamera) {
    // The watch starts first, so that avahi's start-up announcements fall inside it.
    const std::string command = "ip netns exec " + m_clientNs->Name() +
                                " " QXNET_CLI_PATH " watch --local 10.77.0.1 --timeout 6 --json";
    FILE* watch = popen(command.c_str(), "r");
    ASSERT_NE(watch, nullptr);
    QX::SleepMs(500);
    StartAvahi();
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, watch) != nullptr) {
        output += buffer;
    }
    const int status = pclose(watch);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    std::istringstream lines(output);
    std::string line;
    int cameras = 0;
    while (std::getline(lines, line)) {
        const nlohmann::json camera = nlohmann::json::parse(line);
        EXPECT_EQ(camera.at("mac"), "0e:1f:2a:00:a1:b2");
        EXPECT_EQ(camera.at("ip"), "10.77.0.2");
        EXPECT_EQ(camera.at("model"), "QX2000");
        ++cameras;
    }
    EXPECT_EQ(cameras, 1) << output;
}
#endif
