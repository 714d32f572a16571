// The mDNS client on real sockets inside network namespaces of the test's own, so that port 5353
// is free and nothing leaves: against the simulated cameras' responder on loopback (with
// multicast on), and with the scanner against avahi-daemon across a veth pair (avahi leaves
// loopback alone).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/platform/QXSync.h"
#include "qxnet/scan/QXCameraScanner.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXDnsMessage.h"
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

// What survives a quiet period of 150 ms and what does not, by the responder's fault switches;
// whatever the faults, the responder sees both queries and answers no MAC that it lacks.
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
        WithResponder(
            c.count, options, [&](QXSim::Simulator& sim, QXSim::MdnsResponder& responder) {
                TestClient client;
                ASSERT_TRUE(client.Open());
                MDNSClient::CameraMap cameras;
                EXPECT_EQ(client.QueryKorvaneCams(false, cameras), c.found) << c.what;
                if (c.found) {
                    ExpectCameras(sim, cameras);
                }
                std::uint64_t mac = 7;  // a MAC that no camera has
                std::uint32_t ip = 0;
                EXPECT_FALSE(client.QueryKorvaneMAC(0x0E1F2A123456ull, mac, ip)) << c.what;
                EXPECT_EQ(responder.QueryIds(), (std::vector<std::uint16_t>{1, 2})) << c.what;
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

// avahi-daemon in the namespace and a mount namespace of its own (a private /run, a temporary
// service directory), so it touches none of the host's files: no D-Bus, one interface, one
// service. Stopped by its PID with SIGTERM, so that it says goodbye.
class Avahi {
public:
    Avahi(const QXTest::NetNamespace& ns, const std::string& interfaceName,
          const std::string& hostName, const std::string& service) {
        char pattern[] = "/tmp/qxavahi-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;  // WaitReady fails
        }
        m_dir = pattern;
        std::ofstream(m_dir + "/avahi-daemon.conf")
            << "[server]\nhost-name=" << hostName
            << "\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=" << interfaceName
            << "\nenable-dbus=no\nratelimit-interval-usec=1000000\nratelimit-burst=1000\n\n"
               "[wide-area]\nenable-wide-area=no\n\n"
               "[publish]\npublish-hinfo=no\npublish-workstation=no\npublish-addresses=yes\n";
        mkdir((m_dir + "/services").c_str(), 0755);
        std::ofstream(m_dir + "/services/korv.service")
            << "<?xml version=\"1.0\" standalone='no'?>\n<service-group><name>" << hostName
            << "</name><service>" << service << "</service></service-group>\n";
        const std::string script = "mount -t tmpfs tmpfs /run && mount --bind " + m_dir +
                                   "/services /etc/avahi/services && exec avahi-daemon -f " +
                                   m_dir + "/avahi-daemon.conf --no-drop-root --no-chroot";
        const std::string log = m_dir + "/avahi.log";
        m_pid = fork();
        if (m_pid == 0) {
            std::freopen(log.c_str(), "w", stdout);
            std::freopen(log.c_str(), "a", stderr);
            // ip netns exec, unshare and sh each exec the next: the PID is avahi-daemon's.
            execlp("ip", "ip", "netns", "exec", ns.Name().c_str(), "unshare", "-m", "sh", "-c",
                   script.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Avahi() {
        Stop();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    // Waits until the daemon runs; false with its log when it gave up or is slow.
    bool WaitReady(std::string& log) {
        for (int i = 0; i < 100 && m_pid > 0; ++i) {
            std::stringstream text;
            text << std::ifstream(m_dir + "/avahi.log").rdbuf();
            log = text.str();
            if (log.find("successfully established") != std::string::npos) {
                return true;
            }
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
            }
            QX::SleepMs(100);
        }
        return false;
    }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    std::string m_dir;
    pid_t m_pid = -1;
};

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

}  // namespace

// avahi-daemon, an independent responder, answers with ID 0 (but for unicast answers to a
// unicast-answer query), so its answers reach the client as announcements; the MAC's A query takes
// the lone A record as its own. A name nobody holds stays unanswered. The scanner finds the camera
// while avahi on the scanning host holds port 5353 too, and takes the camera's goodbye (avahi
// stopping) as gone.
TEST(AvahiInterop, ClientAndScannerFindTheCamera) {
    if (!QXTest::NetNamespace::Available() ||
        QXTest::Shell("command -v avahi-daemon >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs root, the ip tool and avahi-daemon (scripts/install-deps.sh)";
    }
    QXTest::NetNamespace avahiNs("qxavp");
    QXTest::NetNamespace clientNs("qxavh");
    ASSERT_TRUE(QXTest::NetNamespace::Link(avahiNs, "qxav0", "10.77.0.2/24", clientNs, "qxav1",
                                           "10.77.0.1/24"));
    const std::string text = QXTest::DnsMessage::CameraText(0xA1B2);
    std::optional<Avahi> avahi;
    clientNs.Run([&] {
        TestClient client(kClientAddress);
        ASSERT_TRUE(client.Open());
        const HANDLE announced = QX::EventCreate(false, false);
        client.RegisterSelfAnnounceEvent(announced);
        avahi.emplace(avahiNs, "qxav0", "korv-" + text.substr(4, 8),
                      "<type>_korv._tcp</type><port>80</port><txt-record>txtvers=1</txt-record>"
                      "<txt-record>model=QX2000</txt-record><txt-record>" +
                          text + "</txt-record>");
        std::string log;
        ASSERT_TRUE(avahi->WaitReady(log)) << log;
        MDNSClient::CameraMap cameras;
        if (client.QueryKorvaneCams(false, cameras)) {
            ExpectAvahiCamera(cameras);
        }
        // The start-up announcements, or the answer.
        cameras.clear();
        for (int i = 0; i < 10 && cameras.empty(); ++i) {
            if (QX::WaitForHandle(announced, 1000) == WAIT_OBJECT_0) {
                client.GetSelfAnnounceResponses(cameras);
            }
        }
        ExpectAvahiCamera(cameras);
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
    // The host's own stack publishes something else, so that it is seen to be up.
    Avahi host(clientNs, "qxav1", "qxscanhost", "<type>_http._tcp</type><port>8080</port>");
    std::string log;
    ASSERT_TRUE(host.WaitReady(log)) << log;
    CameraScanner scanner(boost::make_shared<QX::CodeLock>());
    scanner.SetMethods(ScannedCamera::METHOD_MDNS);
    std::vector<ScannedCamera> cameras;
    clientNs.Run([&] { EXPECT_EQ(scanner.Scan(cameras), 0); });
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
    clientNs.Run([&] { ASSERT_EQ(scanner.Start(), 0); });
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
