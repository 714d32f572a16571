// The endpoint and broadcast discovery, on the scripted socket backend and a loopback peer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "tests/support/QXScriptedSockets.h"
#include "tests/support/QXTraceCapture.h"
#include "tests/support/QXUdpPeer.h"
#include "tests/tftp/QXTFTPTestClient.h"

using QXSDK::CameraData;
using QXSDK::TFTPPacket;
using namespace QXTest;

namespace {

class Endpoint : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(QXSDK::TFTPClient::Startup()); }
    void TearDown() override { QXSDK::TFTPClient::Cleanup(); }
};

// The scripted socket layer, and a client bound to 10.0.0.1 and opened on it to 10.0.0.1:69.
class Scripted : public Endpoint {
protected:
    void SetUp() override {
        Endpoint::SetUp();
        script.Install();
        client.Open(0x0A000001, 69);
    }
    QX::ScriptedSocketBackend script;
    boost::shared_ptr<QX::CodeLock> lock = NewLock();
    TestClient client{lock, 0x0A000001, false, 3, 0, 69};
};

}  // namespace

TEST_F(Scripted, SocketsAreReplacedNeverLeakedNorCopied) {
    script.FailBind(QX::SocketError::AddressNotAvailable);
    TestClient other(NewLock(), 0xC0000201, false, 3, 0, 1);
    const QX::Exception bind = Thrown([&] { other.Open(kLoopback, 69); });
    EXPECT_EQ(bind.hResult, QX::SocketError::AddressNotAvailable);
    EXPECT_EQ(std::wstring(bind.message),
              L"TFTPClient[TFTPClient[Closed]]::Open(): Cannot bind socket: Error " +
                  std::to_wstring(QX::SocketError::AddressNotAvailable));
    EXPECT_STREQ(other.GetError(), bind.message);
    EXPECT_EQ(other.Socket(), QX::InvalidSocket);
    EXPECT_EQ(script.OpenSockets(), 1u);  // the fixture's
    script.FailBind(0);
    const QX::SocketHandle first = client.Socket();
    client.Open(0x0A000002, 70);
    EXPECT_NE(client.Socket(), first);
    client.Reset(0x0A000001, 70);
    EXPECT_EQ(script.OpenSockets(), 1u);
    script.FailCreate(QX::SocketError::TooManyOpen);
    const QX::Exception exception = Thrown([&] { client.Open(0x0A000002, 71); });  // unchanged
    EXPECT_EQ(exception.hResult, QX::SocketError::TooManyOpen);
    EXPECT_STREQ(exception.message,
                 L"TFTPClient[TFTPClient[10.0.0.1]]::Open(): Cannot create socket");
    EXPECT_STREQ(client.Name(), L"TFTPClient[10.0.0.1]");
    EXPECT_EQ(client.Port(), 70);
    script.FailCreate(0);
    {
        TestClient scoped(NewLock(), 0, false, 3, 0, 1);
        scoped.Open(0x0A000002, 70);
        EXPECT_EQ(script.OpenSockets(), 2u);
    }
    EXPECT_EQ(script.OpenSockets(), 1u);
    for (int i = 0; i < 2; ++i) {  // a second Close finds nothing to do
        client.Close();
        EXPECT_STREQ(client.Name(), L"TFTPClient[Closed]");
    }
    EXPECT_EQ(script.OpenSockets(), 0u);
    client.Open(0x0A000001, 69);
    auto shared = NewLock();
    TestClient source(shared, 0x0A000009, true, 5, 42, 69);
    source.Open(0x0A000001, 69);
    source.SetError(L"old");
    TestClient copy(source);  // shares the lock, but no socket nor error text
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

// Each failure returns its result and leaves its text; a later success does not clear it.
TEST_F(Scripted, FailuresAndTheirTexts) {
    TestClient closed(NewLock(), 0, false, 3, 0, 69);
    TFTPPacket request(0);
    request.MakeRQ(1, "a");
    TFTPPacket packet(0);
    TFTPPacket invalid(0);
    std::vector<TFTPPacket> batch(2);
    const auto expect = [](TestClient& c, int result, int expected, const wchar_t* text) {
        EXPECT_EQ(result, expected);
        EXPECT_STREQ(c.GetError(), text);
    };
    expect(closed, closed.Send(&request), kUnavailable,
           L"TFTPClient[TFTPClient[Closed]]::Send(): Invalid socket");
    expect(closed, closed.Receive(&packet), kUnavailable,
           L"TFTPClient[Closed]::Receive(): Invalid socket");
    expect(closed, closed.Receive(batch, 1454), kUnavailable,
           L"TFTPClient[Closed]::Receive(): Invalid socket");
    expect(client, client.Send(&invalid), kInvalidArgument,
           L"TFTPClient[10.0.0.1]::Send(): Invalid packet");
    EXPECT_EQ(client.Send(nullptr), kInvalidArgument);
    expect(client, client.Receive(nullptr), kInvalidArgument,
           L"TFTPClient[10.0.0.1]::Receive(): Invalid argument");
    EXPECT_EQ(client.Receive(batch, 0), kInvalidArgument);
    EXPECT_EQ(client.Receive(batch, 2909), kInvalidArgument);
    TestClient noRetries(NewLock(), 0, false, 0, 0, 69);
    noRetries.Open(0x0A000001, 69);
    expect(noRetries, noRetries.Send(&request), kUnexpected,
           L"TFTPClient[10.0.0.1]::Send(): send failed: 0");
    EXPECT_TRUE(script.Sent().empty());

    expect(client, client.Receive(&packet), kTimedOut,
           L"TFTPClient[10.0.0.1]::Receive(): select() Timeout");
    expect(client, client.Receive(batch, 1454), kTimedOut,
           L"TFTPClient[10.0.0.1]::Receive(): select() Timeout");
    EXPECT_TRUE(batch.empty());
    script.PushWaitOutcome(QX::SocketWait::Failed, QX::SocketError::NetworkDown);
    expect(client, client.Receive(&packet), kUnexpected,
           L"TFTPClient[10.0.0.1]::Receive(): select() failed: 10050");
    script.PushWaitOutcome(QX::SocketWait::Exception);
    expect(client, client.Receive(batch, 1454), kUnexpected,
           L"TFTPClient[10.0.0.1]::Receive(): select() yielded socket with error");
    script.PushReceiveError(QX::SocketError::TimedOut);
    expect(client, client.Receive(&packet), kTimedOut, L"");
    script.PushReceiveError(QX::SocketError::ConnectionReset);
    expect(client, client.Receive(batch, 1454), kUnexpected,
           L"TFTPClient[10.0.0.1]::Receive(): recv() failed: 10054");
    script.FailSend(QX::SocketError::HostUnreachable);
    expect(client, client.Send(&request), kUnexpected,
           L"TFTPClient[10.0.0.1]::Send(): send failed: 10065");
    script.FailSend(0);
    expect(client, client.Send(&request), 0, L"TFTPClient[10.0.0.1]::Send(): send failed: 10065");
    ASSERT_EQ(script.Sent().size(), 1u);
    EXPECT_EQ(QX::NetworkToHost16(script.Sent()[0].peer.port), 69);
    client.ClearError();
    EXPECT_STREQ(client.GetError(), L"");
}

// Pieces of maxLength (0: whole); one too long for the class, or for the buffer, is invalid.
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
    QX::SocketAddressV4 local{};
    ASSERT_TRUE(QX::SocketLocalAddress(client.Socket(), &local));
    const auto to = QX::MakeSocketAddress(kLoopback, QX::NetworkToHost16(local.port));
    for (const auto& test : cases) {
        client.UseDoublePackets(test.useDouble);
        const std::vector<std::uint8_t> datagram = Pattern(static_cast<std::size_t>(test.size));
        ASSERT_TRUE(peer.SendTo(datagram, to));
        std::vector<TFTPPacket> batch(1, TFTPPacket(test.useDouble ? 1 : 0));
        if (test.maxLength == 0) {
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

namespace {

using Datagram = QX::ScriptedSocketBackend::Datagram;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBroadcastAddress = 0x0AFFFFFF;  // only ever seen by the script
const Bytes kRequest = {'F', 'I', 'N', 'D', 0, 1, 2};
const QX::SocketAddressV4 kCameraA = QX::MakeSocketAddress(0x0A000007, 3000);
const QX::SocketAddressV4 kCameraB = QX::MakeSocketAddress(0x0A000008, 3000);

struct Seen {  // what the callback saw, and its replies, the last repeated
    std::vector<Bytes> answers;
    std::vector<std::uint32_t> localAddresses;
    std::vector<int> replies{0};
};

int Record(std::uint32_t localAddress, unsigned char* answer, std::uint32_t length, void* context) {
    auto* seen = static_cast<Seen*>(context);
    seen->answers.emplace_back(answer, answer + length);
    seen->localAddresses.push_back(localAddress);
    return seen->replies[std::min(seen->answers.size(), seen->replies.size()) - 1];
}

class Discovery : public Scripted {
protected:
    void SetUp() override {
        Scripted::SetUp();
        client.Open(kBroadcastAddress, 3000);
    }
    int Broadcast(std::set<CameraData>* cameras) {
        return client.Broadcast(kRequest.data(), static_cast<std::uint32_t>(kRequest.size()),
                                cameras);
    }
    int BroadcastEx(QXSDK::TFTPClient::BroadcastCallback callback, void* context) {
        return client.BroadcastEx(kRequest.data(), static_cast<std::uint32_t>(kRequest.size()),
                                  callback, context);
    }
    // Every request is answered with what answers(request number from 1) pushes.
    void AnswerEachRequest(std::function<void(int)> answers) {
        auto requests = std::make_shared<int>(0);
        script.OnSend([answers, requests](const Datagram&) { answers(++*requests); });
    }
};

}  // namespace

TEST_F(Discovery, RequestsUntilThreeBringNothingNew) {
    // Camera A answers every request or none; B every request (-1), one (its number) or none (0).
    const struct {
        const char* what;
        bool a;
        int b;
        bool prefilled;
        int result;
        std::size_t requests, cameras;
    } cases[] = {
        {"nobody", false, 0, false, kNotFound, 3, 0},
        {"two cameras", true, -1, false, 0, 3, 2},
        {"a new camera at the second request", true, 2, false, 0, 4, 2},
        {"only cameras the set holds", true, 0, true, kNotFound, 3, 1},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        const std::size_t before = script.Sent().size();
        std::set<CameraData> cameras;
        if (test.prefilled) {
            cameras.insert(CameraData(CameraAnswer(0x021122334455).data(), 73));
        }
        AnswerEachRequest([&](int request) {
            if (test.b == -1 || test.b == request) {
                script.Push(CameraAnswer(0x021122334456, 0x0A000008), kCameraB);
            }
            if (test.a) {
                script.Push(CameraAnswer(0x021122334455), kCameraA);
            }
        });
        EXPECT_EQ(Broadcast(&cameras), test.result);
        EXPECT_EQ(cameras.size(), test.cameras);
        const std::vector<Datagram> sent = script.Sent();
        ASSERT_EQ(sent.size() - before, test.requests);
        for (const Datagram& request : sent) {
            EXPECT_EQ(request.bytes, kRequest);
            EXPECT_EQ(QX::NetworkToHost32(request.peer.address), kBroadcastAddress);
            EXPECT_EQ(QX::NetworkToHost16(request.peer.port), 3000);
        }
        if (test.cameras == 2) {
            EXPECT_EQ(cameras.begin()->MacText(), L"02:11:22:33:44:55");
            EXPECT_EQ(cameras.begin()->ip, 0x0A000007u);
        }
    }
    int broadcast = 0;
    EXPECT_TRUE(script.OptionValue(client.Socket(), QX::SocketOption::Broadcast, &broadcast));
    EXPECT_EQ(broadcast, 1);
}

// The buffer is forced past the cap, else asked for; a collection traces its drops once.
TEST_F(Discovery, RaisesTheBufferAndTracesDroppedAnswersOncePerCollection) {
    const std::wstring kHead = L"TFTPClient::GetBroadcastResponse: the system dropped ";
    const std::wstring kTail =
        L" answers for want of receive buffer; raising net.core.rmem_max would let them in\n";
    const struct {
        bool forceRefused;
        std::vector<std::vector<std::uint32_t>> dropsPerRequest;  // one per answer
        std::vector<std::wstring> expected;
    } cases[] = {
        {false, {{0, 0}, {0, 0}, {0, 0}}, {}},
        {true, {{0, 0}, {5, 7}, {7, 7}}, {kHead + L"7" + kTail}},
        {true, {{0, 2}, {2, 2}, {9, 9}}, {kHead + L"2" + kTail, kHead + L"7" + kTail}},
    };
    for (const auto& test : cases) {
        TraceCapture trace;
        script.FailOption(QX::SocketOption::ReceiveBufferForce,
                          test.forceRefused ? QX::SocketError::AccessDenied : 0);
        AnswerEachRequest([&](int request) {
            const std::vector<std::uint32_t>& drops = test.dropsPerRequest.at(request - 1);
            script.Push(CameraAnswer(0x021122334456, 0x0A000008), kCameraB, drops[0]);
            script.Push(CameraAnswer(0x021122334455), kCameraA, drops[1]);
        });
        client.Open(kBroadcastAddress, 3000);  // a new socket, whose count starts at 0
        std::set<CameraData> cameras;
        EXPECT_EQ(Broadcast(&cameras), 0);
        std::vector<std::wstring> dropLines = trace.Lines();
        std::erase_if(dropLines,
                      [](const auto& line) { return line.find(L"rmem_max") == line.npos; });
        EXPECT_EQ(dropLines, test.expected) << "force refused: " << test.forceRefused;
        int size = 0;
        EXPECT_TRUE(script.OptionValue(client.Socket(),
                                       test.forceRefused ? QX::SocketOption::ReceiveBuffer
                                                         : QX::SocketOption::ReceiveBufferForce,
                                       &size));
        EXPECT_EQ(size, 1024 * 1024);
    }
}

TEST_F(Discovery, ACollectionKeepsTheFirstAnswerSkipsNoiseAndEndsOnFailures) {
    TraceCapture trace;
    Bytes untagged = CameraAnswer(0x021122334457);
    untagged[0] = 'X';
    Bytes upper = CameraAnswer(0x021122334456, 0x0A000008);
    for (int i = 0; i < 21; ++i) {
        upper[i] = static_cast<std::uint8_t>(std::toupper(upper[i]));  // the tag's case is free
    }
    for (int i = 0; i < 5; ++i) {
        script.PushReceiveError(QX::SocketError::ConnectionReset);  // failures between answers
    }
    script.Push(untagged, kCameraA);
    script.Push(Bytes{1, 2, 3}, kCameraA);
    script.Push(Bytes(CameraData::AnswerTag, CameraData::AnswerTag + 20), kCameraA);
    script.Push(Bytes(1500, 0x41), kCameraA);  // too long for a packet
    script.Push(upper, kCameraB);
    script.Push(CameraAnswer(0x021122334456, 0x0A000009), kCameraB);
    std::set<CameraData> cameras;
    EXPECT_TRUE(client.GetBroadcastResponse(&cameras));
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras.begin()->ip, 0x0A000008u);
    EXPECT_EQ(trace.Count(L"GetBroadcastResponse: Error from Receive(): \n"), 4);
    script.Push(CameraAnswer(0x021122334456, 0x0A00000A), kCameraB);
    EXPECT_FALSE(client.GetBroadcastResponse(&cameras));
    EXPECT_EQ(cameras.begin()->ip, 0x0A000008u);
    // Failing receptions end a collection after eight in a row, so three requests wait 24 times.
    for (int i = 0; i < 100; ++i) {
        script.PushWaitOutcome(QX::SocketWait::Failed, QX::SocketError::NetworkDown);
    }
    const std::size_t waits = script.WaitCount();
    EXPECT_EQ(Broadcast(&cameras), kNotFound);
    EXPECT_EQ(script.WaitCount() - waits, 24u);
    EXPECT_TRUE(
        trace.Contains(L"TFTPClient::GetBroadcastResponse: Error from Receive(): "
                       L"TFTPClient[10.255.255.255]::Receive(): select() failed: 10050"));
}

TEST_F(Discovery, RequestsThatCannotGoOut) {
    EXPECT_EQ(Broadcast(nullptr), 0);
    EXPECT_EQ(BroadcastEx(nullptr, nullptr), 0);
    EXPECT_EQ(script.Sent().size(), 2u);
    EXPECT_EQ(script.WaitCount(), 0u);  // without a set or callback nothing is awaited
    script.FailOption(QX::SocketOption::Broadcast, QX::SocketError::AccessDenied);
    EXPECT_EQ(ThrownText([&] { Broadcast(nullptr); }).first,
              L"TFTPClient[10.255.255.255]::Broadcast(): setsockopt failed: 10013");
    script.FailOption(QX::SocketOption::Broadcast, 0);
    client.Close();
    std::set<CameraData> cameras;
    EXPECT_EQ(
        ThrownText([&] { Broadcast(&cameras); }),
        std::make_pair(std::wstring(L"TFTPClient[Closed]::Broadcast(): setsockopt failed: 10038"),
                       QX::ResultCode::Unexpected));
    EXPECT_STREQ(client.GetError(), L"TFTPClient[Closed]::Broadcast(): setsockopt failed: 10038");
    client.ClearError();
    EXPECT_EQ(ThrownText([&] { BroadcastEx(Record, nullptr); }),
              std::make_pair(std::wstring(L"TFTPClient::Broadcast(): setsockopt failed"),
                             static_cast<std::uint32_t>(QX::SocketError::NotSocket)));
    EXPECT_STREQ(client.GetError(), L"");
    EXPECT_EQ(script.Sent().size(), 2u);
    std::thread other([&] {  // the lock was released on the way out
        client.Lock()->Enter();
        client.Lock()->Leave();
    });
    other.join();
}

// The callback sees every tagged answer; MoreData from any asks for another request.
TEST_F(Discovery, BroadcastExFollowsTheCallback) {
    const struct {
        const char* what;
        std::vector<int> replies;
        bool tagged;
        int result;
        std::size_t requests, answers;
    } cases[] = {
        {"zero", {0}, true, 0, 1, 3},
        {"more data", {kMoreData}, true, kNotFound, 2, 6},
        {"more data once outweighs the rest", {0, kMoreData, 0}, true, 0, 2, 6},
        {"another value", {kNotFound}, true, 0, 1, 3},
        {"no tagged answer", {0}, false, kNotFound, 2, 0},
    };
    for (const auto& test : cases) {
        const std::size_t before = script.Sent().size();
        AnswerEachRequest([&](int) {
            script.Push(Bytes{9, 9, 9}, kCameraA);  // skipped, untraced
            for (int i = 0; test.tagged && i < 3; ++i) {
                script.Push(CameraAnswer(0x021122334455), kCameraA);
            }
        });
        Seen seen;
        seen.replies = test.replies;
        EXPECT_EQ(BroadcastEx(Record, &seen), test.result) << test.what;
        EXPECT_EQ(script.Sent().size() - before, test.requests) << test.what;
        ASSERT_EQ(seen.answers.size(), test.answers) << test.what;
        for (std::size_t i = 0; i < seen.answers.size(); ++i) {
            EXPECT_EQ(seen.answers[i], CameraAnswer(0x021122334455));
            EXPECT_EQ(seen.localAddresses[i], 0x0A000001u);
        }
    }
    Seen seen;  // nothing came at all
    EXPECT_EQ(client.GetBroadcastResponseEx(Record, &seen), kTimedOut);
}
