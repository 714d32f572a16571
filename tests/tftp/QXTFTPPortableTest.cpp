// Read and ReadAsync from the simulator's TFTP service, on every platform: on Linux one of the
// test's own; under Wine the first demo camera (127.0.1.1) of the qxcam-sim that
// scripts/windows.sh starts, at QXNET_TFTP_SIM_PORT, serving these files at these sizes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "sim/QXSimTftpServer.h"
#include "tests/support/QXAsyncOutcome.h"
#include "tests/tftp/QXTFTPTestClient.h"

namespace {

constexpr std::uint64_t kSmall = 1450 * 7 + 3;
constexpr std::uint64_t kLarge = 2904 * 300 + 2903;

class Portable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(QXSDK::TFTPClient::Startup());
#ifdef _WIN32
        const char* port = std::getenv("QXNET_TFTP_SIM_PORT");
        if (port == nullptr) {
            GTEST_SKIP() << "QXNET_TFTP_SIM_PORT not set (scripts/windows.sh starts qxcam-sim)";
        }
        m_port = std::atoi(port);
        m_address = 0x7F000101;  // the first demo camera
#else
        QXSim::TftpServerConfig config;
        config.generated["portable-1450"] = kSmall;
        config.generated["portable-2904"] = kLarge;
        m_server = std::make_unique<QXSim::TftpServer>(config);
        std::string error;
        ASSERT_TRUE(m_server->Start(error)) << error;
        m_port = m_server->Port();
#endif
    }
    void TearDown() override {
        QXSDK::TFTPClient::Cleanup();
    }

    int m_port = 0;
    std::uint32_t m_address = 0x7F000001;  // 127.0.0.1
#ifndef _WIN32
    std::unique_ptr<QXSim::TftpServer> m_server;
#endif
};

TEST_F(Portable, ReadsInBothSizeClassesAndAsynchronously) {
    for (bool useDouble : {false, true}) {
        QXTest::TestClient client(m_port, useDouble, 4, m_address);
        QXTest::VectorStream stream;
        unsigned char tail[2904];
        std::uint32_t length = sizeof tail;
        const char* name = useDouble ? "portable-2904" : "portable-1450";
        ASSERT_EQ(client.Read(name, &stream, tail, &length, nullptr), 0) << useDouble;
        stream.bytes.insert(stream.bytes.end(), tail, tail + length);
        EXPECT_EQ(stream.bytes, QXSim::TftpServer::GeneratedContent(useDouble ? kLarge : kSmall));
        EXPECT_EQ(client.UseDoublePackets(), useDouble);

        // Again on the receive thread.
        using Done = QXTest::AsyncOutcome<std::pair<QXSDK::IStream*, std::uint32_t>>;
        Done done;
        const auto callback = [](QXSDK::IStream* s, unsigned char*, std::uint32_t value,
                                 void* context) {
            static_cast<Done*>(context)->Add({s, value});
        };
        QXTest::VectorStream async;
        length = sizeof tail;
        client.Reset(m_address, m_port);
        ASSERT_EQ(client.ReadAsync(name, &async, tail, &length, callback, &done), 0);
        ASSERT_TRUE(done.Wait());
        ASSERT_EQ(done.Last().first, &async);
        async.bytes.insert(async.bytes.end(), tail, tail + done.Last().second);
        EXPECT_EQ(async.bytes, stream.bytes) << useDouble;
    }
}

}  // namespace
