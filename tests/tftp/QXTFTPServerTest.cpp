// Reads from real servers on loopback: the simulator's TFTP service with its faults and the
// packaged tftpd-hpa; and every wait while an interval timer interrupts it.

#include <gtest/gtest.h>

#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime, which replaces malloc (and so its statistics).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "qxnet/common/QXResult.h"
#include "sim/QXSimTftpServer.h"
#include "tests/support/QXSignalTimer.h"
#include "tests/support/QXTftpdProcess.h"
#include "tests/support/QXUdpPeer.h"
#include "tests/tftp/QXTFTPTestClient.h"

namespace {

using QXSim::TftpServer;
using QXTest::Narrow;
using QXTest::SignalTimer;
using QXTest::TestClient;
using Bytes = std::vector<std::uint8_t>;

constexpr int kTimedOut = static_cast<int>(QX::ResultCode::TimedOut);
constexpr int kUnexpected = static_cast<int>(QX::ResultCode::Unexpected);

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

// Exact boundaries and every order of blocks are the scripted camera's; here the simulator's
// faults make the client re-request and sort blocks over a whole file.
TEST(TFTPSim, FilesArriveExactUnderFaults) {
    const std::vector<std::pair<const char*, std::function<void(QXSim::TftpFaults&)>>> faults = {
        {"drop datagrams", [](auto& f) { f.dropDatagrams = 0.2; }},
        {"duplicate datagrams", [](auto& f) { f.duplicateDatagrams = 0.3; }},
        {"reorder datagrams", [](auto& f) { f.reorderDatagrams = 0.3; }},
        {"drop blocks", [](auto& f) { f.dropBlocks = 0.1; }},
        {"duplicate blocks", [](auto& f) { f.duplicateBlocks = 0.2; }},
        {"reorder blocks", [](auto& f) { f.reorderBlocks = 0.5; }},
        {"a foreign sender", [](auto& f) { f.injectorAddress = 0x7F000002; }},
    };
    for (bool useDouble : {false, true}) {
        for (const auto& [what, fault] : faults) {
            SCOPED_TRACE(std::string(what) + (useDouble ? ", double" : ""));
            Sim sim(200000, [&](auto& config) {
                fault(config.faults);
                config.faults.seed = 7;
            });
            const Result r = sim.Read(useDouble, 8);
            EXPECT_EQ(r.code, 0) << r.error;
            EXPECT_EQ(r.size, 200000u);
            EXPECT_EQ(r.mismatches, 0u);
            EXPECT_EQ(r.bytesSeen, 200000u);
            EXPECT_EQ(r.blocksSeen, 200000 / (useDouble ? 2904 : 1450) + 1);
            EXPECT_EQ(r.useDouble, useDouble);
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
        {32769, true, 0},
        {65538, true, kUnexpected},
        {65538, false, 0},
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

TEST(TFTPInterop, ReadsFromTftpdHpa) {
    if (!QXTest::TftpdProcess::Available()) {
        GTEST_SKIP() << "in.tftpd not installed, or not root";
    }
    QXTest::TftpdProcess server;
    ASSERT_TRUE(server.Running());
    const std::uint64_t size = 123457;
    server.AddFile("f", TftpServer::GeneratedContent(size));
    for (bool useDouble : {false, true}) {
        const Result r = ReadFile(server.Port(), "f", useDouble, 2);
        EXPECT_EQ(r.code, 0) << useDouble << r.error;
        EXPECT_EQ(r.size, size);
        EXPECT_EQ(r.mismatches, 0u);
        EXPECT_EQ(r.useDouble, useDouble);
    }
}

// An interval timer interrupts the waiting thread every 50 ms, and another host sends to the
// camera's waits all along, one datagram every 20 ms (empty, a bare head, a whole block): every
// wait resumes with the time that is left, so one that ends before the last datagram was sent
// was not held open by them.
TEST(InterruptedWaits, EveryWaitOnASilentCameraRunsToItsTimeOut) {
    constexpr int kForeignDatagrams = 150;
    QXTest::UdpPeer camera;
    QXTest::UdpPeer foreign(0x7F000002);
    TestClient client(camera.Port());
    ASSERT_EQ(client.SendAck(0), 0);  // the client's port, for the foreign host
    QXTest::UdpPeer::Datagram d;
    ASSERT_TRUE(camera.Receive(d, 3000));
    auto waits = QXTest::Waits();
    const std::size_t cameraWaits = waits.size();
    waits.emplace_back("socket wait", [](TestClient& c) {
        return QX::SocketWaitReadable(c.Socket(), 400000) == QX::SocketWait::TimedOut
                   ? kTimedOut
                   : QX::SocketLastError();
    });
    waits.emplace_back("Receive", [](TestClient& c) {
        QXSDK::TFTPPacket packet(0);
        return c.Receive(&packet);
    });
    for (std::size_t i = 0; i < waits.size(); ++i) {
        std::atomic<bool> done{false};
        int sent = 0;
        std::thread sender([&] {
            for (; i < cameraWaits && !done && sent < kForeignDatagrams; ++sent) {
                const std::size_t size = std::vector<std::size_t>{0, 4, 1454}[sent % 3];
                foreign.Reply(
                    size >= 4 ? QXTest::UdpPeer::Data(1, Bytes(size - 4, 'f')) : Bytes(size), d);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        SignalTimer timer;
        const int result = waits[i].second(client);
        done = true;
        sender.join();
        SCOPED_TRACE(waits[i].first);
        EXPECT_EQ(result, kTimedOut) << Narrow(client.GetError());
        EXPECT_GE(SignalTimer::Count(), 2);  // the wait was interrupted, more than once
        EXPECT_LT(sent, kForeignDatagrams);
    }
}

}  // namespace
