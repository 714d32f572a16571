// `qxnet http` run as users run it, against the simulated web server inside a namespace.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "sim/QXSimWebServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXNetNamespace.h"

namespace {

class HTTPCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QXTest::NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        ns = std::make_unique<QXTest::NetNamespace>("qxhcli");
        ASSERT_TRUE(ns->Valid());
        QXSim::SimCamera camera;
        camera.mac = 0x025158000009;
        camera.address = 0x7F000109;  // 127.0.1.9
        camera.user = "admin";
        camera.password = "pw";
        simulator = std::make_unique<QXSim::Simulator>(std::vector<QXSim::SimCamera>{camera});
        simulator->Add(std::make_unique<QXSim::WebServer>(*simulator, QXSim::WebOptions{}));
        std::string error;
        bool started = false;
        ns->Run([&] { started = simulator->Start(error); });
        ASSERT_TRUE(started) << error;
    }
    void TearDown() override {
        if (simulator) {
            simulator->Stop();
        }
    }
    // Runs qxnet with arguments inside the namespace; returns its exit code, output in out and,
    // when asked, standard error in err.
    int Qxnet(const std::string& arguments, std::string& out, std::string* err = nullptr) {
        const std::string errPath = "/tmp/qxhttp-cli-err-" + ns->Name();
        out = ns->Capture(std::string(QXNET_CLI_PATH) + " " + arguments + " 2>" + errPath +
                          "; echo $?");
        std::size_t cut = out.find_last_of('\n', out.size() - 2);
        int code = std::stoi(out.substr(cut == std::string::npos ? 0 : cut + 1));
        out.resize(cut == std::string::npos ? 0 : cut + 1);
        if (err != nullptr) {
            *err = Contents(errPath);
        }
        std::remove(errPath.c_str());
        return code;
    }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::unique_ptr<QXTest::NetNamespace> ns;
    std::unique_ptr<QXSim::Simulator> simulator;
};

TEST_F(HTTPCliTest, SavesTheBodyWithCredentials) {
    std::string file = "/tmp/qxhttp-cli-" + ns->Name() + ".bin";
    std::string out;
    EXPECT_EQ(Qxnet("http 127.0.1.9 /gen/300000 --user admin --password pw -o " + file, out), 0);
    std::ifstream saved(file, std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    std::remove(file.c_str());
    ASSERT_EQ(body.size(), 300000u);
    for (std::size_t i = 0; i < body.size(); i += 997) {
        ASSERT_EQ(static_cast<std::uint8_t>(body[i]), QXSim::WebServer::BodyByte(i)) << i;
    }
}

TEST_F(HTTPCliTest, TextToStandardOutput) {
    std::string out;
    EXPECT_EQ(Qxnet("http 127.0.1.9 /index.html --user admin --password pw --text", out), 0);
    EXPECT_NE(out.find("02:51:58:00:00:09"), std::string::npos) << out;
}

TEST_F(HTTPCliTest, RefusalIsExitCodeOneWithTheServerStatusInJson) {
    std::string out;
    EXPECT_EQ(Qxnet("http 127.0.1.9 /index.html --user admin --password wrong --json", out), 1);
    nlohmann::json report = nlohmann::json::parse(out);
    EXPECT_EQ(report["serverStatus"], 401);
    EXPECT_EQ(report["httpStatus"], 200);
    EXPECT_EQ(report["ok"], false);
}

// A body or document that could not be written, the last buffered bytes included, is exit code 2
// with one line, never "saved".
TEST_F(HTTPCliTest, LostOutputIsExitTwoWithOneLine) {
    const std::string request = "http 127.0.1.9 /gen/1023 --user admin --password pw";
    const std::string cases[] = {
        request + " -o /dev/full",
        request + " >/dev/full",
        request + " --json >/dev/full",
        "http 127.0.1.9 /index.html --user admin --password pw --text >/dev/full",
    };
    for (const std::string& arguments : cases) {
        SCOPED_TRACE(arguments);
        std::string out;
        std::string err;
        EXPECT_EQ(Qxnet(arguments, out, &err), 2);
        EXPECT_EQ(err.rfind("qxnet: ", 0), 0u) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
}

// -o replaces its file only with a page that came: a refusal or a failed request leaves the old
// file as it was.
TEST_F(HTTPCliTest, OutputFileIsReplacedOnlyByAPageThatCame) {
    const std::string keep = "/tmp/qxhttp-cli-keep-" + ns->Name() + ".bin";
    { std::ofstream(keep, std::ios::binary) << "old contents"; }
    const std::string cases[] = {
        "http 127.0.1.9 /no-such-page --user admin --password pw",
        "http 127.0.1.9 /gen/100 --user admin --password wrong",
        "http 127.0.1.10 /gen/100",
    };
    for (const std::string& request : cases) {
        SCOPED_TRACE(request);
        std::string out;
        EXPECT_EQ(Qxnet(request + " -o " + keep, out), 1);
        EXPECT_EQ(Contents(keep), "old contents");
    }
    std::string out;
    EXPECT_EQ(Qxnet("http 127.0.1.9 /gen/100 --user admin --password pw -o " + keep, out), 0);
    EXPECT_EQ(Contents(keep).size(), 100u);
    std::remove(keep.c_str());
}

TEST_F(HTTPCliTest, FailureAndUsageErrors) {
    std::string out;
    // Nobody serves 127.0.1.10 inside the namespace.
    EXPECT_EQ(Qxnet("http 127.0.1.10 / --json", out), 1);
    nlohmann::json report = nlohmann::json::parse(out);
    EXPECT_EQ(report["lastError"], 12029);
    EXPECT_EQ(report["errorText"], "HttpSendRequest() failed. Error 12029");
    EXPECT_EQ(Qxnet("http 127.0.1 /", out), 2);
    EXPECT_EQ(Qxnet("http 127.0.1.9 / --user admin", out), 2);
    EXPECT_EQ(Qxnet("http 127.0.1.9", out), 2);
}

}  // namespace
