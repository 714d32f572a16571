// The simulator across real links in namespaces, with stock clients (curl), and qxcam-sim.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "qxnet/platform/QXSync.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXDnsMessage.h"
#include "tests/support/QXNetNamespace.h"
#include "tests/support/QXUdpPeer.h"

namespace {

using QXTest::NetNamespace;

constexpr std::uint32_t kCameraSide = 0x0A4D0001;         // 10.77.0.1/24, the simulator's end
constexpr std::uint32_t kHostSide = 0x0A4D0002;           // 10.77.0.2/24, the client's end
constexpr std::uint64_t kSizes[] = {0, 511, 512, 20487};  // the files each camera serves

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SimNetns : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NetNamespace::Available() || QXTest::Shell("command -v curl >/dev/null") != 0) {
            GTEST_SKIP() << "network namespaces need root and the ip tool; curl is needed too";
        }
        ASSERT_TRUE(
            NetNamespace::Link(cameras, "qxcam0", "10.77.0.1/24", host, "qxhost0", "10.77.0.2/24"));
    }
    NetNamespace cameras{"qxsim-cam"};
    NetNamespace host{"qxsim-host"};
    const std::string dir = ::testing::TempDir() + "qxsimns-" + std::to_string(getpid());
};

// qxcam-sim on loopback and on its link (--interface): curl reads each camera's page, and a file
// as plain TFTP through lost, repeated or reordered datagrams. On the link, of an mDNS query asked
// for multicast and then for a unicast answer, only the second comes back, from port 5353.
TEST_F(SimNetns, ProgramPlaysAFleet) {
    ASSERT_EQ(cameras.Exec("ip addr add 10.77.0.11/24 dev qxcam0 && "
                           "ip addr add 10.77.0.12/24 dev qxcam0"),
              0);
    const std::string log = dir + "-fleet.log";
    struct Run {
        NetNamespace* client;
        std::string arguments;
        std::vector<std::string> addresses;
    };
    const Run runs[] = {
        {&cameras,
         "--camera \"mac=0e:1f:2a:00:00:01 ip=127.0.1.1\" --camera \"mac=0e:1f:2a:00:00:02 "
         "ip=127.0.1.2 block=ce features=0x3\" --cameras 2 --tftp-drop 0.2",
         {"127.0.1.1", "127.0.1.2", "127.0.1.3", "127.0.1.4"}},
        {&host,
         "--interface qxcam0 --cameras 3 --tftp-duplicate 0.3 --tftp-reorder 0.3",
         {"10.77.0.1", "10.77.0.11", "10.77.0.12"}}};
    for (const Run& run : runs) {
        SCOPED_TRACE(run.arguments);
        const std::string command = "exec " QXNET_CAMSIM_PATH
                                    " --generate 0=0 --generate 511=511 --generate 512=512 "
                                    "--generate 20487=20487 --tftp-port 0 " +
                                    run.arguments + " >" + log + " 2>&1";
        std::remove(log.c_str());
        const pid_t pid = fork();  // ip netns exec execs the program: stopped by this PID
        if (pid == 0) {
            execlp("ip", "ip", "netns", "exec", cameras.Name().c_str(), "sh", "-c", command.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        // The camera lines: "qxcam-sim: camera MAC at IP: tftp PORT http ...".
        std::map<std::string, std::pair<std::string, int>> played;  // by MAC
        for (int i = 0; i < 200 && played.size() < run.addresses.size(); ++i, QX::SleepMs(50)) {
            std::istringstream lines(Contents(log));
            for (std::string line; std::getline(lines, line);) {
                char mac[32] = {};
                char address[32] = {};
                int port = 0;
                if (std::sscanf(line.c_str(), "qxcam-sim: camera %31s at %31[0-9.]: tftp %d", mac,
                                address, &port) == 3) {
                    played[mac] = {address, port};
                }
            }
        }
        ASSERT_EQ(played.size(), run.addresses.size()) << Contents(log);
        std::vector<std::string> addresses;
        for (const auto& [mac, camera] : played) {
            const std::string& address = addresses.emplace_back(camera.first);
            const std::uint64_t size = kSizes[addresses.size() % 4];
            const std::string out = dir + "-" + address;
            EXPECT_EQ(run.client->Exec("curl -s --max-time 30 --tftp-no-options -o " + out +
                                       " tftp://" + address + ":" + std::to_string(camera.second) +
                                       "/" + std::to_string(size)),
                      0);
            const std::vector<std::uint8_t> file = QXSim::TftpServer::GeneratedContent(size);
            EXPECT_EQ(Contents(out), std::string(file.begin(), file.end())) << address;
            std::remove(out.c_str());
            const std::string http = "curl -s --max-time 30 -o /dev/null -w %{http_code} ";
            EXPECT_EQ(run.client->Capture(http + "http://" + address + "/"), "401");
            EXPECT_EQ(run.client->Capture(http + "-u admin:admin http://" + address + "/"), "200");
        }
        EXPECT_EQ(addresses, run.addresses);
        if (run.client == &host) {
            ASSERT_EQ(host.Exec("ip route add 224.0.0.0/4 dev qxhost0"), 0);
            host.Run([&] {
                QXTest::UdpPeer peer(kHostSide);
                for (const std::uint16_t qClass : {1, 0x8001}) {
                    ASSERT_TRUE(peer.SendTo(QXTest::DnsMessage(0x4242, 0)
                                                .Question("_korv._tcp.local", 12, qClass)
                                                .Bytes(),
                                            QX::MakeSocketAddress(0xE00000FB, 5353)));
                }
                QXTest::UdpPeer::Datagram answer;
                ASSERT_TRUE(peer.Receive(answer, 5000));
                EXPECT_EQ(answer.from.address, QX::HostToNetwork32(kCameraSide));
                EXPECT_EQ(answer.from.port, QX::HostToNetwork16(5353));
                ASSERT_GE(answer.bytes.size(), 12u);
                EXPECT_EQ((answer.bytes[0] << 8) | answer.bytes[1], 0x4242);
                EXPECT_FALSE(peer.Receive(answer, 1000));
            });
        }
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    std::remove(log.c_str());
}

}  // namespace
