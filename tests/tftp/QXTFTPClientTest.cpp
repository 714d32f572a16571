#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "tests/support/QXScriptedSockets.h"
#include "tests/support/QXTraceCapture.h"
#include "tests/tftp/QXLoopbackPeer.h"
#include "tests/tftp/QXTFTPClientTestAccess.h"

using QXSDK::TFTPPacket;
using QXTest::kLoopback;
using QXTest::LoopbackPeer;
using QXTest::NewLock;
using QXTest::TestClient;

namespace {

constexpr int kUnexpected = static_cast<int>(QX::ResultCode::Unexpected);
constexpr int kInvalidArgument = static_cast<int>(QX::ResultCode::InvalidArgument);
constexpr int kTimedOut = static_cast<int>(QX::ResultCode::TimedOut);
constexpr int kUnavailable = static_cast<int>(QX::ResultCode::Unavailable);

class Endpoint : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(QXSDK::TFTPClient::Startup()); }
    void TearDown() override { QXSDK::TFTPClient::Cleanup(); }
};

// Runs action, expects a QX::Exception from the client and returns it.
template <typename Action>
QX::Exception Thrown(Action action) {
    try {
        action();
    } catch (const QX::Exception& exception) {
        EXPECT_STREQ(exception.file, L"QXTFTPClient");
        return exception;
    }
    ADD_FAILURE() << "no exception";
    return QX::Exception(L"", 0, 0, L"");
}

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return bytes;
}

// The client's own address as a peer sends to it.
QX::SocketAddressV4 ClientAddress(const TestClient& client) {
    QX::SocketAddressV4 local{};
    EXPECT_TRUE(QX::SocketLocalAddress(client.Socket(), &local));
    return QX::MakeSocketAddress(kLoopback, QX::NetworkToHost16(local.port));
}

}  // namespace

TEST_F(Endpoint, NewClientIsClosed) {
    TestClient client(NewLock(), 0, true, 3, 77, 69);
    EXPECT_STREQ(client.Name(), L"TFTPClient[Closed]");
    EXPECT_STREQ(client.GetError(), L"");
    EXPECT_EQ(client.Socket(), QX::InvalidSocket);
    EXPECT_TRUE(client.UseDoublePackets());
    client.UseDoublePackets(false);
    EXPECT_FALSE(client.UseDoublePackets());
    EXPECT_EQ(client.Reserved(), 77);
    EXPECT_EQ(client.Port(), 69);
}

TEST_F(Endpoint, OpenNamesTheRemoteAndTraces) {
    QXTest::TraceCapture trace;
    TestClient client(NewLock(), 0, false, 3, 0, 1);
    client.Open(0xC0A80105, 69);
    EXPECT_TRUE(trace.Contains(L"TFTPClient[Closed]::Open(192.168.1.5)"));
    EXPECT_STREQ(client.Name(), L"TFTPClient[192.168.1.5]");
    EXPECT_NE(client.Socket(), QX::InvalidSocket);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&client.Remote());
    EXPECT_EQ(client.Remote().family, QX::AddressFamilyInet);
    EXPECT_EQ(bytes[2], 0);
    EXPECT_EQ(bytes[3], 69);
    EXPECT_EQ(bytes[4], 192);
    EXPECT_EQ(bytes[7], 5);
    EXPECT_EQ(client.Port(), 69);
#if !defined(_WIN32)
    // No local address: the socket is not bound (Winsock cannot tell an unbound socket's name).
    QX::SocketAddressV4 local{};
    ASSERT_TRUE(QX::SocketLocalAddress(client.Socket(), &local));
    EXPECT_EQ(local.port, 0);
#endif
    client.Close();
    EXPECT_STREQ(client.Name(), L"TFTPClient[Closed]");
    EXPECT_EQ(client.Socket(), QX::InvalidSocket);
    client.Close();
    EXPECT_STREQ(client.Name(), L"TFTPClient[Closed]");
}

TEST_F(Endpoint, OpenBindsTheLocalAddress) {
    TestClient client(NewLock(), kLoopback, false, 3, 0, 69);
    client.Open(kLoopback, 69);
    QX::SocketAddressV4 local{};
    ASSERT_TRUE(QX::SocketLocalAddress(client.Socket(), &local));
    EXPECT_EQ(QX::NetworkToHost32(local.address), kLoopback);
    EXPECT_NE(local.port, 0);
}

namespace {

void ExpectBindFailure(TestClient& client, int socketError) {
    const QX::Exception exception = Thrown([&] { client.Open(kLoopback, 69); });
    EXPECT_EQ(exception.hResult, static_cast<std::uint32_t>(socketError));
    const std::wstring expected =
        L"TFTPClient[TFTPClient[Closed]]::Open(): Cannot bind socket: Error " +
        std::to_wstring(socketError);
    EXPECT_EQ(std::wstring(exception.message), expected);
    EXPECT_STREQ(client.GetError(), exception.message);
    EXPECT_EQ(client.Socket(), QX::InvalidSocket);
    EXPECT_STREQ(client.Name(), L"TFTPClient[Closed]");
    EXPECT_EQ(client.Port(), 69);
    EXPECT_EQ(QX::NetworkToHost32(client.Remote().address), kLoopback);
}

}  // namespace

TEST_F(Endpoint, FailedBindClosesTheSocket) {
    QX::ScriptedSocketBackend script;
    script.Install();
    script.FailBind(QX::SocketError::AddressNotAvailable);
    TestClient client(NewLock(), 0x0A000001, false, 3, 0, 1);
    ExpectBindFailure(client, QX::SocketError::AddressNotAvailable);
    EXPECT_EQ(script.OpenSockets(), 0u);
}

#if !defined(_WIN32)
// Wine binds a foreign address instead of refusing it, so this runs on the native backend.
TEST_F(Endpoint, BindToForeignAddressFails) {
    // 192.0.2.1 (documentation range) is no address of this host.
    TestClient client(NewLock(), 0xC0000201, false, 3, 0, 1);
    ExpectBindFailure(client, QX::SocketError::AddressNotAvailable);
}
#endif

TEST_F(Endpoint, FailedCreationLeavesTheClientAsItWas) {
    QX::ScriptedSocketBackend script;
    script.Install();
    TestClient client(NewLock(), 0, false, 3, 0, 1);
    client.Open(0x0A000001, 70);
    script.FailCreate(QX::SocketError::TooManyOpen);
    const QX::Exception exception = Thrown([&] { client.Open(0x0A000002, 71); });
    EXPECT_EQ(exception.hResult, static_cast<std::uint32_t>(QX::SocketError::TooManyOpen));
    EXPECT_STREQ(exception.message,
                 L"TFTPClient[TFTPClient[10.0.0.1]]::Open(): Cannot create socket");
    EXPECT_STREQ(client.Name(), L"TFTPClient[10.0.0.1]");
    EXPECT_EQ(client.Port(), 70);
    EXPECT_EQ(script.OpenSockets(), 1u);
}

TEST_F(Endpoint, ReopenClosesTheOldSocket) {
    QX::ScriptedSocketBackend script;
    script.Install();
    {
        TestClient client(NewLock(), 0, false, 3, 0, 1);
        client.Open(0x0A000001, 69);
        const QX::SocketHandle first = client.Socket();
        client.Open(0x0A000002, 69);
        EXPECT_NE(client.Socket(), first);
        EXPECT_EQ(script.OpenSockets(), 1u);
        client.Reset(0x0A000003, 69);
        EXPECT_EQ(script.OpenSockets(), 1u);
        EXPECT_STREQ(client.Name(), L"TFTPClient[10.0.0.3]");
    }
    EXPECT_EQ(script.OpenSockets(), 0u);
}

TEST_F(Endpoint, SendOnClosedClient) {
    TestClient client(NewLock(), 0, false, 3, 0, 69);
    TFTPPacket packet(0);
    packet.MakeRQ(1, "a");
    EXPECT_EQ(client.Send(&packet), kUnavailable);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[TFTPClient[Closed]]::Send(): Invalid socket");
}

TEST_F(Endpoint, SendRefusesInvalidPacketsAndSendsNothing) {
    QX::ScriptedSocketBackend script;
    script.Install();
    TestClient client(NewLock(), 0, false, 3, 0, 69);
    client.Open(0x0A000001, 69);
    TFTPPacket empty(0);
    EXPECT_EQ(client.Send(&empty), kInvalidArgument);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[10.0.0.1]::Send(): Invalid packet");
    TFTPPacket invalid(0);
    invalid.length = -1;
    EXPECT_EQ(client.Send(&invalid), kInvalidArgument);
    EXPECT_EQ(client.Send(nullptr), kInvalidArgument);
    EXPECT_TRUE(script.Sent().empty());
}

TEST_F(Endpoint, SendWithNoRetriesSendsNothing) {
    QX::ScriptedSocketBackend script;
    script.Install();
    TestClient client(NewLock(), 0, false, 0, 0, 69);
    client.Open(0x0A000001, 69);
    TFTPPacket packet(0);
    packet.MakeRQ(1, "a");
    EXPECT_EQ(client.Send(&packet), kUnexpected);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[10.0.0.1]::Send(): send failed: 0");
    EXPECT_TRUE(script.Sent().empty());
}

TEST_F(Endpoint, SendReportsTheLastFailure) {
    QX::ScriptedSocketBackend script;
    script.Install();
    TestClient client(NewLock(), 0, false, 3, 0, 69);
    client.Open(0x0A000001, 69);
    script.FailSend(QX::SocketError::HostUnreachable);
    TFTPPacket packet(0);
    packet.MakeRQ(1, "a");
    EXPECT_EQ(client.Send(&packet), kUnexpected);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[10.0.0.1]::Send(): send failed: 10065");
    // A later success does not clear the text.
    script.FailSend(0);
    EXPECT_EQ(client.Send(&packet), 0);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[10.0.0.1]::Send(): send failed: 10065");
    ASSERT_EQ(script.Sent().size(), 1u);
    EXPECT_EQ(script.Sent()[0].bytes.size(), 26u);
    EXPECT_EQ(QX::NetworkToHost16(script.Sent()[0].peer.port), 69);
}

TEST_F(Endpoint, SendAndReceiveOverLoopback) {
    LoopbackPeer peer;
    TestClient client(NewLock(), 0, false, 3, 0, 69);
    client.Open(kLoopback, peer.Port());
    TFTPPacket request(0);
    request.MakeRQ(1, "file.bin");
    ASSERT_EQ(client.Send(&request), 0);
    std::vector<std::uint8_t> bytes;
    QX::SocketAddressV4 from{};
    ASSERT_TRUE(peer.Receive(&bytes, &from, 2000000));
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(request.data, request.data + request.length));

    client.SetError(L"old %d", 1);
    const std::vector<std::uint8_t> answer = Pattern(1454);
    ASSERT_TRUE(peer.SendTo(answer, from));
    TFTPPacket packet(0);
    packet.data[2000] = 0xEE;
    ASSERT_EQ(client.Receive(&packet), 0);
    EXPECT_STREQ(client.GetError(), L"");
    EXPECT_EQ(packet.length, 1454);
    EXPECT_EQ(std::vector<std::uint8_t>(packet.data, packet.data + 1454), answer);
    EXPECT_EQ(packet.data[2000], 0);  // reception clears the whole buffer
    EXPECT_EQ(packet.sizeIndex, 0);
    EXPECT_EQ(QX::NetworkToHost16(packet.from.port), peer.Port());
    EXPECT_EQ(QX::NetworkToHost32(packet.from.address), kLoopback);
}

TEST_F(Endpoint, OversizeDatagramGivesInvalidPacket) {
    LoopbackPeer peer;
    TestClient client(NewLock(), kLoopback, false, 3, 0, 69);
    client.Open(kLoopback, peer.Port());
    ASSERT_TRUE(peer.SendTo(Pattern(1455), ClientAddress(client)));
    TFTPPacket packet(0);
    ASSERT_EQ(client.Receive(&packet), 0);
    EXPECT_EQ(packet.length, -1);

    // The same size fits a packet of class 1.
    ASSERT_TRUE(peer.SendTo(Pattern(1455), ClientAddress(client)));
    TFTPPacket big(1);
    ASSERT_EQ(client.Receive(&big), 0);
    EXPECT_EQ(big.length, 1455);
}

TEST_F(Endpoint, ReceiveTimesOut) {
    TestClient client(NewLock(), kLoopback, false, 3, 0, 69);
    client.Open(kLoopback, 9);
    TFTPPacket packet(0);
    EXPECT_EQ(client.Receive(&packet), kTimedOut);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[127.0.0.1]::Receive(): select() Timeout");
    std::vector<TFTPPacket> batch(2);
    EXPECT_EQ(client.Receive(batch, 1454), kTimedOut);
    EXPECT_TRUE(batch.empty());
    EXPECT_STREQ(client.GetError(), L"TFTPClient[127.0.0.1]::Receive(): select() Timeout");
}

TEST_F(Endpoint, ReceiveOnClosedClientOrWithoutPacket) {
    TestClient client(NewLock(), 0, false, 3, 0, 69);
    TFTPPacket packet(0);
    EXPECT_EQ(client.Receive(&packet), kUnavailable);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[Closed]::Receive(): Invalid socket");
    std::vector<TFTPPacket> batch;
    EXPECT_EQ(client.Receive(batch, 1454), kUnavailable);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[Closed]::Receive(): Invalid socket");
    client.Open(kLoopback, 9);
    EXPECT_EQ(client.Receive(nullptr), kInvalidArgument);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[127.0.0.1]::Receive(): Invalid argument");
    EXPECT_EQ(client.Receive(batch, 0), kInvalidArgument);
    EXPECT_EQ(client.Receive(batch, 2909), kInvalidArgument);
}

TEST_F(Endpoint, BatchIsCutIntoPieces) {
    LoopbackPeer peer;
    TestClient client(NewLock(), kLoopback, false, 3, 0, 69);
    client.Open(kLoopback, peer.Port());
    const std::vector<std::uint8_t> datagram = Pattern(3000);
    ASSERT_TRUE(peer.SendTo(datagram, ClientAddress(client)));
    std::vector<TFTPPacket> batch;
    ASSERT_EQ(client.Receive(batch, 1454), 0);
    ASSERT_EQ(batch.size(), 3u);
    const int sizes[] = {1454, 1454, 92};
    int offset = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(batch[i].length, sizes[i]);
        EXPECT_EQ(batch[i].sizeIndex, 0);
        EXPECT_EQ(QX::NetworkToHost16(batch[i].from.port), peer.Port());
        EXPECT_EQ(QX::NetworkToHost32(batch[i].from.address), kLoopback);
        EXPECT_EQ(std::vector<std::uint8_t>(batch[i].data, batch[i].data + sizes[i]),
                  std::vector<std::uint8_t>(datagram.begin() + offset,
                                            datagram.begin() + offset + sizes[i]));
        EXPECT_EQ(batch[i].data[sizes[i]], 0);
        offset += sizes[i];
    }
}

TEST_F(Endpoint, BatchEdgeSizes) {
    LoopbackPeer peer;
    TestClient client(NewLock(), kLoopback, true, 3, 0, 69);
    client.Open(kLoopback, peer.Port());
    std::vector<TFTPPacket> batch;

    ASSERT_TRUE(peer.SendTo(Pattern(2908), ClientAddress(client)));
    ASSERT_EQ(client.Receive(batch, 2908), 0);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].length, 2908);
    EXPECT_EQ(batch[0].sizeIndex, 1);

    ASSERT_TRUE(peer.SendTo({}, ClientAddress(client)));
    batch.resize(3);
    ASSERT_EQ(client.Receive(batch, 2908), 0);
    EXPECT_TRUE(batch.empty());

    // 2908 + 2908 + 500 bytes: two full pieces and the rest.
    ASSERT_TRUE(peer.SendTo(Pattern(6316), ClientAddress(client)));
    ASSERT_EQ(client.Receive(batch, 2908), 0);
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(batch[2].length, 500);

    // Pieces longer than a class-0 packet holds are invalid, never cut.
    client.UseDoublePackets(false);
    ASSERT_TRUE(peer.SendTo(Pattern(3000), ClientAddress(client)));
    ASSERT_EQ(client.Receive(batch, 2908), 0);
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0].length, -1);
    EXPECT_EQ(batch[1].length, 92);
}

TEST_F(Endpoint, BatchDatagramLargerThanTheBufferIsInvalid) {
    LoopbackPeer peer;
    TestClient client(NewLock(), kLoopback, false, 3, 0, 69);
    client.Open(kLoopback, peer.Port());
    ASSERT_TRUE(peer.SendTo(Pattern(9000), ClientAddress(client)));
    std::vector<TFTPPacket> batch;
    ASSERT_EQ(client.Receive(batch, 1454), 0);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].length, -1);
    EXPECT_EQ(QX::NetworkToHost16(batch[0].from.port), peer.Port());

    ASSERT_TRUE(peer.SendTo(Pattern(8192), ClientAddress(client)));
    ASSERT_EQ(client.Receive(batch, 1454), 0);
    ASSERT_EQ(batch.size(), 6u);
    EXPECT_EQ(batch[5].length, 8192 - 5 * 1454);
}

TEST_F(Endpoint, WaitAndReceiveFailures) {
    QX::ScriptedSocketBackend script;
    script.Install();
    TestClient client(NewLock(), 0, false, 3, 0, 69);
    client.Open(0x0A000001, 69);
    TFTPPacket packet(0);
    std::vector<TFTPPacket> batch;

    script.PushWaitOutcome(QX::SocketWait::Failed, QX::SocketError::NetworkDown);
    EXPECT_EQ(client.Receive(&packet), kUnexpected);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[10.0.0.1]::Receive(): select() failed: 10050");

    script.PushWaitOutcome(QX::SocketWait::Exception);
    EXPECT_EQ(client.Receive(batch, 1454), kUnexpected);
    EXPECT_STREQ(client.GetError(),
                 L"TFTPClient[10.0.0.1]::Receive(): select() yielded socket with error");

    script.PushReceiveError(QX::SocketError::TimedOut);
    EXPECT_EQ(client.Receive(&packet), kTimedOut);
    EXPECT_STREQ(client.GetError(), L"");

    script.PushReceiveError(QX::SocketError::ConnectionReset);
    EXPECT_EQ(client.Receive(batch, 1454), kUnexpected);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[10.0.0.1]::Receive(): recv() failed: 10054");
}

TEST_F(Endpoint, ErrorTextIsBounded) {
    TestClient client(NewLock(), 0, false, 3, 0, 69);
    const std::wstring longText(3000, L'x');
    client.SetError(L"%s", longText.c_str());
    EXPECT_EQ(std::wcslen(client.GetError()), 1023u);
    client.ClearError();
    EXPECT_STREQ(client.GetError(), L"");
}

TEST_F(Endpoint, ResetWaitsForAnotherHolderOfTheLock) {
    QX::ScriptedSocketBackend script;
    script.Install();
    auto lock = NewLock();
    TestClient client(lock, 0, false, 3, 0, 69);
    client.Open(0x0A000001, 69);
    std::atomic<bool> holding{false};
    std::atomic<bool> released{false};
    std::atomic<bool> go{false};
    std::thread holder([&] {
        lock->Enter();
        holding = true;
        while (!go) {
            std::this_thread::yield();
        }
        released = true;
        lock->Leave();
    });
    while (!holding) {
        std::this_thread::yield();
    }
    std::thread resetter([&] {
        client.Reset(0x0A000002, 70);
        EXPECT_TRUE(released.load());
    });
    // Give the resetter the chance to reach the lock before it is released.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    go = true;
    resetter.join();
    holder.join();
    EXPECT_STREQ(client.Name(), L"TFTPClient[10.0.0.2]");
    EXPECT_EQ(client.Port(), 70);
}

TEST_F(Endpoint, CopiesShareTheLockButNoHandle) {
    QX::ScriptedSocketBackend script;
    script.Install();
    {
        auto lock = NewLock();
        TestClient source(lock, 0x0A000009, true, 5, 42, 69);
        source.Open(0x0A000001, 69);
        source.SetError(L"old");
        TestClient copy(source);
        EXPECT_EQ(copy.Lock(), lock);
        EXPECT_EQ(copy.LocalAddress(), 0x0A000009u);
        EXPECT_TRUE(copy.UseDoublePackets());
        EXPECT_EQ(copy.Retries(), 5);
        EXPECT_EQ(copy.Reserved(), 42);
        EXPECT_EQ(copy.Port(), 69);
        EXPECT_EQ(copy.Socket(), QX::InvalidSocket);
        EXPECT_STREQ(copy.Name(), L"TFTPClient[Closed]");
        EXPECT_STREQ(copy.GetError(), L"");
        EXPECT_NE(source.Socket(), QX::InvalidSocket);

        TestClient target(NewLock(), 0, false, 1, 0, 1);
        target.Open(0x0A000002, 69);
        EXPECT_EQ(script.OpenSockets(), 2u);
        target = source;
        EXPECT_EQ(script.OpenSockets(), 1u);
        EXPECT_EQ(target.Socket(), QX::InvalidSocket);
        EXPECT_EQ(target.Lock(), lock);
        EXPECT_EQ(target.Retries(), 5);
        EXPECT_EQ(target.Reserved(), 42);
        EXPECT_STREQ(target.Name(), L"TFTPClient[Closed]");
        const TestClient& alias = target;
        target = alias;
        EXPECT_EQ(target.Lock(), lock);
        target.Open(0x0A000003, 69);
        EXPECT_EQ(script.OpenSockets(), 2u);
    }
    EXPECT_EQ(script.OpenSockets(), 0u);
}

TEST_F(Endpoint, DestructorTraces) {
    QXTest::TraceCapture trace;
    {
        TestClient client(NewLock(), 0, false, 3, 0, 69);
        client.Open(kLoopback, 9);
    }
    EXPECT_TRUE(trace.Contains(L"TFTPClient[Closed]::~TFTPClient(): done"));
}
