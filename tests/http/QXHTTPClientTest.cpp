#include "qxnet/http/QXHTTPClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "qxnet/common/QXScopedLock.h"
#include "tests/http/QXFakeHttpTransport.h"

namespace {

using QXTest::FakeEcho;
using QXTest::FakeHttpTransport;
using QXTest::FakeReply;

constexpr std::uint64_t kCamera = 0x021122334455ULL;

// A camera client as a host writes one; it opens up the members for the checks.
class TestClient : public QXSDK::HTTPClient {
public:
    TestClient(
        std::uint64_t key, std::uint32_t address,
        boost::shared_ptr<QX::CodeLock> lock = boost::shared_ptr<QX::CodeLock>(new QX::CodeLock))
        : HTTPClient(key, address, std::move(lock)) {}
    TestClient(std::uint64_t key, const wchar_t* address)
        : HTTPClient(key, address, boost::shared_ptr<QX::CodeLock>(new QX::CodeLock)) {}

    bool Execute() override { return RequestImpl(L"/index.html", true, nullptr, nullptr); }

    std::wstring ErrorText() const { return m_errorText; }
    std::wstring ResponseText() const { return m_responseText; }
    std::string TakeStream() {
        std::string bytes(m_responseStream.GetSize(), '\0');
        if (!bytes.empty()) {
            m_responseStream.Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        }
        return bytes;
    }
    void PutStream(const std::string& bytes) {
        m_responseStream.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }
    std::uint32_t Address() const { return m_address; }
    bool Closed() const { return !m_hSession && !m_hConnect && !m_hRequest; }
    bool Get(const wchar_t* path, const wchar_t* user, const wchar_t* password) {
        QX::ScopedLock guard(m_lock);
        return RequestGet(path, user, password);
    }

    static void ClearLogins() {
        QX::ScopedLock guard(&LoginMapLock());
        s_ServerLoginfoMap.clear();
    }
    static bool Login(std::uint64_t key, std::wstring& user, std::wstring& password) {
        QX::ScopedLock guard(&LoginMapLock());
        auto found = s_ServerLoginfoMap.find(key);
        if (found == s_ServerLoginfoMap.end()) {
            return false;
        }
        user = found->second.user;
        password = found->second.password;
        return true;
    }
    static void Remember(std::uint64_t key, const wchar_t* user, const wchar_t* password) {
        QX::ScopedLock guard(&LoginMapLock());
        s_ServerLoginfoMap.erase(key);
        s_ServerLoginfoMap.emplace(key, QXSDK::CameraLoginInfo(user, password));
    }
};

FakeReply Body(std::vector<std::string> blocks, DWORD status = 200) {
    FakeReply reply;
    reply.blocks = std::move(blocks);
    reply.status = status;
    return reply;
}

FakeReply ReceiveFails(DWORD error) {
    FakeReply reply;
    reply.receiveError = error;
    return reply;
}

FakeReply SendFails(DWORD error) {
    FakeReply reply;
    reply.sendError = error;
    return reply;
}

class HTTPClientTest : public ::testing::Test {
protected:
    void SetUp() override { TestClient::ClearLogins(); }
    void TearDown() override { TestClient::ClearLogins(); }

    FakeHttpTransport http;
    FakeEcho echo{true};
};

TEST_F(HTTPClientTest, StartsClosedWithDefinedErrorState) {
    TestClient client(kCamera, 0xC0A8010Au);
    EXPECT_TRUE(client.Closed());
    EXPECT_EQ(client.GetLastError(), 0u);
    EXPECT_EQ(client.ErrorText(), L"");
    EXPECT_EQ(client.GetHttpStatus(), 0u);
    EXPECT_EQ(client.GetServerStatus(), 0u);
    EXPECT_STREQ(client.GetIP(), L"192.168.1.10");
}

TEST_F(HTTPClientTest, TextConstructorReadsDottedDecimal) {
    TestClient client(kCamera, L"192.168.1.10");
    EXPECT_EQ(client.Address(), 0xC0A8010Au);
    EXPECT_STREQ(client.GetIP(), L"192.168.1.10");
    for (const wchar_t* name : {L"camera.local", L"192.168.1", L"192.168.1.256", L"1.2.3.4.5",
                                L"1.2.3.0004", L"", L"1..2.3"}) {
        TestClient other(kCamera, name);
        EXPECT_EQ(other.Address(), 0u) << std::wstring(name).size();
        EXPECT_STREQ(other.GetIP(), name);
    }
}

TEST_F(HTTPClientTest, HostNameSkipsThePingAndConnectsByName) {
    echo.Answer(false);
    TestClient client(kCamera, L"camera.local");
    http.Script(Body({"hello"}));
    EXPECT_TRUE(client.RequestImpl(L"/", true, nullptr, nullptr));
    EXPECT_EQ(FakeEcho::Pings(), 0);
    EXPECT_EQ(http.Calls(L"Connect"), std::vector<std::wstring>{L"Connect camera.local 0"});
}

TEST_F(HTTPClientTest, UnansweredPingCostsNoHttpTraffic) {
    echo.Answer(false);
    TestClient client(kCamera, 0xC0A8010Au);
    EXPECT_FALSE(client.RequestImpl(L"/index.html", true, L"admin", L"admin"));
    EXPECT_EQ(client.GetHttpStatus(), 12029u);
    EXPECT_EQ(FakeEcho::Pings(), 1);
    // The echo facility takes the address in network order.
    EXPECT_EQ(FakeEcho::LastAddress(), 0x0A01A8C0u);
    EXPECT_TRUE(http.Log().empty());
    EXPECT_EQ(client.ErrorText(), L"");
    EXPECT_EQ(client.GetLastError(), 0u);
    std::wstring user, password;
    EXPECT_FALSE(TestClient::Login(kCamera, user, password));
}

TEST_F(HTTPClientTest, ConnectTwiceOpensOnce) {
    TestClient client(kCamera, 0x7F000105u);
    EXPECT_TRUE(client.Connect());
    EXPECT_TRUE(client.Connect());
    EXPECT_EQ(http.Log(),
              (std::vector<std::wstring>{L"Open QX6SDK", L"SetTimeouts 3000 3000 3000 3000",
                                         L"Connect 127.0.1.5 0"}));
    EXPECT_EQ(client.ErrorText(), L"No errors");
    client.Close();
    EXPECT_TRUE(client.Closed());
    EXPECT_EQ(http.OpenHandles(), 0u);
}

TEST_F(HTTPClientTest, FailedConnectLeavesItClosedAndTheNextStartsAfresh) {
    TestClient client(kCamera, 0x7F000105u);
    http.FailConnect(12007);
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.GetLastError(), 12007u);
    EXPECT_EQ(client.ErrorText(), L"InternetConnect() failed. Error 12007");
    EXPECT_TRUE(client.Closed());
    EXPECT_EQ(http.OpenHandles(), 0u);
    EXPECT_TRUE(client.Connect());
    EXPECT_EQ(http.Calls(L"Open ").size(), 2u);
    EXPECT_EQ(client.ErrorText(), L"No errors");
}

TEST_F(HTTPClientTest, FailedSessionOpen) {
    TestClient client(kCamera, 0x7F000105u);
    http.FailOpen(12004);
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.GetLastError(), 12004u);
    EXPECT_EQ(client.ErrorText(), L"InternetOpen() failed. Error 12004");
    EXPECT_TRUE(http.Calls(L"Connect").empty());
}

TEST_F(HTTPClientTest, ExplicitCredentialsAreRememberedAndSentLater) {
    TestClient client(kCamera, 0x7F000105u);
    http.Script(Body({"ok"}));
    ASSERT_TRUE(client.RequestImpl(L"/a", true, L"admin", L"secret"));
    EXPECT_EQ(client.GetHttpStatus(), 200u);
    EXPECT_EQ(http.Calls(L"SetCredentials"),
              std::vector<std::wstring>{L"SetCredentials admin secret"});
    std::wstring user, password;
    ASSERT_TRUE(TestClient::Login(kCamera, user, password));
    EXPECT_EQ(user, L"admin");
    EXPECT_EQ(password, L"secret");
    client.Close();

    // Another client of the same camera needs no credentials of its own.
    TestClient later(kCamera, 0x7F000105u);
    http.ClearLog();
    http.Script(Body({"ok"}));
    ASSERT_TRUE(later.RequestImpl(L"/b", true, nullptr, nullptr));
    EXPECT_EQ(http.Calls(L"SetCredentials"),
              std::vector<std::wstring>{L"SetCredentials admin secret"});

    // Other credentials that work replace the entry; case counts.
    later.Close();
    http.Script(Body({"ok"}));
    ASSERT_TRUE(later.RequestImpl(L"/c", true, L"Admin", L"secret"));
    ASSERT_TRUE(TestClient::Login(kCamera, user, password));
    EXPECT_EQ(user, L"Admin");
}

TEST_F(HTTPClientTest, WithoutCredentialsNothingIsSentOrStored) {
    TestClient client(kCamera, 0x7F000105u);
    http.Script(Body({"ok"}));
    ASSERT_TRUE(client.RequestImpl(L"/", true, nullptr, nullptr));
    EXPECT_TRUE(http.Calls(L"SetCredentials").empty());
    client.Close();

    // Only one of the two: no credentials go out and nothing is stored.
    http.Script(Body({"ok"}));
    ASSERT_TRUE(client.RequestImpl(L"/", true, L"admin", nullptr));
    http.Script(Body({"ok"}));
    ASSERT_TRUE(client.RequestImpl(L"/", true, nullptr, L"secret"));
    EXPECT_TRUE(http.Calls(L"SetCredentials").empty());
    std::wstring user, password;
    EXPECT_FALSE(TestClient::Login(kCamera, user, password));
}

TEST_F(HTTPClientTest, OnlyOneGivenDoesNotReachForTheStoredPair) {
    TestClient::Remember(kCamera, L"stored", L"pair");
    TestClient client(kCamera, 0x7F000105u);
    http.Script(Body({"ok"}));
    ASSERT_TRUE(client.RequestImpl(L"/", true, L"admin", nullptr));
    EXPECT_TRUE(http.Calls(L"SetCredentials").empty());
}

TEST_F(HTTPClientTest, TwoFailedResponsesMakeTwoRequestsOnFreshSessions) {
    TestClient client(kCamera, 0x7F000105u);
    http.Script(ReceiveFails(12002));
    http.Script(ReceiveFails(12002));
    EXPECT_FALSE(client.RequestImpl(L"/slow", false, nullptr, nullptr));
    EXPECT_EQ(http.Calls(L"SendRequest").size(), 2u);
    EXPECT_EQ(http.Calls(L"Open ").size(), 2u);
    EXPECT_EQ(FakeEcho::Pings(), 1);
    // The first session is closed before the second opens.
    std::vector<std::wstring> log = http.Log();
    auto secondOpen = std::find(log.begin() + 1, log.end(), L"Open QX6SDK");
    ASSERT_NE(secondOpen, log.end());
    EXPECT_EQ(std::count(log.begin(), secondOpen, L"CloseHandle"), 3);
    EXPECT_EQ(client.GetHttpStatus(), 410u);
    EXPECT_EQ(client.GetLastError(), 12002u);
    client.Close();
    EXPECT_EQ(http.OpenHandles(), 0u);
}

TEST_F(HTTPClientTest, FailedResponseIsRetriedWithStoredCredentials) {
    TestClient::Remember(kCamera, L"stored", L"pair");
    TestClient client(kCamera, 0x7F000105u);
    http.Script(ReceiveFails(12030));
    http.Script(Body({"ok"}));
    ASSERT_TRUE(client.RequestImpl(L"/", true, L"mine", L"given"));
    EXPECT_EQ(
        http.Calls(L"SetCredentials"),
        (std::vector<std::wstring>{L"SetCredentials mine given", L"SetCredentials stored pair"}));
    std::wstring user, password;
    ASSERT_TRUE(TestClient::Login(kCamera, user, password));
    EXPECT_EQ(user, L"stored");
}

TEST_F(HTTPClientTest, FailedSendIsRetriedWithTheSameCredentials) {
    TestClient::Remember(kCamera, L"stored", L"pair");
    TestClient client(kCamera, 0x7F000105u);
    http.Script(SendFails(12030));
    http.Script(Body({"ok"}));
    ASSERT_TRUE(client.RequestImpl(L"/", true, L"mine", L"given"));
    EXPECT_EQ(
        http.Calls(L"SetCredentials"),
        (std::vector<std::wstring>{L"SetCredentials mine given", L"SetCredentials mine given"}));
    std::wstring user, password;
    ASSERT_TRUE(TestClient::Login(kCamera, user, password));
    EXPECT_EQ(user, L"mine");
}

TEST_F(HTTPClientTest, SendFailureTexts) {
    TestClient client(kCamera, 0x7F000105u);
    http.Script(SendFails(12029));
    http.Script(SendFails(12029));
    EXPECT_FALSE(client.RequestImpl(L"/", true, nullptr, nullptr));
    EXPECT_EQ(client.ErrorText(), L"HttpSendRequest() failed. Error 12029");
    EXPECT_EQ(client.GetLastError(), 12029u);
    EXPECT_EQ(http.Calls(L"ReceiveResponse").size(), 0u);

    http.Script(SendFails(12007));
    http.Script(SendFails(12007));
    EXPECT_FALSE(client.RequestImpl(L"/", true, nullptr, nullptr));
    EXPECT_EQ(client.ErrorText(), L"Request() failed. Error 12007");
}

TEST_F(HTTPClientTest, FailedConnectIsRetriedOnce) {
    TestClient client(kCamera, 0x7F000105u);
    http.FailConnect(12029);
    http.Script(Body({"ok"}));
    // The first Connect fails, the second pass connects and succeeds.
    EXPECT_TRUE(client.RequestImpl(L"/", true, nullptr, nullptr));
    EXPECT_EQ(http.Calls(L"Connect").size(), 2u);
}

TEST_F(HTTPClientTest, RequestAndCloseForgetsTheCredentials) {
    TestClient::Remember(kCamera, L"stored", L"pair");
    TestClient client(kCamera, 0x7F000105u);
    http.Script(Body({}));
    EXPECT_TRUE(client.RequestAndClose(L"/reboot"));
    EXPECT_EQ(http.Calls(L"SetCredentials"),
              std::vector<std::wstring>{L"SetCredentials stored pair"});
    EXPECT_TRUE(http.Calls(L"ReceiveResponse").empty());
    EXPECT_EQ(FakeEcho::Pings(), 0);
    std::wstring user, password;
    EXPECT_FALSE(TestClient::Login(kCamera, user, password));
    EXPECT_TRUE(client.Closed());
    EXPECT_EQ(http.OpenHandles(), 0u);
}

TEST_F(HTTPClientTest, RequestAndCloseFailingKeepsTheCredentials) {
    TestClient::Remember(kCamera, L"stored", L"pair");
    TestClient client(kCamera, 0x7F000105u);
    http.Script(SendFails(12029));
    EXPECT_FALSE(client.RequestAndClose(L"/reboot"));
    EXPECT_EQ(http.Calls(L"SendRequest").size(), 1u);
    std::wstring user, password;
    EXPECT_TRUE(TestClient::Login(kCamera, user, password));
    EXPECT_TRUE(client.Closed());
}

TEST_F(HTTPClientTest, EmptyBodyFailsInTextAndStreamMode) {
    TestClient client(kCamera, 0x7F000105u);
    http.Script(Body({}));
    http.Script(Body({}));
    EXPECT_FALSE(client.RequestImpl(L"/empty", true, nullptr, nullptr));
    EXPECT_EQ(client.GetHttpStatus(), 410u);
    client.Close();
    http.Script(Body({}));
    http.Script(Body({}));
    EXPECT_FALSE(client.RequestImpl(L"/empty", false, nullptr, nullptr));
    EXPECT_EQ(client.GetHttpStatus(), 410u);
    client.Close();
    // Bytes already in the stream make an empty body count as read.
    client.PutStream("held");
    http.Script(Body({}));
    EXPECT_TRUE(client.RequestImpl(L"/empty", false, nullptr, nullptr));
    EXPECT_EQ(client.TakeStream(), "held");
}

TEST_F(HTTPClientTest, LongTextIsCutAt2047Characters) {
    TestClient client(kCamera, 0x7F000105u);
    std::string body(3000, 'x');
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>('a' + i % 26);
    }
    http.Script(Body({body}));
    ASSERT_TRUE(client.RequestImpl(L"/long", true, nullptr, nullptr));
    std::wstring text = client.ResponseText();
    ASSERT_EQ(text.size(), 2047u);
    EXPECT_EQ(text, std::wstring(body.begin(), body.begin() + 2047));
}

TEST_F(HTTPClientTest, TextReadsOnlyTheFirstBlock) {
    TestClient client(kCamera, 0x7F000105u);
    http.Script(Body({"first ", "second"}));
    ASSERT_TRUE(client.RequestImpl(L"/", true, nullptr, nullptr));
    EXPECT_EQ(client.ResponseText(), L"first ");
    EXPECT_EQ(http.Calls(L"ReadData"), std::vector<std::wstring>{L"ReadData 6"});
}

TEST_F(HTTPClientTest, StreamTakesEveryBlockInOrderAndKeepsEarlierBodies) {
    TestClient client(kCamera, 0x7F000105u);
    std::vector<std::string> blocks;
    std::string whole;
    for (int i = 0; i < 50; ++i) {
        blocks.push_back(
            std::string(static_cast<std::size_t>(1000 + i * 37), static_cast<char>('A' + i % 26)));
        whole += blocks.back();
    }
    http.Script(Body(blocks));
    ASSERT_TRUE(client.RequestImpl(L"/big", false, nullptr, nullptr));
    EXPECT_EQ(http.Calls(L"ReadData").size(), 50u);
    client.Close();
    http.Script(Body({"tail"}));
    ASSERT_TRUE(client.RequestImpl(L"/small", false, nullptr, nullptr));
    EXPECT_EQ(client.TakeStream(), whole + "tail");
}

TEST_F(HTTPClientTest, StreamReturnsTheStreamSize) {
    TestClient client(kCamera, 0x7F000105u);
    client.PutStream("12345");
    http.Script(Body({"abc", "de"}));
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Get(L"/", nullptr, nullptr));
    EXPECT_EQ(client.Response(false), 200u);
    EXPECT_EQ(client.TakeStream(), "12345abcde");
}

TEST_F(HTTPClientTest, ErrorStatusWithBodyCountsAsReceived) {
    TestClient client(kCamera, 0x7F000105u);
    http.Script(Body({"<html>401 Unauthorized</html>"}, 401));
    EXPECT_TRUE(client.RequestImpl(L"/", true, L"admin", L"wrong"));
    EXPECT_EQ(client.GetHttpStatus(), 200u);
    EXPECT_EQ(client.GetServerStatus(), 401u);
    // The credentials that drew the 401 are remembered all the same.
    std::wstring user, password;
    ASSERT_TRUE(TestClient::Login(kCamera, user, password));
    EXPECT_EQ(password, L"wrong");
    client.Close();
    EXPECT_EQ(client.GetServerStatus(), 0u);
}

TEST_F(HTTPClientTest, ReadFailures) {
    TestClient client(kCamera, 0x7F000105u);
    FakeReply readFails = Body({"abc"});
    readFails.readError = 12030;
    http.Script(readFails);
    http.Script(readFails);
    EXPECT_FALSE(client.RequestImpl(L"/", false, nullptr, nullptr));
    EXPECT_EQ(client.ErrorText(), L"WinHttpReadData() failed. Error 12030");
    EXPECT_EQ(client.GetLastError(), 12030u);

    FakeReply queryFails = Body({"abc"});
    queryFails.queryError = 12002;
    http.Script(queryFails);
    http.Script(queryFails);
    EXPECT_FALSE(client.RequestImpl(L"/", false, nullptr, nullptr));
    EXPECT_EQ(client.ErrorText(), L"WinHttpQueryDataAvailable() failed. Error 12002");
    EXPECT_EQ(client.GetLastError(), 12002u);
}

TEST_F(HTTPClientTest, ResponseWithoutRequest) {
    TestClient client(kCamera, 0x7F000105u);
    EXPECT_EQ(client.Response(true), 410u);
    EXPECT_EQ(client.GetHttpStatus(), 410u);
    EXPECT_TRUE(http.Log().empty());
}

TEST_F(HTTPClientTest, SecondRequestWithoutCloseClosesTheFirstRequestHandle) {
    TestClient client(kCamera, 0x7F000105u);
    http.Script(Body({"one"}));
    http.Script(Body({"two"}));
    ASSERT_TRUE(client.RequestImpl(L"/1", true, nullptr, nullptr));
    ASSERT_TRUE(client.RequestImpl(L"/2", true, nullptr, nullptr));
    EXPECT_EQ(client.ResponseText(), L"two");
    EXPECT_EQ(http.OpenHandles(), 3u);
    client.Close();
    EXPECT_EQ(http.OpenHandles(), 0u);
}

TEST_F(HTTPClientTest, DestructorClosesEverything) {
    {
        TestClient client(kCamera, 0x7F000105u);
        http.Script(Body({"one"}));
        ASSERT_TRUE(client.RequestImpl(L"/1", true, nullptr, nullptr));
        EXPECT_EQ(http.OpenHandles(), 3u);
    }
    EXPECT_EQ(http.OpenHandles(), 0u);
}

// Clients with locks of their own use the login map at the same time.
TEST_F(HTTPClientTest, ClientsWithDifferentLocksShareTheMap) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    for (int i = 0; i < kThreads * kRounds * 2; ++i) {
        http.Script(Body({"ok"}));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            TestClient own(100 + t, 0x7F000105u);
            TestClient shared(kCamera, 0x7F000105u);
            std::wstring user = L"user" + std::to_wstring(t);
            for (int r = 0; r < kRounds; ++r) {
                EXPECT_TRUE(own.RequestImpl(L"/", true, user.c_str(), L"pw"));
                own.Close();
                EXPECT_TRUE(shared.RequestImpl(L"/", true, user.c_str(), L"pw"));
                shared.Close();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        std::wstring user, password;
        ASSERT_TRUE(TestClient::Login(100 + t, user, password));
        EXPECT_EQ(user, L"user" + std::to_wstring(t));
    }
    std::wstring user, password;
    ASSERT_TRUE(TestClient::Login(kCamera, user, password));
    EXPECT_EQ(user.compare(0, 4, L"user"), 0);
    EXPECT_EQ(password, L"pw");
}

}  // namespace
