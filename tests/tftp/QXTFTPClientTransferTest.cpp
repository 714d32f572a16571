// Read, Write and ReadAsync against a camera on loopback whose every datagram the test writes.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>
#include <tuple>

#include "tests/support/QXAsyncOutcome.h"
#include "tests/support/QXTraceCapture.h"
#include "tests/support/QXUdpPeer.h"
#include "tests/tftp/QXTFTPTestClient.h"

namespace {

using namespace QXTest;
using Bytes = std::vector<std::uint8_t>;
using Datagram = UdpPeer::Datagram;

constexpr int kWait = 3000;
const std::string kSilence = "TFTPClient[Closed]::Read(): Read error -268435449";

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

// A script on the camera's thread answers requests from the transfer port; false ends it.
class Camera {
public:
    using Script = std::function<bool(Camera&, const Datagram& request)>;
    ~Camera() { Join(); }
    void Run(Script script) {
        m_thread = std::thread([this, script] {
            Datagram request;  // after the first, the camera ends once the client gave up
            for (int wait = kWait; listen.Receive(request, wait); wait = 1500) {
                ++requests;
                client = request;
                if (!script(*this, request)) {
                    break;
                }
            }
        });
    }
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    bool Grant(const std::string& size) {  // true once block 0 is acknowledged
        Send(UdpPeer::Oack(size));
        Datagram ack;
        while (transfer.Receive(ack, kWait)) {
            if (UdpPeer::AckBlock(ack) >= 0) {
                return UdpPeer::AckBlock(ack) == 0;
            }
        }
        return false;
    }
    bool Send(const Bytes& datagram) { return transfer.Reply(datagram, client); }
    std::vector<int> Acks(std::size_t count) {
        std::vector<int> acks;
        Datagram d;
        while (acks.size() < count && transfer.Receive(d, kWait)) {
            acks.push_back(UdpPeer::AckBlock(d));
        }
        return acks;
    }

    UdpPeer listen;
    UdpPeer transfer;
    Datagram client;
    std::atomic<int> requests{0};

private:
    std::thread m_thread;
};

struct ReadOutcome {
    int result = -1;
    VectorStream stream;
    Bytes tail = Bytes(4000, 0xEE);
    std::uint32_t tailLength = 4000;
    std::string error;
    bool useDouble = false;
};

ReadOutcome Read(Camera& camera, bool useDouble = false, int retries = 3,
                 std::uint32_t tailLength = 4000) {
    TestClient client(camera.listen.Port(), useDouble, retries);
    ReadOutcome out;
    out.tailLength = tailLength;
    out.result = client.Read("f", &out.stream, out.tail.data(), &out.tailLength, nullptr);
    camera.Join();
    out.error = QX::ToUtf8(client.GetError());
    out.useDouble = client.UseDoublePackets();
    return out;
}

// A block's number and payload size; a negative size: that many other bytes.
struct Block {
    int number, size;
};

TEST(TFTPTransfer, ReadsCollectBlocksInAnyOrder) {
    const struct {
        const char* what;
        int grant;
        std::vector<std::vector<Block>> datagrams;
        bool useDouble = false;
        bool forged = false;  // another host forges an ERROR and a grant, then blocks and ERROR
    } cases[] = {
        {"a short single block", 1450, {{{1, 1000}}}},
        {"a full final block and an empty one", 1450, {{{1, 1450}, {2, 0}}}},
        {"full blocks and a tail", 1450, {{{1, 1450}, {2, 1450}, {3, 100}}}},
        {"reordered; first copy kept", 1450, {{{2, 1450}}, {{3, 100}}, {{2, -1450}}, {{1, 1450}}}},
        {"a short repeat is no end", 1450, {{{1, 1450}}, {{2, 1450}}, {{2, -10}}, {{3, 100}}}},
        {"a mixed batch of the double class", 2904, {{{1, 2904}, {2, 2904}, {3, 496}}}, true},
        {"a 1450 grant to a 2904 offer", 1450, {{{1, 1450}, {2, 10}}}, true},
        {"forged packets take no part", 1450, {{{1, 1450}}, {{2, 550}}}, false, true},
    };
    UdpPeer foreign(0x7F000002);
    const Bytes forgedAfterGrant[] = {UdpPeer::Data(1, Bytes(1450, 'X')),
                                      UdpPeer::Data(2, Bytes(3, 'X')), UdpPeer::Error("forged")};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        std::vector<int> sent;  // every block acknowledged, repeats too, in this order
        std::size_t size = 0;
        for (const std::vector<Block>& datagram : test.datagrams) {
            for (const Block& b : datagram) {
                sent.push_back(b.number);
                size += static_cast<std::size_t>(std::max(b.size, 0));
            }
        }
        const Bytes file = Pattern(size, 3);
        const std::size_t grant = static_cast<std::size_t>(test.grant);
        std::vector<int> acks;
        Bytes request;
        Camera camera;
        camera.Run([&](Camera& c, const Datagram& r) {
            request = r.bytes;
            if (test.forged) {
                foreign.Reply(UdpPeer::Error("forged"), r);
                foreign.Reply(UdpPeer::Oack("2904"), r);
            }
            EXPECT_TRUE(c.Grant(std::to_string(grant)));
            for (std::size_t i = 0; test.forged && i < std::size(forgedAfterGrant); ++i) {
                foreign.Reply(forgedAfterGrant[i], r);
            }
            for (const std::vector<Block>& blocks : test.datagrams) {
                Bytes datagram;
                for (const Block& b : blocks) {
                    const std::size_t n = static_cast<std::size_t>(std::abs(b.size));
                    const Bytes payload =
                        b.size < 0 ? Bytes(n, 'z') : Slice(file, (b.number - 1) * grant, n);
                    datagram = Concat({datagram, UdpPeer::Data(b.number, payload)});
                }
                c.Send(datagram);
            }
            acks = c.Acks(sent.size());
            return false;
        });
        const ReadOutcome out = Read(camera, test.useDouble);
        const std::size_t last = size - size % grant;
        EXPECT_EQ(out.result, 0) << out.error;
        EXPECT_EQ(out.stream.bytes, Slice(file, 0, last));
        EXPECT_EQ(Slice(out.tail, 0, out.tailLength), Slice(file, last, size - last));
        EXPECT_EQ(acks, sent);
        EXPECT_EQ(out.useDouble, grant == 2904);
        using namespace std::string_literals;
        const std::string expected =
            "\0\1f\0netascii\0blksize\0"s + (test.useDouble ? "2904" : "1450") + '\0';
        EXPECT_EQ(request, Bytes(expected.begin(), expected.end()));
        Datagram d;
        EXPECT_FALSE(foreign.Receive(d, test.forged ? 100 : 0));  // nothing went to the forger
    }
}

TEST(TFTPTransfer, FailedReads) {
    using namespace std::string_literals;
    const struct {
        const char* what;
        int retries;
        Camera::Script script;
        int result, requests;
        std::string error;
        std::uint32_t tailLength = 4000;
        std::size_t streamed = 0;
    } cases[] = {
        {"data instead of a grant: nothing is acknowledged", 2,
         [](Camera& c, const Datagram&) {
             c.Send(UdpPeer::Data(1, Bytes(512, 'x')));
             Datagram ack;
             EXPECT_FALSE(c.transfer.Receive(ack, 300));
             return true;
         },
         kTimedOut, 2, kSilence},
        {"an error before the data phase counts like silence", 3,
         [](Camera& c, const Datagram&) { return c.Send(UdpPeer::Error("File not found")); },
         kTimedOut, 3, kSilence},
        {"an error in the data phase ends the read at once", 3,
         [](Camera& c, const Datagram&) {
             c.Grant("1450");
             c.Send(UdpPeer::Data(1, Bytes(1450, 'a')));
             c.Send(UdpPeer::Error("Disk on fire"));
             return true;
         },
         kUnexpected, 1, "TFTPClient[Closed]::Read(): Read error -268435453"},
        {"a transfer that stalls", 2,
         [](Camera& c, const Datagram&) {
             c.Grant("1450");
             return c.Send(UdpPeer::Data(1, Bytes(1450, 'a')));
         },
         kTimedOut, 2, kSilence},
        {"a grant of 14500 is refused with ERROR 8", 1,
         [](Camera& c, const Datagram&) {
             c.Send(UdpPeer::Oack("14500"));
             Datagram d;
             EXPECT_TRUE(c.transfer.Receive(d, kWait));
             const std::string refusal = "\0\5\0\10Block size not supported\0"s;
             EXPECT_EQ(d.bytes, Bytes(refusal.begin(), refusal.end()));
             return false;
         },
         kTimedOut, 1, kSilence},
        {"a tail buffer too small after full blocks were written", 3,
         [](Camera& c, const Datagram&) {
             c.Grant("1450");
             c.Send(Concat({UdpPeer::Data(1, Pattern(1450)), UdpPeer::Data(2, Pattern(1450)),
                            UdpPeer::Data(3, Pattern(600))}));
             c.Acks(3);
             return false;
         },
         static_cast<int>(QX::ResultCode::BufferTooSmall), 1,
         "TFTPClient[Closed]::Read(): Read error -268435446", 500, 2900},
    };
    for (const auto& test : cases) {
        Camera camera;
        camera.Run(test.script);
        ReadOutcome out = Read(camera, false, test.retries, test.tailLength);
        EXPECT_EQ(out.result, test.result) << test.what;
        EXPECT_EQ(camera.requests, test.requests) << test.what;
        EXPECT_EQ(out.error, test.error) << test.what;
        EXPECT_EQ(out.stream.bytes.size(), test.streamed) << test.what;
        EXPECT_EQ(out.tailLength, test.tailLength) << test.what;
    }
}

// A block map is whole when no number is missing from 1 up to its last.
TEST(TFTPTransfer, AllPacketsExist) {
    TestClient client(NewLock(), 0, false, 3, 0, 69);
    std::map<int, QXSDK::TFTPPacket> blocks;
    EXPECT_TRUE(client.AllPacketsExist(blocks));
    for (int block : {0, 2, 1, 4}) {
        blocks.emplace(block, QXSDK::TFTPPacket(0));
        EXPECT_EQ(client.AllPacketsExist(blocks), block == 0 || block == 1) << block;
    }
}

TEST(TFTPTransfer, RetriesNameAndTime) {
    UdpPeer camera;
    for (int retries : {0, 1}) {  // 0: no attempt, nothing sent
        TestClient client(camera.Port(), false, retries);
        SYSTEMTIME time{};
        std::uint32_t length = 10;
        EXPECT_EQ(client.Read("f", nullptr, nullptr, &length, &time), retries == 0 ? 0 : kTimedOut);
        EXPECT_GE(time.wYear, 2020);  // filled after a failed read too
        EXPECT_EQ(length, 10u);
        Datagram d;
        EXPECT_EQ(camera.Receive(d, 200), retries == 1);
        EXPECT_STREQ(Thrown([&] { client.Read("", nullptr, nullptr, nullptr, nullptr); }).message,
                     L"TFTPPAcket::MakeRQ(): Invalid argument");
    }
}

TEST(TFTPTransfer, WriteSendsItsRequestUntilBlock0IsAcknowledged) {
    for (int wrongFirst : {0, 1}) {
        UdpPeer camera;
        std::vector<Bytes> requests;
        std::thread script([&] {
            Datagram d;
            while (camera.Receive(d, 1000)) {
                requests.push_back(d.bytes);
                camera.Reply(UdpPeer::Ack(requests.size() == 1 ? wrongFirst : 0), d);
            }
        });
        TestClient client(camera.Port());
        EXPECT_NO_THROW(client.Write("upload.cfg"));
        script.join();
        ASSERT_EQ(requests.size(), 1u + wrongFirst);
        const char expected[] = "\0\2upload.cfg\0netascii";
        EXPECT_EQ(requests[0], Bytes(expected, expected + sizeof expected));
        EXPECT_STREQ(client.GetError(), L"");
    }
    TestClient closed(NewLock(), 0, false, 3, 0, 69);
    EXPECT_EQ(ThrownText([&] { closed.Write("x"); }),
              std::make_pair(std::wstring(L"TFTPClient[Closed]::Write(): Invalid socket"), 10057u));
    UdpPeer silent;
    TestClient client(silent.Port(), false, 1);
    EXPECT_EQ(ThrownText([&] { client.Write("x"); }),
              std::make_pair(std::wstring(L"TFTPClient[127.0.0.1]::Write(): Write timed out"),
                             static_cast<std::uint32_t>(kTimedOut)));
}

// What ReadAsync's callback was given: stream, buffer, value, context.
using ReadResult = std::tuple<QXSDK::IStream*, unsigned char*, std::uint32_t, void*>;

struct Reader {  // the callback records into outcome, and may throw after
    AsyncOutcome<ReadResult> outcome;
    std::atomic<bool> throwing{false};

    static void Callback(QXSDK::IStream* stream, unsigned char* buffer, std::uint32_t value,
                         void* context) {
        auto* self = static_cast<Reader*>(context);
        const bool throwing = self->throwing;
        self->outcome.Add({stream, buffer, value, context});
        if (throwing) {
            throw 42;
        }
    }
};

TEST(TFTPAsync, ReadsReachTheCallbackOnOneReusedThread) {
    TestClient closed(NewLock(), 0, false, 3, 0, 69);
    Reader reader;
    std::uint32_t length = 0;
    EXPECT_EQ(ThrownText([&] {
                  closed.ReadAsync("f", nullptr, nullptr, &length, Reader::Callback, &reader);
              }),
              std::make_pair(std::wstring(L"TFTPClient[Closed]::Read(): Invalid socket"), 10057u));
    EXPECT_EQ(closed.Thread(), INVALID_HANDLE_VALUE);

    TraceCapture trace;
    const std::vector<Bytes> files = {Bytes(1000, 'a'), Bytes(20, 'b'), Bytes(600, 'c')};
    Camera camera;
    camera.Run([&, served = std::size_t{0}](Camera& c, const Datagram&) mutable {
        EXPECT_TRUE(c.Grant("1450"));  // one short block a request
        c.Send(UdpPeer::Data(1, files.at(served)));
        EXPECT_EQ(c.Acks(1), std::vector<int>{1});
        return ++served < files.size();
    });
    TestClient client(camera.listen.Port());
    reader.throwing = true;  // traced, and the thread carries on
    VectorStream stream;
    unsigned char buffer[1450];
    length = sizeof buffer;
    ASSERT_EQ(client.ReadAsync("a", &stream, buffer, &length, Reader::Callback, &reader), 0);
    const HANDLE thread = client.Thread();
    EXPECT_NE(thread, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(reader.outcome.Wait(1));
    reader.throwing = false;
    EXPECT_EQ(reader.outcome.Last(), (ReadResult{&stream, buffer, 1000, &reader}));
    EXPECT_TRUE(stream.bytes.empty());
    EXPECT_EQ(Bytes(buffer, buffer + 1000), files[0]);
    client.Reset(kLoopback, camera.listen.Port());  // the port had moved to the transfer port
    length = sizeof buffer;
    ASSERT_EQ(client.ReadAsync("b", &stream, buffer, &length, Reader::Callback, &reader), 0);
    ASSERT_TRUE(reader.outcome.Wait(2));
    EXPECT_EQ(client.Thread(), thread);
    EXPECT_EQ(reader.outcome.Last(), (ReadResult{&stream, buffer, 20, &reader}));
    EXPECT_EQ(Bytes(buffer, buffer + 20), files[1]);
    EXPECT_EQ(trace.Count(L"TFTPClient::ReceiveProc(): unknown exception from user callback"), 1);
    client.Reset(kLoopback, camera.listen.Port());
    length = 500;  // too small for the file
    ASSERT_EQ(client.ReadAsync("c", nullptr, buffer, &length, Reader::Callback, &reader), 0);
    ASSERT_TRUE(reader.outcome.Wait(3));
    camera.Join();
    EXPECT_EQ(reader.outcome.Last(),
              (ReadResult{nullptr, nullptr, QX::ResultCode::TimedOut, &reader}));
    EXPECT_EQ(QX::ToUtf8(client.GetError()), "TFTPClient[127.0.0.1] Packet buffer is too small");
}

TEST(TFTPAsync, OneReadAtATimeAndDestructionWaitsForIt) {
    TraceCapture trace;
    AsyncOutcome<bool> started, checked;
    Camera camera;
    camera.Run([&](Camera& c, const Datagram&) {
        EXPECT_TRUE(c.Grant("1450"));
        started.Add(true);
        // Let the test try a second read and destroy the client, then finish the file.
        EXPECT_TRUE(checked.Wait());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.Send(UdpPeer::Data(1, Bytes(9, 'g')));
        return false;
    });
    Reader reader;
    unsigned char buffer[100];
    std::uint32_t length = sizeof buffer;
    {
        TestClient client(camera.listen.Port(), false, 20);  // a cycle of 20 x 0.25 s
        ASSERT_EQ(client.ReadAsync("a", nullptr, buffer, &length, Reader::Callback, &reader), 0);
        ASSERT_TRUE(started.Wait());
        EXPECT_EQ(client.ReadAsync("b", nullptr, buffer, &length, Reader::Callback, &reader),
                  kUnavailable);
        checked.Add(true);
    }
    camera.Join();
    EXPECT_EQ(camera.requests, 1);  // "b" sent nothing
    ASSERT_EQ(reader.outcome.Results().size(), 1u);
    EXPECT_EQ(std::get<2>(reader.outcome.Last()), 9u);
    EXPECT_TRUE(trace.Contains(L"TFTPClient[Closed]::~TFTPClient(): done"));
}

}  // namespace
