// The simulator's TFTP service read by a stock client (curl), and the qxcam-sim program playing a
// fleet, inside network namespaces: every camera found once by both methods through the scanner,
// its TFTP service and its web server (with its credentials) on its own address.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "qxnet/platform/QXSync.h"
#include "qxnet/scan/QXCameraScanner.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXNetNamespace.h"

namespace {

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/qxfleet-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            path = pattern;
        }
    }
    ~TempDir() {
        if (!path.empty()) {
            QXTest::Shell("rm -rf '" + path + "'");
        }
    }
    std::string path;
};

// A read request without options is plain TFTP, so curl reads every size whole, also when
// datagrams are lost, repeated or reordered; without faults each block goes out once and is
// acknowledged once (one at a time: a batch would leave curl waiting for blocks it dropped).
TEST(StockTftpClient, CurlReadsWithoutOptions) {
    if (QXTest::Shell("command -v curl >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "curl is not installed";
    }
    struct Case {
        const char* name;
        std::uint64_t size;
        QXSim::TftpFaults faults;
    };
    QXSim::TftpFaults drop;
    drop.dropDatagrams = 0.2;
    QXSim::TftpFaults repeat;
    repeat.duplicateDatagrams = 0.3;
    repeat.reorderDatagrams = 0.3;
    repeat.seed = 5;
    const std::vector<Case> cases = {{"empty", 0, {}},
                                     {"one short block", 511, {}},
                                     {"one full block and an empty one", 512, {}},
                                     {"several blocks", 512 * 40 + 7, {}},
                                     {"datagrams lost", 512 * 60 + 100, drop},
                                     {"datagrams repeated and reordered", 512 * 60 + 100, repeat}};
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QXSim::TftpServerConfig config;
        config.address = 0x7F000001;
        config.generated["file.bin"] = c.size;
        config.faults = c.faults;
        // Without faults nothing is repeated on a busy machine either.
        config.repeatMs = c.faults.dropDatagrams > 0 ? 20 : 2000;
        QXSim::TftpServer server(config);
        std::string error;
        ASSERT_TRUE(server.Start(error)) << error;
        const std::string out = dir.path + "/out.bin";
        std::remove(out.c_str());
        ASSERT_EQ(QXTest::Shell("curl -s --max-time 60 --tftp-no-options -o " + out +
                                " tftp://127.0.0.1:" + std::to_string(server.Port()) + "/file.bin"),
                  0);
        EXPECT_EQ(ReadBytes(out), QXSim::TftpServer::GeneratedContent(c.size));
        server.Stop();
        const QXSim::TftpStats stats = server.Stats();
        EXPECT_EQ(stats.transfersCompleted, 1);
        ASSERT_EQ(stats.requests.size(), 1u);
        EXPECT_TRUE(stats.requests[0].options.empty());
        const std::uint64_t blocks = c.size / 512 + 1;
        EXPECT_GE(stats.acksReceived, blocks);
        if (c.faults.dropDatagrams == 0 && c.faults.duplicateDatagrams == 0) {
            EXPECT_EQ(stats.dataPacketsSent, blocks);
            EXPECT_EQ(stats.acksReceived, blocks);
        }
    }
}

// One camera line of the program: "qxcam-sim: camera MAC at IP: tftp PORT http PORT ...".
struct PlayedCamera {
    std::string mac;
    std::string address;
    int tftpPort = 0;
};

// qxcam-sim run inside a namespace, stopped by its PID (ip netns exec execs it).
class Program {
public:
    Program(const QXTest::NetNamespace& ns, const std::string& dir, const std::string& args)
        : m_log(dir + "/sim.log") {
        const std::string command = std::string(QXNET_CAMSIM_PATH) + " " + args;
        m_pid = fork();
        if (m_pid == 0) {
            std::freopen(m_log.c_str(), "w", stdout);
            std::freopen(m_log.c_str(), "a", stderr);
            execlp("ip", "ip", "netns", "exec", ns.Name().c_str(), "sh", "-c",
                   ("exec " + command).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Program() { Stop(); }
    // The camera lines, once count of them were printed.
    bool WaitCameras(std::size_t count, std::vector<PlayedCamera>& cameras, std::string& log) {
        for (int i = 0; i < 200; ++i) {
            std::ifstream in(m_log);
            std::stringstream text;
            text << in.rdbuf();
            log = text.str();
            cameras.clear();
            std::istringstream lines(log);
            std::string line;
            while (std::getline(lines, line)) {
                char mac[32] = {};
                char address[32] = {};
                int port = 0;
                if (std::sscanf(line.c_str(), "qxcam-sim: camera %31s at %31[0-9.]: tftp %d", mac,
                                address, &port) == 3) {
                    cameras.push_back({mac, address, port});
                }
            }
            if (cameras.size() >= count) {
                return true;
            }
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return false;
            }
            QX::SleepMs(50);
        }
        return false;
    }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
    }

private:
    std::string m_log;
    pid_t m_pid = -1;
};

class Fleet : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QXTest::NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        if (QXTest::Shell("command -v curl >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "curl is not installed";
        }
        ASSERT_FALSE(m_dir.path.empty());
    }

    // Scans one interface from inside ns: each played camera once, by both methods, unflagged.
    static void ExpectScanFindsEach(const QXTest::NetNamespace& ns, const wchar_t* interfaceName,
                                    const std::vector<PlayedCamera>& played) {
        ns.Run([&] {
            ASSERT_FALSE(QXSDK::TFTPClient::Startup());
            std::vector<QXSDK::ScannedCamera> found;
            {
                QXSDK::CameraScanner scanner(boost::make_shared<QX::CodeLock>());
                scanner.SetInterfaceNames({interfaceName});
                EXPECT_EQ(scanner.Scan(found), 0);
                EXPECT_TRUE(scanner.GetFailures().empty());
            }
            QXSDK::TFTPClient::Cleanup();
            std::map<std::string, std::string> byMac;
            for (const QXSDK::ScannedCamera& camera : found) {
                const std::string mac = QXSim::MacToText(camera.mac);
                EXPECT_TRUE(byMac.emplace(mac, QXSim::AddressText(camera.Address())).second) << mac;
                EXPECT_EQ(camera.methods, QXSDK::ScannedCamera::METHOD_BROADCAST |
                                              QXSDK::ScannedCamera::METHOD_MDNS)
                    << mac;
                EXPECT_EQ(camera.flags, 0u) << mac;
                EXPECT_EQ(camera.interfaces, std::vector<std::wstring>{interfaceName}) << mac;
            }
            EXPECT_EQ(found.size(), played.size());
            for (const PlayedCamera& camera : played) {
                ASSERT_EQ(byMac.count(camera.mac), 1u) << camera.mac;
                EXPECT_EQ(byMac[camera.mac], camera.address);
            }
        });
    }

    // Reads the generated file from each camera's own address with curl, and its page with and
    // without its credentials.
    void ExpectServices(const QXTest::NetNamespace& ns, const std::vector<PlayedCamera>& played,
                        std::uint64_t size) {
        for (const PlayedCamera& camera : played) {
            SCOPED_TRACE(camera.address);
            const std::string out = m_dir.path + "/" + camera.address;
            EXPECT_EQ(ns.Exec("curl -s --max-time 30 --tftp-no-options -o " + out + " tftp://" +
                              camera.address + ":" + std::to_string(camera.tftpPort) + "/gen.bin"),
                      0);
            EXPECT_EQ(ReadBytes(out), QXSim::TftpServer::GeneratedContent(size));
            const std::string http = "curl -s --max-time 30 -o /dev/null -w '%{http_code}' ";
            EXPECT_EQ(ns.Capture(http + "http://" + camera.address + "/"), "401");
            EXPECT_EQ(ns.Capture(http + "-u admin:admin http://" + camera.address + "/"), "200");
        }
    }

    TempDir m_dir;
};

// On the namespace's loopback: given cameras keep their addresses, each camera has its own
// services there, and the scanner on lo merges the two methods' records of each.
TEST_F(Fleet, PlaysEveryCameraOnItsOwnLoopbackAddress) {
    QXTest::NetNamespace ns("qxfleet");
    Program program(ns, m_dir.path,
                    "--camera 'mac=0e:1f:2a:00:00:01 ip=127.0.1.1' --camera 'mac=0e:1f:2a:00:00:02 "
                    "ip=127.0.1.2 block=ce features=0x3' --cameras 2 --generate gen.bin=3000 "
                    "--tftp-port 0");
    std::vector<PlayedCamera> played;
    std::string log;
    ASSERT_TRUE(program.WaitCameras(4, played, log)) << log;
    ASSERT_EQ(played.size(), 4u) << log;
    EXPECT_EQ(played[0].address, "127.0.1.1");
    EXPECT_EQ(played[1].address, "127.0.1.2");
    EXPECT_EQ(played[2].address, "127.0.1.3");
    EXPECT_EQ(played[3].address, "127.0.1.4");
    ExpectScanFindsEach(ns, L"lo", played);
    ExpectServices(ns, played, 3000);
}

// With --interface the cameras take that interface's addresses and answer across the link.
TEST_F(Fleet, PlaysOnTheAddressesOfAnInterface) {
    QXTest::NetNamespace cameras("qxfleetc");
    QXTest::NetNamespace host("qxfleeth");
    ASSERT_TRUE(QXTest::NetNamespace::Link(cameras, "qxflc0", "10.88.0.1/24", host, "qxflh0",
                                           "10.88.0.100/24"));
    ASSERT_EQ(cameras.Exec("ip addr add 10.88.0.11/24 dev qxflc0 && "
                           "ip addr add 10.88.0.12/24 dev qxflc0"),
              0);
    Program program(cameras, m_dir.path,
                    "--interface qxflc0 --cameras 3 --generate gen.bin=1500 --tftp-port 0");
    std::vector<PlayedCamera> played;
    std::string log;
    ASSERT_TRUE(program.WaitCameras(3, played, log)) << log;
    ASSERT_EQ(played.size(), 3u) << log;
    EXPECT_EQ(played[0].address, "10.88.0.1");
    EXPECT_EQ(played[1].address, "10.88.0.11");
    EXPECT_EQ(played[2].address, "10.88.0.12");
    ExpectScanFindsEach(host, L"qxflh0", played);
    ExpectServices(host, played, 1500);
}

}  // namespace
