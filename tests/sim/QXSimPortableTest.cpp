// Broadcast and mDNS discovery of a separate qxcam-sim process on loopback, on every platform:
// scripts/windows.sh starts it and names it in QXNET_DISCOVERY_SIM_PORT and QXNET_MDNS_SIM (on
// Linux start it by hand and set them); each case skips while its variable is unset. The demo
// cameras are written out here because the Windows build does not link the simulator.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/common/QXException.h"
#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/tftp/QXTFTPClient.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
// The loopback network's broadcast address, as users search a subnet: it reaches the responder's
// wildcard-bound socket natively and through Wine's sockets alike, the answers come back to
// 127.0.0.1, which the responder accepts, and nothing leaves the host.
constexpr std::uint32_t kLoopbackBroadcast = 0x7FFFFFFF;

// Both methods name a demo camera by one MAC: its broadcast answer carries the prefix that the
// mDNS text's readers put in front of the text's three octets.
const std::set<std::uint64_t> kDemoMacs = {0x0E1F2A334401, 0x0E1F2A334402, 0x0E1F2A334403,
                                           0x0E1F2A334404, 0x0E1F2A334405};

std::uint64_t MacOf(const QXSDK::CameraData& camera) {
    std::uint64_t mac = 0;
    for (int i = 5; i >= 0; --i) {
        mac = (mac << 8) | camera.mac[i];  // least significant octet first
    }
    return mac;
}

class SimPortable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(QXSDK::TFTPClient::Startup()); }
    void TearDown() override { QXSDK::TFTPClient::Cleanup(); }
};

TEST_F(SimPortable, BroadcastFindsTheDemoCameras) {
    const char* port = std::getenv("QXNET_DISCOVERY_SIM_PORT");
    if (port == nullptr) {
        GTEST_SKIP() << "QXNET_DISCOVERY_SIM_PORT not set (scripts/windows.sh starts qxcam-sim)";
    }
    std::set<QXSDK::CameraData> cameras;
    try {
        QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), kLoopback, false, 3, 0, 0);
        client.Open(kLoopbackBroadcast, std::atoi(port));
        const unsigned char request[] = "qx-discover";
        client.Broadcast(request, sizeof request - 1, &cameras);
        client.Close();
    } catch (const QX::Exception& e) {
        FAIL() << "broadcast threw: " << e.text;
    }
    std::set<std::uint64_t> macs;
    for (const QXSDK::CameraData& camera : cameras) {
        macs.insert(MacOf(camera));
        EXPECT_EQ(camera.ip >> 24, 127u) << std::hex << MacOf(camera);
    }
    EXPECT_EQ(cameras.size(), kDemoMacs.size());  // one each
    EXPECT_EQ(macs, kDemoMacs);
}

TEST_F(SimPortable, MdnsFindsTheDemoCameras) {
    if (std::getenv("QXNET_MDNS_SIM") == nullptr) {
        GTEST_SKIP() << "QXNET_MDNS_SIM not set (scripts/windows.sh starts qxcam-sim)";
    }
    QXSDK::MDNSClient client(boost::make_shared<QX::CodeLock>(), kLoopback);
    ASSERT_TRUE(client.Open());
    QXSDK::MDNSClient::CameraMap cameras;
    ASSERT_TRUE(client.QueryKorvaneCams(false, cameras));
    std::set<std::uint64_t> macs;
    for (const auto& [mac, camera] : cameras) {
        macs.insert(mac);
        EXPECT_EQ(camera.m_mac, mac);
        EXPECT_EQ(camera.m_ip >> 24, 127u) << std::hex << mac;
    }
    EXPECT_EQ(cameras.size(), kDemoMacs.size());
    EXPECT_EQ(macs, kDemoMacs);
}

}  // namespace
