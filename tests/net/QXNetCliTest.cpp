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

CliRun Parse(const std::string& text) {
    CliRun run;
    std::size_t at = text.rfind("#rc=");
    if (at != std::string::npos) {
        run.exitCode = std::stoi(text.substr(at + 4));
        run.output = text.substr(0, at);
    }
    return run;
}

// Runs the program inside ns with the given arguments (no single quotes) and standard input.
CliRun RunCli(const NetNamespace& ns, const std::string& arguments, const std::string& input = "") {
    return Parse(ns.Capture("echo \"" + input + "\" | " + QXNET_CLI + " " + arguments +
                            " 2>/dev/null; echo \"#rc=$?\""));
}

// Runs the program as nobody; the output holds standard error too.
CliRun RunAsNobody(const NetNamespace& ns, const std::string& arguments) {
    return Parse(ns.Capture(std::string("setpriv --reuid=65534 --regid=65534 --clear-groups ") +
                            QXNET_CLI + " " + arguments + " 2>&1 </dev/null; echo \"#rc=$?\""));
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
                                     "qxtun0 10.88.0.1 255.255.255.252 10.88.0.3"}),
              seen);
    // An address added without brd has the subnet's broadcast address in both views.
    ASSERT_EQ(0, m_host->Exec("ip addr add 10.55.2.1/24 dev veth0"));
    std::set<std::string> broadcasts;
    for (const char* command : {"ifaces --json", "addrs --json"}) {
        CliRun listed = RunCli(*m_host, command);
        ASSERT_EQ(0, listed.exitCode) << command;
        nlohmann::json all = nlohmann::json::parse(listed.output);
        for (const nlohmann::json& entry :
             all.contains("interfaces") ? all["interfaces"] : all["addresses"]) {
            broadcasts.insert(std::string(command) + " " + entry["address"].get<std::string>() +
                              " " + entry["broadcast"].get<std::string>());
        }
    }
    EXPECT_EQ(1u, broadcasts.count("ifaces --json 10.55.2.1 10.55.2.255"));
    EXPECT_EQ(1u, broadcasts.count("addrs --json 10.55.2.1 10.55.2.255"));
    EXPECT_EQ(1u, broadcasts.count("addrs --json 10.88.0.1 10.88.0.3"));
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

TEST_F(NetCli, UnprivilegedUserIsToldWhyPingIsMissing) {
    ASSERT_EQ(0, m_host->Exec("sysctl -q -w net.ipv4.ping_group_range=\"1 0\""));
    for (const char* command : {"ping 10.55.1.2", "free 10.55.1.2 10.55.1.3"}) {
        SCOPED_TRACE(command);
        CliRun run = RunAsNobody(*m_host, command);
        EXPECT_EQ(2, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("net.ipv4.ping_group_range")) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("CAP_NET_RAW"));
        EXPECT_NE(std::string::npos, run.output.find("errno 13"));
    }
}

TEST_F(NetCli, EmptyNeighbourTableIsShownEmpty) {
    CliRun run = RunCli(*m_peer, "neigh --json");
    EXPECT_EQ(1, run.exitCode);
    EXPECT_EQ(0, nlohmann::json::parse(run.output)["count"].get<int>());
}

}  // namespace
