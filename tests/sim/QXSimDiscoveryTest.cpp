// The discovery responder: its answers read back through CameraData, and its fault switches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>

#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXCameraData.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimulator.h"
#include "tests/sim/QXSimTestClient.h"

namespace {

using QXSDK::CameraData;
using QXSim::DiscoveryResponder;
using QXSim::SimCamera;

// CameraData traces a description of every camera; the tests do not need it on stderr.
class Quiet : public ::testing::Test {
protected:
    void SetUp() override { QX::SetDebugSink(nullptr, nullptr); }
    void TearDown() override { QX::ResetDebugSink(); }
};

using AnswerLayout = Quiet;
using Faults = Quiet;

CameraData Parse(const std::vector<std::uint8_t>& answer) {
    return CameraData(answer.data(), static_cast<std::uint32_t>(answer.size()));
}

std::uint16_t ExpectedTag(std::uint8_t block) {
    return block == 0 ? 0 : static_cast<std::uint16_t>(block << 8 | 0xBE);
}

void ExpectSame(const SimCamera& camera, const CameraData& data) {
    SCOPED_TRACE(QXSim::MacToText(camera.mac));
    EXPECT_EQ(data.MacNumber(), camera.mac);
    EXPECT_EQ(data.ip, camera.address);
    EXPECT_EQ(data.fwVer, camera.firmware);
    EXPECT_EQ(data.byte36, camera.byte36);
    EXPECT_EQ(data.infoTag, ExpectedTag(camera.blockVersion));
    EXPECT_EQ(data.model, camera.blockVersion == 0 ? (camera.model & 0xFFFF) : camera.model);
    EXPECT_EQ(data.extModel, camera.extendedModel);
    EXPECT_EQ(data.enclosure, camera.enclosure);
    EXPECT_EQ(data.features, camera.features);
    EXPECT_TRUE(data.name.empty());
    EXPECT_EQ(data.hwVer, 0);
    if (camera.blockVersion != 0) {
        EXPECT_EQ(0, std::memcmp(data.info12, camera.info12.data(), 8));
    }
    std::size_t info20 = camera.blockVersion == 0xD0 ? 8 : (camera.blockVersion != 0 ? 2 : 0);
    EXPECT_EQ(0, std::memcmp(data.info20, camera.info20.data(), info20));
    if (camera.blockVersion == 0xD0) {
        EXPECT_EQ(0, std::memcmp(data.info28, camera.info28.data(), 8));
    }
}

TEST_F(AnswerLayout, LengthsAndHeadFollowTheBlockVersion) {
    SimCamera camera = QXSim::DemoCameras()[0];
    const std::pair<std::uint8_t, std::size_t> expected[] = {
        {0, 73}, {0xCE, 94}, {0xCF, 94}, {0xD0, 109}};
    for (auto [block, length] : expected) {
        camera.blockVersion = block;
        std::vector<std::uint8_t> answer = DiscoveryResponder::BuildAnswer(camera);
        ASSERT_EQ(answer.size(), length);
        EXPECT_EQ(0, std::memcmp(answer.data(), CameraData::AnswerTag, 21));
        if (block != 0) {
            EXPECT_EQ(answer[69], 0xBE);
            EXPECT_EQ(answer[70], block);
            EXPECT_EQ(answer[71] * 256 + answer[72], static_cast<int>(length - 69 - 4));
            EXPECT_EQ(Parse(answer).infoLength, length - 69 - 4);
        }
    }
}

TEST_F(AnswerLayout, FixedPartIsBigEndianAtItsOffsets) {
    SimCamera camera;
    camera.mac = 0x021122334455;
    camera.address = 0xC0A8010A;
    camera.firmware = 0x0312;
    camera.model = 0x0866;
    camera.byte36 = 0x5A;
    std::vector<std::uint8_t> answer = DiscoveryResponder::BuildAnswer(camera);
    const std::uint8_t fixed[] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 192, 168,
                                  1,    10,   0x03, 0x12, 0x08, 0x66, 0x5A};
    EXPECT_EQ(0, std::memcmp(&answer[22], fixed, sizeof fixed));
    CameraData data = Parse(answer);
    const std::uint8_t storedMac[] = {0x55, 0x44, 0x33, 0x22, 0x11, 0x02};
    EXPECT_EQ(0, std::memcmp(data.mac, storedMac, 6));
    ExpectSame(camera, data);
}

TEST_F(AnswerLayout, EveryDemoAndGeneratedCameraReadsBackThroughCameraData) {
    std::vector<SimCamera> cameras = QXSim::DemoCameras();
    std::vector<SimCamera> generated = QXSim::GenerateCameras(400, 0x0A000001, 9);
    cameras.insert(cameras.end(), generated.begin(), generated.end());
    for (const SimCamera& camera : cameras) {
        ExpectSame(camera, Parse(DiscoveryResponder::BuildAnswer(camera)));
    }
}

TEST_F(AnswerLayout, FullFeatureSetsOfEachVersion) {
    SimCamera camera = QXSim::DemoCameras()[0];
    const std::pair<std::uint8_t, std::uint32_t> full[] = {
        {0xCE, 0x00FF}, {0xCF, 0x7FFF}, {0xD0, 0xFFFF}};
    for (auto [block, features] : full) {
        camera.blockVersion = block;
        camera.features = features;
        camera.enclosure = 9;
        CameraData data = Parse(DiscoveryResponder::BuildAnswer(camera));
        EXPECT_EQ(data.features, features) << std::hex << int(block);
        EXPECT_EQ(data.enclosure, 9);
        EXPECT_STREQ(CameraData::EnclosureName(data.enclosure), L"Unknown");
    }
}

TEST(SimCameras, DemoSetHoldsEveryBlockVersion) {
    std::set<std::uint8_t> blocks;
    for (const SimCamera& camera : QXSim::DemoCameras()) {
        blocks.insert(camera.blockVersion);
        EXPECT_EQ(camera.address >> 24, 127u);
    }
    EXPECT_EQ(blocks, (std::set<std::uint8_t>{0, 0xCE, 0xCF, 0xD0}));
}

TEST(SimCameras, GeneratedCamerasAreDistinctAndReproducible) {
    std::vector<SimCamera> cameras = QXSim::GenerateCameras(1000);
    std::set<std::uint64_t> macs;
    std::set<std::uint32_t> addresses;
    std::set<std::uint8_t> blocks;
    for (const SimCamera& camera : cameras) {
        macs.insert(camera.mac);
        addresses.insert(camera.address);
        blocks.insert(camera.blockVersion);
    }
    EXPECT_EQ(macs.size(), 1000u);
    EXPECT_EQ(addresses.size(), 1000u);
    EXPECT_EQ(blocks.size(), 4u);
    std::vector<SimCamera> again = QXSim::GenerateCameras(1000);
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        EXPECT_EQ(cameras[i].features, again[i].features);
        EXPECT_EQ(cameras[i].model, again[i].model);
    }
}

TEST(SimCameras, TextFormParsesAndRejects) {
    SimCamera camera;
    std::string error;
    ASSERT_TRUE(QXSim::ParseCamera(
        "mac=02:11:22:33:44:55 ip=127.0.1.5 fw=0x0102 model=2000 ext=12 enclosure=3 "
        "features=0x00ff block=cf byte36=1 user=u password=p",
        camera, error))
        << error;
    EXPECT_EQ(camera.mac, 0x021122334455u);
    EXPECT_EQ(camera.address, 0x7F000105u);
    EXPECT_EQ(camera.firmware, 0x0102u);
    EXPECT_EQ(camera.model, 2000u);
    EXPECT_EQ(camera.extendedModel, 12u);
    EXPECT_EQ(camera.enclosure, 3u);
    EXPECT_EQ(camera.features, 0xFFu);
    EXPECT_EQ(camera.blockVersion, 0xCF);
    EXPECT_EQ(camera.byte36, 1);
    EXPECT_EQ(camera.user, "u");

    const char* bad[] = {"ip=127.0.0.1",
                         "mac=02:11:22:33:44:55",
                         "mac=zz ip=127.0.0.1",
                         "mac=02:11:22:33:44:55 ip=300.0.0.1",
                         "mac=02:11:22:33:44:55 ip=127.0.0.1 block=cd",
                         "mac=02:11:22:33:44:55 ip=127.0.0.1 fw=0x10000",
                         "mac=02:11:22:33:44:55 ip=127.0.0.1 colour=red",
                         "mac=02:11:22:33:44:55 ip=127.0.0.1 model",
                         "mac=02:11:22:33:44:55 ip=127.0.0.1 block=ce features=0x100",
                         "mac=02:11:22:33:44:55 ip=127.0.0.1 block=none features=1"};
    for (const char* text : bad) {
        EXPECT_FALSE(QXSim::ParseCamera(text, camera, error)) << text;
        EXPECT_FALSE(error.empty());
    }
}

TEST(SimCameras, FileSkipsCommentsAndNamesTheBadLine) {
    std::string path = ::testing::TempDir() + "qxsim_cameras.txt";
    {
        std::ofstream file(path);
        file << "# two cameras\n\nmac=02:00:00:00:00:01 ip=127.0.1.1 block=none\n"
             << "  mac=02:00:00:00:00:02 ip=127.0.1.2 block=ce features=0x81\n";
    }
    std::vector<SimCamera> cameras;
    std::string error;
    ASSERT_TRUE(QXSim::LoadCameras(path, cameras, error)) << error;
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[1].blockVersion, 0xCE);
    {
        std::ofstream file(path, std::ios::app);
        file << "mac=02:00:00:00:00:03\n";
    }
    cameras.clear();
    EXPECT_FALSE(QXSim::LoadCameras(path, cameras, error));
    EXPECT_NE(error.find(":5:"), std::string::npos) << error;
    std::remove(path.c_str());
}

// A service that records the order of starts and stops, and can refuse to start.
class Recorder : public QXSim::Service {
public:
    Recorder(std::vector<std::string>& log, std::string name, bool fail = false)
        : m_log(log), m_name(std::move(name)), m_fail(fail) {}
    bool Start(std::string& error) override {
        if (m_fail) {
            error = m_name + " refused";
            return false;
        }
        m_log.push_back("start " + m_name);
        return true;
    }
    void Stop() override { m_log.push_back("stop " + m_name); }

private:
    std::vector<std::string>& m_log;
    std::string m_name;
    bool m_fail;
};

TEST(Simulator, StartsInOrderJoinsLateServicesAndStopsInReverse) {
    std::vector<std::string> log;
    {
        QXSim::Simulator simulator(QXSim::DemoCameras());
        simulator.Add(std::make_unique<Recorder>(log, "a"));
        std::string error;
        ASSERT_TRUE(simulator.Start(error));
        simulator.Add(std::make_unique<Recorder>(log, "b"));
        ASSERT_TRUE(simulator.Start(error));
        EXPECT_EQ(simulator.RunningServices(), 2u);
        simulator.Add(std::make_unique<Recorder>(log, "c", true));
        EXPECT_FALSE(simulator.Start(error));
        EXPECT_EQ(error, "c refused");
        EXPECT_EQ(simulator.RunningServices(), 2u);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"start a", "start b", "stop b", "stop a"}));
}

// Runs a responder over the given cameras on a free loopback port.
struct Responder {
    explicit Responder(std::vector<SimCamera> cameras, QXSim::DiscoveryFaults faults = {})
        : simulator(std::move(cameras)) {
        QXSim::DiscoveryOptions options;
        options.faults = faults;
        responder = &simulator.Add(std::make_unique<DiscoveryResponder>(simulator, options));
        std::string error;
        started = simulator.Start(error);
        EXPECT_TRUE(started) << error;
    }
    // Sends a request and gathers what comes back; at most `expected` datagrams are awaited
    // for long, then a short quiet time shows any excess.
    std::vector<std::vector<std::uint8_t>> Ask(std::size_t expected,
                                               const std::vector<std::uint8_t>& request = {'?'}) {
        EXPECT_TRUE(client.Send(responder->Port(), request));
        return client.Collect(1000, expected);
    }
    QXSim::Simulator simulator;
    DiscoveryResponder* responder = nullptr;
    bool started = false;
    QXTest::SimTestClient client;
};

std::vector<std::uint64_t> Macs(const std::vector<std::vector<std::uint8_t>>& datagrams) {
    std::vector<std::uint64_t> macs;
    for (const auto& datagram : datagrams) {
        if (datagram.size() >= 21 && std::memcmp(datagram.data(), CameraData::AnswerTag, 21) == 0) {
            macs.push_back(Parse(datagram).MacNumber());
        }
    }
    return macs;
}

TEST_F(Faults, WithoutFaultsEachRequestGetsOneAnswerPerCamera) {
    Responder r(QXSim::DemoCameras());
    std::vector<std::uint8_t> request = {0x00, 0x01, 0xFE, 0xFF};
    for (int round = 1; round <= 2; ++round) {
        auto datagrams = r.Ask(r.simulator.Cameras().size(), request);
        ASSERT_EQ(datagrams.size(), r.simulator.Cameras().size());
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            EXPECT_EQ(datagrams[i], DiscoveryResponder::BuildAnswer(r.simulator.Cameras()[i]));
        }
        EXPECT_EQ(r.responder->Requests(), static_cast<std::uint64_t>(round));
    }
    EXPECT_EQ(r.responder->LastRequest(), request);
    EXPECT_EQ(r.responder->AnswersSent(), 2 * r.simulator.Cameras().size());
    EXPECT_EQ(r.responder->AnswersDropped(), 0u);
}

TEST_F(Faults, DropShareIsSeededAndReproducible) {
    QXSim::DiscoveryFaults faults;
    faults.dropShare = 0.5;
    faults.seed = 42;
    auto cameras = QXSim::GenerateCameras(200);
    Responder first(cameras, faults);
    Responder second(cameras, faults);
    // How many answers a request brings depends on the draw, so each is awaited to its quiet end.
    std::vector<std::uint64_t> a1 = Macs(first.Ask(200));
    std::vector<std::uint64_t> a2 = Macs(first.Ask(200));
    std::vector<std::uint64_t> b1 = Macs(second.Ask(200));
    std::vector<std::uint64_t> b2 = Macs(second.Ask(200));
    EXPECT_EQ(a1, b1);
    EXPECT_EQ(a2, b2);
    // A repeated request is dropped differently, so repeating finds the others.
    EXPECT_NE(a1, a2);
    EXPECT_GT(a1.size(), 60u);
    EXPECT_LT(a1.size(), 140u);
    EXPECT_EQ(first.responder->AnswersSent() + first.responder->AnswersDropped(), 400u);
    faults.seed = 43;
    Responder other(cameras, faults);
    EXPECT_NE(Macs(other.Ask(200)), a1);
}

TEST_F(Faults, DropEverythingSendsNothing) {
    QXSim::DiscoveryFaults faults;
    faults.dropShare = 1.0;
    Responder r(QXSim::DemoCameras(), faults);
    EXPECT_TRUE(r.Ask(1).empty());
    EXPECT_EQ(r.responder->Requests(), 1u);
    EXPECT_EQ(r.responder->AnswersDropped(), r.simulator.Cameras().size());
}

TEST_F(Faults, AnswerTwiceRepeatsEveryAnswer) {
    QXSim::DiscoveryFaults faults;
    faults.answerTwice = true;
    Responder r(QXSim::DemoCameras(), faults);
    auto datagrams = r.Ask(2 * r.simulator.Cameras().size());
    ASSERT_EQ(datagrams.size(), 2 * r.simulator.Cameras().size());
    for (std::size_t i = 0; i < datagrams.size(); i += 2) {
        EXPECT_EQ(datagrams[i], datagrams[i + 1]);
        EXPECT_EQ(datagrams[i], DiscoveryResponder::BuildAnswer(r.simulator.Cameras()[i / 2]));
    }
}

TEST_F(Faults, UntaggedDatagramsComeAheadOfTheAnswers) {
    QXSim::DiscoveryFaults faults;
    faults.untagged = 3;
    Responder r(QXSim::DemoCameras(), faults);
    auto datagrams = r.Ask(3 + r.simulator.Cameras().size());
    ASSERT_EQ(datagrams.size(), 3 + r.simulator.Cameras().size());
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(0, std::memcmp(datagrams[i].data(), CameraData::AnswerTag,
                                 std::min<std::size_t>(21, datagrams[i].size())));
    }
    EXPECT_EQ(Macs(datagrams).size(), r.simulator.Cameras().size());
}

TEST_F(Faults, DelayHoldsTheAnswersBack) {
    QXSim::DiscoveryFaults faults;
    faults.delayMs = 1500;
    Responder r(QXSim::DemoCameras(), faults);
    ASSERT_TRUE(r.client.Send(r.responder->Port(), {'?'}));
    // Nothing may come before the delay has passed; afterwards every answer does.
    EXPECT_FALSE(r.client.Readable(200));
    EXPECT_TRUE(r.client.Readable(5000));
    EXPECT_EQ(r.client.Collect(3000, r.simulator.Cameras().size()).size(),
              r.simulator.Cameras().size());
}

TEST_F(Faults, PacingSpreadsAnswersWithoutLosingAny) {
    QXSim::DiscoveryFaults faults;
    faults.pacingBurst = 10;
    faults.pacingUs = 200;
    Responder r(QXSim::GenerateCameras(100), faults);
    auto macs = Macs(r.Ask(100));
    EXPECT_EQ(std::set<std::uint64_t>(macs.begin(), macs.end()).size(), 100u);
}

TEST_F(Faults, StopEndsAPendingDelay) {
    QXSim::DiscoveryFaults faults;
    faults.delayMs = 60000;
    Responder r(QXSim::DemoCameras(), faults);
    ASSERT_TRUE(r.client.Send(r.responder->Port(), {'?'}));
    ASSERT_TRUE(r.started);
    // Stop must not wait out the minute; the test's own time-out would catch a hang.
    r.simulator.Stop();
    r.simulator.Stop();
    EXPECT_EQ(r.simulator.RunningServices(), 0u);
    EXPECT_FALSE(r.client.Readable(0));
}

TEST(Responder, ReportsAnAddressItCannotBind) {
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::DiscoveryOptions options;
    options.bindAddress = 0x0A0B0C0D;  // no address of this host
    simulator.Add(std::make_unique<DiscoveryResponder>(simulator, options));
    std::string error;
    EXPECT_FALSE(simulator.Start(error));
    EXPECT_NE(error.find("bind 10.11.12.13:0"), std::string::npos) << error;
    EXPECT_EQ(simulator.RunningServices(), 0u);
}

}  // namespace
