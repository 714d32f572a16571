// Read and Write against a scripted camera on loopback: every datagram of the exchange is
// written by the test.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "tests/tftp_transfer/QXTransferTestClient.h"
#include "tests/tftp_transfer/QXUdpPeer.h"

namespace {

using QXTest::TransferClient;
using QXTest::UdpPeer;
using QXTest::VectorStream;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr int kWait = 3000;

Bytes Pattern(std::size_t size, std::uint8_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        b[i] = static_cast<std::uint8_t>('A' + (i * 7 + seed) % 26);
    }
    return b;
}

Bytes Slice(const Bytes& b, std::size_t from, std::size_t size) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(from + size));
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// The camera side of one test, run on its own thread while the client reads.
class Camera {
public:
    Camera() : listen(kLoopback), transfer(kLoopback) {}
    ~Camera() { Join(); }
    void Run(std::function<void(Camera&)> script) {
        m_thread = std::thread([this, script] { script(*this); });
    }
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    // Waits for the read request and answers it with an option acknowledgement from the transfer
    // port, then for the acknowledgement of block 0.
    bool Start(const std::string& grant, UdpPeer::Datagram& request) {
        if (!listen.Receive(request, kWait)) {
            return false;
        }
        client = request;
        transfer.Reply(UdpPeer::Oack(grant), request);
        UdpPeer::Datagram ack;
        return transfer.Receive(ack, kWait) && UdpPeer::AckBlock(ack) == 0;
    }
    void Send(const Bytes& datagram) { transfer.Reply(datagram, client); }
    // Collects acknowledgements until count arrived or nothing comes for a while.
    std::vector<int> Acks(std::size_t count) {
        std::vector<int> acks;
        UdpPeer::Datagram d;
        while (acks.size() < count && transfer.Receive(d, kWait)) {
            acks.push_back(UdpPeer::AckBlock(d));
        }
        return acks;
    }

    UdpPeer listen;
    UdpPeer transfer;
    UdpPeer::Datagram client;

private:
    std::thread m_thread;
};

struct ReadOutcome {
    int result = -1;
    VectorStream stream;
    Bytes tail = Bytes(4000, 0xEE);
    std::uint32_t tailLength = 4000;
};

void ReadWith(TransferClient& client, const char* name, ReadOutcome& out) {
    out.result = client.Read(name, &out.stream, out.tail.data(), &out.tailLength, nullptr);
}

TEST(TFTPTransfer, ShortSingleBlockGoesToTheBuffer) {
    Camera camera;
    Bytes file = Pattern(1000, 1);
    std::vector<int> acks;
    UdpPeer::Datagram request;
    camera.Run([&](Camera& c) {
        ASSERT_TRUE(c.Start("1450", request));
        c.Send(UdpPeer::Data(1, file));
        acks = c.Acks(1);
    });
    TransferClient client(camera.listen.Port());
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "a.bin", out);
    camera.Join();
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(out.stream.bytes.empty());
    EXPECT_EQ(out.tailLength, 1000u);
    EXPECT_EQ(Slice(out.tail, 0, 1000), file);
    EXPECT_EQ(acks, std::vector<int>{1});
    // The request: opcode 1, name, "netascii", "blksize" "1450".
    const char expected[] = "\0\1a.bin\0netascii\0blksize\0001450";
    EXPECT_EQ(request.bytes, Bytes(expected, expected + sizeof expected));
    // Read leaves the client closed.
    EXPECT_STREQ(client.GetError(), L"");
}

TEST(TFTPTransfer, ExactlyFullFinalBlockEndsWithAnEmptyPacket) {
    Camera camera;
    Bytes file = Pattern(1450, 2);
    camera.Run([&](Camera& c) {
        UdpPeer::Datagram request;
        ASSERT_TRUE(c.Start("1450", request));
        c.Send(Concat({UdpPeer::Data(1, file), UdpPeer::Data(2, Bytes{})}));
        c.Acks(2);
    });
    TransferClient client(camera.listen.Port());
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "f", out);
    camera.Join();
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.stream.bytes, file);
    EXPECT_EQ(out.tailLength, 0u);
}

TEST(TFTPTransfer, FullBlocksInOrderThenTail) {
    Camera camera;
    Bytes file = Pattern(3000, 3);
    camera.Run([&](Camera& c) {
        UdpPeer::Datagram request;
        ASSERT_TRUE(c.Start("1450", request));
        c.Send(Concat({UdpPeer::Data(1, Slice(file, 0, 1450)),
                       UdpPeer::Data(2, Slice(file, 1450, 1450)),
                       UdpPeer::Data(3, Slice(file, 2900, 100))}));
        c.Acks(3);
    });
    TransferClient client(camera.listen.Port());
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "f", out);
    camera.Join();
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.stream.bytes, Slice(file, 0, 2900));
    EXPECT_EQ(out.tailLength, 100u);
    EXPECT_EQ(Slice(out.tail, 0, 100), Slice(file, 2900, 100));
}

TEST(TFTPTransfer, OutOfOrderArrivalWithRepeatsIsAcknowledgedEveryTime) {
    Camera camera;
    Bytes file = Pattern(3000, 4);
    std::vector<int> acks;
    camera.Run([&](Camera& c) {
        UdpPeer::Datagram request;
        ASSERT_TRUE(c.Start("1450", request));
        c.Send(UdpPeer::Data(2, Slice(file, 1450, 1450)));
        c.Send(UdpPeer::Data(3, Slice(file, 2900, 100)));
        c.Send(UdpPeer::Data(2, Pattern(1450, 99)));  // a repeat keeps the first copy
        c.Send(UdpPeer::Data(1, Slice(file, 0, 1450)));
        acks = c.Acks(4);
    });
    TransferClient client(camera.listen.Port());
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "f", out);
    camera.Join();
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.stream.bytes, Slice(file, 0, 2900));
    EXPECT_EQ(Slice(out.tail, 0, out.tailLength), Slice(file, 2900, 100));
    EXPECT_EQ(acks, (std::vector<int>{2, 3, 2, 1}));
}

// A short packet under the number of a full block already held contradicts the file: it does
// not end it, and the file is read to its real end.
TEST(TFTPTransfer, AShortRepeatOfAFullBlockDoesNotEndTheFile) {
    Camera camera;
    Bytes file = Pattern(3000, 6);
    std::vector<int> acks;
    camera.Run([&](Camera& c) {
        UdpPeer::Datagram request;
        ASSERT_TRUE(c.Start("1450", request));
        c.Send(UdpPeer::Data(1, Slice(file, 0, 1450)));
        c.Send(UdpPeer::Data(2, Slice(file, 1450, 1450)));
        c.Send(UdpPeer::Data(2, Bytes(10, 'z')));
        c.Send(UdpPeer::Data(3, Slice(file, 2900, 100)));
        acks = c.Acks(4);
    });
    TransferClient client(camera.listen.Port());
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "f", out);
    camera.Join();
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.stream.bytes, Slice(file, 0, 2900));
    EXPECT_EQ(Slice(out.tail, 0, out.tailLength), Slice(file, 2900, 100));
    EXPECT_EQ(acks, (std::vector<int>{1, 2, 2, 3}));
}

TEST(TFTPTransfer, MixedBatchInTheDoubleClass) {
    Camera camera;
    Bytes file = Pattern(2904 * 2 + 496, 5);
    UdpPeer::Datagram request;
    camera.Run([&](Camera& c) {
        ASSERT_TRUE(c.Start("2904", request));
        // One datagram of 2908 + 2908 + 500 bytes.
        c.Send(Concat({UdpPeer::Data(1, Slice(file, 0, 2904)),
                       UdpPeer::Data(2, Slice(file, 2904, 2904)),
                       UdpPeer::Data(3, Slice(file, 5808, 496))}));
        c.Acks(3);
    });
    TransferClient client(camera.listen.Port(), true);
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "f", out);
    camera.Join();
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.stream.bytes, Slice(file, 0, 5808));
    EXPECT_EQ(Slice(out.tail, 0, out.tailLength), Slice(file, 5808, 496));
    EXPECT_EQ(request.bytes.back(), 0);
    EXPECT_EQ(std::string(request.bytes.end() - 5, request.bytes.end() - 1), "2904");
    EXPECT_TRUE(client.UseDoublePackets());
}

TEST(TFTPTransfer, A1450AnswerToA2904OfferTurnsDoublePacketsOff) {
    Camera camera;
    Bytes file = Pattern(1450 + 10, 6);
    std::vector<UdpPeer::Datagram> later;
    camera.Run([&](Camera& c) {
        UdpPeer::Datagram request;
        ASSERT_TRUE(c.Start("1450", request));
        c.Send(Concat(
            {UdpPeer::Data(1, Slice(file, 0, 1450)), UdpPeer::Data(2, Slice(file, 1450, 10))}));
        c.Acks(2);
        // Later requests are refused at once, so that the next read ends quickly.
        UdpPeer::Datagram d;
        while (c.listen.Receive(d, 1500)) {
            later.push_back(d);
            c.transfer.Reply(UdpPeer::Error("busy"), d);
        }
    });
    TransferClient client(camera.listen.Port(), true);
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "f", out);
    EXPECT_EQ(out.result, 0);
    EXPECT_FALSE(client.UseDoublePackets());
    EXPECT_EQ(out.stream.bytes, Slice(file, 0, 1450));
    EXPECT_EQ(Slice(out.tail, 0, out.tailLength), Slice(file, 1450, 10));
    // The next read offers the granted size.
    ReadOutcome next;
    ReadWith(client, "g", next);
    camera.Join();
    EXPECT_EQ(next.result, static_cast<int>(QX::ResultCode::TimedOut));
    ASSERT_FALSE(later.empty());
    const Bytes& second = later.front().bytes;
    EXPECT_EQ(std::string(second.end() - 5, second.end() - 1), "1450");
}

TEST(TFTPTransfer, DataInsteadOfAnOptionAcknowledgementFailsEveryAttempt) {
    Camera camera;
    int requests = 0;
    int acks = 0;
    camera.Run([&](Camera& c) {
        UdpPeer::Datagram d;
        // Answer every request with DATA block 1, like a server that ignores the option.
        while (c.listen.Receive(d, 2500)) {
            ++requests;
            c.transfer.Reply(UdpPeer::Data(1, Bytes(512, 'x')), d);
            UdpPeer::Datagram ack;
            while (c.transfer.Receive(ack, 100)) {
                ++acks;
            }
        }
    });
    TransferClient client(camera.listen.Port(), false, 2);
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "f", out);
    camera.Join();
    EXPECT_EQ(out.result, static_cast<int>(QX::ResultCode::TimedOut));
    EXPECT_EQ(QXTest::Narrow(client.GetError()),
              "TFTPClient[Closed]::Read(): Read error -268435449");
    EXPECT_EQ(requests, 2);
    EXPECT_EQ(acks, 0);
    EXPECT_TRUE(out.stream.bytes.empty());
}

TEST(TFTPTransfer, ErrorBeforeTheDataPhaseCountsLikeSilence) {
    Camera camera;
    int requests = 0;
    camera.Run([&](Camera& c) {
        UdpPeer::Datagram d;
        while (c.listen.Receive(d, 1500)) {
            ++requests;
            c.transfer.Reply(UdpPeer::Error("File not found"), d);
        }
    });
    TransferClient client(camera.listen.Port(), false, 3);
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "missing", out);
    camera.Join();
    EXPECT_EQ(out.result, static_cast<int>(QX::ResultCode::TimedOut));
    EXPECT_EQ(requests, 3);
    EXPECT_EQ(QXTest::Narrow(client.GetError()),
              "TFTPClient[Closed]::Read(): Read error -268435449");
}

TEST(TFTPTransfer, ErrorDuringTheDataPhaseEndsTheReadAtOnce) {
    Camera camera;
    int requests = 0;
    camera.Run([&](Camera& c) {
        UdpPeer::Datagram request;
        ASSERT_TRUE(c.Start("1450", request));
        ++requests;
        c.Send(UdpPeer::Data(1, Bytes(1450, 'a')));
        c.Send(UdpPeer::Error("Disk on fire"));
        UdpPeer::Datagram d;
        while (c.listen.Receive(d, 1200)) {
            ++requests;
        }
    });
    TransferClient client(camera.listen.Port(), false, 3);
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "f", out);
    camera.Join();
    EXPECT_EQ(out.result, static_cast<int>(QX::ResultCode::Unexpected));
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(QXTest::Narrow(client.GetError()),
              "TFTPClient[Closed]::Read(): Read error -268435453");
    EXPECT_TRUE(out.stream.bytes.empty());
}

TEST(TFTPTransfer, WaitForDataReportsTheErrorText) {
    UdpPeer camera(kLoopback);
    TransferClient client(camera.Port());
    client.Open(kLoopback, camera.Port());
    // The client's port, learned from a first datagram.
    ASSERT_EQ(client.SendAck(7), 0);
    UdpPeer::Datagram d;
    ASSERT_TRUE(camera.Receive(d, kWait));
    EXPECT_EQ(UdpPeer::AckBlock(d), 7);
    camera.Reply(Concat({UdpPeer::Data(1, Bytes(1450, 'q')), UdpPeer::Error("late")}), d);
    std::vector<QXSDK::TFTPPacket> batch;
    EXPECT_EQ(client.WaitForData(batch, 1454), static_cast<int>(QX::ResultCode::Unexpected));
    EXPECT_EQ(QXTest::Narrow(client.GetError()),
              "TFTPClient[127.0.0.1]::WaitForData(): Error packet received <late>");
    // An ERROR packet of exactly 4 bytes has an empty text.
    camera.Reply(Bytes{0, 5, 0, 0}, d);
    EXPECT_EQ(client.WaitForOpAck(), static_cast<int>(QX::ResultCode::Unexpected));
    EXPECT_EQ(QXTest::Narrow(client.GetError()),
              "TFTPClient[127.0.0.1]::WaitForOpAck(): Error packet received <>");
}

TEST(TFTPTransfer, TailBufferTooSmallAfterFullBlocksWereWritten) {
    Camera camera;
    Bytes file = Pattern(2900 + 600, 7);
    camera.Run([&](Camera& c) {
        UdpPeer::Datagram request;
        ASSERT_TRUE(c.Start("1450", request));
        c.Send(Concat({UdpPeer::Data(1, Slice(file, 0, 1450)),
                       UdpPeer::Data(2, Slice(file, 1450, 1450)),
                       UdpPeer::Data(3, Slice(file, 2900, 600))}));
        c.Acks(3);
    });
    TransferClient client(camera.listen.Port());
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    out.tailLength = 500;
    ReadWith(client, "f", out);
    camera.Join();
    EXPECT_EQ(out.result, static_cast<int>(QX::ResultCode::BufferTooSmall));
    EXPECT_EQ(out.stream.bytes, Slice(file, 0, 2900));
    EXPECT_EQ(out.tailLength, 500u);
    EXPECT_EQ(QXTest::Narrow(client.GetError()),
              "TFTPClient[Closed]::Read(): Read error -268435446");
}

TEST(TFTPTransfer, NoRetriesSendsNothingAndTheTimeIsFilledOnlyWhenAsked) {
    UdpPeer camera(kLoopback);
    TransferClient client(camera.Port(), false, 0);
    client.Open(kLoopback, camera.Port());
    SYSTEMTIME time{};
    std::uint32_t length = 10;
    EXPECT_EQ(client.Read("f", nullptr, nullptr, &length, &time), 0);
    EXPECT_GE(time.wYear, 2020);
    EXPECT_GE(time.wMonth, 1);
    UdpPeer::Datagram d;
    EXPECT_FALSE(camera.Receive(d, 200));
    EXPECT_EQ(client.Read("f", nullptr, nullptr, &length, nullptr), 0);
    EXPECT_EQ(length, 10u);
}

TEST(TFTPTransfer, TheTimeIsFilledAfterAFailedRead) {
    UdpPeer camera(kLoopback);
    TransferClient client(camera.Port(), false, 1);
    client.Open(kLoopback, camera.Port());
    SYSTEMTIME time{};
    EXPECT_EQ(client.Read("f", nullptr, nullptr, nullptr, &time),
              static_cast<int>(QX::ResultCode::TimedOut));
    EXPECT_GE(time.wYear, 2020);
}

TEST(TFTPTransfer, AnUnusableNameThrows) {
    TransferClient client(69);
    client.Open(kLoopback, 69);
    try {
        client.Read("", nullptr, nullptr, nullptr, nullptr);
        FAIL() << "no exception";
    } catch (const QX::Exception& e) {
        EXPECT_EQ(QXTest::Narrow(e.message), "TFTPPAcket::MakeRQ(): Invalid argument");
    }
}

TEST(TFTPTransfer, WriteAnsweredWithBlock0ReturnsAfterOneRequest) {
    UdpPeer camera(kLoopback);
    int requests = 0;
    UdpPeer::Datagram first;
    std::thread script([&] {
        UdpPeer::Datagram d;
        while (camera.Receive(d, 1000)) {
            if (requests++ == 0) {
                first = d;
            }
            camera.Reply(UdpPeer::Ack(0), d);
        }
    });
    TransferClient client(camera.Port());
    client.Open(kLoopback, camera.Port());
    EXPECT_NO_THROW(client.Write("upload.cfg"));
    script.join();
    EXPECT_EQ(requests, 1);
    const char expected[] = "\0\2upload.cfg\0netascii";
    EXPECT_EQ(first.bytes, Bytes(expected, expected + sizeof expected));
    // The client stays open.
    EXPECT_STREQ(client.GetError(), L"");
}

TEST(TFTPTransfer, WriteAnsweredWithBlock1SendsTheRequestAgain) {
    UdpPeer camera(kLoopback);
    int requests = 0;
    std::thread script([&] {
        UdpPeer::Datagram d;
        while (camera.Receive(d, 1000)) {
            camera.Reply(UdpPeer::Ack(requests++ == 0 ? 1 : 0), d);
        }
    });
    TransferClient client(camera.Port());
    client.Open(kLoopback, camera.Port());
    EXPECT_NO_THROW(client.Write("upload.cfg"));
    script.join();
    EXPECT_EQ(requests, 2);
}

TEST(TFTPTransfer, WriteFailures) {
    TransferClient closed(69);
    try {
        closed.Write("x");
        FAIL() << "no exception";
    } catch (const QX::Exception& e) {
        EXPECT_EQ(e.hResult, 10057u);
        EXPECT_EQ(QXTest::Narrow(e.message), "TFTPClient[Closed]::Write(): Invalid socket");
    }
    UdpPeer silent(kLoopback);
    TransferClient client(silent.Port(), false, 1);
    client.Open(kLoopback, silent.Port());
    try {
        client.Write("x");
        FAIL() << "no exception";
    } catch (const QX::Exception& e) {
        EXPECT_EQ(e.hResult, QX::ResultCode::TimedOut);
        EXPECT_EQ(QXTest::Narrow(e.message), "TFTPClient[127.0.0.1]::Write(): Write timed out");
    }
}

TEST(TFTPTransfer, PacketsFromAnotherHostTakeNoPartInTheTransfer) {
    Camera camera;
    UdpPeer foreign(0x7F000002);
    Bytes file = Pattern(2000, 8);
    camera.Run([&](Camera& c) {
        UdpPeer::Datagram request;
        ASSERT_TRUE(c.listen.Receive(request, kWait));
        c.client = request;
        // A forged ERROR and a forged grant from another address before the camera's answer.
        foreign.Reply(UdpPeer::Error("forged"), request);
        foreign.Reply(UdpPeer::Oack("2904"), request);
        c.transfer.Reply(UdpPeer::Oack("1450"), request);
        UdpPeer::Datagram ack;
        ASSERT_TRUE(c.transfer.Receive(ack, kWait));
        foreign.Reply(UdpPeer::Data(1, Bytes(1450, 'X')), request);
        foreign.Reply(UdpPeer::Data(2, Bytes(3, 'X')), request);
        foreign.Reply(UdpPeer::Error("forged"), request);
        c.Send(UdpPeer::Data(1, Slice(file, 0, 1450)));
        c.Send(UdpPeer::Data(2, Slice(file, 1450, 550)));
        c.Acks(2);
    });
    TransferClient client(camera.listen.Port());
    client.Open(kLoopback, camera.listen.Port());
    ReadOutcome out;
    ReadWith(client, "f", out);
    camera.Join();
    EXPECT_EQ(out.result, 0);
    EXPECT_FALSE(client.UseDoublePackets());
    EXPECT_EQ(out.stream.bytes, Slice(file, 0, 1450));
    EXPECT_EQ(Slice(out.tail, 0, out.tailLength), Slice(file, 1450, 550));
    // Nothing was acknowledged to the foreign host.
    UdpPeer::Datagram d;
    EXPECT_FALSE(foreign.Receive(d, 100));
}

// Another host keeps sending while the camera is silent: datagrams of any size, the empty one
// included, are dropped and never extend a wait beyond its window.
TEST(TFTPTransfer, ForeignTrafficNeverHoldsAWaitOpen) {
    // The foreign host sends this many datagrams at most, one every 20 ms, far longer than any
    // window: a wait that ends before they are all sent was not held open by them.
    constexpr int kForeignDatagrams = 150;
    const std::vector<std::pair<const char*, std::function<int(TransferClient&)>>> waits = {
        {"WaitForData",
         [](TransferClient& client) {
             std::vector<QXSDK::TFTPPacket> batch;
             return client.WaitForData(batch, 1454);
         }},
        {"WaitForOpAck", [](TransferClient& client) { return client.WaitForOpAck(); }},
        {"WaitForAck", [](TransferClient& client) { return client.WaitForAck(1); }},
    };
    for (const auto& [what, wait] : waits) {
        for (std::size_t size : {std::size_t{0}, std::size_t{4}, std::size_t{1454}}) {
            UdpPeer camera(kLoopback);
            UdpPeer foreign(0x7F000002);
            TransferClient client(camera.Port());
            client.Open(kLoopback, camera.Port());
            ASSERT_EQ(client.SendAck(0), 0);
            UdpPeer::Datagram d;
            ASSERT_TRUE(camera.Receive(d, kWait));
            std::atomic<bool> done{false};
            int sent = 0;
            std::thread sender([&] {
                const Bytes datagram = size >= 4 ? UdpPeer::Data(1, size - 4, 'f') : Bytes(size);
                while (!done && sent < kForeignDatagrams) {
                    foreign.Reply(datagram, d);
                    ++sent;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
            const int result = wait(client);
            done = true;
            sender.join();
            EXPECT_EQ(result, static_cast<int>(QX::ResultCode::TimedOut)) << what << " " << size;
            EXPECT_LT(sent, kForeignDatagrams) << what << " " << size;
        }
    }
}

// A grant outside the two size classes cannot be received: the client refuses it with an ERROR
// packet (code 8) and the attempt fails, instead of reading the first block as the last.
TEST(TFTPTransfer, AGrantOutsideTheTwoClassesFailsTheAttempt) {
    for (const char* grant : {"1024", "2048", "14500", "1450x"}) {
        Camera camera;
        Bytes reply;
        camera.Run([&](Camera& c) {
            UdpPeer::Datagram request;
            ASSERT_TRUE(c.listen.Receive(request, kWait));
            c.client = request;
            c.transfer.Reply(UdpPeer::Oack(grant), request);
            UdpPeer::Datagram d;
            ASSERT_TRUE(c.transfer.Receive(d, kWait));
            reply = d.bytes;
            if (UdpPeer::AckBlock(d) == 0) {
                // Taken: a 3000-byte file in blocks of 1024.
                c.Send(UdpPeer::Data(1, Pattern(1024, 3)));
                c.Send(UdpPeer::Data(2, Pattern(1024, 4)));
                c.Send(UdpPeer::Data(3, Pattern(952, 5)));
                c.Acks(3);
            }
        });
        TransferClient client(camera.listen.Port(), false, 1);
        client.Open(kLoopback, camera.listen.Port());
        ReadOutcome out;
        ReadWith(client, "f", out);
        camera.Join();
        EXPECT_EQ(out.result, static_cast<int>(QX::ResultCode::TimedOut)) << grant;
        EXPECT_EQ(QXTest::Narrow(client.GetError()),
                  "TFTPClient[Closed]::Read(): Read error -268435449");
        EXPECT_TRUE(out.stream.bytes.empty()) << grant;
        ASSERT_GE(reply.size(), 5u) << grant;
        EXPECT_EQ(Slice(reply, 0, 4), (Bytes{0, 5, 0, 8})) << grant;
        EXPECT_EQ(reply.back(), 0) << grant;
    }
}

TEST(TFTPTransfer, TheOptionAcknowledgementMovesTheRemotePort) {
    Camera camera;
    TransferClient client(camera.listen.Port());
    client.Open(kLoopback, camera.listen.Port());
    ASSERT_EQ(client.SendAck(0), 0);
    UdpPeer::Datagram d;
    ASSERT_TRUE(camera.listen.Receive(d, kWait));
    // Anything else first is dropped; the grant then counts.
    camera.transfer.Reply(UdpPeer::Data(1, Bytes(10, 'a')), d);
    camera.transfer.Reply(UdpPeer::Oack("2904"), d);
    EXPECT_EQ(client.WaitForOpAck(), 0);
    EXPECT_TRUE(client.UseDoublePackets());
    EXPECT_EQ(client.RemotePort(), camera.transfer.Port());
    // A wrong acknowledgement is a failure without text; the right one succeeds.
    camera.transfer.Reply(UdpPeer::Ack(3), d);
    EXPECT_EQ(client.WaitForAck(2), static_cast<int>(QX::ResultCode::Unexpected));
    camera.transfer.Reply(Bytes{0, 4, 0, 2, 0}, d);  // 5 bytes: not an acknowledgement
    camera.transfer.Reply(UdpPeer::Ack(2), d);
    EXPECT_EQ(client.WaitForAck(2), 0);
}

TEST(TFTPTransfer, AllPacketsExist) {
    TransferClient client(69);
    std::map<int, QXSDK::TFTPPacket> blocks;
    EXPECT_TRUE(client.AllPacketsExist(blocks));
    blocks.emplace(1, QXSDK::TFTPPacket(0));
    blocks.emplace(2, QXSDK::TFTPPacket(0));
    EXPECT_TRUE(client.AllPacketsExist(blocks));
    blocks.emplace(0, QXSDK::TFTPPacket(0));
    EXPECT_TRUE(client.AllPacketsExist(blocks));
    blocks.emplace(4, QXSDK::TFTPPacket(0));
    EXPECT_FALSE(client.AllPacketsExist(blocks));
    std::map<int, QXSDK::TFTPPacket> late;
    late.emplace(2, QXSDK::TFTPPacket(0));
    EXPECT_FALSE(client.AllPacketsExist(late));
}

}  // namespace
