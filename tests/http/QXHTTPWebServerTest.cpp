// The HTTP client over the platform transport against the simulated cameras' web server, inside
// a network namespace of the test's own (port 80 on loopback addresses without collisions).

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "qxnet/common/QXScopedLock.h"
#include "qxnet/http/QXHTTPClient.h"
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
        // A wrong password draws a 401 with a body, which still reads as received here.
        ASSERT_TRUE(client.RequestImpl(L"/index.html", true, L"admin", L"wrong"));
        EXPECT_EQ(client.GetHttpStatus(), 200u);
        EXPECT_EQ(client.GetServerStatus(), 401u);
        EXPECT_NE(client.Text().find(L"401"), std::wstring::npos);
    });
    auto requests = web->RecentRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].authorization, "Basic YWRtaW46czNjcmV0");
    EXPECT_EQ(requests[1].authorization, "Basic YWRtaW46czNjcmV0");
    EXPECT_EQ(requests[2].authorization, "Basic YWRtaW46d3Jvbmc=");
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

TEST_F(HTTPWebServerTest, UnansweredPingSendsNothing) {
    Inside([&] {
        Client client(1, 0x0A090909);  // 10.9.9.9: nobody holds it inside the namespace
        EXPECT_FALSE(client.RequestImpl(L"/", true, nullptr, nullptr));
        EXPECT_EQ(client.GetHttpStatus(), 12029u);
        EXPECT_EQ(client.GetLastError(), 0u);
    });
}

}  // namespace
