// The mDNS client in namespaces: the simulator on loopback, avahi across a veth pair.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/platform/QXSync.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXDnsMessage.h"
#include "tests/support/QXNetNamespace.h"
#include "tests/support/QXSimNamespace.h"

using QXSDK::MDNSCameraData;
using QXSDK::MDNSClient;

namespace {

// avahi-daemon with one service, in its own mount namespace so no host file is touched; SIGTERM
// at the end lets it say goodbye.
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
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    Avahi(const Avahi&) = delete;
    Avahi& operator=(const Avahi&) = delete;

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

private:
    std::string m_dir;
    pid_t m_pid = -1;
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

}  // namespace

// What survives a 150 ms quiet period, by the responder's fault switches.
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
                MDNSClient client(boost::make_shared<QX::CodeLock>(), 0x7F000001);
                ASSERT_TRUE(client.Open());
                MDNSClient::CameraMap cameras;
                EXPECT_EQ(client.QueryKorvaneCams(false, cameras), c.found) << c.what;
                if (c.found) {  // a missing camera throws from at()
                    ASSERT_EQ(cameras.size(), sim.Cameras().size()) << c.what;
                    for (const QXSim::SimCamera& camera : sim.Cameras()) {
                        const MDNSCameraData& data =
                            cameras.at(0x0E1F2A000000ull | (camera.mac & 0xFFFFFF));
                        EXPECT_EQ(std::make_tuple(data.m_valid, data.m_ip, data.m_model,
                                                  data.m_fwMajor, data.m_hex32),
                                  std::make_tuple(
                                      true, camera.address, camera.modelName,
                                      static_cast<std::int32_t>((camera.firmware >> 8) & 0xFF),
                                      camera.features));
                    }
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
            MDNSClient client(boost::make_shared<QX::CodeLock>(), 0x7F000001);
            ASSERT_TRUE(client.Open());
            QX::SleepMs(100);
        }
        EXPECT_GT(responder.Announcements(), 0u);
    });
}

// avahi answers with ID 0, so its answers reach the client as announcements.
TEST(AvahiInterop, ClientFindsTheCamera) {
    if (!QXTest::NetNamespace::Available() ||
        QXTest::Shell("command -v avahi-daemon >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs root, the ip tool and avahi-daemon (scripts/install-deps.sh)";
    }
    QXTest::NetNamespace avahiNs("qxavp");
    QXTest::NetNamespace clientNs("qxavh");
    ASSERT_TRUE(QXTest::NetNamespace::Link(avahiNs, "qxav0", "10.77.0.2/24", clientNs, "qxav1",
                                           "10.77.0.1/24"));
    const std::string text = QXTest::DnsMessage::CameraText(0xA1B2);
    constexpr std::uint64_t kAvahiMac = 0x0E1F2A00A1B2ull;
    clientNs.Run([&] {
        MDNSClient client(boost::make_shared<QX::CodeLock>(), 0x0A4D0001);
        ASSERT_TRUE(client.Open());
        const HANDLE announced = QX::EventCreate(false, false);
        client.RegisterSelfAnnounceEvent(announced);
        Avahi avahi(avahiNs, "qxav0", "korv-" + text.substr(4, 8),
                    "<type>_korv._tcp</type><port>80</port><txt-record>txtvers=1"
                    "</txt-record><txt-record>model=QX2000</txt-record><txt-record>" +
                        text + "</txt-record>");
        std::string log;
        ASSERT_TRUE(avahi.WaitReady(log)) << log;
        MDNSClient::CameraMap cameras;  // from the start-up announcements
        for (int i = 0; i < 10 && cameras.empty(); ++i) {
            if (QX::WaitForHandle(announced, 1000) == WAIT_OBJECT_0) {
                client.GetSelfAnnounceResponses(cameras);
            }
        }
        ASSERT_EQ(cameras.size(), 1u);
        const MDNSCameraData& camera = cameras.begin()->second;
        EXPECT_EQ(std::make_tuple(camera.m_mac, camera.m_ip, camera.m_model, camera.m_fwMajor,
                                  camera.m_fwMinor, camera.m_pairSecond),
                  std::make_tuple(kAvahiMac, 0x0A4D0002u, std::string("QX2000"), 3, 14, 2));
        client.RegisterSelfAnnounceEvent(INVALID_HANDLE_VALUE);
        QX::HandleClose(announced);
        QX::SleepMs(2000);  // avahi multicasts a record again only after a second
        std::uint64_t mac = 0;
        std::uint32_t ip = 0;
        EXPECT_TRUE(client.QueryKorvaneMAC(kAvahiMac, mac, ip));
        EXPECT_EQ(std::make_pair(mac, ip), std::make_pair(kAvahiMac, 0x0A4D0002u));
    });
}
