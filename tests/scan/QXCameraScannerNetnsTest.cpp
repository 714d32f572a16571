// The scanner's default scope on three veth links to simulated cameras, inside namespaces only.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/platform/QXSync.h"
#include "qxnet/scan/QXCameraScanner.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXAsyncOutcome.h"
#include "tests/support/QXNetNamespace.h"

using QXSDK::CameraScanner;
using QXSDK::ScannedCamera;

namespace {

// Each link's cameras and their flags; the MAC prefix is the mDNS text's, so both methods agree.
using Flags = std::vector<std::string>;
const std::array<std::vector<std::pair<const char*, Flags>>, 3> kLinks = {{
    {{"mac=0e:1f:2a:00:01:01 ip=10.61.0.11", {}}, {"mac=0e:1f:2a:00:01:02 ip=10.61.0.12", {}}},
    {{"mac=0e:1f:2a:00:02:01 ip=10.62.0.11", {}},
     {"mac=0e:1f:2a:00:02:02 ip=192.168.77.5", {"outside-subnet"}}},
    {{"mac=0e:1f:2a:00:03:01 ip=10.63.0.20", {"address-conflict"}},
     {"mac=0e:1f:2a:00:03:02 ip=10.63.0.20", {"address-conflict"}}},
}};

std::uint64_t Mac(std::uint64_t link, std::uint64_t camera) {
    return 0x0E1F2A000000ull | (link << 8) | camera;
}

// What the callback was told: the change, the camera's MAC and address.
using Event = std::tuple<CameraScanner::Change, std::uint64_t, std::uint32_t>;
using Recorder = QXTest::AsyncOutcome<Event>;

void Record(CameraScanner::Change change, const ScannedCamera& camera, void* recorder) {
    static_cast<Recorder*>(recorder)->Add({change, camera.mac, camera.Address()});
}

// Waits (a minute at most: a bound for a hung scanner) until every wanted event was told.
bool WaitFor(const Recorder& recorder, const std::vector<Event>& wanted) {
    for (int i = 0; i < 600; ++i, QX::SleepMs(100)) {
        const std::vector<Event> told = recorder.Results();
        if (std::all_of(wanted.begin(), wanted.end(), [&](const Event& event) {
                return std::find(told.begin(), told.end(), event) != told.end();
            })) {
            return true;
        }
    }
    return false;
}

class ScanLinks : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QXTest::NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        m_scan = std::make_unique<QXTest::NetNamespace>("qxscan");
        for (std::size_t i = 0; i < kLinks.size(); ++i) {
            const std::string n = std::to_string(i + 1);
            m_peers[i] = std::make_unique<QXTest::NetNamespace>("qxscp");
            ASSERT_TRUE(QXTest::NetNamespace::Link(*m_scan, "qxs" + n, "10.6" + n + ".0.1/24",
                                                   *m_peers[i], "qxp" + n, "10.6" + n + ".0.2/24"));
            std::vector<QXSim::SimCamera> cameras;
            for (const auto& [text, flags] : kLinks[i]) {
                QXSim::SimCamera camera;
                std::string error;
                ASSERT_TRUE(QXSim::ParseCamera(text, camera, error)) << error;
                cameras.push_back(camera);
            }
            m_sims[i] = std::make_unique<QXSim::Simulator>(cameras);
            QXSim::DiscoveryOptions discovery;
            discovery.port = CameraScanner::DefaultPort;
            discovery.loopbackRequestersOnly = false;  // inside the namespace only
            m_sims[i]->Add(std::make_unique<QXSim::DiscoveryResponder>(*m_sims[i], discovery));
            QXSim::MdnsOptions mdns;
            mdns.interfaceAddress = 0x0A000002 | static_cast<std::uint32_t>((61 + i) << 16);
            m_sims[i]->Add(std::make_unique<QXSim::MdnsResponder>(*m_sims[i], mdns));
            ASSERT_NO_FATAL_FAILURE(StartSim(i));
        }
    }
    // Inside link i's namespace, where its sockets belong.
    void StartSim(std::size_t i) {
        m_peers[i]->Run([&] {
            std::string error;
            ASSERT_TRUE(m_sims[i]->Start(error)) << error;
        });
    }

    std::unique_ptr<QXTest::NetNamespace> m_scan;
    std::array<std::unique_ptr<QXTest::NetNamespace>, 3> m_peers;
    std::array<std::unique_ptr<QXSim::Simulator>, 3> m_sims;
};

// One scan finds every camera once with its flags; watching sees links down, cameras gone and
// moved.
TEST_F(ScanLinks, FindsEveryCameraOnceAndWatchesChanges) {
    ASSERT_FALSE(QXSDK::TFTPClient::Startup());
    CameraScanner scanner(boost::make_shared<QX::CodeLock>());
    std::vector<ScannedCamera> cameras;
    m_scan->Run([&] {
        EXPECT_EQ(scanner.Scan(cameras), 0);
        EXPECT_TRUE(scanner.GetFailures().empty());
    });
    std::map<std::uint64_t, const ScannedCamera*> byMac;
    for (const ScannedCamera& camera : cameras) {
        EXPECT_TRUE(byMac.emplace(camera.mac, &camera).second) << std::hex << camera.mac;
    }
    ASSERT_EQ(cameras.size(), 6u);
    std::vector<Event> all;
    for (std::size_t link = 0; link < kLinks.size(); ++link) {
        for (std::size_t i = 0; i < kLinks[link].size(); ++i) {
            SCOPED_TRACE(kLinks[link][i].first);
            const ScannedCamera& camera = *byMac.at(Mac(link + 1, i + 1));
            all.push_back({CameraScanner::CAMERA_APPEARED, camera.mac, camera.Address()});
            EXPECT_EQ(std::make_tuple(camera.interfaces, ScannedCamera::MethodNames(camera.methods),
                                      ScannedCamera::FlagNames(camera.flags), camera.hasBroadcast,
                                      camera.hasMdns, camera.broadcast.ip),
                      std::make_tuple(std::vector<std::wstring>{L"qxs" + std::to_wstring(link + 1)},
                                      Flags{"broadcast", "mdns"}, kLinks[link][i].second, true,
                                      true, camera.mdns.m_ip));
        }
    }

    Recorder recorder;
    scanner.SetCallback(Record, &recorder);
    scanner.SetWatchTiming(200, 2);
    m_scan->Run([&] { ASSERT_EQ(scanner.Start(), 0); });
    ASSERT_TRUE(WaitFor(recorder, all));

    ASSERT_EQ(m_scan->Exec("ip link set qxs1 down"), 0);
    m_sims[1]->Stop();
    m_sims[1]->Cameras().erase(m_sims[1]->Cameras().begin());  // 0e:1f:2a:00:02:01
    ASSERT_NO_FATAL_FAILURE(StartSim(1));
    m_sims[2]->Stop();
    m_sims[2]->Cameras()[0].address = 0x0A3F001E;  // 0e:1f:2a:00:03:01 now at 10.63.0.30
    ASSERT_NO_FATAL_FAILURE(StartSim(2));
    EXPECT_TRUE(WaitFor(recorder, {{CameraScanner::CAMERA_GONE, Mac(1, 1), 0x0A3D000B},
                                   {CameraScanner::CAMERA_GONE, Mac(1, 2), 0x0A3D000C},
                                   {CameraScanner::CAMERA_GONE, Mac(2, 1), 0x0A3E000B},
                                   {CameraScanner::CAMERA_CHANGED, Mac(3, 1), 0x0A3F001E}}));
    scanner.Stop();

    std::map<std::uint64_t, ScannedCamera> living;
    for (const ScannedCamera& camera : scanner.GetCameras()) {
        living[camera.mac] = camera;
    }
    ASSERT_EQ(living.size(), 3u);
    EXPECT_EQ(living.count(Mac(2, 2)), 1u);
    // Moved apart, the two cameras no longer share an address.
    EXPECT_EQ(std::make_tuple(living[Mac(3, 1)].Address(), living[Mac(3, 1)].flags,
                              living[Mac(3, 2)].flags),
              std::make_tuple(0x0A3F001Eu, 0u, 0u));
    for (const auto& [change, mac, address] : recorder.Results()) {
        EXPECT_FALSE(change == CameraScanner::CAMERA_GONE && mac == Mac(3, 2)) << address;
    }
    QXSDK::TFTPClient::Cleanup();
}

}  // namespace
