#include "qxnet/http/QXHTTPClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
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

using QXTest::FakeReply;
using TestClient = QXTest::HttpTestClient;
using Lines = std::vector<std::wstring>;

constexpr std::uint64_t kCamera = 0x021122334455ULL;
constexpr std::uint32_t kAddress = 0x7F000105u;  // 127.0.1.5

FakeReply Body(std::vector<std::string> blocks) {
    return FakeReply{.blocks = std::move(blocks)};
}

std::string TakeStream(TestClient& client) {
    std::string bytes(client.Stream().GetSize(), '\0');
    client.Stream().Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return bytes;
}

// Takes stream bodies in place of a client's response stream.
struct StringSink : QX::BodySink {
    explicit StringSink(const QXSDK::HTTPClient& client) : BodySink(client) {}
    void Append(const void* data, std::uint32_t size) override {
        bytes.append(static_cast<const char*>(data), size);
    }
    void Truncate(std::uint64_t size) override { bytes.resize(static_cast<std::size_t>(size)); }
    std::uint64_t Size() const override { return bytes.size(); }
    std::string bytes = "held";
};

class HTTPClientTest : public ::testing::Test {
protected:
    void SetUp() override { TestClient::Remember(0, nullptr, nullptr); }

    QXTest::FakeHttpTransport http;
    QXTest::FakeEcho echo{true};
};

// Credentials given together are sent, and remembered for the camera once a page arrives with
// them, for all its clients; one alone is neither sent nor stored; a refused login (401, 403)
// keeps the pair that worked. A failed response is retried with the stored pair, a failed send
// with its own, on a fresh session (the first closed before) without a second ping.
TEST_F(HTTPClientTest, CredentialsThatWorkAreRememberedForTheCamera) {
    const FakeReply lost{.receiveError = 12030};
    const FakeReply unsent{.sendError = 12030};
    const struct {
        const wchar_t* user;
        const wchar_t* password;
        DWORD status;
        std::vector<const wchar_t*> sent;   // "user password" of each attempt
        const wchar_t* remembered;          // afterwards
        const FakeReply* failed = nullptr;  // the first attempt's reply, when it fails
    } steps[] = {
        {nullptr, nullptr, 200, {}, L"-"},
        {L"admin", nullptr, 200, {}, L"-"},
        {nullptr, L"secret", 200, {}, L"-"},
        {L"admin", L"secret", 200, {L"admin secret"}, L"admin secret"},
        {nullptr, nullptr, 200, {L"admin secret"}, L"admin secret"},
        {L"admin", nullptr, 200, {}, L"admin secret"},
        {L"admin", L"other", 401, {L"admin other"}, L"admin secret"},
        {L"admin", L"other", 403, {L"admin other"}, L"admin secret"},
        {L"admin", L"other", 404, {L"admin other"}, L"admin other"},
        {L"Admin", L"other", 500, {L"Admin other"}, L"Admin other"},
        {L"mine", L"given", 200, {L"mine given", L"Admin other"}, L"Admin other", &lost},
        {L"mine", L"given", 200, {L"mine given", L"mine given"}, L"mine given", &unsent},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(&step - steps);
        TestClient client(kCamera, kAddress);
        http.ClearLog();
        const int pings = echo.Pings();
        if (step.failed != nullptr) {
            http.Script(*step.failed);
        }
        http.Script(FakeReply{.status = step.status, .blocks = {"<html>page</html>"}});
        ASSERT_TRUE(client.RequestImpl(L"/", true, step.user, step.password));
        EXPECT_EQ(client.GetHttpStatus(), 200u);
        EXPECT_EQ(client.GetServerStatus(), step.status);
        Lines sent;
        for (const wchar_t* pair : step.sent) {
            sent.push_back(L"SetCredentials " + std::wstring(pair));
        }
        EXPECT_EQ(http.Calls(L"SetCredentials"), sent);
        EXPECT_EQ(TestClient::Login(kCamera), step.remembered);
        EXPECT_EQ(echo.Pings() - pings, 1);
        const Lines log = http.Calls();
        const auto reopened = std::find(log.begin() + 1, log.end(), L"Open QX6SDK");
        EXPECT_EQ(std::count(log.begin(), reopened, L"CloseHandle"), step.failed ? 3 : 0);
    }
    // Clients with locks of their own share the map, on cameras of their own and one in common.
    for (int i = 0; i < 4 * 100; ++i) {
        http.Script(Body({"ok"}));
    }
    std::vector<std::thread> threads;
    for (std::uint64_t key = 100; key < 104; ++key) {
        threads.emplace_back([key] {
            const std::wstring user = std::to_wstring(key);
            for (int round = 0; round < 100; ++round) {
                TestClient client(round % 2 == 0 ? key : kCamera, kAddress);
                EXPECT_TRUE(client.RequestImpl(L"/", true, user.c_str(), L"pw"));
            }
        });
    }
    std::set<std::wstring> users;
    for (std::uint64_t key = 100; key < 104; ++key) {
        threads[key - 100].join();
        EXPECT_EQ(TestClient::Login(key), std::to_wstring(key) + L" pw");
        users.insert(TestClient::Login(key));
    }
    EXPECT_EQ(users.count(TestClient::Login(kCamera)), 1u);
    // RequestAndClose sends the stored pair unpinged, reads nothing, and forgets a pair it sent.
    const int pings = echo.Pings();
    for (bool sent : {false, true}) {
        TestClient::Remember(kCamera, L"stored", L"pair");
        TestClient client(kCamera, kAddress);
        http.ClearLog();
        http.Script(sent ? Body({}) : FakeReply{.sendError = 12029});
        EXPECT_EQ(client.RequestAndClose(L"/reboot"), sent);
        EXPECT_EQ(http.Calls(L"SetCredentials"), Lines{L"SetCredentials stored pair"});
        EXPECT_EQ(http.Calls(L"SendRequest").size(), 1u);
        EXPECT_TRUE(http.Calls(L"ReceiveResponse").empty());
        EXPECT_EQ(TestClient::Login(kCamera), sent ? L"-" : L"stored pair");
        EXPECT_TRUE(client.Closed());
        EXPECT_EQ(http.OpenHandles(), 0u);
    }
    EXPECT_EQ(echo.Pings(), pings);
}

// A camera that misses the ping costs no HTTP traffic. Without an echo facility the ping says
// nothing: the request goes out, and why is traced once. One session a client, opened once; each
// request closes the one before, the destructor all.
TEST_F(HTTPClientTest, PingDecidesBeforeAnyTraffic) {
    echo.everyAddressAnswers = false;
    TestClient silent(kCamera, 0xC0A8010Au);
    EXPECT_FALSE(silent.RequestImpl(L"/index.html", true, L"admin", L"admin"));
    EXPECT_EQ(silent.GetHttpStatus(), 12029u);
    EXPECT_EQ(echo.networkAddresses, std::vector<std::uint32_t>{0x0A01A8C0u});  // network order
    EXPECT_TRUE(http.Calls().empty());
    EXPECT_EQ(silent.ErrorText(), L"");
    EXPECT_EQ(silent.GetLastError(), 0u);
    echo.available = false;
    QXTest::TraceCapture trace;
    {
        TestClient client(kCamera, kAddress);
        EXPECT_STREQ(client.GetIP(), L"127.0.1.5");
        EXPECT_EQ(client.Response(true), 410u);  // no request yet
        http.Script(Body({"one"}));
        http.Script(Body({"two"}));
        ASSERT_TRUE(client.RequestImpl(L"/1", true, nullptr, nullptr));
        ASSERT_TRUE(client.RequestImpl(L"/2", true, nullptr, nullptr));
        EXPECT_EQ(client.Text(), L"two");
        EXPECT_EQ(client.ErrorText(), L"No errors");
        EXPECT_EQ(http.Calls(L"Open "), Lines{L"Open QX6SDK"});
        EXPECT_EQ(http.Calls(L"SetTimeouts"), Lines{L"SetTimeouts 3000 3000 3000 3000"});
        EXPECT_EQ(http.Calls(L"Connect"), Lines{L"Connect 127.0.1.5 0"});
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
// a resolver could read as another host than the ping fails before any traffic.
TEST_F(HTTPClientTest, AddressTextIsDottedDecimalOrAHostName) {
    const auto check = [&](const std::wstring& text, bool valid) {
        SCOPED_TRACE(std::string(text.begin(), text.end()));
        http.ClearLog();
        if (valid) {
            http.Script(Body({"ok"}));
        }
        TestClient client(kCamera, text.c_str());
        const std::uint32_t pinged = text == L"192.168.1.10" ? 0xC0A8010Au : 0;
        EXPECT_EQ(client.Address(), pinged);
        EXPECT_EQ(std::wstring(client.GetIP()), text.substr(0, 255));
        const int pings = echo.Pings();
        EXPECT_EQ(client.RequestImpl(L"/", true, L"admin", L"secret"), valid);
        EXPECT_EQ(echo.Pings() - pings, pinged != 0 ? 1 : 0);
        if (valid) {
            EXPECT_EQ(http.Calls(L"Connect"), Lines{L"Connect " + text + L" 0"});
            return;
        }
        EXPECT_EQ(client.GetLastError(), QX::HttpError::InvalidUrl);
        EXPECT_EQ(client.ErrorText(), L"InternetConnect() failed. Error 12005");
        EXPECT_FALSE(client.RequestAndClose(L"/"));
        EXPECT_TRUE(http.Calls().empty());
    };
    for (const wchar_t* text :
         {L"192.168.1.10", L"camera.local", L"CAM-01.example-2.net", L"a.b2c"}) {
        check(text, true);
    }
    check(std::wstring(63, L'a') + L".b", true);
    // Octal to a resolver (127.0.0.8), short and hex forms, users, ports, stray dots and hyphens.
    for (const wchar_t* text :
         {L"127.0.0.010", L"127.1", L"0x7f.0.0.1", L"0x7f000001", L"camera.0X1f", L"192.168.1.256",
          L"1..2.3", L"user@127.0.0.2", L"127.0.0.2:8080", L"camera.local.", L"-camera",
          L"camera-.local", L"caméra", L""}) {
        check(text, false);
    }
    check(std::wstring(64, L'a') + L".b", false);
    check(std::wstring(300, L'a'), false);  // longer than the text member holds
}

// Text is the first block, at most 2047 characters, alike in every locale and on every platform
// (the test runs in the C locale): UTF-8 when valid, else a character per byte. None fails.
TEST_F(HTTPClientTest, TextIsUtf8WhenValidElseByteForByte) {
    std::string faces;
    std::wstring manyFaces;  // as many as fit, never half of one
    for (int i = 0; i < 3000; ++i) {
        faces += "\xF0\x9F\x98\x80";
        manyFaces += manyFaces.size() + 4 / sizeof(wchar_t) <= 2047 ? L"\U0001F600" : L"";
    }
    const struct {
        std::string body;
        std::wstring text;
    } cases[] = {
        {"caf\xC3\xA9 ok", L"caf\u00E9 ok"},
        {"\xE2\x82\xAC 5", L"\u20AC 5"},
        {"ab\xE2\x82", L"ab"},                      // a character cut off by the end of the block
        {"\xC0\xAF x", L"\u00C0\u00AF x"},          // overlong: not UTF-8
        {"\xED\xA0\x80", L"\u00ED\u00A0\u0080"},    // a surrogate: not UTF-8
        {"\xE2\x82 \xAC", L"\u00E2\u0082 \u00AC"},  // cut off inside the text
        {"\xFF\xFE", L"\u00FF\u00FE"},
        {std::string("a\0b", 3), L"a"},
        {faces, manyFaces},
        {"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 16));
        TestClient client(kCamera, kAddress);
        http.Script(Body({c.body, "second"}));
        EXPECT_EQ(client.RequestImpl(L"/", true, nullptr, nullptr), !c.text.empty());
        EXPECT_EQ(client.Text(), c.text);
    }
}

// The stream (or a sink standing in for it) takes every block after what it holds, but keeps
// only a whole body: a failed attempt leaves none of its bytes. Failures give their error and
// text; a failed open or connect is tried once more on a fresh session.
TEST_F(HTTPClientTest, FailedAttemptLeavesNoBytesInTheStream) {
    struct Case {
        const char* name;
        std::vector<FakeReply> replies;     // one for each attempt
        std::optional<std::string> stream;  // after "held"; none: the request fails
        const wchar_t* text = L"WinHttpQueryDataAvailable() failed. Error 12030";
    };
    const FakeReply shortBody{.blocks = {std::string(50, 's')}, .contentLength = 100};
    const FakeReply whole{.blocks = {std::string(60, 'w'), std::string(40, 'w')},
                          .contentLength = 100};
    const FakeReply broken{.blocks = {std::string(30, 'b')}, .queryError = 12030};
    // Long enough to fill chunks of the stream before it breaks off.
    const FakeReply brokenLong{.blocks = {std::string(40000, 'b'), std::string(40000, 'b')},
                               .queryError = 12030};
    const FakeReply unread{.blocks = {"abc"}, .readError = 12030};
    const FakeReply slow{.blocks = {"abc"}, .queryError = 12002};
    const FakeReply unsent{.sendError = 12029};
    const FakeReply refused{.sendError = 12007};
    const FakeReply noOpen{.openError = 12004};
    const FakeReply noConnect{.connectError = 12007};
    const std::string w100(100, 'w');
    const Case cases[] = {
        {"short then whole", {shortBody, whole}, w100},
        {"short twice", {shortBody, shortBody}, {}},
        {"broken then whole", {broken, whole}, w100},
        {"broken then short", {broken, shortBody}, {}},
        {"long broken then whole", {brokenLong, whole}, w100},
        {"long broken twice", {brokenLong, brokenLong}, {}},
        {"chunked", {Body({"abc", "defgh", "i"})}, "abcdefghi"},
        {"empty", {Body({})}, ""},
        {"unread", {unread, unread}, {}, L"WinHttpReadData() failed. Error 12030"},
        {"slow", {slow, slow}, {}, L"WinHttpQueryDataAvailable() failed. Error 12002"},
        {"unsent", {unsent, unsent}, {}, L"HttpSendRequest() failed. Error 12029"},
        {"refused", {refused, refused}, {}, L"Request() failed. Error 12007"},
        {"no open", {noOpen, noOpen}, {}, L"InternetOpen() failed. Error 12004"},
        {"no connect", {noConnect, noConnect}, {}, L"InternetConnect() failed. Error 12007"},
        {"connected again", {noConnect, Body({"ok"})}, "ok"},
        // A status that carries no body announces nothing to check.
        {"no body", {FakeReply{.status = 204, .contentLength = 7}}, ""},
    };
    for (bool toSink : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (toSink ? ", into a sink" : ""));
            TestClient client(kCamera, kAddress);
            std::unique_ptr<StringSink> sink(toSink ? new StringSink(client) : nullptr);
            if (!toSink) {
                client.Stream().Write("held", 4);
            }
            for (const FakeReply& reply : c.replies) {
                http.Script(reply);
            }
            EXPECT_EQ(client.RequestImpl(L"/", false, nullptr, nullptr), c.stream.has_value());
            EXPECT_EQ(toSink ? sink->bytes : TakeStream(client), "held" + c.stream.value_or(""));
            EXPECT_EQ(TakeStream(client), "");
            if (!c.stream) {
                // The text names the error the client keeps.
                EXPECT_EQ(client.ErrorText(), c.text);
                EXPECT_TRUE(client.ErrorText().ends_with(L"Error " +
                                                         std::to_wstring(client.GetLastError())));
            }
        }
    }
}

}  // namespace
