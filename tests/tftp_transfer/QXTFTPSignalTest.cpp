// The waits of the socket layer, the transfer and the broadcast discovery while an interval timer
// interrupts the waiting thread every 50 ms: every wait resumes with the time that is left.

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qxnet/common/QXResult.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXSignalTimer.h"
#include "tests/support/QXTraceCapture.h"
#include "tests/tftp_transfer/QXTransferTestClient.h"
#include "tests/tftp_transfer/QXUdpPeer.h"

namespace {

using QXTest::SignalTimer;
using QXTest::TransferClient;
using QXTest::UdpPeer;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr int kTimedOut = static_cast<int>(QX::ResultCode::TimedOut);

TEST(InterruptedWaits, EveryWaitOnASilentCameraRunsToItsTimeOut) {
    UdpPeer camera(kLoopback);
    TransferClient client(camera.Port());
    client.Open(kLoopback, camera.Port());
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    ASSERT_TRUE(QX::SocketBind(socket, QX::MakeSocketAddress(kLoopback, 0)));
    const std::vector<std::pair<const char*, std::function<int()>>> waits = {
        {"socket wait",
         [&] {
             return QX::SocketWaitReadable(socket, 400000) == QX::SocketWait::TimedOut
                        ? kTimedOut
                        : QX::SocketLastError();
         }},
        {"Receive",
         [&] {
             QXSDK::TFTPPacket packet(0);
             return client.Receive(&packet);
         }},
        {"batch Receive",
         [&] {
             std::vector<QXSDK::TFTPPacket> batch;
             return client.Receive(batch, 1454);
         }},
        {"WaitForOpAck", [&] { return client.WaitForOpAck(); }},
        {"WaitForAck", [&] { return client.WaitForAck(1); }},
        {"WaitForData",
         [&] {
             std::vector<QXSDK::TFTPPacket> batch;
             return client.WaitForData(batch, 1454);
         }},
    };
    for (const auto& [what, wait] : waits) {
        SignalTimer timer;
        const int result = wait();
        EXPECT_EQ(result, kTimedOut) << what << ": " << QXTest::Narrow(client.GetError());
        // The wait was interrupted, more than once.
        EXPECT_GE(SignalTimer::Count(), 2) << what;
    }
    QX::SocketClose(socket);
}

TEST(InterruptedWaits, AReadFromASlowCameraSucceeds) {
    QXSim::TftpServerConfig config;
    const std::uint64_t size = 20000;
    config.generated["slow.bin"] = size;
    // Each datagram comes after several interruptions of the client's wait, within its window.
    config.faults.datagramDelayMs = 120;
    QXSim::TftpServer server(config);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    TransferClient client(server.Port(), false, 2);
    client.Open(kLoopback, server.Port());
    QXTest::VectorStream stream;
    Bytes tail(1450);
    std::uint32_t length = static_cast<std::uint32_t>(tail.size());
    SignalTimer timer;
    ASSERT_EQ(client.Read("slow.bin", &stream, tail.data(), &length, nullptr), 0)
        << QXTest::Narrow(client.GetError());
    EXPECT_GE(SignalTimer::Count(), 4);
    Bytes content = stream.bytes;
    content.insert(content.end(), tail.begin(), tail.begin() + length);
    EXPECT_EQ(content, QXSim::TftpServer::GeneratedContent(size));
    EXPECT_EQ(server.Stats().requests.size(), 1u);
}

TEST(InterruptedWaits, ABroadcastCollectionIsNotEndedByInterruptions) {
    QXTest::TraceCapture trace;
    ASSERT_FALSE(QXSDK::TFTPClient::Startup());
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::DiscoveryOptions options;
    // The answers come well after the first interruptions of each collection.
    options.faults.delayMs = 300;
    auto& responder =
        simulator.Add(std::make_unique<QXSim::DiscoveryResponder>(simulator, options));
    std::string error;
    ASSERT_TRUE(simulator.Start(error)) << error;
    std::set<QXSDK::CameraData> found;
    {
        QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, false, 3, 0,
                                 responder.Port());
        client.Open(0x7FFFFFFF, responder.Port());
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
