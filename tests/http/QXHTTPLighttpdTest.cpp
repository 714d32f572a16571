// The HTTP client against lighttpd, an independent web server, run by the test inside a network
// namespace of its own on 127.0.2.1:80, with Basic credentials on /private/.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "qxnet/common/QXScopedLock.h"
#include "qxnet/http/QXHTTPClient.h"
#include "qxnet/platform/QXHttp.h"
#include "tests/support/QXNetNamespace.h"

namespace {

constexpr std::uint32_t kServer = 0x7F000201;  // 127.0.2.1
constexpr std::size_t kBodySize = 3 * 1024 * 1024 + 5;

class Client : public QXSDK::HTTPClient {
public:
    explicit Client(std::uint64_t key)
        : HTTPClient(key, kServer, boost::shared_ptr<QX::CodeLock>(new QX::CodeLock)) {}
    bool Execute() override { return RequestImpl(L"/", true, nullptr, nullptr); }
    std::wstring Text() const { return m_responseText; }
    QX::CMemoryStream& Stream() { return m_responseStream; }
    static void ClearLogins() {
        QX::ScopedLock guard(&LoginMapLock());
        s_ServerLoginfoMap.clear();
    }
};

unsigned char BodyByte(std::size_t i) {
    return static_cast<unsigned char>((i * 131 + 7) % 256);
}

bool Listening(std::uint32_t address, std::uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    close(s);
    return ok;
}

class HTTPLighttpdTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QXTest::NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        if (QXTest::Shell("command -v lighttpd >/dev/null && id www-data >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "lighttpd or its www-data user is missing";
        }
        Client::ClearLogins();
        char dirTemplate[] = "/tmp/qxhttp-lighttpd-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir = dirTemplate;
        // lighttpd serves as www-data: every file it reads must be readable by that user.
        ASSERT_EQ(QXTest::Shell("mkdir -p " + dir + "/www/private && chmod -R 755 " + dir), 0);
        std::string body(kBodySize, '\0');
        for (std::size_t i = 0; i < body.size(); ++i) {
            body[i] = static_cast<char>(BodyByte(i));
        }
        std::ofstream(dir + "/www/big.bin", std::ios::binary) << body;
        std::ofstream(dir + "/www/index.html") << "<html>lighttpd index</html>\n";
        std::ofstream(dir + "/www/private/secret.txt") << "the secret page\n";
        std::ofstream(dir + "/users") << "viewer:pa55word\n";
        std::ofstream(dir + "/lighttpd.conf")
            << "server.modules = (\"mod_auth\", \"mod_authn_file\")\n"
               "server.document-root = \""
            << dir
            << "/www\"\n"
               "server.bind = \"127.0.2.1\"\n"
               "server.port = 80\n"
               "server.username = \"www-data\"\n"
               "server.groupname = \"www-data\"\n"
               "server.errorlog = \""
            << dir
            << "/error.log\"\n"
               "mimetype.assign = (\"\" => \"application/octet-stream\")\n"
               "auth.backend = \"plain\"\n"
               "auth.backend.plain.userfile = \""
            << dir
            << "/users\"\n"
               "auth.require = (\"/private/\" => (\"method\" => \"basic\", \"realm\" => \"cam\", "
               "\"require\" => \"valid-user\"))\n";
        // The error log is opened after lighttpd has become www-data.
        ASSERT_EQ(QXTest::Shell("chmod -R a+rX " + dir + " && touch " + dir +
                                "/error.log && chown www-data:www-data " + dir + "/error.log"),
                  0);
        ns = std::make_unique<QXTest::NetNamespace>("qxlig");
        ASSERT_TRUE(ns->Valid());
        std::string pidText =
            ns->Capture("lighttpd -D -f " + dir + "/lighttpd.conf >/dev/null 2>&1 & echo $!");
        pid = std::atoi(pidText.c_str());
        ASSERT_GT(pid, 0);
        bool up = false;
        ns->Run([&] {
            for (int i = 0; i < 200 && !up; ++i) {
                up = Listening(kServer, 80);
                if (!up) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(25));
                }
            }
        });
        ASSERT_TRUE(up) << "lighttpd did not start; see " << dir << "/error.log";
    }

    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGTERM);
            for (int i = 0; i < 200 && kill(pid, 0) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        ns.reset();
        if (!dir.empty() && !HasFailure()) {
            QXTest::Shell("rm -rf " + dir);
        }
        Client::ClearLogins();
    }

    void Inside(const std::function<void()>& fn) { ns->Run(fn); }

    std::string dir;
    std::unique_ptr<QXTest::NetNamespace> ns;
    pid_t pid = -1;
};

TEST_F(HTTPLighttpdTest, BodyArrivesWhole) {
    Inside([&] {
        Client client(1);
        ASSERT_TRUE(client.RequestImpl(L"/big.bin", false, nullptr, nullptr));
        EXPECT_EQ(client.GetServerStatus(), 200u);
        ASSERT_EQ(client.Stream().GetSize(), kBodySize);
        std::vector<unsigned char> bytes(kBodySize);
        ASSERT_EQ(client.Stream().Read(bytes.data(), static_cast<std::uint32_t>(kBodySize)),
                  static_cast<std::int32_t>(kBodySize));
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            wrong += bytes[i] != BodyByte(i);
        }
        EXPECT_EQ(wrong, 0u);
        client.Close();
        ASSERT_TRUE(client.RequestImpl(L"/index.html", true, nullptr, nullptr));
        EXPECT_EQ(client.Text(), L"<html>lighttpd index</html>\n");
    });
}

TEST_F(HTTPLighttpdTest, WrongCredentialsReadAsReceivedWithThe401Visible) {
    Inside([&] {
        Client client(2);
        EXPECT_TRUE(client.RequestImpl(L"/private/secret.txt", true, L"viewer", L"nope"));
        EXPECT_EQ(client.GetHttpStatus(), 200u);
        EXPECT_EQ(client.GetServerStatus(), 401u);
        EXPECT_EQ(client.Text().find(L"the secret page"), std::wstring::npos);
    });
}

TEST_F(HTTPLighttpdTest, RememberedCredentialsGoOutWithTheNextRequest) {
    Inside([&] {
        Client client(3);
        ASSERT_TRUE(client.RequestImpl(L"/private/secret.txt", true, L"viewer", L"pa55word"));
        EXPECT_EQ(client.GetServerStatus(), 200u);
        EXPECT_EQ(client.Text(), L"the secret page\n");
        client.Close();
        Client another(3);
        ASSERT_TRUE(another.RequestImpl(L"/private/secret.txt", true, nullptr, nullptr));
        EXPECT_EQ(another.GetServerStatus(), 200u);
        EXPECT_EQ(another.Text(), L"the secret page\n");
        // Without remembered credentials the same page is refused.
        Client stranger(4);
        ASSERT_TRUE(stranger.RequestImpl(L"/private/secret.txt", true, nullptr, nullptr));
        EXPECT_EQ(stranger.GetServerStatus(), 401u);
    });
}

TEST_F(HTTPLighttpdTest, MissingPageIs404WithABody) {
    Inside([&] {
        Client client(5);
        EXPECT_TRUE(client.RequestImpl(L"/nothing-here", true, nullptr, nullptr));
        EXPECT_EQ(client.GetServerStatus(), 404u);
    });
}

}  // namespace
