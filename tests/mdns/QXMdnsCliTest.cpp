// The qxnet program's mDNS commands, run as users run them, inside a network namespace with the
// simulated cameras' mDNS responder (loopback with multicast on).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXNetNamespace.h"

namespace {

struct CliRun {
    int exitCode = -1;
    std::string out;
};

// Runs the program on the calling thread (so inside the namespace the thread entered).
CliRun Qxnet(const std::string& arguments) {
    CliRun run;
    FILE* pipe =
        popen((std::string(QXNET_CLI_PATH) + " " + arguments + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        run.out += buffer;
    }
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Hex6(std::uint64_t mac) {
    char text[8];
    std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(mac & 0xFFFFFF));
    return text;
}

class MdnsCli : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QXTest::NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        m_ns = std::make_unique<QXTest::NetNamespace>("qxmdnscli");
        ASSERT_EQ(m_ns->Exec("ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo"), 0);
    }
    void WithCameras(const std::function<void(const QXSim::Simulator&)>& body) {
        m_ns->Run([&] {
            QXSim::Simulator sim(QXSim::GenerateCameras(3, 0x7F000101));
            QXSim::MdnsOptions options;
            options.announceIntervalMs = 500;
            sim.Add(std::make_unique<QXSim::MdnsResponder>(sim, options));
            std::string error;
            ASSERT_TRUE(sim.Start(error)) << error;
            body(sim);
        });
    }
    std::unique_ptr<QXTest::NetNamespace> m_ns;
};

}  // namespace

TEST_F(MdnsCli, FindByMac) {
    WithCameras([](const QXSim::Simulator& sim) {
        const QXSim::SimCamera& camera = sim.Cameras()[2];
        CliRun run = Qxnet("find QX" + Hex6(camera.mac) + " --json");
        ASSERT_EQ(run.exitCode, 0) << run.out;
        const auto json = nlohmann::json::parse(run.out);
        EXPECT_EQ(json["found"], true);
        EXPECT_EQ(json["ip"], QXSim::AddressText(camera.address));
        EXPECT_EQ(json["host"], "korv-QX" + Hex6(camera.mac) + ".local");
        CliRun missing = Qxnet("find 0e:1f:2a:ab:cd:ef");
        EXPECT_EQ(missing.exitCode, 1) << missing.out;
        EXPECT_NE(missing.out.find("korv-QXABCDEF.local"), std::string::npos) << missing.out;
    });
}

TEST_F(MdnsCli, UsageErrors) {
    WithCameras([](const QXSim::Simulator&) {
        EXPECT_EQ(Qxnet("find QX12").exitCode, 2);
        EXPECT_EQ(Qxnet("find QX00A1B2 --local 10.9.9.9").exitCode, 2);  // not this host's
        EXPECT_EQ(Qxnet("watch --timeout -1").exitCode, 2);
    });
}

TEST_F(MdnsCli, DiscoverMdnsListsEveryCamera) {
    WithCameras([](const QXSim::Simulator& sim) {
        CliRun run = Qxnet("discover --mdns --local 127.0.0.1 --json");
        ASSERT_EQ(run.exitCode, 0) << run.out;
        const auto json = nlohmann::json::parse(run.out);
        ASSERT_EQ(json["mdns"]["count"], sim.Cameras().size());
        EXPECT_EQ(json["mdns"]["local"], "127.0.0.1");
        EXPECT_FALSE(json.contains("port"));  // no broadcast asked for
        CliRun table = Qxnet("discover --mdns --local 127.0.0.1");
        EXPECT_EQ(table.exitCode, 0);
        EXPECT_NE(table.out.find("3 cameras"), std::string::npos) << table.out;
    });
}

TEST_F(MdnsCli, WatchPrintsEachCameraOnce) {
    WithCameras([](const QXSim::Simulator& sim) {
        CliRun run = Qxnet("watch --interface lo --timeout 2 --json");
        ASSERT_EQ(run.exitCode, 0) << run.out;
        std::size_t lines = 0;
        std::size_t start = 0;
        while (start < run.out.size()) {
            const std::size_t end = run.out.find('\n', start);
            const auto camera = nlohmann::json::parse(run.out.substr(start, end - start));
            EXPECT_EQ(camera["model"], "QX2000");
            EXPECT_EQ(camera["change"], "appeared");
            EXPECT_EQ(camera["interfaces"], nlohmann::json::array({"lo"}));
            ++lines;
            start = end + 1;
        }
        EXPECT_EQ(lines, sim.Cameras().size()) << run.out;
    });
}
