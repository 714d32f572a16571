// Read, ReadAsync and Write against the simulator's TFTP service on loopback, with its faults.

#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime, which replaces malloc (and so its statistics).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "qxnet/common/QXResult.h"
#include "sim/QXSimTftpServer.h"
#include "tests/tftp_transfer/QXTransferTestClient.h"

namespace {

using QXTest::TransferClient;
using QXTest::VectorStream;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLoopback = 0x7F000001;

struct Result {
    int code = -1;
    Bytes content;  // stream bytes followed by the tail
    std::uint32_t blocksSeen = 0;
    std::uint64_t bytesSeen = 0;
};

void Progress(std::uint32_t blocks, std::uint64_t bytes, void* context) {
    auto* r = static_cast<Result*>(context);
    r->blocksSeen = blocks;
    r->bytesSeen = bytes;
}

class Sim {
public:
    explicit Sim(QXSim::TftpServerConfig config) : server(std::move(config)) {
        std::string error;
        started = server.Start(error);
        EXPECT_TRUE(started) << error;
    }
    Result Read(const char* name, bool useDouble, int retries = 3) {
        TransferClient client(server.Port(), useDouble, retries);
        client.Open(kLoopback, server.Port());
        Result r;
        client.SetProgressCallback(&Progress, &r);
        VectorStream stream;
        Bytes tail(2904);
        std::uint32_t length = static_cast<std::uint32_t>(tail.size());
        r.code = client.Read(name, &stream, tail.data(), &length, nullptr);
        r.content = stream.bytes;
        if (r.code == 0) {
            r.content.insert(r.content.end(), tail.begin(), tail.begin() + length);
        }
        lastError = QXTest::Narrow(client.GetError());
        lastDouble = client.UseDoublePackets();
        return r;
    }
    QXSim::TftpServer server;
    bool started = false;
    std::string lastError;
    bool lastDouble = false;
};

QXSim::TftpServerConfig Config(std::uint64_t size) {
    QXSim::TftpServerConfig config;
    config.generated["file.bin"] = size;
    return config;
}

// Bytes of heap in use, from whichever allocator is in place.
std::size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// Nothing reaches the stream before the file is complete, so at the first write every block is
// held: the heap has grown by the collected file, which must be held about once (a whole packet
// per block would hold each 1450-byte payload in more than twice its size).
TEST(TFTPSim, TheCollectedFileIsHeldAboutOnce) {
    class Sampling : public QXSDK::IStream {
    public:
        std::int32_t Write(const void*, std::uint32_t size) override {
            if (grown == 0) {
                grown = HeapInUse() - baseline;
            }
            return static_cast<std::int32_t>(size);
        }
        std::int32_t Read(void*, std::uint32_t) override { return 0; }
        std::uint32_t GetSize() override { return 0; }
        std::size_t baseline = 0;
        std::size_t grown = 0;
    };
    const std::uint64_t size = 8 * 1024 * 1024;
    Sim sim(Config(size));
    TransferClient client(sim.server.Port(), false, 3);
    client.Open(kLoopback, sim.server.Port());
    Sampling stream;
    std::uint8_t tail[1450];
    std::uint32_t length = sizeof tail;
    stream.baseline = HeapInUse();
    ASSERT_EQ(client.Read("file.bin", &stream, tail, &length, nullptr), 0);
    EXPECT_GT(stream.grown, size / 2);  // the sample saw the file
    EXPECT_LT(stream.grown, size + size / 4);
}

TEST(TFTPSim, SizesAroundTheBlockBoundariesInBothClasses) {
    for (bool useDouble : {false, true}) {
        const std::uint64_t block = useDouble ? 2904 : 1450;
        for (std::uint64_t size : {std::uint64_t{0}, std::uint64_t{1}, block - 1, block, block + 1,
                                   5 * block, 5 * block + 900, std::uint64_t{300000}}) {
            Sim sim(Config(size));
            Result r = sim.Read("file.bin", useDouble);
            EXPECT_EQ(r.code, 0) << size << " " << useDouble << " " << sim.lastError;
            EXPECT_EQ(r.content, QXSim::TftpServer::GeneratedContent(size))
                << size << " " << useDouble;
            EXPECT_EQ(r.bytesSeen, size);
            EXPECT_EQ(r.blocksSeen, size / block + 1);
            EXPECT_EQ(sim.lastDouble, useDouble);
        }
    }
}

TEST(TFTPSim, DatagramAndBlockFaultsStillGiveTheExactFile) {
    struct Case {
        const char* what;
        QXSim::TftpFaults faults;
    };
    std::vector<Case> cases(6);
    cases[0] = {"drop datagrams", {}};
    cases[0].faults.dropDatagrams = 0.2;
    cases[1] = {"duplicate datagrams", {}};
    cases[1].faults.duplicateDatagrams = 0.3;
    cases[2] = {"reorder datagrams", {}};
    cases[2].faults.reorderDatagrams = 0.3;
    cases[3] = {"drop blocks", {}};
    cases[3].faults.dropBlocks = 0.1;
    cases[4] = {"duplicate blocks", {}};
    cases[4].faults.duplicateBlocks = 0.2;
    cases[5] = {"reorder blocks", {}};
    cases[5].faults.reorderBlocks = 0.5;
    for (bool useDouble : {false, true}) {
        for (const Case& c : cases) {
            QXSim::TftpServerConfig config = Config(200000);
            config.faults = c.faults;
            config.faults.seed = 7;
            Sim sim(config);
            Result r = sim.Read("file.bin", useDouble, 8);
            EXPECT_EQ(r.code, 0) << c.what << " " << sim.lastError;
            EXPECT_EQ(r.content, QXSim::TftpServer::GeneratedContent(200000))
                << c.what << " " << useDouble;
        }
    }
}

TEST(TFTPSim, EveryDataPacketIsAcknowledged) {
    QXSim::TftpServerConfig config = Config(50000);
    config.faults.duplicateDatagrams = 1.0;  // every datagram twice
    Sim sim(config);
    Result r = sim.Read("file.bin", false);
    ASSERT_EQ(r.code, 0);
    // The service stops reading once every block is acknowledged; until then each DATA packet
    // it sent got its acknowledgement, so acknowledgements outnumber the blocks.
    sim.server.Stop();  // joins the transfer, so its counters are final
    QXSim::TftpStats stats = sim.server.Stats();
    EXPECT_EQ(stats.transfersCompleted, 1);
    EXPECT_GT(stats.acksReceived, 50000u / 1450 + 1);
}

TEST(TFTPSim, ErrorInTheMiddleEndsTheRead) {
    QXSim::TftpServerConfig config = Config(100000);
    config.faults.errorAtBlock = 20;
    Sim sim(config);
    Result r = sim.Read("file.bin", false);
    EXPECT_EQ(r.code, static_cast<int>(QX::ResultCode::Unexpected));
    EXPECT_EQ(sim.lastError, "TFTPClient[Closed]::Read(): Read error -268435453");
    EXPECT_TRUE(r.content.empty());
    EXPECT_EQ(sim.server.Stats().requests.size(), 1u);
}

TEST(TFTPSim, DataInsteadOfAnOptionAcknowledgement) {
    QXSim::TftpServerConfig config = Config(100000);
    config.faults.dataInsteadOfOack = true;
    Sim sim(config);
    Result r = sim.Read("file.bin", false, 1);
    EXPECT_EQ(r.code, static_cast<int>(QX::ResultCode::TimedOut));
    EXPECT_EQ(sim.lastError, "TFTPClient[Closed]::Read(): Read error -268435449");
    sim.server.Stop();
    EXPECT_EQ(sim.server.Stats().acksReceived, 0u);
}

TEST(TFTPSim, AStalledTransferTimesOutAfterEveryAttempt) {
    QXSim::TftpServerConfig config = Config(100000);
    config.faults.stallAtBlock = 10;
    config.giveUpMs = 600;
    Sim sim(config);
    Result r = sim.Read("file.bin", false, 2);
    EXPECT_EQ(r.code, static_cast<int>(QX::ResultCode::TimedOut));
    EXPECT_EQ(sim.server.Stats().requests.size(), 2u);
    EXPECT_TRUE(r.content.empty());
}

TEST(TFTPSim, AMissingFileIsRefusedByEveryAttempt) {
    Sim sim(Config(10));
    Result r = sim.Read("nothing-here", false, 2);
    EXPECT_EQ(r.code, static_cast<int>(QX::ResultCode::TimedOut));
    EXPECT_EQ(sim.lastError, "TFTPClient[Closed]::Read(): Read error -268435449");
    sim.server.Stop();
    EXPECT_EQ(sim.server.Stats().transfersFailed, 2);
}

TEST(TFTPSim, ForcedNormalGrantTurnsDoublePacketsOff) {
    QXSim::TftpServerConfig config = Config(40000);
    config.force1450 = true;
    Sim sim(config);
    Result r = sim.Read("file.bin", true);
    EXPECT_EQ(r.code, 0);
    EXPECT_FALSE(sim.lastDouble);
    EXPECT_EQ(r.content, QXSim::TftpServer::GeneratedContent(40000));
    EXPECT_EQ(sim.server.Stats().requests.at(0).options.at("blksize"), "2904");
}

TEST(TFTPSim, AForeignSenderCannotInjectBlocks) {
    QXSim::TftpServerConfig config = Config(20000);
    config.faults.injectorAddress = 0x7F000002;
    Sim sim(config);
    for (bool useDouble : {false, true}) {
        Result r = sim.Read("file.bin", useDouble);
        EXPECT_EQ(r.code, 0) << sim.lastError;
        EXPECT_EQ(r.content, QXSim::TftpServer::GeneratedContent(20000));
        EXPECT_EQ(sim.lastDouble, useDouble);
    }
}

TEST(TFTPSim, FilesInMemoryAndFromAFolder) {
    QXSim::TftpServerConfig config;
    config.files["cfg.txt"] = Bytes{'h', 'e', 'l', 'l', 'o'};
    char folder[] = "/tmp/qxtftp-folder-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    Bytes onDisk = QXSim::TftpServer::GeneratedContent(5000);
    {
        std::ofstream out(std::string(folder) + "/disk.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(onDisk.data()),
                  static_cast<std::streamsize>(onDisk.size()));
    }
    config.folder = folder;
    Sim sim(config);
    Result r = sim.Read("cfg.txt", false);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.content, (Bytes{'h', 'e', 'l', 'l', 'o'}));
    r = sim.Read("disk.bin", false);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.content, onDisk);
    // Names that climb out of the folder are refused.
    r = sim.Read("../etc/passwd", false, 1);
    EXPECT_EQ(r.code, static_cast<int>(QX::ResultCode::TimedOut));
    std::remove((std::string(folder) + "/disk.bin").c_str());
    ::rmdir(folder);
}

TEST(TFTPSim, WriteIsAcknowledged) {
    Sim sim(Config(1));
    TransferClient client(sim.server.Port());
    client.Open(kLoopback, sim.server.Port());
    EXPECT_NO_THROW(client.Write("upload.cfg"));
    QXSim::TftpStats stats = sim.server.Stats();
    ASSERT_EQ(stats.requests.size(), 1u);
    EXPECT_EQ(stats.requests[0].opcode, 2);
    EXPECT_EQ(stats.requests[0].mode, "netascii");
    EXPECT_TRUE(stats.requests[0].options.empty());
}

struct AsyncOutcome {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::uint32_t value = 0;
    QXSDK::IStream* stream = nullptr;

    static void Callback(QXSDK::IStream* stream, unsigned char*, std::uint32_t value,
                         void* context) {
        auto* self = static_cast<AsyncOutcome*>(context);
        {
            std::lock_guard<std::mutex> guard(self->mutex);
            self->done = true;
            self->value = value;
            self->stream = stream;
            // Under the lock: the waiter may destroy this record as soon as it sees done.
            self->changed.notify_all();
        }
    }
};

TEST(TFTPSim, AsyncReadOfAMegabyteInBothClasses) {
    const std::uint64_t size = 1 << 20;
    Sim sim(Config(size));
    for (bool useDouble : {false, true}) {
        TransferClient client(sim.server.Port(), useDouble, 4);
        client.Open(kLoopback, sim.server.Port());
        VectorStream stream;
        Bytes tail(2904);
        std::uint32_t length = static_cast<std::uint32_t>(tail.size());
        AsyncOutcome outcome;
        ASSERT_EQ(client.ReadAsync("file.bin", &stream, tail.data(), &length,
                                   &AsyncOutcome::Callback, &outcome),
                  0);
        std::unique_lock<std::mutex> guard(outcome.mutex);
        ASSERT_TRUE(outcome.changed.wait_for(guard, std::chrono::seconds(30),
                                             [&] { return outcome.done; }));
        EXPECT_EQ(outcome.stream, &stream);
        Bytes content = stream.bytes;
        content.insert(content.end(), tail.begin(), tail.begin() + outcome.value);
        EXPECT_EQ(content, QXSim::TftpServer::GeneratedContent(size)) << useDouble;
    }
}

// Hashes what it is given instead of keeping it, for files too large to hold twice.
class HashStream : public QXSDK::IStream {
public:
    std::int32_t Write(const void* data, std::uint32_t size) override {
        const auto* p = static_cast<const std::uint8_t*>(data);
        for (std::uint32_t i = 0; i < size; ++i) {
            if (p[i] != QXSim::TftpServer::GeneratedByte(offset + i)) {
                ++mismatches;
            }
        }
        offset += size;
        return static_cast<std::int32_t>(size);
    }
    std::int32_t Read(void*, std::uint32_t) override { return 0; }
    std::uint32_t GetSize() override { return static_cast<std::uint32_t>(offset); }
    std::uint64_t offset = 0;
    std::uint64_t mismatches = 0;
};

// A camera that sends blocks 2..N first and block 1 last: block 1 fills its gap for every file
// the 16-bit block numbers carry.
TEST(TFTPSim, ALateFirstBlockFillsItsGap) {
    for (std::uint64_t blocks : {32769ull, 32770ull, 65535ull}) {
        const std::uint64_t size = (blocks - 1) * 1450 + 700;
        QXSim::TftpServerConfig config = Config(size);
        config.faults.firstBlockLast = true;
        Sim sim(config);
        TransferClient client(sim.server.Port(), false, 2);
        client.Open(kLoopback, sim.server.Port());
        HashStream stream;
        Bytes tail(1450);
        std::uint32_t length = static_cast<std::uint32_t>(tail.size());
        ASSERT_EQ(client.Read("file.bin", &stream, tail.data(), &length, nullptr), 0)
            << blocks << " " << QXTest::Narrow(client.GetError());
        EXPECT_EQ(stream.offset, size - 700) << blocks;
        EXPECT_EQ(stream.mismatches, 0u) << blocks;
        ASSERT_EQ(length, 700u);
        for (std::uint32_t i = 0; i < length; ++i) {
            ASSERT_EQ(tail[i], QXSim::TftpServer::GeneratedByte(stream.offset + i));
        }
        EXPECT_EQ(sim.server.Stats().requests.size(), 1u) << blocks;
    }
}

// Past the wrap, a block 1 held back behind every other block cannot be told from block 65537 by
// its wire number: the read must fail rather than deliver a wrong or cut file.
TEST(TFTPSim, ALateFirstBlockPastTheWrapFailsTheRead) {
    const std::uint64_t size = 65537ull * 1450 + 321;
    QXSim::TftpServerConfig config = Config(size);
    config.faults.firstBlockLast = true;
    config.giveUpMs = 600;
    Sim sim(config);
    TransferClient client(sim.server.Port(), false, 1);
    client.Open(kLoopback, sim.server.Port());
    HashStream stream;
    Bytes tail(1450);
    std::uint32_t length = static_cast<std::uint32_t>(tail.size());
    EXPECT_EQ(client.Read("file.bin", &stream, tail.data(), &length, nullptr),
              static_cast<int>(QX::ResultCode::Unexpected));
    EXPECT_EQ(stream.offset, 0u);
    EXPECT_EQ(length, 1450u);
}

// More than 65535 blocks: the 16-bit block numbers wrap, and the file still arrives whole and in
// order.
TEST(TFTPSim, BlockNumbersWrapPastTheSixteenBitRange) {
    const std::uint64_t size = 65537ull * 1450 + 321;
    Sim sim(Config(size));
    TransferClient client(sim.server.Port(), false, 8);
    client.Open(kLoopback, sim.server.Port());
    HashStream stream;
    Bytes tail(1450);
    std::uint32_t length = static_cast<std::uint32_t>(tail.size());
    ASSERT_EQ(client.Read("file.bin", &stream, tail.data(), &length, nullptr), 0)
        << QXTest::Narrow(client.GetError());
    EXPECT_EQ(stream.offset, 65537ull * 1450);
    EXPECT_EQ(stream.mismatches, 0u);
    ASSERT_EQ(length, 321u);
    for (std::uint32_t i = 0; i < length; ++i) {
        ASSERT_EQ(tail[i], QXSim::TftpServer::GeneratedByte(stream.offset + i));
    }
}

}  // namespace
