// The library's Broadcast against the simulated cameras on loopback, with the responder's faults:
// lost, repeated, late and foreign datagrams must not cost a camera that answered, nor add one.
#include <gtest/gtest.h>

#include <unistd.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "qxnet/common/QXResult.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXCapabilities.h"
#include "tests/support/QXTraceCapture.h"

namespace {

constexpr std::uint32_t kLoopbackBroadcast = 0x7FFFFFFF;

class BroadcastAgainstSimulator : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(QXSDK::TFTPClient::Startup()); }
    void TearDown() override { QXSDK::TFTPClient::Cleanup(); }

    QXSim::DiscoveryResponder& Start(QXSim::Simulator& simulator, QXSim::DiscoveryFaults faults) {
        QXSim::DiscoveryOptions options;
        options.faults = faults;
        auto& responder =
            simulator.Add(std::make_unique<QXSim::DiscoveryResponder>(simulator, options));
        std::string error;
        EXPECT_TRUE(simulator.Start(error)) << error;
        return responder;
    }

    int Broadcast(std::uint16_t port, std::set<QXSDK::CameraData>& found) {
        QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, false, 3, 0, port);
        client.Open(kLoopbackBroadcast, port);
        const unsigned char request[] = "qx-discover";
        return client.Broadcast(request, sizeof request - 1, &found);
    }

    static std::set<std::uint64_t> Macs(const std::set<QXSDK::CameraData>& found) {
        std::set<std::uint64_t> macs;
        for (const QXSDK::CameraData& camera : found) {
            macs.insert(camera.MacNumber());
        }
        return macs;
    }

    // The trace is captured (and so kept off stderr) while a test runs.
    QXTest::TraceCapture trace;
};

TEST_F(BroadcastAgainstSimulator, DroppedAnswersAreFoundByLaterRequests) {
    QXSim::Simulator simulator(QXSim::GenerateCameras(60));
    QXSim::DiscoveryFaults faults;
    faults.dropShare = 0.4;
    faults.seed = 5;
    auto& responder = Start(simulator, faults);
    std::set<QXSDK::CameraData> found;
    EXPECT_EQ(Broadcast(responder.Port(), found), 0);
    simulator.Stop();
    // Every camera that answered at least once is in the set, and nothing else.
    EXPECT_EQ(Macs(found), responder.AnsweredMacs());
    EXPECT_GT(responder.AnswersDropped(), 0u);
    EXPECT_GE(responder.Requests(), 3u);
    // With 40 % lost per request, one request cannot have brought them all.
    EXPECT_GT(found.size(), 50u);
}

TEST_F(BroadcastAgainstSimulator, RepeatedAndForeignDatagramsChangeNothing) {
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::DiscoveryFaults faults;
    faults.answerTwice = true;
    faults.untagged = 2;
    auto& responder = Start(simulator, faults);
    std::set<QXSDK::CameraData> found;
    EXPECT_EQ(Broadcast(responder.Port(), found), 0);
    simulator.Stop();
    ASSERT_EQ(found.size(), simulator.Cameras().size());
    EXPECT_EQ(responder.Requests(), 3u);
    // The untagged datagrams are traced and skipped.
    EXPECT_TRUE(trace.Contains(L"TFTPClient::GetBroadcastResponse: Error from Receive(): "));
    auto camera = simulator.Cameras().begin();
    for (const QXSDK::CameraData& data : found) {
        EXPECT_EQ(data.MacNumber(), camera->mac);
        EXPECT_EQ(data.features, camera->features);
        ++camera;
    }
}

TEST_F(BroadcastAgainstSimulator, AnswersLaterThanTheQuietTimeAreStillCollected) {
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::DiscoveryFaults faults;
    faults.delayMs = 1000;  // longer than one collection's 0.8 s of silence
    auto& responder = Start(simulator, faults);
    std::set<QXSDK::CameraData> found;
    EXPECT_EQ(Broadcast(responder.Port(), found), 0);
    simulator.Stop();
    EXPECT_EQ(found.size(), simulator.Cameras().size());
}

TEST_F(BroadcastAgainstSimulator, NoAnswerGivesObjectNotFound) {
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::DiscoveryFaults faults;
    faults.dropShare = 1.0;
    auto& responder = Start(simulator, faults);
    std::set<QXSDK::CameraData> found;
    EXPECT_EQ(Broadcast(responder.Port(), found), static_cast<int>(QX::ResultCode::ObjectNotFound));
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(responder.Requests(), 3u);
}

// Holds the collecting thread at the first answer of each request until the simulator has sent
// every answer to it, so the whole burst meets the receive buffer at once, as from a thousand
// cameras on a real network; keeps the lines that tell dropped answers.
struct BurstAtOnce {
    QXSim::DiscoveryResponder* responder;
    std::uint64_t cameras;
    std::uint64_t heldFor = 0;
    std::vector<std::wstring> dropLines;

    static void Sink(const wchar_t* line, void* context) {
        auto* self = static_cast<BurstAtOnce*>(context);
        const std::wstring text(line);
        if (text.rfind(L"CameraData:", 0) == 0 && self->responder->Requests() > self->heldFor) {
            self->heldFor = self->responder->Requests();
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (self->responder->AnswersSent() < self->heldFor * self->cameras &&
                   std::chrono::steady_clock::now() < giveUp) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        if (text.find(L"rmem_max") != std::wstring::npos) {
            self->dropLines.push_back(text);
        }
    }
};

// A thousand cameras answer in one burst. With CAP_NET_ADMIN the client forces a buffer that holds
// them all, whatever net.core.rmem_max says; without it, a burst larger than the buffer the cap
// allows loses answers and the trace says how many and what to raise.
TEST_F(BroadcastAgainstSimulator, BurstMeetsTheReceiveBuffer) {
    struct Case {
        bool privileged;
        std::size_t cameras;
    };
    // Unprivileged, the client gets at most twice 1 MiB (less under a lower cap); at about 1 KiB
    // per queued answer, 6000 answers cannot all fit.
    const Case cases[] = {{true, 1000}, {false, 6000}};
    for (const Case& test : cases) {
        if (test.privileged && geteuid() != 0) {
            continue;  // needs CAP_NET_ADMIN
        }
        QXSim::Simulator simulator(QXSim::GenerateCameras(test.cameras));
        auto& responder = Start(simulator, QXSim::DiscoveryFaults{});
        BurstAtOnce burst{&responder, test.cameras, 0, {}};
        QX::SetDebugSink(BurstAtOnce::Sink, &burst);
        std::set<QXSDK::CameraData> found;
        int result = -1;
        std::thread collector([&] {
            if (!test.privileged) {
                ASSERT_TRUE(QXTest::DropNetAdminOnThisThread());
            }
            result = Broadcast(responder.Port(), found);
        });
        collector.join();
        QX::ResetDebugSink();
        simulator.Stop();
        EXPECT_EQ(result, 0);
        if (test.privileged) {
            EXPECT_EQ(found.size(), test.cameras);
            EXPECT_TRUE(burst.dropLines.empty());
        } else {
            EXPECT_LT(found.size(), test.cameras);
            ASSERT_FALSE(burst.dropLines.empty());
            EXPECT_LE(burst.dropLines.size(), responder.Requests());
            EXPECT_NE(burst.dropLines[0].find(L"TFTPClient::GetBroadcastResponse: the system "
                                              L"dropped "),
                      std::wstring::npos);
        }
    }
}

}  // namespace
