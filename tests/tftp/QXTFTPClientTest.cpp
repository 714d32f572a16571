#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "tests/support/QXScriptedSockets.h"
#include "tests/support/QXUdpPeer.h"
#include "tests/tftp/QXTFTPTestClient.h"

using QXSDK::TFTPPacket;
using QXTest::kLoopback;
using QXTest::NewLock;
using QXTest::Pattern;
using QXTest::TestClient;
using QXTest::Thrown;
using QXTest::UdpPeer;

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

// The scripted socket layer, and a client opened on it to 10.0.0.1:69.
class Scripted : public Endpoint {
protected:
    void SetUp() override {
        Endpoint::SetUp();
        script.Install();
        client.Open(0x0A000001, 69);
    }
    QX::ScriptedSocketBackend script;
    boost::shared_ptr<QX::CodeLock> lock = NewLock();
    TestClient client{lock, 0, false, 3, 0, 69};
};

// The client's own address, for a peer to send to.
QX::SocketAddressV4 ClientAddress(const TestClient& client) {
    QX::SocketAddressV4 local{};
    EXPECT_TRUE(QX::SocketLocalAddress(client.Socket(), &local));
    return QX::MakeSocketAddress(kLoopback, QX::NetworkToHost16(local.port));
}

}  // namespace

TEST_F(Scripted, FailedBindClosesTheSocket) {
    script.FailBind(QX::SocketError::AddressNotAvailable);
    TestClient other(NewLock(), 0xC0000201, false, 3, 0, 1);
    const QX::Exception exception = Thrown([&] { other.Open(kLoopback, 69); });
    EXPECT_EQ(exception.hResult, QX::SocketError::AddressNotAvailable);
    EXPECT_EQ(std::wstring(exception.message),
              L"TFTPClient[TFTPClient[Closed]]::Open(): Cannot bind socket: Error " +
                  std::to_wstring(QX::SocketError::AddressNotAvailable));
    EXPECT_STREQ(other.GetError(), exception.message);
    EXPECT_EQ(other.Socket(), QX::InvalidSocket);
    EXPECT_EQ(script.OpenSockets(), 1u);  // the fixture's
}

TEST_F(Scripted, SocketsAreReplacedNeverLeaked) {
    const QX::SocketHandle first = client.Socket();
    client.Open(0x0A000002, 70);
    EXPECT_NE(client.Socket(), first);
    client.Reset(0x0A000001, 70);
    EXPECT_EQ(script.OpenSockets(), 1u);
    // A socket that cannot be made leaves the client as it was.
    script.FailCreate(QX::SocketError::TooManyOpen);
    const QX::Exception exception = Thrown([&] { client.Open(0x0A000002, 71); });
    EXPECT_EQ(exception.hResult, QX::SocketError::TooManyOpen);
    EXPECT_STREQ(exception.message,
                 L"TFTPClient[TFTPClient[10.0.0.1]]::Open(): Cannot create socket");
    EXPECT_STREQ(client.Name(), L"TFTPClient[10.0.0.1]");
    EXPECT_EQ(client.Port(), 70);
    script.FailCreate(0);
    {
        TestClient other(NewLock(), 0, false, 3, 0, 1);
        other.Open(0x0A000002, 70);
        EXPECT_EQ(script.OpenSockets(), 2u);
    }
    EXPECT_EQ(script.OpenSockets(), 1u);
    for (int i = 0; i < 2; ++i) {  // a second Close finds nothing to do
        client.Close();
        EXPECT_STREQ(client.Name(), L"TFTPClient[Closed]");
    }
    EXPECT_EQ(script.OpenSockets(), 0u);
}

TEST_F(Scripted, SendFailures) {
    TestClient closed(NewLock(), 0, false, 3, 0, 69);
    TFTPPacket packet(0);
    packet.MakeRQ(1, "a");
    EXPECT_EQ(closed.Send(&packet), kUnavailable);
    EXPECT_STREQ(closed.GetError(), L"TFTPClient[TFTPClient[Closed]]::Send(): Invalid socket");
    TFTPPacket invalid(0);
    EXPECT_EQ(client.Send(&invalid), kInvalidArgument);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[10.0.0.1]::Send(): Invalid packet");
    invalid.length = -1;
    EXPECT_EQ(client.Send(&invalid), kInvalidArgument);
    EXPECT_EQ(client.Send(nullptr), kInvalidArgument);
    TestClient noRetries(NewLock(), 0, false, 0, 0, 69);
    noRetries.Open(0x0A000001, 69);
    EXPECT_EQ(noRetries.Send(&packet), kUnexpected);
    EXPECT_STREQ(noRetries.GetError(), L"TFTPClient[10.0.0.1]::Send(): send failed: 0");
    EXPECT_TRUE(script.Sent().empty());

    script.FailSend(QX::SocketError::HostUnreachable);
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

TEST_F(Endpoint, ReceiveRefusalsAndTimeOuts) {
    TestClient client(NewLock(), kLoopback, false, 3, 0, 69);
    TFTPPacket packet(0);
    std::vector<TFTPPacket> batch(2);
    EXPECT_EQ(client.Receive(&packet), kUnavailable);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[Closed]::Receive(): Invalid socket");
    EXPECT_EQ(client.Receive(batch, 1454), kUnavailable);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[Closed]::Receive(): Invalid socket");
    client.Open(kLoopback, 9);
    EXPECT_EQ(client.Receive(nullptr), kInvalidArgument);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[127.0.0.1]::Receive(): Invalid argument");
    EXPECT_EQ(client.Receive(batch, 0), kInvalidArgument);
    EXPECT_EQ(client.Receive(batch, 2909), kInvalidArgument);
    EXPECT_EQ(client.Receive(&packet), kTimedOut);
    EXPECT_STREQ(client.GetError(), L"TFTPClient[127.0.0.1]::Receive(): select() Timeout");
    batch.resize(2);
    EXPECT_EQ(client.Receive(batch, 1454), kTimedOut);
    EXPECT_TRUE(batch.empty());
    EXPECT_STREQ(client.GetError(), L"TFTPClient[127.0.0.1]::Receive(): select() Timeout");
}

// A datagram is cut into pieces of the length asked for (0: received whole, into one packet of
// the class); a piece longer than the packet class holds, or a datagram longer than the batch
// buffer, becomes one invalid packet, never cut up.
TEST_F(Endpoint, DatagramsAndBatches) {
    const struct {
        bool useDouble;
        int size;
        int maxLength;
        std::vector<int> lengths;
    } cases[] = {
        {false, 1454, 0, {1454}},
        {false, 1455, 0, {-1}},
        {true, 1455, 0, {1455}},
        {false, 3000, 1454, {1454, 1454, 92}},
        {true, 2908, 2908, {2908}},
        {true, 0, 2908, {}},
        {true, 6316, 2908, {2908, 2908, 500}},
        {false, 3000, 2908, {-1, 92}},
        {false, 8192, 1454, {1454, 1454, 1454, 1454, 1454, 922}},
        {false, 9000, 1454, {-1}},
    };
    UdpPeer peer;
    TestClient client(NewLock(), kLoopback, false, 3, 0, 69);
    client.Open(kLoopback, peer.Port());
    for (const auto& test : cases) {
        client.UseDoublePackets(test.useDouble);
        const std::vector<std::uint8_t> datagram = Pattern(static_cast<std::size_t>(test.size));
        ASSERT_TRUE(peer.SendTo(datagram, ClientAddress(client)));
        std::vector<TFTPPacket> batch(1);
        if (test.maxLength == 0) {
            batch.assign(1, TFTPPacket(test.useDouble ? 1 : 0));
            ASSERT_EQ(client.Receive(&batch[0]), 0);
        } else {
            ASSERT_EQ(client.Receive(batch, test.maxLength), 0);
        }
        ASSERT_EQ(batch.size(), test.lengths.size()) << test.size;
        int offset = 0;
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const TFTPPacket& piece = batch[i];
            EXPECT_EQ(piece.length, test.lengths[i]) << test.size << " piece " << i;
            EXPECT_EQ(piece.sizeIndex, test.useDouble ? 1 : 0);
            EXPECT_EQ(QX::NetworkToHost16(piece.from.port), peer.Port());
            if (piece.length > 0) {
                EXPECT_EQ(std::vector<std::uint8_t>(piece.data, piece.data + piece.length),
                          std::vector<std::uint8_t>(datagram.begin() + offset,
                                                    datagram.begin() + offset + piece.length));
                EXPECT_TRUE(piece.length == TFTPPacket::MaxCapacity ||
                            piece.data[piece.length] == 0);
            }
            offset += test.maxLength;
        }
    }
}

TEST_F(Scripted, WaitAndReceiveFailures) {
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
    // The error text is bounded.
    client.SetError(L"%s", std::wstring(3000, L'x').c_str());
    EXPECT_EQ(std::wcslen(client.GetError()), 1023u);
    client.ClearError();
    EXPECT_STREQ(client.GetError(), L"");
}

TEST_F(Scripted, CopiesShareTheLockButNoHandle) {
    auto shared = NewLock();
    TestClient source(shared, 0x0A000009, true, 5, 42, 69);
    source.Open(0x0A000001, 69);
    source.SetError(L"old");
    TestClient copy(source);
    EXPECT_EQ(script.OpenSockets(), 2u);
    client = source;  // closes the client's socket
    EXPECT_EQ(script.OpenSockets(), 1u);
    const TestClient& alias = client;
    client = alias;
    for (const TestClient* c : {&copy, &client}) {
        EXPECT_EQ(c->Lock(), shared);
        EXPECT_TRUE(c->UseDoublePackets());
        EXPECT_EQ(c->Socket(), QX::InvalidSocket);
        EXPECT_STREQ(c->GetError(), L"");
    }
    EXPECT_NE(source.Socket(), QX::InvalidSocket);
    client.Open(0x0A000003, 69);
    EXPECT_EQ(script.OpenSockets(), 2u);
}
