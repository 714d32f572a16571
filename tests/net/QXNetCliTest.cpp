// The qxnet program's host-network commands, run inside namespaces that the tests make.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "tests/support/QXNetNamespace.h"

namespace {

using QXTest::NetNamespace;

struct CliRun {
    std::string output;
    int exitCode = -1;
};

// Runs the program inside ns with the given arguments (no single quotes) and standard input.
CliRun RunCli(const NetNamespace& ns, const std::string& arguments, const std::string& input = "") {
    std::string text = ns.Capture("echo \"" + input + "\" | " + QXNET_CLI + " " + arguments +
                                  " 2>/dev/null; echo \"#rc=$?\"");
    CliRun run;
    std::size_t at = text.rfind("#rc=");
    if (at != std::string::npos) {
        run.exitCode = std::stoi(text.substr(at + 4));
        run.output = text.substr(0, at);
    }
    return run;
}

class NetCli : public testing::Test {
protected:
    void SetUp() override {
        if (!NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        m_host = std::make_unique<NetNamespace>("qxcli-host");
        m_peer = std::make_unique<NetNamespace>("qxcli-peer");
        ASSERT_TRUE(m_host->Valid() && m_peer->Valid());
        ASSERT_TRUE(NetNamespace::Link(*m_host, "veth0", "10.55.1.1/24 brd 10.55.1.255", *m_peer,
                                       "veth1", "10.55.1.2/24 brd 10.55.1.255"));
        ASSERT_EQ(0, m_host->Exec("ip tuntap add mode tun dev qxtun0 && "
                                  "ip addr add 10.88.0.1/30 dev qxtun0 && ip link set qxtun0 up"));
    }

    std::unique_ptr<NetNamespace> m_host;
    std::unique_ptr<NetNamespace> m_peer;
};

TEST_F(NetCli, IfacesJsonListsExactlyTheNamespacesInterfaces) {
    CliRun run = RunCli(*m_host, "ifaces --json");
    ASSERT_EQ(0, run.exitCode) << run.output;
    // The adapter lines of the interface list must not reach standard output.
    EXPECT_EQ(std::string::npos, run.output.find("Friendly Name"));
    nlohmann::json document = nlohmann::json::parse(run.output);
    ASSERT_EQ(2, document["count"].get<int>());
    std::set<std::string> seen;
    for (const nlohmann::json& entry : document["interfaces"]) {
        seen.insert(entry["name"].get<std::string>() + " " + entry["address"].get<std::string>() +
                    " " + entry["mask"].get<std::string>() + " " +
                    entry["broadcast"].get<std::string>());
    }
    EXPECT_EQ((std::set<std::string>{"veth0 10.55.1.1 255.255.255.0 10.55.1.255",
                                     "qxtun0 10.88.0.1 255.255.255.252 0.0.0.0"}),
              seen);
    // The peer namespace sees only its own interface.
    CliRun peer = RunCli(*m_peer, "ifaces --json");
    ASSERT_EQ(0, peer.exitCode);
    nlohmann::json other = nlohmann::json::parse(peer.output);
    ASSERT_EQ(1, other["count"].get<int>());
    EXPECT_EQ("10.55.1.2", other["interfaces"][0]["address"].get<std::string>());
}

TEST_F(NetCli, CheckExitCodes) {
    EXPECT_EQ(0, RunCli(*m_host, "check 10.55.1.77").exitCode);
    EXPECT_EQ(1, RunCli(*m_host, "check 10.56.1.77").exitCode);
    EXPECT_EQ(2, RunCli(*m_host, "check 10.55.1.255").exitCode);
    EXPECT_EQ(2, RunCli(*m_host, "check 10.55.1.77 --interface 9").exitCode);
    EXPECT_EQ(2, RunCli(*m_host, "check 10.55.1").exitCode);
    CliRun run = RunCli(*m_host, "check 10.88.0.2 --interface 1 --json");
    ASSERT_EQ(0, run.exitCode);
    EXPECT_EQ("inside", nlohmann::json::parse(run.output)["result"].get<std::string>());
}

TEST_F(NetCli, PingNeighboursAndFlush) {
    CliRun ping = RunCli(*m_host, "ping 10.55.1.2 --timeout 2000 --json");
    ASSERT_EQ(0, ping.exitCode);
    EXPECT_TRUE(nlohmann::json::parse(ping.output)["answered"].get<bool>());
    EXPECT_EQ(1, RunCli(*m_host, "ping 10.55.1.99 --timeout 100").exitCode);

    ASSERT_EQ(0, m_host->Exec("ip neigh add 10.55.1.50 lladdr 02:11:22:33:44:55 dev veth0 nud "
                              "permanent"));
    CliRun neigh = RunCli(*m_host, "neigh --mac 02-11-22-33-44-55 --json");
    ASSERT_EQ(0, neigh.exitCode);
    EXPECT_EQ(nlohmann::json::parse(R"(["10.55.1.50"])"),
              nlohmann::json::parse(neigh.output)["addresses"]);
    EXPECT_EQ(1, RunCli(*m_host, "neigh --mac 02:00:00:00:00:01").exitCode);

    // Refused at the prompt: nothing goes.
    EXPECT_EQ(1, RunCli(*m_host, "flush-neigh", "n").exitCode);
    EXPECT_NE("", m_host->Capture("ip neigh show dev veth0"));
    EXPECT_EQ(0, RunCli(*m_host, "flush-neigh", "y").exitCode);
    EXPECT_EQ("", m_host->Capture("ip neigh show dev veth0"));
    EXPECT_EQ(1, RunCli(*m_host, "neigh --mac 02:11:22:33:44:55").exitCode);
}

}  // namespace
