// The qxnet program as users run it, against the simulator on loopback and in namespaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimWebServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXNetNamespace.h"
#include "tests/support/QXSimNamespace.h"

#include <zlib.h>

namespace {

using QXTest::NetNamespace;

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string TempPath(const std::string& name) {
    static std::atomic<int> counter{0};
    return ::testing::TempDir() + "qxcli-" + std::to_string(getpid()) + "-" +
           std::to_string(counter++) + "-" + name;
}

struct CliRun {
    int code = -1;
    std::string out, err;
};

// Runs qxnet after prefix, inside ns when given; redirections in arguments win over these.
CliRun Qxnet(const std::string& arguments, const NetNamespace* ns = nullptr,
             const std::string& prefix = "") {
    const std::string out = TempPath("out");
    const std::string err = TempPath("err");
    const std::string command = prefix + QXNET_CLI_PATH + " >" + out + " 2>" + err +
                                (prefix.empty() ? " </dev/null " : " ") + arguments;
    CliRun run{ns != nullptr ? ns->Exec(command) : QXTest::Shell(command), Contents(out),
               Contents(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

struct Case {  // texts in standard output or error; empty: anything
    std::string arguments;
    int code;
    std::string text, also = "";
};

// Runs each case; a usage or system error (2) must be one short line starting "qxnet: ".
void Check(const std::vector<Case>& cases, const NetNamespace* ns = nullptr) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const CliRun run = Qxnet(c.arguments, ns);
        EXPECT_EQ(run.code, c.code) << run.out << run.err;
        for (const std::string& text : {c.text, c.also}) {
            EXPECT_NE((run.out + run.err).find(text), std::string::npos) << run.out << run.err;
        }
        if (c.code == 2) {
            EXPECT_EQ(run.err.rfind("qxnet: ", 0), 0u) << run.err;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
            EXPECT_LT(run.err.size(), 200u);
        }
    }
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        discovery = &simulator.Add(
            std::make_unique<QXSim::DiscoveryResponder>(simulator, QXSim::DiscoveryOptions{}));
        QXSim::TftpServerConfig config;
        config.files["small.bin"] = std::vector<std::uint8_t>(100, 'B');
        for (const auto& [name, size] : kFiles) {
            config.generated[name] = size;
        }
        tftp = &simulator.Add(std::make_unique<QXSim::TftpServer>(config));
        std::string error;
        ASSERT_TRUE(simulator.Start(error)) << error;
    }
    std::string Target() const {
        return " --address 127.255.255.255 --port " + std::to_string(discovery->Port());
    }
    std::string Get(const std::string& file) const {
        return "get 127.0.0.1 " + file + " --retries 1 --port " + std::to_string(tftp->Port());
    }
    static constexpr std::pair<const char*, std::uint64_t> kFiles[] = {{"f0", 0}, {"f4355", 4355}};
    QXSim::Simulator simulator{QXSim::DemoCameras()};
    QXSim::DiscoveryResponder* discovery = nullptr;
    QXSim::TftpServer* tftp = nullptr;
};

TEST_F(Cli, ExitCodesAndMessages) {
    Check(
        {{"--version", 0, std::string("qxnet ") + QXNET_VERSION_TEXT + "\n"},
         {"discover --help", 0, "Example:", "127.255.255.255"},
         {"", 2, ""},
         {"no-such-command", 2, "unknown command \"no-such-command\""},
         {"discover --broadcast --request ''", 2, "--request: the request is empty"},
         {"check 10.1.2.3 --interface -1", 2, "--interface"},
         {"free 127.0.0.9 127.0.0.1", 2, "free: the range ends (127.0.0.1) before it starts"},
         {"get 127.0.0.1 '' --port 9 --retries 1", 2, "the file name is empty"},
         {"get 127.0.0.1 x.bin -o '' --port 9 --retries 1", 2, "--output: the file name is empty"},
         {"write 127.0.0.1 '' --port 9 --retries 1", 2, "the file name is empty"},
         // Over-long names shortened; a line feed does not end the line.
         {"discover --address " + std::string(300, 'n'), 2, "nnnnnnnnnn...nnnnnnnnnn"},
         {"discover --address \"$(printf '1.2\\n3.4')\"", 2, "\"1.2 3.4\""},
         // A local address that is not this host's cannot be bound.
         {"discover --local 10.11.12.13" + Target(), 2, ""},
         // Output that could not be written, however far it got, is a failure.
         {Get("small.bin") + " -o /dev/full", 2, ""},
         {Get("small.bin") + " >/dev/full", 2, ""},
         {"discover --verbose" + Target(), 0, "CameraData: MAC <0e:1f:2a:33:44:01>"},
         {"discover --request '00 01:fe ff'" + Target(), 0, "90 Degree Rotation"},
         {"demo --json", 0, "\"count\": 5"},
         // Only a TFTP server listens there: no camera. Broadcast only: another suite's mDNS.
         {"discover --json --broadcast --address 127.255.255.255 --port " +
              std::to_string(tftp->Port()),
          1, "\"count\": 0"}});
    EXPECT_EQ(discovery->LastRequest(), (std::vector<std::uint8_t>{0x00, 0x01, 0xFE, 0xFF}));
}

TEST_F(Cli, DiscoverListsEveryCameraOrNone) {
    const CliRun run = Qxnet("discover --json" + Target());
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;  // the trace stays silent without --verbose
    auto json = nlohmann::json::parse(run.out);
    ASSERT_EQ(json["cameras"].size(), simulator.Cameras().size());
    for (std::size_t i = 0; i < simulator.Cameras().size(); ++i) {  // ordered by MAC, as these
        const QXSim::SimCamera& camera = simulator.Cameras()[i];
        const auto& entry = json["cameras"][i];
        EXPECT_EQ(entry["mac"], QXSim::MacToText(camera.mac));
        EXPECT_EQ(entry["ip"], QXSim::AddressText(camera.address));
        EXPECT_EQ(entry["firmware"], camera.firmware);
        EXPECT_EQ(entry["features"], camera.features);
        EXPECT_EQ(entry["enclosure"], camera.enclosure);
    }
    EXPECT_EQ(json["count"], simulator.Cameras().size());
    EXPECT_EQ(json["cameras"][0]["block"], "0xD0");
    EXPECT_EQ(json["cameras"][0]["enclosureName"], "ORBITAL");
    EXPECT_EQ(json["cameras"][4]["block"], "none");
    EXPECT_TRUE(json["cameras"][4]["featureNames"].empty());
}

// -o replaces its file only with one that came whole, leaves no temporary, and tells its CRC-32.
TEST_F(Cli, GetSavesWholeFilesOnly) {
    const std::string path = TempPath("saved.bin");
    { std::ofstream(path, std::ios::binary) << "old contents"; }
    EXPECT_EQ(Qxnet(Get("missing.bin") + " -o " + path).code, 1);
    EXPECT_EQ(Contents(path), "old contents");
    for (const auto& [name, size] : kFiles) {
        const std::vector<std::uint8_t> bytes = QXSim::TftpServer::GeneratedContent(size);
        char expected[16];
        std::snprintf(expected, sizeof expected, "crc32 %08lx",
                      crc32_z(0, bytes.data(), bytes.size()));
        const CliRun run = Qxnet(Get(name) + " -o " + path);
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_NE((run.out + run.err).find(expected), std::string::npos) << size << run.out;
        EXPECT_EQ(Contents(path), std::string(bytes.begin(), bytes.end())) << size;
    }
    EXPECT_EQ(QXTest::Shell("ls " + path + ".* 2>/dev/null | grep -q ."), 1);
    std::remove(path.c_str());
}

class CliNetns : public QXTest::SimNamespaceTest {
protected:
    // The simulator's cameras in the namespace, with multicast on its loopback.
    void Start(std::vector<QXSim::SimCamera> cameras) {
        ASSERT_EQ(ns->Exec("ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo"), 0);
        StartSimulator(std::move(cameras), [&](QXSim::Simulator& s) {
            web = &s.Add(std::make_unique<QXSim::WebServer>(s, QXSim::WebOptions{}));
            QXSim::MdnsOptions mdns;
            mdns.announceIntervalMs = 500;
            s.Add(std::make_unique<QXSim::MdnsResponder>(s, mdns));
        });
    }
    QXSim::WebServer* web = nullptr;
};

TEST_F(CliNetns, HttpCommand) {
    QXSim::SimCamera camera = QXSim::GenerateCameras(1, 0x7F000109, 9)[0];  // 127.0.1.9
    camera.password = "pw";
    Start({camera});
    const std::string page = "http 127.0.1.9 /index.html --user admin --password ";
    const std::string gen = "http 127.0.1.9 /gen/1023 --user admin --password pw";
    const std::string keep = TempPath("keep.bin");
    { std::ofstream(keep, std::ios::binary) << "old contents"; }
    Check({{page + "pw --text", 0, QXSim::MacToText(camera.mac)},
           {page + "wrong --json", 1, "\"serverStatus\": 401", "\"httpStatus\": 200"},
           // Nobody serves 127.0.1.10 inside the namespace.
           {"http 127.0.1.10 / --json", 1,
            "\"errorText\": \"HttpSendRequest() failed. Error 12029\""},
           {"http 127.0.1.9", 2, ""},
           // A body or document that could not be written is a failure, never "saved".
           {gen + " -o /dev/full", 2, ""},
           {gen + " >/dev/full", 2, ""},
           {page + "pw --text >/dev/full", 2, ""},
           // A refused page is no body: -o keeps its file.
           {"http 127.0.1.9 /none --user admin --password pw -o " + keep, 1,
            "http: refused: server status 404"}},
          ns.get());
    // A body that breaks off twice is no body: the old file stays.
    QXSim::WebFaults faults;
    faults.closeMidBody = true;
    faults.count = 2;
    web->SetFaults(faults);
    const CliRun run =
        Qxnet("http 127.0.1.9 /gen/200000 --user admin --password pw --json -o " + keep, ns.get());
    EXPECT_EQ(run.code, 1) << run.out;
    EXPECT_NE(run.out.find("\"lastError\": 12030"), std::string::npos) << run.out << run.err;
    EXPECT_EQ(Contents(keep), "old contents");
    std::remove(keep.c_str());
}

TEST_F(CliNetns, MdnsCommands) {
    Start(QXSim::GenerateCameras(3, 0x7F000101));
    char label[8];
    std::snprintf(label, sizeof label, "%06X",
                  static_cast<unsigned>(simulator->Cameras()[2].mac & 0xFFFFFF));
    Check({{std::string("find QX") + label + " --json", 0, "\"ip\": \"127.0.1.3\"",
            std::string("\"host\": \"korv-QX") + label + ".local\""},
           {"find 0e:1f:2a:ab:cd:ef", 1, "korv-QXABCDEF.local"},
           {"find QX12", 2, ""},
           {"discover --mdns --local 127.0.0.1 --json", 0, "\"local\": \"127.0.0.1\""},
           {"discover --mdns --local 127.0.0.1", 0, "3 cameras"}},
          ns.get());
    // watch prints each camera once, one JSON line each.
    const CliRun run = Qxnet("watch --interface lo --timeout 2 --json", ns.get());
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << run.out;
    const auto camera = nlohmann::json::parse(run.out.substr(0, run.out.find('\n')));
    EXPECT_EQ(camera["change"], "appeared");
    EXPECT_EQ(camera["interfaces"], nlohmann::json::array({"lo"}));
}

TEST_F(CliNetns, HostNetworkCommands) {
    NetNamespace peer("qxclip");
    ASSERT_TRUE(NetNamespace::Link(*ns, "veth0", "10.55.1.1/24 brd 10.55.1.255", peer, "veth1",
                                   "10.55.1.2/24 brd 10.55.1.255"));
    Check({{"neigh --json", 1, "\"count\": 0"}}, &peer);  // before any traffic fills it
    ASSERT_EQ(ns->Exec("ip tuntap add mode tun dev qxtun0 && ip addr add 10.88.0.1/30 dev qxtun0 "
                       "&& ip link set qxtun0 up && ip addr add 10.55.2.1/24 dev veth0 && "
                       "ip neigh add 10.55.1.50 lladdr 02:11:22:33:44:55 dev veth0 nud permanent"),
              0);
    // An address added without brd has the subnet's broadcast address in both views.
    const std::string kAddress =
        "\"address\": \"10.55.2.1\",\n      \"broadcast\": \"10.55.2.255\"";
    Check({{"ifaces --json", 0, "\"count\": 3", kAddress},
           {"addrs --json", 0, kAddress,
            "\"address\": \"10.88.0.1\",\n      \"broadcast\": \"10.88.0.3\""},
           {"check 10.55.1.77", 0, ""},
           {"check 10.56.1.77", 1, ""},
           {"check 10.55.1.255", 2, ""},
           {"check 10.88.0.2 --interface 2 --json", 0, "\"result\": \"inside\""},
           {"ping 10.55.1.2 --timeout 2000 --json", 0, "\"answered\": true"},
           {"ping 10.55.1.99 --timeout 100", 1, ""},
           {"neigh --mac 02-11-22-33-44-55 --json", 0, "\"10.55.1.50\""},
           {"neigh --mac 02:00:00:00:00:01", 1, ""}},
          ns.get());
    // Refused at the prompt, nothing goes; confirmed, the table is empty.
    EXPECT_EQ(Qxnet("flush-neigh", ns.get(), "echo n | ").code, 1);
    EXPECT_NE(ns->Capture("ip neigh show dev veth0"), "");
    EXPECT_EQ(Qxnet("flush-neigh", ns.get(), "echo y | ").code, 0);
    EXPECT_EQ(ns->Capture("ip neigh show dev veth0"), "");
    // An unprivileged user is told why ping cannot work.
    ASSERT_EQ(ns->Exec("sysctl -q -w net.ipv4.ping_group_range=\"1 0\""), 0);
    for (const char* command : {"ping 10.55.1.2", "free 10.55.1.2 10.55.1.3"}) {
        const CliRun run =
            Qxnet(command, ns.get(), "setpriv --reuid=65534 --regid=65534 --clear-groups ");
        EXPECT_EQ(run.code, 2) << command;
        for (const char* text : {"net.ipv4.ping_group_range", "CAP_NET_RAW", "errno 13"}) {
            EXPECT_NE(run.err.find(text), std::string::npos) << command << run.err;
        }
    }
}

}  // namespace
