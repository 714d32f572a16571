// The simulator's cameras and its discovery service: answers read back through the library's
// CameraData, the cameras' text form, the order services start and stop in, the responder's fault
// switches seen by a plain UDP socket, and the library's Broadcast against them on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "qxnet/common/QXResult.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXCameraData.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimSocket.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXCapabilities.h"

namespace {

using QXSDK::CameraData;
using QXSim::DiscoveryResponder;
using QXSim::SimCamera;

// CameraData traces a description of every camera; the tests do not need it on stderr.
class Quiet : public ::testing::Test {
protected:
    void SetUp() override { QX::DebugSink::Set(&QX::DebugSink::Silent()); }
    void TearDown() override { QX::DebugSink::Set(nullptr); }
};
using AnswerLayout = Quiet;
using Faults = Quiet;

CameraData Parse(const std::vector<std::uint8_t>& answer) {
    return CameraData(answer.data(), static_cast<std::uint32_t>(answer.size()));
}

void ExpectSame(const SimCamera& camera, const CameraData& data) {
    SCOPED_TRACE(QXSim::MacToText(camera.mac));
    const std::uint8_t block = camera.blockVersion;
    EXPECT_EQ(data.MacNumber(), camera.mac);
    EXPECT_EQ(data.ip, camera.address);
    EXPECT_EQ(data.fwVer, camera.firmware);
    EXPECT_EQ(data.byte36, camera.byte36);
    EXPECT_EQ(data.infoTag, block == 0 ? 0 : (block << 8 | 0xBE));
    EXPECT_EQ(data.model, block == 0 ? (camera.model & 0xFFFF) : camera.model);
    EXPECT_EQ(data.extModel, camera.extendedModel);
    EXPECT_EQ(data.enclosure, camera.enclosure);
    EXPECT_EQ(data.features, camera.features);
    EXPECT_EQ(0, std::memcmp(data.info12, camera.info12.data(), block != 0 ? 8 : 0));
    EXPECT_EQ(0, std::memcmp(data.info20, camera.info20.data(),
                             block == 0xD0 ? 8 : (block != 0 ? 2 : 0)));
    EXPECT_EQ(0, std::memcmp(data.info28, camera.info28.data(), block == 0xD0 ? 8 : 0));
}

TEST_F(AnswerLayout, EveryBlockVersionReadsBack) {
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
            ExpectSame(camera, Parse(answer));
        }
    }
    for (const SimCamera& generated : QXSim::GenerateCameras(400, 0x0A000001, 9)) {
        ExpectSame(generated, Parse(DiscoveryResponder::BuildAnswer(generated)));
    }
}

TEST(SimCameras, DemoAndGeneratedSets) {
    std::set<std::uint8_t> blocks;
    for (const SimCamera& camera : QXSim::DemoCameras()) {
        blocks.insert(camera.blockVersion);
        EXPECT_EQ(camera.address >> 24, 127u);
        ExpectSame(camera, Parse(DiscoveryResponder::BuildAnswer(camera)));
    }
    EXPECT_EQ(blocks, (std::set<std::uint8_t>{0, 0xCE, 0xCF, 0xD0}));
    const std::vector<SimCamera> cameras = QXSim::GenerateCameras(1000);
    const std::vector<SimCamera> again = QXSim::GenerateCameras(1000);
    std::set<std::uint64_t> macs;
    std::set<std::uint32_t> addresses;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        macs.insert(cameras[i].mac);
        addresses.insert(cameras[i].address);
        EXPECT_EQ(cameras[i].features, again[i].features);
        EXPECT_EQ(cameras[i].model, again[i].model);
    }
    EXPECT_EQ(macs.size(), 1000u);
    EXPECT_EQ(addresses.size(), 1000u);
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

// A service that records the order of starts and stops, and can refuse to start.
class Recorder : public QXSim::Service {
public:
    Recorder(std::vector<std::string>& log, std::string name, bool fail = false)
        : m_log(log), m_name(std::move(name)), m_fail(fail) {}
    bool Start(std::string& error) override {
        m_log.push_back((m_fail ? "refuse " : "start ") + m_name);
        error = m_name + " refused";  // read only when refused
        return !m_fail;
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
        simulator.Add(std::make_unique<Recorder>(log, "c", true));
        EXPECT_FALSE(simulator.Start(error));
        EXPECT_EQ(error, "c refused");
        EXPECT_EQ(simulator.RunningServices(), 2u);
    }
    EXPECT_EQ(log,
              (std::vector<std::string>{"start a", "start b", "refuse c", "stop b", "stop a"}));
}

// A discovery responder over the given cameras on a free loopback port, and a plain UDP socket
// that asks it.
struct Responder {
    explicit Responder(std::vector<SimCamera> cameras, QXSim::DiscoveryFaults faults = {})
        : simulator(std::move(cameras)) {
        QXSim::DiscoveryOptions options;
        options.faults = faults;
        responder = &simulator.Add(std::make_unique<DiscoveryResponder>(simulator, options));
        std::string error;
        EXPECT_TRUE(simulator.Start(error)) << error;
        const int buffer = 8 * 1024 * 1024;  // room for a whole burst of answers
        setsockopt(client, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        setsockopt(client, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    }
    ~Responder() { close(client); }
    void Send(const std::vector<std::uint8_t>& request = {'?'}) {
        const sockaddr_in to = QXSim::MakeAddress(INADDR_LOOPBACK, responder->Port());
        EXPECT_EQ(sendto(client, request.data(), request.size(), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(request.size()));
    }
    bool Readable(int waitMs) {
        pollfd fd{client, POLLIN, 0};
        return poll(&fd, 1, waitMs) == 1;
    }
    // Datagrams until a second of quiet; once `expected` came, a tenth of it shows any excess.
    std::vector<std::vector<std::uint8_t>> Ask(std::size_t expected,
                                               const std::vector<std::uint8_t>& request = {'?'}) {
        Send(request);
        return Collect(expected);
    }
    std::vector<std::vector<std::uint8_t>> Collect(std::size_t expected) {
        std::vector<std::vector<std::uint8_t>> datagrams;
        std::vector<std::uint8_t> buffer(65536);
        while (Readable(datagrams.size() >= expected ? 100 : 1000)) {
            const ssize_t n = recv(client, buffer.data(), buffer.size(), 0);
            datagrams.emplace_back(buffer.begin(), buffer.begin() + std::max<ssize_t>(n, 0));
        }
        return datagrams;
    }
    QXSim::Simulator simulator;
    DiscoveryResponder* responder = nullptr;
    int client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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

// Each request gets its answers, in the cameras' order: each once, twice, or after noise.
TEST_F(Faults, AnswersRepeatedOrAfterNoise) {
    const std::size_t cameras = QXSim::DemoCameras().size();
    QXSim::DiscoveryFaults twice;
    twice.answerTwice = true;
    QXSim::DiscoveryFaults noise;
    noise.untagged = 3;
    // Faults, copies of each answer, untagged datagrams ahead.
    const std::tuple<QXSim::DiscoveryFaults, std::size_t, std::size_t> cases[] = {
        {{}, 1, 0}, {twice, 2, 0}, {noise, 1, 3}};
    for (const auto& [faults, copies, untagged] : cases) {
        Responder r(QXSim::DemoCameras(), faults);
        const std::vector<std::uint8_t> request = {0x00, 0x01, 0xFE, 0xFF};
        for (std::uint64_t round = 1; round <= 2; ++round) {
            auto datagrams = r.Ask(untagged + copies * cameras, request);
            ASSERT_EQ(datagrams.size(), untagged + copies * cameras);
            EXPECT_EQ(Macs(datagrams).size(), copies * cameras);  // the noise is not tagged
            for (std::size_t i = untagged; i < datagrams.size(); ++i) {
                const SimCamera& camera = r.simulator.Cameras()[(i - untagged) / copies];
                EXPECT_EQ(datagrams[i], DiscoveryResponder::BuildAnswer(camera));
            }
            EXPECT_EQ(r.responder->Requests(), round);
        }
        EXPECT_EQ(r.responder->LastRequest(), request);
        EXPECT_EQ(r.responder->AnswersSent(), 2 * copies * cameras);
        EXPECT_EQ(r.responder->AnswersDropped(), 0u);
    }
}

TEST_F(Faults, DropShareIsSeededAndReproducible) {
    QXSim::DiscoveryFaults faults;
    faults.dropShare = 0.5;
    faults.seed = 42;
    auto cameras = QXSim::GenerateCameras(200);
    Responder first(cameras, faults);
    Responder second(cameras, faults);
    std::vector<std::uint64_t> a1 = Macs(first.Ask(200));
    std::vector<std::uint64_t> a2 = Macs(first.Ask(200));
    EXPECT_EQ(a1, Macs(second.Ask(200)));
    EXPECT_EQ(a2, Macs(second.Ask(200)));
    // A repeated request is dropped differently, so repeating finds the others.
    EXPECT_NE(a1, a2);
    EXPECT_GT(a1.size(), 60u);
    EXPECT_LT(a1.size(), 140u);
    EXPECT_EQ(first.responder->AnswersSent() + first.responder->AnswersDropped(), 400u);
    faults.seed = 43;
    EXPECT_NE(Macs(Responder(cameras, faults).Ask(200)), a1);
    faults.dropShare = 1.0;
    Responder none(QXSim::DemoCameras(), faults);
    EXPECT_TRUE(none.Ask(1).empty());
    EXPECT_EQ(none.responder->AnswersDropped(), none.simulator.Cameras().size());
}

TEST_F(Faults, DelayPacingAndStop) {
    QXSim::DiscoveryFaults faults;
    faults.delayMs = 1500;
    Responder late(QXSim::DemoCameras(), faults);
    late.Send();
    // Nothing may come before the delay has passed; afterwards every answer does.
    EXPECT_FALSE(late.Readable(200));
    EXPECT_TRUE(late.Readable(5000));
    EXPECT_EQ(Macs(late.Collect(late.simulator.Cameras().size())).size(),
              late.simulator.Cameras().size());
    faults = {};
    faults.pacingBurst = 10;
    faults.pacingUs = 200;
    auto macs = Macs(Responder(QXSim::GenerateCameras(100), faults).Ask(100));
    EXPECT_EQ(std::set<std::uint64_t>(macs.begin(), macs.end()).size(), 100u);
    // Stop does not wait out a pending minute; the test's own time-out would catch a hang.
    faults.delayMs = 60000;
    Responder r(QXSim::DemoCameras(), faults);
    r.Send();
    r.simulator.Stop();
    r.simulator.Stop();
    EXPECT_EQ(r.simulator.RunningServices(), 0u);
    EXPECT_FALSE(r.Readable(0));
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

// The library's Broadcast to the loopback network's broadcast address, on a thread of its own so
// that it can give up CAP_NET_ADMIN alone; the responder is stopped when it returns.
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

// The library's Broadcast against a responder that loses answers: every camera that answered at
// least once is in the set, and nothing else; with 40 % lost per request, one request cannot
// have brought them all. A responder that answers nothing is asked three times.
TEST_F(Faults, BroadcastFindsLostAnswersByLaterRequests) {
    ASSERT_FALSE(QXSDK::TFTPClient::Startup());
    QXSim::DiscoveryFaults lossy;
    lossy.dropShare = 0.4;
    lossy.seed = 5;
    QXSim::DiscoveryFaults silent;
    silent.dropShare = 1.0;
    for (const auto& [cameras, faults] :
         {std::pair{QXSim::GenerateCameras(60), lossy}, std::pair{QXSim::DemoCameras(), silent}}) {
        Responder r(cameras, faults);
        std::set<CameraData> found;
        const int result = LibraryBroadcast(r, found);
        std::set<std::uint64_t> macs;
        for (const CameraData& camera : found) {
            macs.insert(camera.MacNumber());
        }
        EXPECT_EQ(macs, r.responder->AnsweredMacs());
        EXPECT_GE(r.responder->Requests(), 3u);
        if (faults.dropShare < 1.0) {
            EXPECT_EQ(result, 0);
            EXPECT_GT(r.responder->AnswersDropped(), 0u);
            EXPECT_GT(found.size(), 50u);
        } else {
            EXPECT_EQ(result, static_cast<int>(QX::ResultCode::ObjectNotFound));
            EXPECT_TRUE(found.empty());
            EXPECT_EQ(r.responder->Requests(), 3u);
        }
    }
    QXSDK::TFTPClient::Cleanup();
}

// A burst of answers meets the receive buffer at once, as from thousands of cameras on a real
// network: the collecting thread is held at the first answer of each request until every answer
// was sent. With CAP_NET_ADMIN the client forces a buffer that holds a thousand; without it, the
// buffer the cap allows (at most twice 1 MiB, about 1 KiB per queued answer) cannot hold 6000,
// and the trace says how many were dropped and what to raise.
TEST_F(Faults, BurstMeetsTheReceiveBuffer) {
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
