// Reads from real servers on loopback: the simulator's TFTP service with its faults, the packaged
// tftpd-hpa, and both while an interval timer interrupts every wait.

#include <gtest/gtest.h>

#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime, which replaces malloc (and so its statistics).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <functional>
#include <memory>
#include <set>
#include <string>

#include "qxnet/common/QXResult.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXSignalTimer.h"
#include "tests/support/QXTftpdProcess.h"
#include "tests/support/QXTraceCapture.h"
#include "tests/support/QXUdpPeer.h"
#include "tests/tftp/QXTFTPTestClient.h"

namespace {

using QXSim::TftpServer;
using QXTest::kLoopback;
using QXTest::Narrow;
using QXTest::SignalTimer;
using QXTest::TestClient;
using Bytes = std::vector<std::uint8_t>;

constexpr int kTimedOut = static_cast<int>(QX::ResultCode::TimedOut);
constexpr int kUnexpected = static_cast<int>(QX::ResultCode::Unexpected);
const std::string kSilence = "TFTPClient[Closed]::Read(): Read error -268435449";

// Checks what it is given against the generated content instead of keeping it, for files too
// large to hold twice; bytes before the tail go to the stream, the tail to tail.
class CheckedStream : public QXSDK::IStream {
public:
    std::int32_t Write(const void* data, std::uint32_t size) override {
        const auto* p = static_cast<const std::uint8_t*>(data);
        for (std::uint32_t i = 0; i < size; ++i) {
            mismatches += p[i] != TftpServer::GeneratedByte(offset + i);
        }
        offset += size;
        return static_cast<std::int32_t>(size);
    }
    std::int32_t Read(void*, std::uint32_t) override { return 0; }
    std::uint32_t GetSize() override { return static_cast<std::uint32_t>(offset); }
    std::uint64_t offset = 0;
    std::uint64_t mismatches = 0;
};

struct Result {
    int code = -1;
    std::uint64_t size = 0;  // stream and tail
    std::uint64_t mismatches = 0;
    std::uint32_t blocksSeen = 0;
    std::uint64_t bytesSeen = 0;
    std::string error;
    bool useDouble = false;
};

void Progress(std::uint32_t blocks, std::uint64_t bytes, void* context) {
    static_cast<Result*>(context)->blocksSeen = blocks;
    static_cast<Result*>(context)->bytesSeen = bytes;
}

Result ReadFile(int port, const char* name, bool useDouble, int retries = 3) {
    TestClient client(port, useDouble, retries);
    Result r;
    client.SetProgressCallback(&Progress, &r);
    CheckedStream stream;
    Bytes tail(2904);
    std::uint32_t length = static_cast<std::uint32_t>(tail.size());
    r.code = client.Read(name, &stream, tail.data(), &length, nullptr);
    if (r.code == 0) {
        stream.Write(tail.data(), length);
    }
    r.size = stream.offset;
    r.mismatches = stream.mismatches;
    r.error = Narrow(client.GetError());
    r.useDouble = client.UseDoublePackets();
    return r;
}

struct Sim {
    explicit Sim(std::uint64_t size, std::function<void(QXSim::TftpServerConfig&)> setup = {})
        : server([&] {
              QXSim::TftpServerConfig config;
              config.generated["file.bin"] = size;
              if (setup) {
                  setup(config);
              }
              return config;
          }()) {
        std::string error;
        EXPECT_TRUE(server.Start(error)) << error;
    }
    Result Read(bool useDouble, int retries = 3) {
        return ReadFile(server.Port(), "file.bin", useDouble, retries);
    }
    TftpServer server;
};

// Bytes of heap in use, from whichever allocator is in place.
std::size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

TEST(TFTPSim, FilesArriveExactAroundTheBlockBoundariesAndUnderFaults) {
    for (bool useDouble : {false, true}) {
        const std::uint64_t block = useDouble ? 2904 : 1450;
        for (std::uint64_t size : {std::uint64_t{0}, std::uint64_t{1}, block - 1, block, block + 1,
                                   5 * block + 900, std::uint64_t{300000}}) {
            Sim sim(size);
            const Result r = sim.Read(useDouble);
            EXPECT_EQ(r.code, 0) << size << " " << useDouble << " " << r.error;
            EXPECT_EQ(r.size, size);
            EXPECT_EQ(r.mismatches, 0u);
            EXPECT_EQ(r.bytesSeen, size);
            EXPECT_EQ(r.blocksSeen, size / block + 1);
            EXPECT_EQ(r.useDouble, useDouble);
        }
        const std::vector<std::pair<const char*, std::function<void(QXSim::TftpFaults&)>>> faults =
            {
                {"drop datagrams", [](auto& f) { f.dropDatagrams = 0.2; }},
                {"duplicate datagrams", [](auto& f) { f.duplicateDatagrams = 0.3; }},
                {"reorder datagrams", [](auto& f) { f.reorderDatagrams = 0.3; }},
                {"drop blocks", [](auto& f) { f.dropBlocks = 0.1; }},
                {"duplicate blocks", [](auto& f) { f.duplicateBlocks = 0.2; }},
                {"reorder blocks", [](auto& f) { f.reorderBlocks = 0.5; }},
                {"a foreign sender", [](auto& f) { f.injectorAddress = 0x7F000002; }},
            };
        for (const auto& [what, fault] : faults) {
            Sim sim(200000, [&](auto& config) {
                fault(config.faults);
                config.faults.seed = 7;
            });
            const Result r = sim.Read(useDouble, 8);
            EXPECT_EQ(r.code, 0) << what << " " << r.error;
            EXPECT_EQ(r.size, 200000u) << what << " " << useDouble;
            EXPECT_EQ(r.mismatches, 0u) << what << " " << useDouble;
            EXPECT_EQ(r.useDouble, useDouble) << what;
        }
    }
}

// Nothing reaches the stream before the file is complete, so at the first write every block is
// held: the heap has grown by the collected file, which must be held about once (a whole packet
// per block would hold each 1450-byte payload in more than twice its size).
TEST(TFTPSim, TheCollectedFileIsHeldAboutOnce) {
    class Sampling : public CheckedStream {
    public:
        std::int32_t Write(const void* data, std::uint32_t size) override {
            grown = grown == 0 ? HeapInUse() - baseline : grown;
            return CheckedStream::Write(data, size);
        }
        std::size_t baseline = HeapInUse();
        std::size_t grown = 0;
    };
    const std::uint64_t size = 8 * 1024 * 1024;
    Sim sim(size);
    TestClient client(sim.server.Port());
    Sampling stream;
    std::uint8_t tail[1450];
    std::uint32_t length = sizeof tail;
    ASSERT_EQ(client.Read("file.bin", &stream, tail, &length, nullptr), 0);
    EXPECT_EQ(stream.mismatches, 0u);
    EXPECT_GT(stream.grown, size / 2);  // the sample saw the file
    EXPECT_LT(stream.grown, size + size / 4);
}

// Block numbers are 16 bits. A camera that sends blocks 2..N first and block 1 last: block 1
// fills its gap for every file the numbers carry; past the wrap it cannot be told from block
// 65537 and the read fails rather than deliver a wrong or cut file. In order, a file past the
// wrap arrives whole.
TEST(TFTPSim, BlockNumbersAndTheWrap) {
    const struct {
        std::uint64_t blocks;
        bool firstBlockLast;
        int result;
    } cases[] = {
        {32769, true, 0},           {32770, true, 0},  {65535, true, 0},
        {65538, true, kUnexpected}, {65538, false, 0},
    };
    for (const auto& test : cases) {
        const std::uint64_t size = (test.blocks - 1) * 1450 + 321;
        Sim sim(size, [&](auto& c) {
            c.faults.firstBlockLast = test.firstBlockLast;
            c.giveUpMs = test.result == 0 ? c.giveUpMs : 600;
        });
        const Result r = sim.Read(false, test.result == 0 ? 8 : 1);
        EXPECT_EQ(r.code, test.result) << test.blocks << " " << r.error;
        EXPECT_EQ(r.size, test.result == 0 ? size : 0) << test.blocks;
        EXPECT_EQ(r.mismatches, 0u) << test.blocks;
    }
}

#define REQUIRE_TFTPD(server)                                  \
    if (!QXTest::TftpdProcess::Available()) {                  \
        GTEST_SKIP() << "in.tftpd not installed, or not root"; \
    }                                                          \
    ASSERT_TRUE((server).Running()) << (server).Error()

// tftpd-hpa serves both classes; told to grant at most 1024 bytes whatever the offer (as
// RFC 2348 allows) it makes the read fail instead of truncating the file.
TEST(TFTPInterop, ReadsFromTftpdHpa) {
    for (bool limited : {false, true}) {
        QXTest::TftpdProcess server(limited ? std::vector<std::string>{"--blocksize", "1024"}
                                            : std::vector<std::string>{});
        REQUIRE_TFTPD(server);
        const std::uint64_t size = 123457;
        server.AddFile("f", TftpServer::GeneratedContent(size));
        for (bool useDouble : {false, true}) {
            const Result r = ReadFile(server.Port(), "f", useDouble, 2);
            EXPECT_EQ(r.code, limited ? kTimedOut : 0) << limited << useDouble << r.error;
            EXPECT_EQ(r.error, limited ? kSilence : "");
            EXPECT_EQ(r.size, limited ? 0 : size);
            EXPECT_EQ(r.mismatches, 0u);
            EXPECT_EQ(r.useDouble, useDouble);  // the last grant the client could take stands
        }
    }
}

// An interval timer interrupts the waiting thread every 50 ms: every wait resumes with the time
// that is left.
TEST(InterruptedWaits, EveryWaitOnASilentCameraRunsToItsTimeOut) {
    QXTest::UdpPeer camera;
    TestClient client(camera.Port());
    auto waits = QXTest::Waits();
    waits.emplace_back("socket wait", [](TestClient& c) {
        return QX::SocketWaitReadable(c.Socket(), 400000) == QX::SocketWait::TimedOut
                   ? kTimedOut
                   : QX::SocketLastError();
    });
    waits.emplace_back("Receive", [](TestClient& c) {
        QXSDK::TFTPPacket packet(0);
        return c.Receive(&packet);
    });
    for (const auto& [what, wait] : waits) {
        SignalTimer timer;
        EXPECT_EQ(wait(client), kTimedOut) << what << ": " << Narrow(client.GetError());
        EXPECT_GE(SignalTimer::Count(), 2) << what;  // the wait was interrupted, more than once
    }
}

TEST(InterruptedWaits, AReadFromASlowCameraSucceeds) {
    // Each datagram comes after several interruptions of the client's wait, within its window.
    Sim sim(20000, [](auto& c) { c.faults.datagramDelayMs = 120; });
    SignalTimer timer;
    const Result r = sim.Read(false, 2);
    EXPECT_GE(SignalTimer::Count(), 4);
    EXPECT_EQ(r.code, 0) << r.error;
    EXPECT_EQ(r.size, 20000u);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_EQ(sim.server.Stats().requests.size(), 1u);
}

TEST(InterruptedWaits, ABroadcastCollectionIsNotEndedByInterruptions) {
    QXTest::TraceCapture trace;
    ASSERT_FALSE(QXSDK::TFTPClient::Startup());
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::DiscoveryOptions options;
    options.faults.delayMs = 300;  // well after the first interruptions of each collection
    auto& responder =
        simulator.Add(std::make_unique<QXSim::DiscoveryResponder>(simulator, options));
    std::string error;
    ASSERT_TRUE(simulator.Start(error)) << error;
    std::set<QXSDK::CameraData> found;
    {
        TestClient client(responder.Port(), false, 3, 0x7FFFFFFF);
        const unsigned char request[] = "qx-discover";
        SignalTimer timer;
        EXPECT_EQ(client.Broadcast(request, sizeof request - 1, &found), 0);
        EXPECT_GE(SignalTimer::Count(), 10);
    }
    simulator.Stop();
    QXSDK::TFTPClient::Cleanup();
    EXPECT_EQ(found.size(), simulator.Cameras().size());
    // One request found every camera, two more found nothing new: no collection ended early.
    EXPECT_EQ(responder.Requests(), 3u);
    EXPECT_FALSE(trace.Contains(L"Error from Receive"));
}

}  // namespace
