// The simulator across real links, in network namespaces: mDNS answers from port 5353, the TFTP
// service read by a stock client (curl), and the qxcam-sim program playing a fleet.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/platform/QXSync.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimSocket.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXDnsMessage.h"
#include "tests/support/QXNetNamespace.h"

namespace {

using QXTest::NetNamespace;

constexpr std::uint32_t kCameraSide = 0x0A4D0001;  // 10.77.0.1/24, the simulator's end
constexpr std::uint32_t kHostSide = 0x0A4D0002;    // 10.77.0.2/24, the client's end

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Generated(std::uint64_t size) {
    const std::vector<std::uint8_t> bytes = QXSim::TftpServer::GeneratedContent(size);
    return std::string(bytes.begin(), bytes.end());
}

class SimNetns : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NetNamespace::Available() || QXTest::Shell("command -v curl >/dev/null") != 0) {
            GTEST_SKIP() << "network namespaces need root and the ip tool; curl is needed too";
        }
        ASSERT_TRUE(
            NetNamespace::Link(cameras, "qxcam0", "10.77.0.1/24", host, "qxhost0", "10.77.0.2/24"));
        QX::DebugSink::Set(&QX::DebugSink::Silent());
    }
    void TearDown() override { QX::DebugSink::Set(nullptr); }
    bool Start(QXSim::Simulator& simulator) {
        bool started = false;
        std::string error;
        cameras.Run([&] { started = simulator.Start(error); });  // its sockets belong there
        EXPECT_TRUE(started) << error;
        return started;
    }
    NetNamespace cameras{"qxsim-cam"};
    NetNamespace host{"qxsim-host"};
    const std::string dir = ::testing::TempDir() + "qxsimns-" + std::to_string(getpid());
};

// Both kinds of answer leave from port 5353 of the responder's interface, as strict receivers
// want: a unicast-answer query from an ephemeral port is answered to that port, a
// multicast-answer one to the group, heard here by a socket on 5353.
TEST_F(SimNetns, MdnsAnswersLeaveFromPort5353) {
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::MdnsOptions options;
    options.interfaceAddress = kCameraSide;
    simulator.Add(std::make_unique<QXSim::MdnsResponder>(simulator, options));
    ASSERT_TRUE(Start(simulator));
    for (const bool unicast : {true, false}) {
        SCOPED_TRACE(unicast ? "unicast-answer query" : "multicast-answer query");
        host.Run([&] {
            std::string error;
            const int s = QXSim::BindSocket(SOCK_DGRAM, unicast ? kHostSide : 0, unicast ? 0 : 5353,
                                            {.reuseAddress = true}, "query", error);
            ASSERT_GE(s, 0) << error;
            const ip_mreq group{{htonl(0xE00000FB)}, {htonl(kHostSide)}};
            const in_addr out{htonl(kHostSide)};
            ASSERT_EQ(setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group), 0);
            ASSERT_EQ(setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), 0);
            const std::vector<std::uint8_t> query =
                QXTest::DnsMessage(0x4242, 0)
                    .Question("_korv._tcp.local", 12, unicast ? 0x8001 : 1)
                    .Bytes();
            const sockaddr_in to = QXSim::MakeAddress(0xE00000FB, 5353);
            ASSERT_EQ(sendto(s, query.data(), query.size(), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to),
                      static_cast<ssize_t>(query.size()));
            // Our own query comes back to the group socket first; wait for the answer.
            int answers = 0;
            std::uint8_t buffer[9000];
            pollfd wait{s, POLLIN, 0};
            while (answers == 0 && poll(&wait, 1, 3000) == 1) {
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n = recvfrom(s, buffer, sizeof buffer, 0,
                                           reinterpret_cast<sockaddr*>(&from), &length);
                if (n >= 12 && (buffer[2] & 0x80) != 0) {
                    ++answers;
                    EXPECT_EQ(ntohl(from.sin_addr.s_addr), kCameraSide);
                    EXPECT_EQ(ntohs(from.sin_port), 5353);
                    EXPECT_EQ((buffer[0] << 8) | buffer[1], 0x4242);
                }
            }
            EXPECT_EQ(answers, 1);
            close(s);
        });
    }
    simulator.Stop();
}

// A read request without options is plain TFTP, so curl reads every size whole, also when
// datagrams are lost, repeated or reordered; without faults each block goes out once and is
// acknowledged once (one at a time: a batch would leave curl waiting for blocks it dropped).
TEST_F(SimNetns, CurlReadsPlainTftp) {
    const QXSim::TftpFaults drop{.dropDatagrams = 0.2};
    const QXSim::TftpFaults repeat{.duplicateDatagrams = 0.3, .reorderDatagrams = 0.3, .seed = 5};
    const std::pair<std::uint64_t, QXSim::TftpFaults> cases[] = {{0, {}},
                                                                 {511, {}},
                                                                 {512, {}},
                                                                 {512 * 40 + 7, {}},
                                                                 {512 * 60 + 100, drop},
                                                                 {512 * 60 + 100, repeat}};
    for (const auto& [size, faults] : cases) {
        SCOPED_TRACE(size);
        QXSim::TftpServerConfig config;
        config.generated["file.bin"] = size;
        config.faults = faults;
        // Without faults nothing is repeated on a busy machine either.
        config.repeatMs = faults.dropDatagrams > 0 ? 20 : 2000;
        QXSim::TftpServer server(config);
        std::string error;
        ASSERT_TRUE(server.Start(error)) << error;
        const std::string out = dir + "-curl.bin";
        ASSERT_EQ(QXTest::Shell("curl -s --max-time 60 --tftp-no-options -o " + out +
                                " tftp://127.0.0.1:" + std::to_string(server.Port()) + "/file.bin"),
                  0);
        EXPECT_EQ(Contents(out), Generated(size));
        std::remove(out.c_str());
        server.Stop();
        const QXSim::TftpStats stats = server.Stats();
        EXPECT_EQ(stats.transfersCompleted, 1);
        ASSERT_EQ(stats.requests.size(), 1u);
        EXPECT_TRUE(stats.requests[0].options.empty());
        const bool clean = faults.dropDatagrams == 0 && faults.duplicateDatagrams == 0;
        EXPECT_GE(stats.acksReceived, size / 512 + 1);
        EXPECT_TRUE(!clean || (stats.dataPacketsSent == size / 512 + 1 &&
                               stats.acksReceived == size / 512 + 1));
    }
}

// qxcam-sim in the cameras' namespace, on its loopback (given cameras keep their addresses) and
// on its link's addresses (--interface): curl reads each camera's file and page on its own
// address from the namespace that sees it.
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
         "ip=127.0.1.2 block=ce features=0x3\" --cameras 2",
         {"127.0.1.1", "127.0.1.2", "127.0.1.3", "127.0.1.4"}},
        {&host, "--interface qxcam0 --cameras 3", {"10.77.0.1", "10.77.0.11", "10.77.0.12"}}};
    for (const Run& run : runs) {
        SCOPED_TRACE(run.arguments);
        const std::string command = "exec " QXNET_CAMSIM_PATH
                                    " --generate gen.bin=1500 "
                                    "--tftp-port 0 " +
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
            addresses.push_back(camera.first);
        }
        EXPECT_EQ(addresses, run.addresses);
        for (const auto& [mac, camera] : played) {
            const std::string& address = camera.first;
            const std::string out = dir + "-" + address;
            EXPECT_EQ(
                run.client->Exec("curl -s --max-time 30 --tftp-no-options -o " + out + " tftp://" +
                                 address + ":" + std::to_string(camera.second) + "/gen.bin"),
                0);
            EXPECT_EQ(Contents(out), Generated(1500)) << address;
            std::remove(out.c_str());
            const std::string http = "curl -s --max-time 30 -o /dev/null -w %{http_code} ";
            EXPECT_EQ(run.client->Capture(http + "http://" + address + "/"), "401");
            EXPECT_EQ(run.client->Capture(http + "-u admin:admin http://" + address + "/"), "200");
        }
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    std::remove(log.c_str());
}

}  // namespace
