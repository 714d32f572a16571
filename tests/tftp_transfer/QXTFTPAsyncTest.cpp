// ReadAsync and the receive thread against a scripted camera on loopback.

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "tests/support/QXTraceCapture.h"
#include "tests/tftp_transfer/QXTransferTestClient.h"
#include "tests/tftp_transfer/QXUdpPeer.h"

namespace {

using QXTest::TransferClient;
using QXTest::UdpPeer;
using QXTest::VectorStream;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr int kWait = 3000;

// What the callback saw, handed from the receive thread to the test's thread.
struct Outcome {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    QXSDK::IStream* stream = nullptr;
    unsigned char* buffer = nullptr;
    std::uint32_t value = 0;
    void* context = nullptr;
    bool throwFromCallback = false;
    std::function<void()> inCallback;

    static void Callback(QXSDK::IStream* stream, unsigned char* buffer, std::uint32_t value,
                         void* context) {
        auto* self = static_cast<Outcome*>(context);
        if (self->inCallback) {
            self->inCallback();
        }
        bool fail;
        {
            std::lock_guard<std::mutex> guard(self->mutex);
            ++self->calls;
            self->stream = stream;
            self->buffer = buffer;
            self->value = value;
            self->context = context;
            fail = self->throwFromCallback;
            // Under the lock: the waiter may destroy this record as soon as it sees the call.
            self->changed.notify_all();
        }
        if (fail) {
            throw 42;
        }
    }
    bool WaitCalls(int n) {
        std::unique_lock<std::mutex> guard(mutex);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] { return calls >= n; });
    }
};

// Serves one read of `payload` (a single short block) from the transfer port.
void ServeOne(UdpPeer& listen, UdpPeer& transfer, const Bytes& payload) {
    UdpPeer::Datagram request;
    ASSERT_TRUE(listen.Receive(request, kWait));
    transfer.Reply(UdpPeer::Oack("1450"), request);
    UdpPeer::Datagram ack;
    ASSERT_TRUE(transfer.Receive(ack, kWait));
    transfer.Reply(UdpPeer::Data(1, payload), request);
    ASSERT_TRUE(transfer.Receive(ack, kWait));
    EXPECT_EQ(UdpPeer::AckBlock(ack), 1);
}

TEST(TFTPAsync, OnAClosedClientThrowsAndLeavesNoThread) {
    TransferClient client(69);
    Outcome outcome;
    std::uint32_t length = 10;
    try {
        client.ReadAsync("f", nullptr, nullptr, &length, &Outcome::Callback, &outcome);
        FAIL() << "no exception";
    } catch (const QX::Exception& e) {
        EXPECT_EQ(e.hResult, 10057u);
        EXPECT_EQ(QXTest::Narrow(e.message), "TFTPClient[Closed]::Read(): Invalid socket");
    }
    EXPECT_EQ(client.Thread(), INVALID_HANDLE_VALUE);
}

TEST(TFTPAsync, ShortFileReachesTheCallbackAndTheThreadIsReused) {
    UdpPeer listen(kLoopback);
    UdpPeer transfer(kLoopback);
    Bytes first(1000, 'a');
    Bytes second(20, 'b');
    std::thread camera([&] {
        ServeOne(listen, transfer, first);
        ServeOne(listen, transfer, second);
    });
    TransferClient client(listen.Port());
    client.Open(kLoopback, listen.Port());
    Outcome outcome;
    VectorStream stream;
    unsigned char buffer[1450];
    std::uint32_t length = sizeof buffer;
    ASSERT_EQ(client.ReadAsync("a", &stream, buffer, &length, &Outcome::Callback, &outcome), 0);
    HANDLE thread = client.Thread();
    EXPECT_NE(thread, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(outcome.WaitCalls(1));
    {
        std::lock_guard<std::mutex> guard(outcome.mutex);
        EXPECT_EQ(outcome.stream, &stream);
        EXPECT_EQ(outcome.buffer, buffer);
        EXPECT_EQ(outcome.value, 1000u);
        EXPECT_EQ(outcome.context, &outcome);
    }
    EXPECT_TRUE(stream.bytes.empty());
    EXPECT_EQ(Bytes(buffer, buffer + 1000), first);

    // The port moved to the transfer port; the next read starts from a re-opened client.
    client.Reset(kLoopback, listen.Port());
    length = sizeof buffer;
    ASSERT_EQ(client.ReadAsync("b", &stream, buffer, &length, &Outcome::Callback, &outcome), 0);
    ASSERT_TRUE(outcome.WaitCalls(2));
    camera.join();
    EXPECT_EQ(client.Thread(), thread);
    std::lock_guard<std::mutex> guard(outcome.mutex);
    EXPECT_EQ(outcome.value, 20u);
    EXPECT_EQ(Bytes(buffer, buffer + 20), second);
}

TEST(TFTPAsync, SilenceGivesTheFailureCallback) {
    UdpPeer silent(kLoopback);
    TransferClient client(silent.Port());
    client.Open(kLoopback, silent.Port());
    Outcome outcome;
    VectorStream stream;
    unsigned char buffer[100];
    std::uint32_t length = sizeof buffer;
    ASSERT_EQ(client.ReadAsync("a", &stream, buffer, &length, &Outcome::Callback, &outcome), 0);
    ASSERT_TRUE(outcome.WaitCalls(1));
    std::lock_guard<std::mutex> guard(outcome.mutex);
    EXPECT_EQ(outcome.stream, nullptr);
    EXPECT_EQ(outcome.buffer, nullptr);
    EXPECT_EQ(outcome.value, QX::ResultCode::TimedOut);
    EXPECT_EQ(outcome.context, &outcome);
}

TEST(TFTPAsync, TooSmallABufferGivesTheFailureCallbackAndTheText) {
    UdpPeer listen(kLoopback);
    UdpPeer transfer(kLoopback);
    std::thread camera([&] { ServeOne(listen, transfer, Bytes(600, 'c')); });
    TransferClient client(listen.Port());
    client.Open(kLoopback, listen.Port());
    Outcome outcome;
    unsigned char buffer[500];
    std::uint32_t length = sizeof buffer;
    ASSERT_EQ(client.ReadAsync("a", nullptr, buffer, &length, &Outcome::Callback, &outcome), 0);
    ASSERT_TRUE(outcome.WaitCalls(1));
    camera.join();
    {
        std::lock_guard<std::mutex> guard(outcome.mutex);
        EXPECT_EQ(outcome.stream, nullptr);
        EXPECT_EQ(outcome.value, QX::ResultCode::TimedOut);
    }
    EXPECT_EQ(QXTest::Narrow(client.GetError()),
              "TFTPClient[127.0.0.1] Packet buffer is too small");
}

TEST(TFTPAsync, AThrowingCallbackIsTracedAndTheThreadCarriesOn) {
    QXTest::TraceCapture trace;
    UdpPeer listen(kLoopback);
    UdpPeer transfer(kLoopback);
    std::thread camera([&] { ServeOne(listen, transfer, Bytes(5, 'd')); });
    TransferClient client(listen.Port());
    client.Open(kLoopback, listen.Port());
    Outcome outcome;
    outcome.throwFromCallback = true;
    unsigned char buffer[100];
    std::uint32_t length = sizeof buffer;
    // Success case throws.
    ASSERT_EQ(client.ReadAsync("a", nullptr, buffer, &length, &Outcome::Callback, &outcome), 0);
    ASSERT_TRUE(outcome.WaitCalls(1));
    camera.join();
    // Failure case throws (nobody answers on the old transfer port).
    client.Reset(kLoopback, listen.Port());
    ASSERT_EQ(client.ReadAsync("b", nullptr, buffer, &length, &Outcome::Callback, &outcome), 0);
    ASSERT_TRUE(outcome.WaitCalls(2));
    // And a third read still works.
    {
        std::lock_guard<std::mutex> guard(outcome.mutex);
        outcome.throwFromCallback = false;
    }
    UdpPeer::Datagram stale;
    while (listen.Receive(stale, 0)) {
    }
    std::thread again([&] { ServeOne(listen, transfer, Bytes(7, 'e')); });
    client.Reset(kLoopback, listen.Port());
    length = sizeof buffer;
    ASSERT_EQ(client.ReadAsync("c", nullptr, buffer, &length, &Outcome::Callback, &outcome), 0);
    ASSERT_TRUE(outcome.WaitCalls(3));
    again.join();
    {
        std::lock_guard<std::mutex> guard(outcome.mutex);
        EXPECT_EQ(outcome.value, 7u);
    }
    int traced = 0;
    for (const std::wstring& line : trace.Lines()) {
        if (line.find(L"TFTPClient::ReceiveProc(): unknown exception from user callback") !=
            std::wstring::npos) {
            ++traced;
        }
    }
    EXPECT_EQ(traced, 2);
}

TEST(TFTPAsync, ASecondReadWhileOneRunsIsRefused) {
    UdpPeer listen(kLoopback);
    UdpPeer transfer(kLoopback);
    std::mutex mutex;
    std::condition_variable changed;
    bool granted = false;
    int requests = 0;
    std::thread camera([&] {
        UdpPeer::Datagram request;
        ASSERT_TRUE(listen.Receive(request, kWait));
        transfer.Reply(UdpPeer::Oack("1450"), request);
        UdpPeer::Datagram ack;
        ASSERT_TRUE(transfer.Receive(ack, kWait));
        // The cycle now waits for data that never comes (8 x 0.25 s).
        std::lock_guard<std::mutex> guard(mutex);
        granted = true;
        changed.notify_all();
    });
    TransferClient client(listen.Port(), false, 8);
    client.Open(kLoopback, listen.Port());
    Outcome outcome;
    std::uint32_t length = 0;
    ASSERT_EQ(client.ReadAsync("a", nullptr, nullptr, &length, &Outcome::Callback, &outcome), 0);
    {
        std::unique_lock<std::mutex> guard(mutex);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(10), [&] { return granted; }));
    }
    EXPECT_EQ(client.ReadAsync("b", nullptr, nullptr, &length, &Outcome::Callback, &outcome),
              static_cast<int>(QX::ResultCode::Unavailable));
    ASSERT_TRUE(outcome.WaitCalls(1));
    camera.join();
    // Only one request went out.
    UdpPeer::Datagram d;
    while (listen.Receive(d, 0) || transfer.Receive(d, 0)) {
        ++requests;
    }
    EXPECT_EQ(requests, 0);
    std::lock_guard<std::mutex> guard(outcome.mutex);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.value, QX::ResultCode::TimedOut);
}

TEST(TFTPAsync, TheCallbackMayStartTheNextRead) {
    UdpPeer silent(kLoopback);
    TransferClient client(silent.Port());
    client.Open(kLoopback, silent.Port());
    Outcome outcome;
    std::uint32_t length = 0;
    int nested = -1;
    outcome.inCallback = [&] {
        if (nested == -1) {
            nested = client.ReadAsync("b", nullptr, nullptr, &length, &Outcome::Callback, &outcome);
        }
    };
    ASSERT_EQ(client.ReadAsync("a", nullptr, nullptr, &length, &Outcome::Callback, &outcome), 0);
    ASSERT_TRUE(outcome.WaitCalls(2));
    EXPECT_EQ(nested, 0);
}

TEST(TFTPAsync, DestructionWhileIdleEndsTheThread) {
    QXTest::TraceCapture trace;
    UdpPeer silent(kLoopback);
    Outcome outcome;
    {
        TransferClient client(silent.Port());
        client.Open(kLoopback, silent.Port());
        std::uint32_t length = 0;
        ASSERT_EQ(client.ReadAsync("a", nullptr, nullptr, &length, &Outcome::Callback, &outcome),
                  0);
        ASSERT_TRUE(outcome.WaitCalls(1));
    }
    EXPECT_TRUE(trace.Contains(L"TFTPClient[Closed]::~TFTPClient(): done"));
}

TEST(TFTPAsync, DestructionDuringACycleWaitsForItsCallback) {
    UdpPeer listen(kLoopback);
    UdpPeer transfer(kLoopback);
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    std::thread camera([&] {
        UdpPeer::Datagram request;
        ASSERT_TRUE(listen.Receive(request, kWait));
        transfer.Reply(UdpPeer::Oack("1450"), request);
        UdpPeer::Datagram ack;
        ASSERT_TRUE(transfer.Receive(ack, kWait));
        // The cycle runs: let the test destroy the client, then finish the file.
        {
            std::lock_guard<std::mutex> guard(mutex);
            started = true;
            changed.notify_all();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        transfer.Reply(UdpPeer::Data(1, Bytes(9, 'g')), request);
    });
    Outcome outcome;
    unsigned char buffer[100];
    std::uint32_t length = sizeof buffer;
    {
        TransferClient client(listen.Port());
        client.Open(kLoopback, listen.Port());
        ASSERT_EQ(client.ReadAsync("a", nullptr, buffer, &length, &Outcome::Callback, &outcome), 0);
        std::unique_lock<std::mutex> guard(mutex);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(10), [&] { return started; }));
    }
    camera.join();
    std::lock_guard<std::mutex> guard(outcome.mutex);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.value, 9u);
}

TEST(TFTPAsync, ASecondReadWithoutResetGoesToThePreviousTransferPort) {
    UdpPeer listen(kLoopback);
    UdpPeer transfer(kLoopback);
    std::thread camera([&] { ServeOne(listen, transfer, Bytes(3, 'f')); });
    TransferClient client(listen.Port());
    client.Open(kLoopback, listen.Port());
    Outcome outcome;
    unsigned char buffer[100];
    std::uint32_t length = sizeof buffer;
    ASSERT_EQ(client.ReadAsync("a", nullptr, buffer, &length, &Outcome::Callback, &outcome), 0);
    ASSERT_TRUE(outcome.WaitCalls(1));
    camera.join();
    ASSERT_EQ(client.ReadAsync("b", nullptr, buffer, &length, &Outcome::Callback, &outcome), 0);
    UdpPeer::Datagram request;
    ASSERT_TRUE(transfer.Receive(request, kWait));
    EXPECT_EQ(request.bytes[1], 1);
    EXPECT_EQ(std::string(request.bytes.begin() + 2, request.bytes.begin() + 3), "b");
    EXPECT_FALSE(listen.Receive(request, 0));
    ASSERT_TRUE(outcome.WaitCalls(2));
}

}  // namespace
