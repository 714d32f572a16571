// Discovery across a real link: the simulator in one network namespace, the library's client in
// another, joined by a veth pair; the client finds the cameras by directed broadcast, and the
// mDNS responder's answers cross the link as receivers expect them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qxnet/common/QXResult.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXNetNamespace.h"

namespace {

constexpr std::uint32_t kCameraSide = 0x0A4D0001;  // 10.77.0.1/24, the simulator's end
constexpr std::uint32_t kHostSide = 0x0A4D0002;    // 10.77.0.2/24, the client's end
constexpr std::uint32_t kSubnetBroadcast = 0x0A4D00FF;

class DiscoveryAcrossNamespaces : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QXTest::NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        cameras = std::make_unique<QXTest::NetNamespace>("qxsim-cam");
        host = std::make_unique<QXTest::NetNamespace>("qxsim-host");
        ASSERT_TRUE(cameras->Valid() && host->Valid());
        ASSERT_TRUE(QXTest::NetNamespace::Link(*cameras, "qxcam0",
                                               QXSim::AddressText(kCameraSide) + "/24", *host,
                                               "qxhost0", QXSim::AddressText(kHostSide) + "/24"));
        QX::SetDebugSink(nullptr, nullptr);
    }
    void TearDown() override { QX::ResetDebugSink(); }

    // Starts a responder inside the cameras' namespace: its socket belongs there, whichever
    // thread serves it afterwards.
    QXSim::DiscoveryResponder& StartResponder(QXSim::Simulator& simulator,
                                              QXSim::DiscoveryOptions options) {
        auto& responder =
            simulator.Add(std::make_unique<QXSim::DiscoveryResponder>(simulator, options));
        bool started = false;
        std::string error;
        cameras->Run([&] { started = simulator.Start(error); });
        EXPECT_TRUE(started) << error;
        return responder;
    }

    // Broadcast from the host's namespace with the library's client.
    int Discover(std::uint16_t port, std::uint32_t local, std::set<QXSDK::CameraData>& found) {
        int result = -1;
        host->Run([&] {
            ASSERT_FALSE(QXSDK::TFTPClient::Startup());
            {
                QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), local, false, 3, 0,
                                         port);
                client.Open(kSubnetBroadcast, port);
                const unsigned char request[] = "qx-discover";
                result = client.Broadcast(request, sizeof request - 1, &found);
            }
            QXSDK::TFTPClient::Cleanup();
        });
        return result;
    }

    // Destroyed in reverse order of creation; each destructor deletes its namespace with its
    // end of the link, also when an assertion failed.
    std::unique_ptr<QXTest::NetNamespace> cameras;
    std::unique_ptr<QXTest::NetNamespace> host;
};

TEST_F(DiscoveryAcrossNamespaces, DirectedBroadcastFindsEveryCamera) {
    QXSim::Simulator simulator(QXSim::GenerateCameras(40, 0x0A4D0A01));
    QXSim::DiscoveryOptions options;
    options.port = QXSim::kDefaultDiscoveryPort;
    options.loopbackRequestersOnly = false;  // the requester is the veth peer
    auto& responder = StartResponder(simulator, options);

    std::set<QXSDK::CameraData> found;
    EXPECT_EQ(Discover(options.port, kHostSide, found), 0);
    ASSERT_EQ(found.size(), simulator.Cameras().size());
    auto camera = simulator.Cameras().begin();
    for (const QXSDK::CameraData& data : found) {
        EXPECT_EQ(data.MacNumber(), camera->mac);
        EXPECT_EQ(data.ip, camera->address);
        ++camera;
    }
    // All found by the first request; the quiet count includes the request that found them,
    // so two more requests end the search: three in all, the least Broadcast ever sends.
    EXPECT_EQ(responder.Requests(), 3u);
    simulator.Stop();
}

TEST_F(DiscoveryAcrossNamespaces, LoopbackOnlyResponderIgnoresTheLink) {
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::DiscoveryOptions options;
    options.port = QXSim::kDefaultDiscoveryPort;
    auto& responder = StartResponder(simulator, options);

    std::set<QXSDK::CameraData> found;
    EXPECT_EQ(Discover(options.port, 0, found), static_cast<int>(QX::ResultCode::ObjectNotFound));
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(responder.Requests(), 0u);
}

// Both kinds of answer leave from port 5353 of the responder's interface: strict receivers drop
// mDNS from any other port. A unicast-answer query from an ephemeral port is answered to that
// port; a multicast-answer one to the group, heard here by a socket on 5353.
TEST_F(DiscoveryAcrossNamespaces, MdnsAnswersLeaveFromPort5353) {
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::MdnsOptions options;
    options.interfaceAddress = kCameraSide;
    simulator.Add(std::make_unique<QXSim::MdnsResponder>(simulator, options));
    bool started = false;
    std::string error;
    cameras->Run([&] { started = simulator.Start(error); });
    ASSERT_TRUE(started) << error;

    for (const bool unicast : {true, false}) {
        SCOPED_TRACE(unicast ? "unicast-answer query" : "multicast-answer query");
        host->Run([&] {
            const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ASSERT_GE(s, 0);
            const int on = 1;
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(unicast ? kHostSide : INADDR_ANY);
            local.sin_port = htons(unicast ? 0 : 5353);
            ip_mreq group{};
            group.imr_multiaddr.s_addr = htonl(0xE00000FB);
            group.imr_interface.s_addr = htonl(kHostSide);
            const in_addr out{htonl(kHostSide)};
            ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
            ASSERT_EQ(setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group), 0);
            ASSERT_EQ(setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), 0);
            // ID 0x4242, one question: PTR "_korv._tcp.local", class IN with or without the
            // unicast-answer bit.
            std::vector<std::uint8_t> query = {0x42, 0x42, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
            for (const char* label : {"_korv", "_tcp", "local"}) {
                query.push_back(static_cast<std::uint8_t>(std::strlen(label)));
                query.insert(query.end(), label, label + std::strlen(label));
            }
            query.insert(query.end(), {0, 0, 12, static_cast<std::uint8_t>(unicast ? 0x80 : 0), 1});
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(0xE00000FB);
            to.sin_port = htons(5353);
            ASSERT_EQ(sendto(s, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to),
                             sizeof to),
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
                if (n < 12 || (buffer[2] & 0x80) == 0) {
                    continue;
                }
                ++answers;
                EXPECT_EQ(ntohl(from.sin_addr.s_addr), kCameraSide);
                EXPECT_EQ(ntohs(from.sin_port), 5353);
                EXPECT_EQ((buffer[0] << 8) | buffer[1], 0x4242);
            }
            EXPECT_EQ(answers, 1);
            close(s);
        });
    }
    simulator.Stop();
}

}  // namespace
