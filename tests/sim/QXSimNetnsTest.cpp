// Discovery across a real link: the simulator in one network namespace, the library's client in
// another, joined by a veth pair; the client finds the cameras by directed broadcast.
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <memory>
#include <set>

#include "qxnet/common/QXResult.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimDiscoveryResponder.h"
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

}  // namespace
