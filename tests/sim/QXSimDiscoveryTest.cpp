// The simulator's cameras and discovery responder, read back by the library and a plain UDP peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <thread>
#include <tuple>

#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXCameraData.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXCapabilities.h"
#include "tests/support/QXUdpPeer.h"

namespace {

using QXSDK::CameraData;
using QXSim::DiscoveryResponder;
using QXSim::SimCamera;

// CameraData traces every camera it reads: not wanted on stderr.
class Discovery : public ::testing::Test {
protected:
    void SetUp() override { QX::DebugSink::Set(&QX::DebugSink::Silent()); }
    void TearDown() override { QX::DebugSink::Set(nullptr); }
};

void ExpectSame(const SimCamera& camera, const std::vector<std::uint8_t>& answer) {
    const CameraData data(answer.data(), static_cast<std::uint32_t>(answer.size()));
    SCOPED_TRACE(QXSim::MacToText(camera.mac));
    const std::uint8_t block = camera.blockVersion;
    EXPECT_EQ(std::make_tuple(data.MacNumber(), data.ip, data.fwVer, data.byte36, data.infoTag,
                              data.model, data.extModel, data.enclosure, data.features),
              std::make_tuple(camera.mac, camera.address, camera.firmware, camera.byte36,
                              block == 0 ? 0 : (block << 8 | 0xBE),
                              block == 0 ? (camera.model & 0xFFFF) : camera.model,
                              camera.extendedModel, camera.enclosure, camera.features));
    EXPECT_EQ(0, std::memcmp(data.info12, camera.info12.data(), block != 0 ? 8 : 0));
    EXPECT_EQ(0, std::memcmp(data.info20, camera.info20.data(),
                             block == 0xD0 ? 8 : (block != 0 ? 2 : 0)));
    EXPECT_EQ(0, std::memcmp(data.info28, camera.info28.data(), block == 0xD0 ? 8 : 0));
}

TEST_F(Discovery, EveryBlockVersionReadsBack) {
    SimCamera camera = QXSim::DemoCameras()[0];
    camera.address = 0xC0A8010A;
    // Block version, answer length, the largest feature set it carries.
    const std::tuple<std::uint8_t, std::size_t, std::uint32_t> cases[] = {
        {0, 73, 0}, {0xCE, 94, 0x00FF}, {0xCF, 94, 0x7FFF}, {0xD0, 109, 0xFFFF}};
    for (auto [block, length, features] : cases) {
        camera.blockVersion = block;
        camera.features = features;
        const std::vector<std::uint8_t> answer = DiscoveryResponder::BuildAnswer(camera);
        ASSERT_EQ(answer.size(), length);
        EXPECT_EQ(0, std::memcmp(answer.data(), CameraData::AnswerTag, 21));
        const std::uint8_t fixed[] = {0x0E, 0x1F, 0x2A, 0x33, 0x44, 0x01, 192, 168, 1, 10, 3, 0x12};
        EXPECT_EQ(0, std::memcmp(&answer[22], fixed, sizeof fixed));  // big-endian
        EXPECT_EQ(answer[71] * 256 + answer[72], block != 0 ? static_cast<int>(length) - 73 : 0);
        if (block != 0) {  // without a block, the demo camera's extended fields are not sent
            ExpectSame(camera, answer);
        }
    }
    for (const SimCamera& generated : QXSim::GenerateCameras(400, 0x0A000001, 9)) {
        ExpectSame(generated, DiscoveryResponder::BuildAnswer(generated));
    }
}

TEST(SimCameras, TextFormParsesAndRejects) {
    SimCamera camera;
    std::string error;
    ASSERT_TRUE(QXSim::ParseCamera(
        "mac=02:11:22:33:44:55 ip=127.0.1.5 fw=0x0102 model=2000 ext=12 enclosure=3 "
        "features=0x7fff block=cf byte36=255 user=u password=p name=N",
        camera, error))
        << error;
    EXPECT_EQ(std::make_tuple(camera.mac, camera.address, camera.firmware, camera.model,
                              camera.extendedModel, camera.enclosure, camera.features),
              std::make_tuple(0x021122334455u, 0x7F000105u, 0x0102u, 2000u, 12u, 3u, 0x7FFFu));
    EXPECT_EQ(std::make_tuple(camera.blockVersion, camera.byte36, camera.user, camera.password,
                              camera.modelName),
              std::make_tuple(0xCF, 255, std::string("u"), std::string("p"), std::string("N")));
    const std::string base = "mac=02:11:22:33:44:55 ip=127.0.0.1 ";
    for (const std::string& bad :
         {std::string("ip=127.0.0.1"), std::string("mac=02:11:22:33:44:55"),
          std::string("mac=zz ip=127.0.0.1"), std::string("mac=02:11:22:33:44:55 ip=300.0.0.1"),
          base + "block=cd", base + "fw=0x10000", base + "byte36=256", base + "colour=red",
          base + "model", base + "block=ce features=0x100", base + "block=none features=1"}) {
        EXPECT_FALSE(QXSim::ParseCamera(bad, camera, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    const std::string path = ::testing::TempDir() + "qxsim_cameras.txt";
    std::ofstream(path) << "# two cameras\n\nmac=02:00:00:00:00:01 ip=127.0.1.1 block=none\n"
                        << "  mac=02:00:00:00:00:02 ip=127.0.1.2 block=ce features=0x81\n";
    std::vector<SimCamera> cameras;
    ASSERT_TRUE(QXSim::LoadCameras(path, cameras, error)) << error;
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[1].blockVersion, 0xCE);
    std::ofstream(path, std::ios::app) << "mac=02:00:00:00:00:03\n";
    EXPECT_FALSE(QXSim::LoadCameras(path, cameras, error));
    EXPECT_NE(error.find(":5:"), std::string::npos) << error;
    std::remove(path.c_str());
}

// A discovery responder over the given cameras on a free loopback port, and a peer that asks it.
struct Responder {
    explicit Responder(std::vector<SimCamera> cameras, QXSim::DiscoveryFaults faults = {})
        : simulator(std::move(cameras)) {
        QXSim::DiscoveryOptions options;
        options.faults = faults;
        responder = &simulator.Add(std::make_unique<DiscoveryResponder>(simulator, options));
        std::string error;
        EXPECT_TRUE(simulator.Start(error)) << error;
    }
    void Send(const std::vector<std::uint8_t>& request) {
        EXPECT_TRUE(
            peer.SendTo(request, QX::MakeSocketAddress(QXTest::kLoopback, responder->Port())));
    }
    // Datagrams until a second of quiet; once `expected` came, a tenth of it shows any excess.
    std::vector<std::vector<std::uint8_t>> Collect(std::size_t expected) {
        std::vector<std::vector<std::uint8_t>> datagrams;
        QXTest::UdpPeer::Datagram datagram;
        while (peer.Receive(datagram, datagrams.empty()              ? 5000
                                      : datagrams.size() >= expected ? 100
                                                                     : 1000)) {
            datagrams.push_back(datagram.bytes);
        }
        return datagrams;
    }
    QXSim::Simulator simulator;
    DiscoveryResponder* responder = nullptr;
    QXTest::UdpPeer peer;
};

// Each request gets its answers in the cameras' order: once, twice, after untagged noise, paced,
// late (none before the delay is up) or none; Stop does not wait out a pending minute, and Start
// names an address it cannot bind.
TEST_F(Discovery, AnswersByTheFaultSwitches) {
    struct Case {
        const char* what;
        QXSim::DiscoveryFaults faults;
        std::size_t cameras, copies, untagged;
    };
    const Case cases[] = {
        {"none", {}, 5, 1, 0},
        {"twice", {.answerTwice = true}, 5, 2, 0},
        {"noise ahead", {.untagged = 3}, 5, 1, 3},
        {"paced", {.pacingBurst = 10, .pacingUs = 200}, 100, 1, 0},
        {"late", {.delayMs = 1500}, 5, 1, 0},
        {"every answer lost", {.dropShare = 1.0}, 5, 0, 0},
    };
    const std::vector<std::uint8_t> request = {0x00, 0x01, 0xFE, 0xFF};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Responder r(QXSim::GenerateCameras(c.cameras), c.faults);
        r.Send(request);
        QXTest::UdpPeer::Datagram early;
        EXPECT_FALSE(c.faults.delayMs != 0 && r.peer.Receive(early, 200));
        const auto datagrams = r.Collect(c.untagged + c.copies * c.cameras);
        ASSERT_EQ(datagrams.size(), c.untagged + c.copies * c.cameras);
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            const bool tagged = datagrams[i].size() >= 21 &&
                                std::memcmp(datagrams[i].data(), CameraData::AnswerTag, 21) == 0;
            EXPECT_EQ(tagged, i >= c.untagged) << i;
            if (tagged) {
                const SimCamera& camera = r.simulator.Cameras()[(i - c.untagged) / c.copies];
                EXPECT_EQ(datagrams[i], DiscoveryResponder::BuildAnswer(camera));
            }
        }
        EXPECT_EQ(r.responder->Requests(), 1u);
        EXPECT_EQ(r.responder->LastRequest(), request);
        EXPECT_EQ(r.responder->AnswersSent(), c.copies * c.cameras);
        EXPECT_EQ(r.responder->AnswersDropped(), c.copies == 0 ? c.cameras : 0);
        EXPECT_EQ(r.responder->AnsweredMacs().size(), c.copies == 0 ? 0 : c.cameras);
    }
    Responder r(QXSim::DemoCameras(), {.delayMs = 60000});
    r.Send(request);
    r.simulator.Stop();
    r.simulator.Stop();
    EXPECT_EQ(r.simulator.RunningServices(), 0u);
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::DiscoveryOptions options;
    options.bindAddress = 0x0A0B0C0D;  // no address of this host
    simulator.Add(std::make_unique<DiscoveryResponder>(simulator, options));
    std::string error;
    EXPECT_FALSE(simulator.Start(error));
    EXPECT_NE(error.find("bind 10.11.12.13:0"), std::string::npos) << error;
    EXPECT_EQ(simulator.RunningServices(), 0u);
}

// The library's Broadcast on 127/8, on a thread of its own that can give up CAP_NET_ADMIN alone.
int LibraryBroadcast(Responder& r, std::set<CameraData>& found, bool unprivileged = false) {
    int result = -1;
    std::thread([&] {
        if (unprivileged) {
            ASSERT_TRUE(QXTest::DropNetAdminOnThisThread());
        }
        QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, false, 3, 0,
                                 r.responder->Port());
        client.Open(0x7FFFFFFF, r.responder->Port());
        const unsigned char request[] = "qx-discover";
        result = client.Broadcast(request, sizeof request - 1, &found);
    }).join();
    r.simulator.Stop();
    return result;
}

// The collector is held until every answer was sent: with CAP_NET_ADMIN a forced buffer holds a
// thousand; without it 6000 overflow the cap, and the trace says how many were dropped.
TEST_F(Discovery, BurstMeetsTheReceiveBuffer) {
    ASSERT_FALSE(QXSDK::TFTPClient::Startup());
    for (const std::size_t cameras : {std::size_t{1000}, std::size_t{6000}}) {
        const bool unprivileged = cameras == 6000;
        if (!unprivileged && geteuid() != 0) {
            continue;  // needs CAP_NET_ADMIN
        }
        Responder r(QXSim::GenerateCameras(cameras));
        struct Held : QX::DebugSink {
            Held(const DiscoveryResponder& r, std::uint64_t c) : responder(r), cameras(c) {}
            void Write(const wchar_t* line) override {
                const std::wstring text(line);
                if (text.rfind(L"CameraData:", 0) == 0 && responder.Requests() > heldFor) {
                    heldFor = responder.Requests();
                    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                    while (responder.AnswersSent() < heldFor * cameras &&
                           std::chrono::steady_clock::now() < end) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                }
                if (text.find(L"rmem_max") != std::wstring::npos) {
                    dropLines.push_back(text);
                }
            }
            const DiscoveryResponder& responder;
            std::uint64_t cameras;
            std::uint64_t heldFor = 0;
            std::vector<std::wstring> dropLines;
        } held{*r.responder, cameras};
        QX::DebugSink::Set(&held);
        std::set<CameraData> found;
        EXPECT_EQ(LibraryBroadcast(r, found, unprivileged), 0);
        QX::DebugSink::Set(&QX::DebugSink::Silent());
        EXPECT_EQ(found.size() == cameras, !unprivileged) << found.size();
        EXPECT_EQ(held.dropLines.empty(), !unprivileged);
        EXPECT_LE(held.dropLines.size(), r.responder->Requests());
        for (const std::wstring& line : held.dropLines) {
            EXPECT_NE(line.find(L"TFTPClient::GetBroadcastResponse: the system dropped "),
                      std::wstring::npos);
        }
    }
    QXSDK::TFTPClient::Cleanup();
}

}  // namespace
