#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "tests/support/QXScriptedSockets.h"
#include "tests/support/QXTraceCapture.h"
#include "tests/tftp/QXCameraAnswer.h"
#include "tests/tftp/QXLoopbackPeer.h"
#include "tests/tftp/QXTFTPClientTestAccess.h"

using QXSDK::CameraData;
using QXTest::CameraAnswer;
using QXTest::kLoopback;
using QXTest::LoopbackPeer;
using QXTest::NewLock;
using QXTest::TestClient;
using Datagram = QX::ScriptedSocketBackend::Datagram;

namespace {

constexpr int kNotFound = static_cast<int>(QX::ResultCode::ObjectNotFound);
constexpr int kMoreData = static_cast<int>(QX::ResultCode::MoreData);
constexpr std::uint32_t kBroadcastAddress = 0x0AFFFFFF;  // only ever seen by the script
const std::vector<std::uint8_t> kRequest = {'F', 'I', 'N', 'D', 0, 1, 2};

const QX::SocketAddressV4 kCameraA = QX::MakeSocketAddress(0x0A000007, 3000);
const QX::SocketAddressV4 kCameraB = QX::MakeSocketAddress(0x0A000008, 3000);

class Discovery : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(QXSDK::TFTPClient::Startup());
        script.Install();
        client.Open(kBroadcastAddress, 3000);
    }
    void TearDown() override {
        client.Close();
        QXSDK::TFTPClient::Cleanup();
    }
    int Broadcast(std::set<CameraData>* cameras) {
        return client.Broadcast(kRequest.data(), static_cast<std::uint32_t>(kRequest.size()),
                                cameras);
    }
    int BroadcastEx(QXSDK::TFTPClient::BroadcastCallback callback, void* context) {
        return client.BroadcastEx(kRequest.data(), static_cast<std::uint32_t>(kRequest.size()),
                                  callback, context);
    }

    QX::ScriptedSocketBackend script;
    TestClient client{NewLock(), 0x0A000001, false, 2, 0, 3000};
};

// What the BroadcastEx callbacks saw, and what they answer.
struct Seen {
    std::vector<std::vector<std::uint8_t>> answers;
    std::vector<std::uint32_t> localAddresses;
    std::vector<int> replies;  // one per call; the last one repeats
};

int Record(std::uint32_t localAddress, unsigned char* answer, std::uint32_t length, void* context) {
    auto* seen = static_cast<Seen*>(context);
    seen->answers.emplace_back(answer, answer + length);
    seen->localAddresses.push_back(localAddress);
    const std::size_t call = seen->answers.size() - 1;
    return seen->replies[call < seen->replies.size() ? call : seen->replies.size() - 1];
}

}  // namespace

TEST_F(Discovery, FindsEveryCameraAndStopsAfterThreeQuietRequests) {
    QXTest::TraceCapture trace;
    script.OnSend([&](const Datagram&) {
        script.Push(CameraAnswer(0x021122334456, 0x0A000008, 0x0102, 0x0304, 0), kCameraB);
        script.Push(CameraAnswer(0x021122334455, 0x0A000007, 0x0102, 0x0304, 0), kCameraA);
    });
    std::set<CameraData> cameras;
    EXPECT_EQ(Broadcast(&cameras), 0);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras.begin()->MacText(), L"02:11:22:33:44:55");
    EXPECT_EQ(cameras.begin()->ip, 0x0A000007u);
    // The first request finds both; three more bring nothing new.
    const std::vector<Datagram> sent = script.Sent();
    ASSERT_EQ(sent.size(), 3u);
    for (const Datagram& request : sent) {
        EXPECT_EQ(request.bytes, kRequest);
        EXPECT_EQ(QX::NetworkToHost32(request.peer.address), kBroadcastAddress);
        EXPECT_EQ(QX::NetworkToHost16(request.peer.port), 3000);
    }
    int broadcast = 0;
    EXPECT_TRUE(script.OptionValue(client.Socket(), QX::SocketOption::Broadcast, &broadcast));
    EXPECT_EQ(broadcast, 1);
    EXPECT_TRUE(
        trace.Contains(L"CameraData: MAC <02:11:22:33:44:55>, IP <10.0.0.7>, FWVer <258>, "
                       L"HWVer <0>, Model <772>, Name <>"));
}

// The buffer is forced past the system's cap where the process may, else asked for as far as the
// cap allows; either way receptions count the answers the system dropped, and each collection
// traces once what was told during it (the count is the socket's running total).
TEST_F(Discovery, RaisesTheBufferAndTracesDroppedAnswersOncePerCollection) {
    struct Case {
        bool forceRefused;
        std::vector<std::vector<std::uint32_t>> dropsPerRequest;  // one per answer
        std::vector<std::wstring> expected;
    };
    const std::wstring kTail =
        L" answers for want of receive buffer; raising net.core.rmem_max would let them in\n";
    const Case cases[] = {
        {false, {{0, 0}, {0, 0}, {0, 0}}, {}},
        {true,
         {{0, 0}, {5, 7}, {7, 7}},
         {L"TFTPClient::GetBroadcastResponse: the system dropped 7" + kTail}},
        {true,
         {{0, 2}, {2, 2}, {9, 9}},
         {L"TFTPClient::GetBroadcastResponse: the system dropped 2" + kTail,
          L"TFTPClient::GetBroadcastResponse: the system dropped 7" + kTail}},
    };
    for (const Case& test : cases) {
        QXTest::TraceCapture trace;
        script.FailOption(QX::SocketOption::ReceiveBufferForce,
                          test.forceRefused ? QX::SocketError::AccessDenied : 0);
        std::size_t request = 0;
        script.OnSend([&](const Datagram&) {
            const std::vector<std::uint32_t>& drops = test.dropsPerRequest[request++];
            script.Push(CameraAnswer(0x021122334456, 0x0A000008, 1, 2, 0), kCameraB, drops[0]);
            script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 2, 0), kCameraA, drops[1]);
        });
        client.Open(kBroadcastAddress, 3000);  // a new socket, whose count starts at 0
        std::set<CameraData> cameras;
        EXPECT_EQ(Broadcast(&cameras), 0);
        EXPECT_EQ(request, 3u);
        std::vector<std::wstring> dropLines;
        for (const std::wstring& line : trace.Lines()) {
            if (line.find(L"rmem_max") != std::wstring::npos) {
                dropLines.push_back(line);
            }
        }
        EXPECT_EQ(dropLines, test.expected) << "force refused: " << test.forceRefused;
        int forced = 0;
        int plain = 0;
        int counting = 0;
        EXPECT_EQ(
            script.OptionValue(client.Socket(), QX::SocketOption::ReceiveBufferForce, &forced),
            !test.forceRefused);
        EXPECT_EQ(script.OptionValue(client.Socket(), QX::SocketOption::ReceiveBuffer, &plain),
                  test.forceRefused);
        EXPECT_EQ(test.forceRefused ? plain : forced, 1024 * 1024);
        EXPECT_TRUE(script.OptionValue(client.Socket(), QX::SocketOption::DropCount, &counting));
        EXPECT_EQ(counting, 1);
    }
}

TEST_F(Discovery, BroadcastExTracesDroppedAnswers) {
    QXTest::TraceCapture trace;
    script.OnSend([&](const Datagram&) {
        script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 2, 0), kCameraA, 3);
    });
    Seen seen;
    seen.replies = {0};
    EXPECT_EQ(BroadcastEx(Record, &seen), 0);
    EXPECT_TRUE(
        trace.Contains(L"TFTPClient::GetBroadcastResponseEx: the system dropped 3 answers"));
}

TEST_F(Discovery, NewCameraRestartsTheQuietCount) {
    int requests = 0;
    script.OnSend([&](const Datagram&) {
        ++requests;
        script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0), kCameraA);
        if (requests == 2) {
            script.Push(CameraAnswer(0x021122334456, 0x0A000008, 1, 1, 0), kCameraB);
        }
    });
    std::set<CameraData> cameras;
    EXPECT_EQ(Broadcast(&cameras), 0);
    EXPECT_EQ(cameras.size(), 2u);
    EXPECT_EQ(script.Sent().size(), 4u);
}

TEST_F(Discovery, NothingAnswers) {
    std::set<CameraData> cameras;
    EXPECT_EQ(Broadcast(&cameras), kNotFound);
    EXPECT_TRUE(cameras.empty());
    EXPECT_EQ(script.Sent().size(), 3u);
}

TEST_F(Discovery, SetThatHoldsEveryCameraFindsNothing) {
    script.OnSend([&](const Datagram&) {
        script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0), kCameraA);
    });
    std::set<CameraData> cameras;
    EXPECT_EQ(Broadcast(&cameras), 0);
    EXPECT_EQ(Broadcast(&cameras), kNotFound);
    EXPECT_EQ(cameras.size(), 1u);
}

TEST_F(Discovery, RepeatedMacKeepsTheFirstAnswer) {
    script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0), kCameraA);
    script.Push(CameraAnswer(0x021122334455, 0x0A000009, 2, 2, 0), kCameraA);
    std::set<CameraData> cameras;
    EXPECT_TRUE(client.GetBroadcastResponse(&cameras));
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras.begin()->ip, 0x0A000007u);
    script.Push(CameraAnswer(0x021122334455, 0x0A00000A, 3, 3, 0), kCameraA);
    EXPECT_FALSE(client.GetBroadcastResponse(&cameras));
    EXPECT_EQ(cameras.begin()->ip, 0x0A000007u);
}

TEST_F(Discovery, NoiseIsTracedAndCollectionGoesOn) {
    QXTest::TraceCapture trace;
    std::vector<std::uint8_t> untagged = CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0);
    untagged[0] = 'X';
    script.Push(untagged, kCameraA);
    script.Push(std::vector<std::uint8_t>{1, 2, 3}, kCameraA);
    script.Push(std::vector<std::uint8_t>(CameraData::AnswerTag, CameraData::AnswerTag + 20),
                kCameraA);
    script.Push(std::vector<std::uint8_t>(1500, 0x41), kCameraA);  // too long for a packet
    std::vector<std::uint8_t> upper = CameraAnswer(0x021122334456, 0x0A000008, 1, 1, 0);
    for (int i = 0; i < 21; ++i) {
        if (upper[i] >= 'a' && upper[i] <= 'z') {
            upper[i] = static_cast<std::uint8_t>(upper[i] - 'a' + 'A');
        }
    }
    script.Push(upper, kCameraB);  // the tag is compared without regard to case
    std::set<CameraData> cameras;
    EXPECT_TRUE(client.GetBroadcastResponse(&cameras));
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras.begin()->ip, 0x0A000008u);
    int noise = 0;
    for (const std::wstring& line : trace.Lines()) {
        if (line == L"TFTPClient::GetBroadcastResponse: Error from Receive(): \n") {
            ++noise;
        }
    }
    EXPECT_EQ(noise, 4);
}

TEST_F(Discovery, PersistentReceptionFailureEndsTheCollection) {
    QXTest::TraceCapture trace;
    for (int i = 0; i < 100; ++i) {
        script.PushWaitOutcome(QX::SocketWait::Failed, QX::SocketError::NetworkDown);
    }
    std::set<CameraData> cameras;
    EXPECT_EQ(Broadcast(&cameras), kNotFound);
    // Three requests, each collection ended by eight failures in a row.
    EXPECT_EQ(script.WaitCount(), 24u);
    EXPECT_TRUE(
        trace.Contains(L"TFTPClient::GetBroadcastResponse: Error from Receive(): "
                       L"TFTPClient[10.255.255.255]::Receive(): select() failed: 10050"));
}

TEST_F(Discovery, FailuresBetweenAnswersDoNotEndTheCollection) {
    for (int i = 0; i < 5; ++i) {
        script.PushReceiveError(QX::SocketError::ConnectionReset);
    }
    script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0), kCameraA);
    std::set<CameraData> cameras;
    EXPECT_TRUE(client.GetBroadcastResponse(&cameras));
    EXPECT_EQ(cameras.size(), 1u);
}

TEST_F(Discovery, NullSetSendsOnceAndDoesNotWait) {
    EXPECT_EQ(Broadcast(nullptr), 0);
    EXPECT_EQ(script.Sent().size(), 1u);
    EXPECT_EQ(script.WaitCount(), 0u);
    EXPECT_EQ(BroadcastEx(nullptr, nullptr), 0);
    EXPECT_EQ(script.Sent().size(), 2u);
    EXPECT_EQ(script.WaitCount(), 0u);
}

TEST_F(Discovery, ClosedClientThrowsAndSendsNothing) {
    client.Close();
    std::set<CameraData> cameras;
    try {
        Broadcast(&cameras);
        ADD_FAILURE() << "no exception";
    } catch (const QX::Exception& exception) {
        EXPECT_EQ(exception.hResult, QX::ResultCode::Unexpected);
        EXPECT_STREQ(exception.message,
                     L"TFTPClient[Closed]::Broadcast(): setsockopt failed: 10038");
        EXPECT_STREQ(exception.file, L"QXTFTPClient");
        EXPECT_STREQ(client.GetError(), exception.message);
    }
    client.ClearError();
    try {
        BroadcastEx(Record, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const QX::Exception& exception) {
        EXPECT_EQ(exception.hResult, static_cast<std::uint32_t>(QX::SocketError::NotSocket));
        EXPECT_STREQ(exception.message, L"TFTPClient::Broadcast(): setsockopt failed");
        EXPECT_STREQ(client.GetError(), L"");
    }
    EXPECT_TRUE(script.Sent().empty());
    // The lock was released on the way out.
    std::thread other([&] {
        client.Lock()->Enter();
        client.Lock()->Leave();
    });
    other.join();
}

TEST_F(Discovery, RefusedBroadcastPermission) {
    script.FailOption(QX::SocketOption::Broadcast, QX::SocketError::AccessDenied);
    try {
        Broadcast(nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const QX::Exception& exception) {
        EXPECT_STREQ(exception.message,
                     L"TFTPClient[10.255.255.255]::Broadcast(): setsockopt failed: 10013");
    }
    EXPECT_TRUE(script.Sent().empty());
}

TEST_F(Discovery, RequestBounds) {
    const std::vector<std::uint8_t> longest(1453, 0x42);
    EXPECT_EQ(client.Broadcast(longest.data(), 1453, nullptr), 0);
    ASSERT_EQ(script.Sent().size(), 1u);
    EXPECT_EQ(script.Sent()[0].bytes, longest);
    const std::vector<std::uint8_t> tooLong(1454, 0x42);
    try {
        client.Broadcast(tooLong.data(), 1454, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const QX::Exception& exception) {
        EXPECT_STREQ(exception.message, L"TFTPPacket::AddMem(): Too much data");
        EXPECT_EQ(exception.hResult, QX::ResultCode::Unexpected);
    }
    EXPECT_EQ(script.Sent().size(), 1u);
}

TEST_F(Discovery, CallbackReturningZeroEndsAfterOneRequest) {
    script.OnSend([&](const Datagram&) {
        script.Push(std::vector<std::uint8_t>{9, 9, 9}, kCameraA);  // skipped, untraced
        script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0), kCameraA);
        script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0), kCameraA);
    });
    Seen seen;
    seen.replies = {0};
    EXPECT_EQ(BroadcastEx(Record, &seen), 0);
    EXPECT_EQ(script.Sent().size(), 1u);
    // Every tagged answer reaches the callback, repeats included.
    ASSERT_EQ(seen.answers.size(), 2u);
    EXPECT_EQ(seen.answers[0], CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0));
    EXPECT_EQ(seen.localAddresses[0], 0x0A000001u);
}

TEST_F(Discovery, CallbackAskingForMoreGetsTwoRequests) {
    script.OnSend([&](const Datagram&) {
        script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0), kCameraA);
    });
    Seen seen;
    seen.replies = {kMoreData};
    EXPECT_EQ(BroadcastEx(Record, &seen), kNotFound);
    EXPECT_EQ(script.Sent().size(), 2u);
    EXPECT_EQ(seen.answers.size(), 2u);
}

TEST_F(Discovery, OneRequestForMoreOutweighsTheRest) {
    script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0), kCameraA);
    script.Push(CameraAnswer(0x021122334456, 0x0A000008, 1, 1, 0), kCameraB);
    script.Push(CameraAnswer(0x021122334457, 0x0A000009, 1, 1, 0), kCameraB);
    Seen seen;
    seen.replies = {0, kMoreData, 0};
    EXPECT_EQ(client.GetBroadcastResponseEx(Record, &seen), kMoreData);
    EXPECT_EQ(seen.answers.size(), 3u);
}

TEST_F(Discovery, CallbackWithOtherValuesEndsTheSearch) {
    script.OnSend([&](const Datagram&) {
        script.Push(CameraAnswer(0x021122334455, 0x0A000007, 1, 1, 0), kCameraA);
    });
    Seen seen;
    seen.replies = {static_cast<int>(QX::ResultCode::Unexpected)};
    EXPECT_EQ(BroadcastEx(Record, &seen), 0);
    EXPECT_EQ(script.Sent().size(), 1u);
}

TEST_F(Discovery, BroadcastExWithoutTaggedAnswers) {
    script.OnSend([&](const Datagram&) {
        script.Push(std::vector<std::uint8_t>{1, 2, 3}, kCameraA);
    });
    Seen seen;
    seen.replies = {0};
    EXPECT_EQ(BroadcastEx(Record, &seen), kNotFound);
    EXPECT_EQ(script.Sent().size(), 2u);
    EXPECT_TRUE(seen.answers.empty());
    EXPECT_EQ(client.GetBroadcastResponseEx(Record, &seen),
              static_cast<int>(QX::ResultCode::TimedOut));
}

// Real sockets: a small responder on 127.0.0.1 plays two cameras.
namespace {

class Responder {
public:
    Responder() : m_thread([this] { Run(); }) {}
    ~Responder() {
        m_stop = true;
        m_thread.join();
    }
    std::uint16_t Port() const { return m_peer.Port(); }
    int Requests() const { return m_requests; }
    bool RequestsMatched() const { return m_matched; }

private:
    void Run() {
        while (!m_stop) {
            std::vector<std::uint8_t> request;
            QX::SocketAddressV4 from{};
            if (!m_peer.Receive(&request, &from, 50000)) {
                continue;
            }
            ++m_requests;
            m_matched = m_matched && request == kRequest;
            m_peer.SendTo(CameraAnswer(0x021122334455, 0x7F000001, 7, 8, 0), from);
            m_peer.SendTo(std::vector<std::uint8_t>{0, 1, 2}, from);
            m_peer.SendTo(CameraAnswer(0x0A0B0C0D0E0F, 0x7F000002, 7, 8, 0), from);
        }
    }

    LoopbackPeer m_peer;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_requests{0};
    std::atomic<bool> m_matched{true};
    std::thread m_thread;
};

class LoopbackDiscovery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(QXSDK::TFTPClient::Startup()); }
    void TearDown() override { QXSDK::TFTPClient::Cleanup(); }
};

}  // namespace

TEST_F(LoopbackDiscovery, BroadcastCollectsRealAnswers) {
    Responder responder;
    TestClient client(NewLock(), kLoopback, false, 2, 0, 0);
    client.Open(kLoopback, responder.Port());
    std::set<CameraData> cameras;
    EXPECT_EQ(
        client.Broadcast(kRequest.data(), static_cast<std::uint32_t>(kRequest.size()), &cameras),
        0);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras.begin()->ip, 0x7F000001u);
    EXPECT_EQ(cameras.rbegin()->MacText(), L"0a:0b:0c:0d:0e:0f");
    EXPECT_EQ(responder.Requests(), 3);
    EXPECT_TRUE(responder.RequestsMatched());
}

TEST_F(LoopbackDiscovery, BroadcastExHandsRealAnswersOver) {
    Responder responder;
    TestClient client(NewLock(), kLoopback, false, 2, 0, 0);
    client.Open(kLoopback, responder.Port());
    Seen seen;
    seen.replies = {0};
    EXPECT_EQ(client.BroadcastEx(kRequest.data(), static_cast<std::uint32_t>(kRequest.size()),
                                 Record, &seen),
              0);
    ASSERT_EQ(seen.answers.size(), 2u);
    EXPECT_EQ(seen.answers[1], CameraAnswer(0x0A0B0C0D0E0F, 0x7F000002, 7, 8, 0));
    EXPECT_EQ(seen.localAddresses[0], kLoopback);
    EXPECT_EQ(responder.Requests(), 1);
}
