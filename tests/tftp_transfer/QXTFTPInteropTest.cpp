// Read and ReadAsync against the packaged TFTP server (tftpd-hpa), started by each test on
// loopback. Its files hold no CR or LF bytes, so their "netascii" form is the file itself.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "qxnet/common/QXResult.h"
#include "sim/QXSimTftpServer.h"
#include "tests/support/QXTftpdProcess.h"
#include "tests/tftp_transfer/QXTransferTestClient.h"

namespace {

using QXTest::TftpdProcess;
using QXTest::TransferClient;
using QXTest::VectorStream;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLoopback = 0x7F000001;

#define REQUIRE_TFTPD(server)                                  \
    if (!TftpdProcess::Available()) {                          \
        GTEST_SKIP() << "in.tftpd not installed, or not root"; \
    }                                                          \
    ASSERT_TRUE((server).Running()) << (server).Error()

struct Read {
    int code = -1;
    Bytes content;
    std::string error;
    bool useDouble = false;
};

Read ReadFile(int port, const char* name, bool useDouble, int retries = 3) {
    TransferClient client(port, useDouble, retries);
    client.Open(kLoopback, port);
    VectorStream stream;
    Bytes tail(2904);
    std::uint32_t length = static_cast<std::uint32_t>(tail.size());
    Read r;
    r.code = client.Read(name, &stream, tail.data(), &length, nullptr);
    r.content = stream.bytes;
    if (r.code == 0) {
        r.content.insert(r.content.end(), tail.begin(), tail.begin() + length);
    }
    r.error = QXTest::Narrow(client.GetError());
    r.useDouble = client.UseDoublePackets();
    return r;
}

// Built by appending: gcc 12 at -O3 warns falsely (-Wrestrict) on "literal" + std::string.
std::string FileName(std::uint64_t size) {
    std::string name = "f";
    name += std::to_string(size);
    return name;
}

TEST(TFTPInterop, ReadsFilesInBothSizeClasses) {
    TftpdProcess server;
    REQUIRE_TFTPD(server);
    const std::vector<std::uint64_t> sizes = {0, 1000, 1450, 2904, 2904 * 3, 123457, 1 << 20};
    for (std::uint64_t size : sizes) {
        server.AddFile(FileName(size), QXSim::TftpServer::GeneratedContent(size));
    }
    for (bool useDouble : {false, true}) {
        for (std::uint64_t size : sizes) {
            const std::string name = FileName(size);
            Read r = ReadFile(server.Port(), name.c_str(), useDouble);
            EXPECT_EQ(r.code, 0) << name << " " << useDouble << " " << r.error;
            EXPECT_EQ(r.content, QXSim::TftpServer::GeneratedContent(size))
                << name << " " << useDouble;
            EXPECT_EQ(r.useDouble, useDouble);
        }
    }
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

TEST(TFTPInterop, ReadsAsynchronouslyInBothSizeClasses) {
    TftpdProcess server;
    REQUIRE_TFTPD(server);
    const std::uint64_t size = 300001;
    server.AddFile("async.bin", QXSim::TftpServer::GeneratedContent(size));
    for (bool useDouble : {false, true}) {
        TransferClient client(server.Port(), useDouble, 3);
        client.Open(kLoopback, server.Port());
        VectorStream stream;
        Bytes tail(2904);
        std::uint32_t length = static_cast<std::uint32_t>(tail.size());
        AsyncOutcome outcome;
        ASSERT_EQ(client.ReadAsync("async.bin", &stream, tail.data(), &length,
                                   &AsyncOutcome::Callback, &outcome),
                  0);
        std::unique_lock<std::mutex> guard(outcome.mutex);
        ASSERT_TRUE(outcome.changed.wait_for(guard, std::chrono::seconds(30),
                                             [&] { return outcome.done; }));
        ASSERT_EQ(outcome.stream, &stream) << QXTest::Narrow(client.GetError());
        Bytes content = stream.bytes;
        content.insert(content.end(), tail.begin(), tail.begin() + outcome.value);
        EXPECT_EQ(content, QXSim::TftpServer::GeneratedContent(size)) << useDouble;
    }
}

TEST(TFTPInterop, AMissingFileEndsAsTimedOutAfterEveryAttempt) {
    TftpdProcess server;
    REQUIRE_TFTPD(server);
    Read r = ReadFile(server.Port(), "missing.bin", false, 2);
    EXPECT_EQ(r.code, static_cast<int>(QX::ResultCode::TimedOut));
    EXPECT_EQ(r.error, "TFTPClient[Closed]::Read(): Read error -268435449");
    EXPECT_TRUE(r.content.empty());
}

TEST(TFTPInterop, AServerThatRefusesTheBlockSizeOptionIsNotRead) {
    TftpdProcess server({"--refuse", "blksize"});
    REQUIRE_TFTPD(server);
    server.AddFile("plain.bin", QXSim::TftpServer::GeneratedContent(5000));
    // Its DATA packets come without an option acknowledgement: they are dropped, and every
    // attempt ends in silence.
    Read r = ReadFile(server.Port(), "plain.bin", false, 1);
    EXPECT_EQ(r.code, static_cast<int>(QX::ResultCode::TimedOut));
    EXPECT_EQ(r.error, "TFTPClient[Closed]::Read(): Read error -268435449");
    EXPECT_TRUE(r.content.empty());
}

TEST(TFTPInterop, AGrantOfAnotherBlockSizeFailsInsteadOfTruncating) {
    // As RFC 2348 allows, this server grants at most 1024 bytes, whatever the offer.
    TftpdProcess server({"--blocksize", "1024"});
    REQUIRE_TFTPD(server);
    for (std::uint64_t size : {std::uint64_t{3000}, std::uint64_t{1} << 20}) {
        server.AddFile(FileName(size), QXSim::TftpServer::GeneratedContent(size));
    }
    for (bool useDouble : {false, true}) {
        for (std::uint64_t size : {std::uint64_t{3000}, std::uint64_t{1} << 20}) {
            const std::string name = FileName(size);
            Read r = ReadFile(server.Port(), name.c_str(), useDouble, 2);
            EXPECT_EQ(r.code, static_cast<int>(QX::ResultCode::TimedOut)) << name << useDouble;
            EXPECT_EQ(r.error, "TFTPClient[Closed]::Read(): Read error -268435449");
            EXPECT_TRUE(r.content.empty()) << name << " " << useDouble;
            // The setting keeps the last grant the client could take.
            EXPECT_EQ(r.useDouble, useDouble);
        }
    }
}

}  // namespace
