#include "qxnet/http/QXHTTPClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qxnet/http/QXBodySink.h"
#include "tests/http/QXHttpTestClient.h"
#include "tests/support/QXFakeEcho.h"
#include "tests/support/QXFakeHttpTransport.h"
#include "tests/support/QXTraceCapture.h"

namespace {

using QXTest::FakeHttpTransport;
using QXTest::FakeReply;
using TestClient = QXTest::HttpTestClient;

constexpr std::uint64_t kCamera = 0x021122334455ULL;
constexpr std::uint32_t kAddress = 0x7F000105u;  // 127.0.1.5

FakeReply Body(std::vector<std::string> blocks) {
    return FakeReply{.blocks = std::move(blocks)};
}

std::string TakeStream(TestClient& client) {
    std::string bytes(client.Stream().GetSize(), '\0');
    if (!bytes.empty()) {
        client.Stream().Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }
    return bytes;
}

void PutStream(TestClient& client, const std::string& bytes) {
    client.Stream().Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

// Takes stream bodies in place of a client's response stream.
struct StringSink : QX::BodySink {
    explicit StringSink(const QXSDK::HTTPClient& client) : BodySink(client) {}
    void Append(const void* data, std::uint32_t size) override {
        bytes.append(static_cast<const char*>(data), size);
    }
    void Truncate(std::uint64_t size) override {
        bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), size)));
    }
    std::uint64_t Size() const override { return bytes.size(); }
    std::string bytes;
};

class HTTPClientTest : public ::testing::Test {
protected:
    void SetUp() override { TestClient::Remember(0, nullptr, nullptr); }
    void TearDown() override { TestClient::Remember(0, nullptr, nullptr); }

    FakeHttpTransport http;
    QXTest::FakeEcho echo{true};
};

// One session a client. A failed open or connect leaves the client closed and the next attempt
// starts afresh; within a request a failed connect is tried once more.
TEST_F(HTTPClientTest, ConnectsOnceAndStartsAfreshAfterAFailure) {
    TestClient client(kCamera, kAddress);
    EXPECT_STREQ(client.GetIP(), L"127.0.1.5");
    EXPECT_EQ(client.Response(true), 410u);  // no request yet
    EXPECT_TRUE(client.Connect());
    EXPECT_TRUE(client.Connect());
    EXPECT_EQ(http.Log(),
              (std::vector<std::wstring>{L"Open QX6SDK", L"SetTimeouts 3000 3000 3000 3000",
                                         L"Connect 127.0.1.5 0"}));
    EXPECT_EQ(client.ErrorText(), L"No errors");
    client.Close();
    EXPECT_EQ(http.OpenHandles(), 0u);
    http.ClearLog();
    http.FailOpen(12004);
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.GetLastError(), 12004u);
    EXPECT_EQ(client.ErrorText(), L"InternetOpen() failed. Error 12004");
    EXPECT_TRUE(http.Calls(L"Connect").empty());
    http.FailConnect(12007);
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.GetLastError(), 12007u);
    EXPECT_EQ(client.ErrorText(), L"InternetConnect() failed. Error 12007");
    EXPECT_TRUE(client.Closed());
    EXPECT_EQ(http.OpenHandles(), 0u);
    http.FailConnect(12029);
    http.Script(Body({"ok"}));
    http.ClearLog();
    EXPECT_TRUE(client.RequestImpl(L"/", true, nullptr, nullptr));
    EXPECT_EQ(http.Calls(L"Connect").size(), 2u);
}

// Credentials given together are sent, and remembered for the camera once a page arrives with
// them; every client of the camera sends them when given none. One of the two alone is not
// sent, not stored, and does not reach for the stored pair. A refused login (401, 403) reads as
// received but keeps the pair that worked; any other status replaces it.
TEST_F(HTTPClientTest, CredentialsThatWorkAreRememberedForTheCamera) {
    const struct {
        const wchar_t* user;
        const wchar_t* password;
        DWORD status;
        const wchar_t* sent;        // "user password"; null: none
        const wchar_t* remembered;  // afterwards
    } steps[] = {
        {nullptr, nullptr, 200, nullptr, L"-"},
        {L"admin", nullptr, 200, nullptr, L"-"},
        {nullptr, L"secret", 200, nullptr, L"-"},
        {L"admin", L"secret", 200, L"admin secret", L"admin secret"},
        {nullptr, nullptr, 200, L"admin secret", L"admin secret"},
        {L"admin", nullptr, 200, nullptr, L"admin secret"},
        {L"admin", L"other", 401, L"admin other", L"admin secret"},
        {L"admin", L"other", 403, L"admin other", L"admin secret"},
        {L"admin", L"other", 404, L"admin other", L"admin other"},
        {L"Admin", L"other", 500, L"Admin other", L"Admin other"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.status);
        TestClient client(kCamera, kAddress);
        http.ClearLog();
        http.Script(FakeReply{.status = step.status, .blocks = {"<html>page</html>"}});
        ASSERT_TRUE(client.RequestImpl(L"/", true, step.user, step.password));
        EXPECT_EQ(client.GetHttpStatus(), 200u);
        EXPECT_EQ(client.GetServerStatus(), step.status);
        EXPECT_EQ(http.Calls(L"SetCredentials"),
                  step.sent
                      ? std::vector<std::wstring>{L"SetCredentials " + std::wstring(step.sent)}
                      : std::vector<std::wstring>{});
        EXPECT_EQ(TestClient::Login(kCamera), step.remembered);
    }
}

// A failed response is retried on a fresh session with the stored credentials; a failed send
// with the same ones. Two failures make the request fail with the transport's error.
TEST_F(HTTPClientTest, OneRetryOnAFreshSession) {
    const struct {
        FakeReply first;
        const wchar_t* retriedWith;
    } cases[] = {{FakeReply{.receiveError = 12030}, L"SetCredentials stored pair"},
                 {FakeReply{.sendError = 12030}, L"SetCredentials mine given"}};
    for (const auto& c : cases) {
        TestClient::Remember(kCamera, L"stored", L"pair");
        TestClient client(kCamera, kAddress);
        http.ClearLog();
        http.Script(c.first);
        http.Script(Body({"ok"}));
        ASSERT_TRUE(client.RequestImpl(L"/", true, L"mine", L"given"));
        EXPECT_EQ(http.Calls(L"SetCredentials"),
                  (std::vector<std::wstring>{L"SetCredentials mine given", c.retriedWith}));
        EXPECT_EQ(L"SetCredentials " + TestClient::Login(kCamera), c.retriedWith);
    }
    TestClient client(kCamera, kAddress);
    http.ClearLog();
    echo.networkAddresses.clear();
    http.Script(FakeReply{.receiveError = 12002});
    http.Script(FakeReply{.receiveError = 12002});
    EXPECT_FALSE(client.RequestImpl(L"/slow", false, nullptr, nullptr));
    EXPECT_EQ(http.Calls(L"SendRequest").size(), 2u);
    EXPECT_EQ(echo.Pings(), 1);  // one ping for both attempts
    // The first session is closed before the second opens.
    std::vector<std::wstring> log = http.Log();
    auto secondOpen = std::find(log.begin() + 1, log.end(), L"Open QX6SDK");
    ASSERT_NE(secondOpen, log.end());
    EXPECT_EQ(std::count(log.begin(), secondOpen, L"CloseHandle"), 3);
    EXPECT_EQ(client.GetHttpStatus(), 410u);
    EXPECT_EQ(client.GetLastError(), 12002u);
    for (DWORD error : {12029u, 12007u}) {
        http.Script(FakeReply{.sendError = error});
        http.Script(FakeReply{.sendError = error});
        EXPECT_FALSE(client.RequestImpl(L"/", true, nullptr, nullptr));
        EXPECT_EQ(client.ErrorText(), error == 12029u ? L"HttpSendRequest() failed. Error 12029"
                                                      : L"Request() failed. Error 12007");
    }
    client.Close();
    EXPECT_EQ(http.OpenHandles(), 0u);
}

// RequestAndClose sends the stored pair unpinged and reads nothing; it forgets the pair when
// the request went out and keeps it when it did not.
TEST_F(HTTPClientTest, RequestAndCloseForgetsTheCredentialsItSent) {
    for (bool sent : {false, true}) {
        TestClient::Remember(kCamera, L"stored", L"pair");
        TestClient client(kCamera, kAddress);
        http.ClearLog();
        http.Script(sent ? Body({}) : FakeReply{.sendError = 12029});
        EXPECT_EQ(client.RequestAndClose(L"/reboot"), sent);
        EXPECT_EQ(http.Calls(L"SetCredentials"),
                  std::vector<std::wstring>{L"SetCredentials stored pair"});
        EXPECT_EQ(http.Calls(L"SendRequest").size(), 1u);
        EXPECT_TRUE(http.Calls(L"ReceiveResponse").empty());
        EXPECT_EQ(TestClient::Login(kCamera), sent ? L"-" : L"stored pair");
        EXPECT_TRUE(client.Closed());
        EXPECT_EQ(http.OpenHandles(), 0u);
    }
    EXPECT_EQ(echo.Pings(), 0);
}

// Text takes the first block, at most 2047 characters; the stream takes every block, after
// what it already holds. An empty body fails both, unless the stream already holds bytes.
TEST_F(HTTPClientTest, TextAndStreamBodies) {
    TestClient client(kCamera, kAddress);
    std::string letters;
    while (letters.size() < 3000) {
        letters += static_cast<char>('a' + letters.size() % 26);
    }
    http.Script(Body({letters, "second"}));
    ASSERT_TRUE(client.RequestImpl(L"/long", true, nullptr, nullptr));
    EXPECT_EQ(client.Text(), std::wstring(letters.begin(), letters.begin() + 2047));
    EXPECT_EQ(http.Calls(L"ReadData"), std::vector<std::wstring>{L"ReadData 3000"});
    // Blocks that grow, each a letter of its own.
    std::vector<std::string> blocks;
    for (std::size_t i = 0; i < 50; ++i) {
        blocks.emplace_back(1000 + i * 37, static_cast<char>('A' + i % 26));
    }
    PutStream(client, "held");
    http.Script(Body(blocks));
    ASSERT_TRUE(client.RequestImpl(L"/big", false, nullptr, nullptr));
    http.Script(Body({"ta", "il"}));
    ASSERT_TRUE(client.Get(L"/"));
    EXPECT_EQ(client.Response(false), 200u);
    std::string whole = "held";
    for (const std::string& block : blocks) {
        whole += block;
    }
    EXPECT_EQ(TakeStream(client), whole + "tail");
    for (bool text : {true, false}) {
        http.Script(Body({}));
        http.Script(Body({}));
        EXPECT_FALSE(client.RequestImpl(L"/empty", text, nullptr, nullptr));
        EXPECT_EQ(client.GetHttpStatus(), 410u);
    }
    PutStream(client, "held");
    http.Script(Body({}));
    EXPECT_TRUE(client.RequestImpl(L"/empty", false, nullptr, nullptr));
    EXPECT_EQ(TakeStream(client), "held");
}

// A camera that does not answer the ping costs no HTTP traffic. Without an echo facility (an
// unprivileged process) the ping says nothing: the request goes out, and why it was not pinged
// is traced once. A second request closes the first request's handle; the destructor all.
TEST_F(HTTPClientTest, PingDecidesBeforeAnyTraffic) {
    echo.everyAddressAnswers = false;
    TestClient silent(kCamera, 0xC0A8010Au);
    EXPECT_FALSE(silent.RequestImpl(L"/index.html", true, L"admin", L"admin"));
    EXPECT_EQ(silent.GetHttpStatus(), 12029u);
    EXPECT_EQ(echo.networkAddresses, std::vector<std::uint32_t>{0x0A01A8C0u});  // network order
    EXPECT_TRUE(http.Log().empty());
    EXPECT_EQ(silent.ErrorText(), L"");
    EXPECT_EQ(silent.GetLastError(), 0u);
    echo.available = false;
    QXTest::TraceCapture trace;
    {
        TestClient client(kCamera, kAddress);
        http.Script(Body({"one"}));
        http.Script(Body({"two"}));
        ASSERT_TRUE(client.RequestImpl(L"/1", true, nullptr, nullptr));
        ASSERT_TRUE(client.RequestImpl(L"/2", true, nullptr, nullptr));
        EXPECT_EQ(client.Text(), L"two");
        EXPECT_EQ(http.OpenHandles(), 3u);
    }
    EXPECT_EQ(http.OpenHandles(), 0u);
    EXPECT_EQ(echo.Pings(), 1);
    const auto lines = trace.Lines();
    const std::wstring why = L"no echo facility (0xF0000005), 127.0.1.5 is not pinged";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::wstring& line) { return line.find(why) != line.npos; }),
              1);
}

// Only plain dotted decimal is pinged and sent to, only a plain host name is sent to; anything
// that a resolver could read as another host than the ping fails before any traffic.
TEST_F(HTTPClientTest, AddressTextIsDottedDecimalOrAHostName) {
    struct Case {
        std::wstring text;
        std::uint32_t address;  // pinged; 0: not pinged
        bool valid;
    };
    const Case cases[] = {
        {L"192.168.1.10", 0xC0A8010Au, true},
        {L"camera.local", 0, true},
        {L"CAM-01.example-2.net", 0, true},
        {L"a.b2c", 0, true},
        {L"127.0.0.010", 0, false},  // octal to a resolver: 127.0.0.8
        {L"1.2.3.0004", 0, false},
        {L"127.1", 0, false},
        {L"0x7f.0.0.1", 0, false},
        {L"0x7f000001", 0, false},
        {L"camera.0X1f", 0, false},
        {L"192.168.1", 0, false},
        {L"192.168.1.256", 0, false},
        {L"1..2.3", 0, false},
        {L"user@127.0.0.2", 0, false},
        {L"127.0.0.2:8080", 0, false},
        {L"camera.local.", 0, false},
        {L"-camera", 0, false},
        {L"camera-.local", 0, false},
        {L"caméra", 0, false},
        {L"", 0, false},
        {std::wstring(63, L'a') + L".b", 0, true},
        {std::wstring(64, L'a') + L".b", 0, false},
        {std::wstring(300, L'a'), 0, false},  // longer than the text member holds
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        http.ClearLog();
        if (c.valid) {
            http.Script(Body({"ok"}));
        }
        TestClient client(kCamera, c.text.c_str());
        EXPECT_EQ(client.Address(), c.address);
        EXPECT_EQ(std::wstring(client.GetIP()), c.text.substr(0, 255));
        int pings = echo.Pings();
        EXPECT_EQ(client.RequestImpl(L"/", true, L"admin", L"secret"), c.valid);
        EXPECT_EQ(echo.Pings() - pings, c.address != 0 ? 1 : 0);
        if (c.valid) {
            EXPECT_EQ(http.Calls(L"Connect"),
                      std::vector<std::wstring>{L"Connect " + c.text + L" 0"});
            continue;
        }
        EXPECT_EQ(client.GetLastError(), QX::HttpError::InvalidUrl);
        EXPECT_EQ(client.ErrorText(), L"InternetConnect() failed. Error 12005");
        EXPECT_FALSE(client.RequestAndClose(L"/"));
        EXPECT_TRUE(http.Log().empty());
    }
}

// Text reads alike in every locale and on every platform (the test runs in the C locale):
// UTF-8 when valid, else one character per byte; never cut at the first non-ASCII byte.
TEST_F(HTTPClientTest, TextIsUtf8WhenValidElseByteForByte) {
    struct Case {
        std::string body;
        std::wstring text;
    };
    const bool utf16 = sizeof(wchar_t) == 2;
    std::wstring manyFaces;
    while (manyFaces.size() + (utf16 ? 2 : 1) <= 2047) {
        manyFaces += L"\U0001F600";
    }
    std::string faces;
    for (int i = 0; i < 3000; ++i) {
        faces += "\xF0\x9F\x98\x80";
    }
    const Case cases[] = {
        {"caf\xC3\xA9 ok", L"caf\u00E9 ok"},
        {"\xE2\x82\xAC 5", L"\u20AC 5"},
        {"ab\xE2\x82", L"ab"},                      // a character cut off by the end of the block
        {"\xC0\xAF x", L"\u00C0\u00AF x"},          // overlong: not UTF-8
        {"\xED\xA0\x80", L"\u00ED\u00A0\u0080"},    // a surrogate: not UTF-8
        {"\xE2\x82 \xAC", L"\u00E2\u0082 \u00AC"},  // cut off inside the text
        {"\xFF\xFE", L"\u00FF\u00FE"},
        {std::string("a\0b", 3), L"a"},
        {faces, manyFaces},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 16));
        TestClient client(kCamera, kAddress);
        http.Script(Body({c.body}));
        ASSERT_TRUE(client.RequestImpl(L"/", true, nullptr, nullptr));
        EXPECT_EQ(client.Text(), c.text);
    }
}

// Only a whole body stays in the stream: a body that ends short of its Content-Length, breaks
// off or cannot be read leaves nothing behind, however much of it had arrived.
TEST_F(HTTPClientTest, FailedAttemptLeavesNoBytesInTheStream) {
    struct Case {
        const char* name;
        std::vector<FakeReply> replies;  // one for each attempt
        bool ok;
        std::string stream;  // after "held"
        DWORD error = 12030;
        const wchar_t* text = L"WinHttpQueryDataAvailable() failed. Error 12030";
    };
    const FakeReply shortBody{.blocks = {std::string(50, 's')}, .contentLength = 100};
    const FakeReply whole{.blocks = {std::string(60, 'w'), std::string(40, 'w')},
                          .contentLength = 100};
    const FakeReply broken{.blocks = {std::string(30, 'b')}, .queryError = 12030};
    // A body long enough to fill chunks of the stream before it breaks off.
    const FakeReply brokenLong{.blocks = {std::string(40000, 'b'), std::string(40000, 'b')},
                               .queryError = 12030};
    const FakeReply unread{.blocks = {"abc"}, .readError = 12030};
    const FakeReply slow{.blocks = {"abc"}, .queryError = 12002};
    const Case cases[] = {
        {"short then whole", {shortBody, whole}, true, std::string(100, 'w')},
        {"short twice", {shortBody, shortBody}, false, ""},
        {"broken then whole", {broken, whole}, true, std::string(100, 'w')},
        {"broken then short", {broken, shortBody}, false, ""},
        {"long broken then whole", {brokenLong, whole}, true, std::string(100, 'w')},
        {"long broken twice", {brokenLong, brokenLong}, false, ""},
        {"chunked", {Body({"abc", "def"})}, true, "abcdef"},
        {"unread", {unread, unread}, false, "", 12030, L"WinHttpReadData() failed. Error 12030"},
        {"slow",
         {slow, slow},
         false,
         "",
         12002,
         L"WinHttpQueryDataAvailable() failed. Error 12002"},
        // A status that carries no body announces nothing to check.
        {"no body", {FakeReply{.status = 204, .contentLength = 7}}, true, ""},
    };
    // The same rules hold for a sink standing in for the stream, which then stays empty.
    for (bool toSink : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (toSink ? ", into a sink" : ""));
            TestClient client(kCamera, kAddress);
            std::unique_ptr<StringSink> sink;
            if (toSink) {
                sink = std::make_unique<StringSink>(client);
                sink->bytes = "held";
            } else {
                PutStream(client, "held");
            }
            for (const FakeReply& reply : c.replies) {
                http.Script(reply);
            }
            EXPECT_EQ(client.RequestImpl(L"/", false, nullptr, nullptr), c.ok);
            EXPECT_EQ(toSink ? sink->bytes : TakeStream(client), "held" + c.stream);
            EXPECT_EQ(TakeStream(client), "");
            if (!c.ok) {
                EXPECT_EQ(client.GetLastError(), c.error);
                EXPECT_EQ(client.ErrorText(), c.text);
            }
        }
    }
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
            TestClient own(100 + t, kAddress);
            TestClient shared(kCamera, kAddress);
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
    std::set<std::wstring> users;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(TestClient::Login(100 + t), L"user" + std::to_wstring(t) + L" pw");
        users.insert(TestClient::Login(100 + t));
    }
    EXPECT_EQ(users.count(TestClient::Login(kCamera)), 1u);
}

}  // namespace
