// Read and ReadAsync of generated files from the simulator's TFTP service, on every platform. On
// Linux the test starts the service itself; the Windows build (under Wine) reads from the
// first demo camera (127.0.1.1) of the qxcam-sim that scripts/windows.sh starts on loopback, at
// the TFTP port it names in QXNET_TFTP_SIM_PORT, with the files "portable-1450" and
// "portable-2904" of the sizes below.

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include <boost/make_shared.hpp>

#include "qxnet/common/QXResult.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimTftpServer.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
#ifdef _WIN32
constexpr std::uint32_t kFirstDemoCamera = 0x7F000101;
#endif
constexpr std::uint64_t kSmall = 1450 * 7 + 3;
constexpr std::uint64_t kLarge = 2904 * 300 + 2903;

class Stream : public QXSDK::IStream {
public:
    std::int32_t Write(const void* data, std::uint32_t size) override {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
        return static_cast<std::int32_t>(size);
    }
    std::int32_t Read(void*, std::uint32_t) override { return 0; }
    std::uint32_t GetSize() override { return static_cast<std::uint32_t>(bytes.size()); }
    std::vector<std::uint8_t> bytes;
};

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
        m_address = kFirstDemoCamera;
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

    static std::vector<std::uint8_t> Expected(std::uint64_t size) {
        return QXSim::TftpServer::GeneratedContent(size);
    }

    int m_port = 0;
    std::uint32_t m_address = kLoopback;
#ifndef _WIN32
    std::unique_ptr<QXSim::TftpServer> m_server;
#endif
};

TEST_F(Portable, ReadsInBothSizeClasses) {
    for (bool useDouble : {false, true}) {
        QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, useDouble, 4, 0, m_port);
        client.Open(m_address, m_port);
        Stream stream;
        unsigned char tail[2904];
        std::uint32_t length = sizeof tail;
        const char* name = useDouble ? "portable-2904" : "portable-1450";
        ASSERT_EQ(client.Read(name, &stream, tail, &length, nullptr), 0) << useDouble;
        stream.bytes.insert(stream.bytes.end(), tail, tail + length);
        EXPECT_EQ(stream.bytes, Expected(useDouble ? kLarge : kSmall)) << useDouble;
        EXPECT_EQ(client.UseDoublePackets(), useDouble);
    }
}

struct Done {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    QXSDK::IStream* stream = nullptr;
    std::uint32_t value = 0;

    static void Callback(QXSDK::IStream* stream, unsigned char*, std::uint32_t value,
                         void* context) {
        auto* self = static_cast<Done*>(context);
        std::lock_guard<std::mutex> guard(self->mutex);
        self->done = true;
        self->stream = stream;
        self->value = value;
        self->changed.notify_all();
    }
};

TEST_F(Portable, ReadsAsynchronously) {
    QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, true, 4, 0, m_port);
    client.Open(m_address, m_port);
    Stream stream;
    unsigned char tail[2904];
    std::uint32_t length = sizeof tail;
    Done done;
    ASSERT_EQ(client.ReadAsync("portable-2904", &stream, tail, &length, &Done::Callback, &done), 0);
    std::unique_lock<std::mutex> guard(done.mutex);
    ASSERT_TRUE(done.changed.wait_for(guard, std::chrono::seconds(30), [&] { return done.done; }));
    ASSERT_EQ(done.stream, &stream);
    stream.bytes.insert(stream.bytes.end(), tail, tail + done.value);
    EXPECT_EQ(stream.bytes, Expected(kLarge));
}

TEST_F(Portable, AMissingFileTimesOut) {
    QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, false, 1, 0, m_port);
    client.Open(m_address, m_port);
    std::uint32_t length = 0;
    EXPECT_EQ(client.Read("absent", nullptr, nullptr, &length, nullptr),
              static_cast<int>(QX::ResultCode::TimedOut));
}

}  // namespace
