// The HTTP client over the platform transport against the simulated cameras' web server, inside
// a network namespace of the test's own (port 80 on loopback addresses without collisions).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXScopedLock.h"
#include "qxnet/http/QXHTTPClient.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/platform/QXHttp.h"
#include "qxnet/platform/QXSync.h"
#include "sim/QXSimWebServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXNetNamespace.h"

namespace {

constexpr std::uint32_t kOpen = 0x7F000105;     // 127.0.1.5, asks for no credentials
constexpr std::uint32_t kGuarded = 0x7F000106;  // 127.0.1.6, admin / s3cret

class Client : public QXSDK::HTTPClient {
public:
    Client(std::uint64_t key, std::uint32_t address)
        : HTTPClient(key, address, boost::shared_ptr<QX::CodeLock>(new QX::CodeLock)) {}
    bool Execute() override { return RequestImpl(L"/", true, nullptr, nullptr); }

    std::wstring Text() const { return m_responseText; }
    std::wstring ErrorText() const { return m_errorText; }
    QX::CMemoryStream& Stream() { return m_responseStream; }
    static void ClearLogins() {
        QX::ScopedLock guard(&LoginMapLock());
        s_ServerLoginfoMap.clear();
    }
};

// Checks the generated body bytes of the stream, from offset on, and takes them out.
::testing::AssertionResult DrainGenerated(QX::CMemoryStream& stream, std::uint64_t size) {
    std::vector<unsigned char> buffer(65536);
    std::uint64_t offset = 0;
    while (offset < size) {
        std::uint32_t want =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(65536, size - offset));
        std::int32_t got = stream.Read(buffer.data(), want);
        if (got <= 0) {
            return ::testing::AssertionFailure() << "stream ends at " << offset;
        }
        for (std::int32_t i = 0; i < got; ++i) {
            if (buffer[i] != QXSim::WebServer::BodyByte(offset + i)) {
                return ::testing::AssertionFailure() << "wrong byte at " << offset + i;
            }
        }
        offset += static_cast<std::uint64_t>(got);
    }
    return ::testing::AssertionSuccess();
}

class HTTPWebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QXTest::NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        Client::ClearLogins();
        ns = std::make_unique<QXTest::NetNamespace>("qxhttp");
        ASSERT_TRUE(ns->Valid());
        QXSim::SimCamera open;
        open.mac = 0x025158000005;
        open.address = kOpen;
        open.user.clear();
        open.files["hello.txt"] = {'h', 'e', 'l', 'l', 'o'};
        QXSim::SimCamera guarded;
        guarded.mac = 0x025158000006;
        guarded.address = kGuarded;
        guarded.user = "admin";
        guarded.password = "s3cret";
        simulator =
            std::make_unique<QXSim::Simulator>(std::vector<QXSim::SimCamera>{open, guarded});
        web = &simulator->Add(std::make_unique<QXSim::WebServer>(*simulator, QXSim::WebOptions{}));
        std::string error;
        bool started = false;
        ns->Run([&] { started = simulator->Start(error); });
        ASSERT_TRUE(started) << error;
    }
    void TearDown() override {
        if (simulator) {
            simulator->Stop();
        }
        Client::ClearLogins();
    }
    // Runs the checks inside the namespace, where the cameras are.
    void Inside(const std::function<void()>& fn) { ns->Run(fn); }

    std::unique_ptr<QXTest::NetNamespace> ns;
    std::unique_ptr<QXSim::Simulator> simulator;
    QXSim::WebServer* web = nullptr;
};

TEST_F(HTTPWebServerTest, PageAsTextWithExactPathAndUserAgent) {
    Inside([&] {
        Client client(1, kOpen);
        ASSERT_TRUE(client.RequestImpl(L"/hello.txt", true, nullptr, nullptr));
        EXPECT_EQ(client.Text(), L"hello");
        EXPECT_EQ(client.GetHttpStatus(), 200u);
        EXPECT_EQ(client.GetServerStatus(), 200u);
        client.Close();
        // The path goes out untouched: no escaping, no dot-segment clean-up.
        ASSERT_TRUE(client.RequestImpl(L"/a b/../%41?x=1&y=ü", true, nullptr, nullptr));
        EXPECT_EQ(client.GetServerStatus(), 404u);
    });
    auto requests = web->RecentRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/hello.txt");
    EXPECT_EQ(requests[0].userAgent, "QX6SDK");
    EXPECT_EQ(requests[0].authorization, "");
    EXPECT_EQ(requests[1].target, "/a b/../%41?x=1&y=\xC3\xBC");
}

TEST_F(HTTPWebServerTest, LargeBodiesArriveWholeInBothCodings) {
    constexpr std::uint64_t kSize = 5 * 1024 * 1024 + 17;
    Inside([&] {
        Client client(1, kOpen);
        ASSERT_TRUE(client.RequestImpl(L"/gen/5242897", false, nullptr, nullptr));
        ASSERT_EQ(client.Stream().GetSize(), kSize);
        EXPECT_TRUE(DrainGenerated(client.Stream(), kSize));
        client.Close();
        ASSERT_TRUE(client.RequestImpl(L"/chunked/5242897", false, nullptr, nullptr));
        ASSERT_EQ(client.Stream().GetSize(), kSize);
        EXPECT_TRUE(DrainGenerated(client.Stream(), kSize));
    });
}

TEST_F(HTTPWebServerTest, TwoBodiesOneBehindTheOther) {
    Inside([&] {
        Client client(1, kOpen);
        ASSERT_TRUE(client.RequestImpl(L"/gen/100000", false, nullptr, nullptr));
        client.Close();
        ASSERT_TRUE(client.RequestImpl(L"/chunked/100000", false, nullptr, nullptr));
        ASSERT_EQ(client.Stream().GetSize(), 200000u);
        EXPECT_TRUE(DrainGenerated(client.Stream(), 100000));
        EXPECT_TRUE(DrainGenerated(client.Stream(), 100000));
    });
}

TEST_F(HTTPWebServerTest, EmptyBodyFailsAfterTwoRequests) {
    Inside([&] {
        Client client(1, kOpen);
        EXPECT_FALSE(client.RequestImpl(L"/empty", true, nullptr, nullptr));
        EXPECT_EQ(client.GetHttpStatus(), 410u);
        EXPECT_EQ(client.GetServerStatus(), 200u);
    });
    EXPECT_EQ(web->Requests(), 2u);
}

TEST_F(HTTPWebServerTest, CredentialsRememberedAndWrongOnesSeenThroughTheServerStatus) {
    Inside([&] {
        Client client(6, kGuarded);
        ASSERT_TRUE(client.RequestImpl(L"/index.html", true, L"admin", L"s3cret"));
        EXPECT_EQ(client.GetServerStatus(), 200u);
        EXPECT_NE(client.Text().find(L"02:51:58:00:00:06"), std::wstring::npos);
        client.Close();
        // Nothing given: the remembered pair goes out.
        ASSERT_TRUE(client.RequestImpl(L"/index.html", true, nullptr, nullptr));
        EXPECT_EQ(client.GetServerStatus(), 200u);
        client.Close();
        // A wrong password draws a 401 with a body, which still reads as received here, but
        // does not replace the pair that worked.
        ASSERT_TRUE(client.RequestImpl(L"/index.html", true, L"admin", L"wrong"));
        EXPECT_EQ(client.GetHttpStatus(), 200u);
        EXPECT_EQ(client.GetServerStatus(), 401u);
        EXPECT_NE(client.Text().find(L"401"), std::wstring::npos);
        client.Close();
        ASSERT_TRUE(client.RequestImpl(L"/index.html", true, nullptr, nullptr));
        EXPECT_EQ(client.GetServerStatus(), 200u);
    });
    auto requests = web->RecentRequests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].authorization, "Basic YWRtaW46czNjcmV0");
    EXPECT_EQ(requests[1].authorization, "Basic YWRtaW46czNjcmV0");
    EXPECT_EQ(requests[2].authorization, "Basic YWRtaW46d3Jvbmc=");
    EXPECT_EQ(requests[3].authorization, "Basic YWRtaW46czNjcmV0");
}

TEST_F(HTTPWebServerTest, RequestAndCloseSendsStoredCredentialsThenForgetsThem) {
    Inside([&] {
        Client client(6, kGuarded);
        ASSERT_TRUE(client.RequestImpl(L"/", true, L"admin", L"s3cret"));
        client.Close();
        EXPECT_TRUE(client.RequestAndClose(L"/status/204"));
        ASSERT_TRUE(client.RequestImpl(L"/", true, nullptr, nullptr));
        EXPECT_EQ(client.GetServerStatus(), 401u);
    });
    // Each request is a connection of its own, recorded by its own server thread, so the record
    // may list them out of order: count by target instead.
    const std::string basic = "Basic YWRtaW46czNjcmV0";
    int storedSent = 0;
    int rootWith = 0;
    int rootWithout = 0;
    for (const auto& request : web->RecentRequests()) {
        if (request.target == "/status/204") {
            EXPECT_EQ(request.authorization, basic);
            ++storedSent;
        } else if (request.target == "/") {
            ++(request.authorization == basic ? rootWith : rootWithout);
        }
    }
    EXPECT_GE(storedSent, 1);
    EXPECT_EQ(rootWith, 1);
    EXPECT_EQ(rootWithout, 1) << "the forgotten credentials were sent again";
}

TEST_F(HTTPWebServerTest, CloseBeforeAnswerOnceIsRecoveredByTheSecondAttempt) {
    QXSim::WebFaults faults;
    faults.closeBeforeAnswer = true;
    faults.count = 1;
    web->SetFaults(faults);
    Inside([&] {
        Client client(1, kOpen);
        EXPECT_TRUE(client.RequestImpl(L"/hello.txt", true, nullptr, nullptr));
        EXPECT_EQ(client.Text(), L"hello");
    });
    EXPECT_EQ(web->Requests(), 2u);
}

TEST_F(HTTPWebServerTest, BrokenAnswersFailWithTheTransportError) {
    struct Case {
        QXSim::WebFaults faults;
        std::uint32_t error;
    };
    QXSim::WebFaults closeEarly;
    closeEarly.closeBeforeAnswer = true;
    QXSim::WebFaults closeMid;
    closeMid.closeMidBody = true;
    QXSim::WebFaults malformed;
    malformed.malformedStatusLine = true;
    for (const Case& c : {Case{closeEarly, QX::HttpError::InvalidServerResponse},
                          Case{closeMid, QX::HttpError::ConnectionError},
                          Case{malformed, QX::HttpError::InvalidServerResponse}}) {
        web->SetFaults(c.faults);
        Inside([&] {
            Client client(1, kOpen);
            EXPECT_FALSE(client.RequestImpl(L"/gen/200000", false, nullptr, nullptr));
            EXPECT_EQ(client.GetHttpStatus(), 410u);
            EXPECT_EQ(client.GetLastError(), c.error);
        });
    }
}

// A first attempt cut off mid-body is retried whole, and none of its bytes stay in the stream.
TEST_F(HTTPWebServerTest, CutOffAttemptLeavesNoBytesBehind) {
    for (const wchar_t* path : {L"/gen/100000", L"/chunked/100000"}) {
        QXSim::WebFaults closeMid;
        closeMid.closeMidBody = true;
        closeMid.count = 1;
        web->SetFaults(closeMid);
        Inside([&] {
            Client client(1, kOpen);
            ASSERT_TRUE(client.RequestImpl(path, false, nullptr, nullptr));
            ASSERT_EQ(client.Stream().GetSize(), 100000u);
            EXPECT_TRUE(DrainGenerated(client.Stream(), 100000));
        });
    }
    EXPECT_EQ(web->Requests(), 4u);
}

// Redirects are answers, never followed (the credentials stay with the camera), and a request
// carries the same few headers as WinHTTP sends.
TEST_F(HTTPWebServerTest, RedirectIsTheAnswerAndTheHeadersAreFixed) {
    Inside([&] {
        Client client(1, kOpen);
        ASSERT_TRUE(
            client.RequestImpl(L"/redirect/127.0.1.6/index.html", true, L"admin", L"s3cret"));
        EXPECT_EQ(client.GetServerStatus(), 302u);
        EXPECT_EQ(client.Text(), L"moved\n");
    });
    auto requests = web->RecentRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].camera, kOpen);
    std::vector<std::string> names = requests[0].headerNames;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"authorization", "connection", "host", "user-agent"}));
}

// A response head past 64 KiB fails as WinHTTP's does, one long line or many short ones; one
// just under the limit is read.
TEST_F(HTTPWebServerTest, OversizedResponseHeadIsAHeaderOverflow) {
    struct Case {
        unsigned lines;
        std::size_t size;
        bool ok;
    };
    for (const Case& c : {Case{1, 1024 * 1024, false}, Case{20000, 8, false},
                          Case{1, 70 * 1024, false}, Case{100, 500, true}}) {
        SCOPED_TRACE(std::to_string(c.lines) + " x " + std::to_string(c.size));
        QXSim::WebFaults faults;
        faults.extraHeaders = c.lines;
        faults.extraHeaderSize = c.size;
        web->SetFaults(faults);
        Inside([&] {
            Client client(1, kOpen);
            EXPECT_EQ(client.RequestImpl(L"/hello.txt", true, nullptr, nullptr), c.ok);
            if (!c.ok) {
                EXPECT_EQ(client.GetLastError(), QX::HttpError::HeaderSizeOverflow);
            }
        });
    }
}

// The low-speed rule (here 1024 bytes a second over windows of 1 s, instead of 10 s) cuts off a
// server that trickles, and leaves a slow camera and a large body at full speed alone.
TEST_F(HTTPWebServerTest, LowSpeedRuleCutsOffATrickleOnly) {
    struct Case {
        const wchar_t* path;
        unsigned pace;
        std::uint64_t size;  // 0: cut off
    };
    QXSDK::HTTPClient::SetLowSpeedLimit(1024, 1000);
    for (const Case& c : {Case{L"/gen/30", 1, 0}, Case{L"/gen/400000", 100 * 1000, 400000},
                          Case{L"/chunked/268435456", 0, 268435456}}) {
        SCOPED_TRACE(c.pace);
        QXSim::WebFaults faults;
        faults.paceBytesPerSecond = c.pace;
        web->SetFaults(faults);
        std::uint64_t before = web->Requests();
        Inside([&] {
            Client client(1, kOpen);
            EXPECT_EQ(client.RequestImpl(c.path, false, nullptr, nullptr), c.size != 0);
            if (c.size == 0) {
                EXPECT_EQ(client.GetLastError(), QX::HttpError::Timeout);
                EXPECT_EQ(client.ErrorText(), L"Response too slow. Error 12002");
                EXPECT_EQ(client.Stream().GetSize(), 0u);
                return;
            }
            ASSERT_EQ(client.Stream().GetSize(), c.size);
            EXPECT_TRUE(DrainGenerated(client.Stream(), c.size));
        });
        EXPECT_EQ(web->Requests() - before, c.size != 0 ? 1u : 2u);
    }
    QXSDK::HTTPClient::SetLowSpeedLimit(QXSDK::HTTPClient::LowSpeedBytesPerSecond,
                                        QXSDK::HTTPClient::LowSpeedWindowMs);
}

// A camera whose web server drops every connection attempt (its listen queue is full) fails
// after the connect limit of each attempt, with no resolve limit added for an address literal.
TEST_F(HTTPWebServerTest, DroppedConnectTimesOutAfterTheConnectLimit) {
    constexpr std::uint32_t kDropping = 0x7F000109;  // 127.0.1.9
    Inside([&] {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(80);
        address.sin_addr.s_addr = htonl(kDropping);
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        int filler = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        // A queue of one, filled by a connection that is never accepted: every later SYN is
        // dropped.
        ASSERT_EQ(listen(listener, 0), 0);
        ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        Client client(1, kDropping);
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(client.RequestImpl(L"/", true, nullptr, nullptr));
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(client.GetLastError(), QX::HttpError::Timeout);
        // Two attempts of 3 s each; the doubled limit took 12 s.
        EXPECT_LT(took, std::chrono::seconds(10));
        close(filler);
        close(listener);
    });
}

TEST_F(HTTPWebServerTest, SlowAnswerTimesOut) {
    QXSim::WebFaults slow;
    slow.delayMs = 3600;
    web->SetFaults(slow);
    Inside([&] {
        Client client(1, kOpen);
        EXPECT_FALSE(client.RequestImpl(L"/hello.txt", true, nullptr, nullptr));
        EXPECT_EQ(client.GetLastError(), QX::HttpError::Timeout);
        EXPECT_EQ(client.GetHttpStatus(), 410u);
    });
    EXPECT_EQ(web->Requests(), 2u);
}

TEST_F(HTTPWebServerTest, NobodyListeningCannotConnect) {
    Inside([&] {
        Client client(1, 0x7F000107);  // 127.0.1.7 answers pings, but no web server runs there
        EXPECT_FALSE(client.RequestImpl(L"/", true, nullptr, nullptr));
        EXPECT_EQ(client.GetLastError(), QX::HttpError::CannotConnect);
        EXPECT_EQ(client.ErrorText(), L"HttpSendRequest() failed. Error 12029");
    });
}

// An unprivileged process (nobody, with the kernel's default ping_group_range of "1 0") has no
// echo facility; its requests go out all the same. The process is this test program, started
// again as nobody inside the namespace for the disabled test below.
TEST_F(HTTPWebServerTest, UnprivilegedProcessRequestsWithoutTheEchoFacility) {
    ASSERT_EQ(ns->Exec("echo '1 0' > /proc/sys/net/ipv4/ping_group_range"), 0);
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string output =
        ns->Capture(std::string("setpriv --reuid=nobody --regid=nogroup --clear-groups ") + self +
                    " --gtest_also_run_disabled_tests --gtest_filter=HTTPUnprivileged.* 2>&1;"
                    " echo exit=$?");
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_NE(output.find("exit=0"), std::string::npos) << output;
    EXPECT_NE(output.find("no echo facility (0xF0000005), 127.0.1.5 is not pinged"),
              std::string::npos)
        << output;
}

TEST(HTTPUnprivileged, DISABLED_RequestsWithoutTheEchoFacility) {
    // What makes the case: this process may not send echo requests.
    ASSERT_EQ(static_cast<std::uint32_t>(QX::PingICMP(kOpen, 300)),
              QX::ResultCode::UnsupportedOperation);
    ASSERT_NE(getuid(), 0u);
    Client client(1, kOpen);
    ASSERT_TRUE(client.RequestImpl(L"/hello.txt", true, nullptr, nullptr));
    EXPECT_EQ(client.Text(), L"hello");
    // A camera without a web server still fails, at connect.
    Client down(2, 0x7F000107);
    EXPECT_FALSE(down.RequestImpl(L"/", true, nullptr, nullptr));
    EXPECT_EQ(down.GetLastError(), QX::HttpError::CannotConnect);
}

TEST_F(HTTPWebServerTest, UnansweredPingSendsNothing) {
    Inside([&] {
        Client client(1, 0x0A090909);  // 10.9.9.9: nobody holds it inside the namespace
        EXPECT_FALSE(client.RequestImpl(L"/", true, nullptr, nullptr));
        EXPECT_EQ(client.GetHttpStatus(), 12029u);
        EXPECT_EQ(client.GetLastError(), 0u);
    });
}

}  // namespace
