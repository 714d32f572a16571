// Runs the built qxnet program against the simulator on loopback: exit codes, table and JSON.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimulator.h"

namespace {

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs qxnet with the arguments (shell words), capturing both outputs.
CliRun Qxnet(const std::string& arguments) {
    std::string errPath = ::testing::TempDir() + "qxnet_cli_err_" + std::to_string(getpid());
    std::string command = std::string(QXNET_CLI_PATH) + " " + arguments + " 2>" + errPath;
    CliRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.out.append(buffer, n);
    }
    int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (FILE* err = std::fopen(errPath.c_str(), "r")) {
        while ((n = fread(buffer, 1, sizeof buffer, err)) > 0) {
            run.err.append(buffer, n);
        }
        std::fclose(err);
    }
    std::remove(errPath.c_str());
    return run;
}

class CliAgainstSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        responder = &simulator.Add(
            std::make_unique<QXSim::DiscoveryResponder>(simulator, QXSim::DiscoveryOptions{}));
        std::string error;
        ASSERT_TRUE(simulator.Start(error)) << error;
    }
    std::string Target() const {
        return "--address 127.255.255.255 --port " + std::to_string(responder->Port());
    }
    QXSim::Simulator simulator{QXSim::DemoCameras()};
    QXSim::DiscoveryResponder* responder = nullptr;
};

// One line on standard error, and nothing else there.
void ExpectOneLineError(const CliRun& run) {
    EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    EXPECT_EQ(run.err.rfind("qxnet: ", 0), 0u) << run.err;
}

TEST(Cli, VersionAndHelp) {
    CliRun version = Qxnet("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("qxnet ") + QXNET_VERSION_TEXT + "\n");
    CliRun help = Qxnet("discover --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Example:"), std::string::npos);
    EXPECT_NE(help.out.find("127.255.255.255"), std::string::npos);
}

TEST(Cli, UsageErrorsExitWithTwoAndOneLine) {
    const std::string longName(300, 'n');
    // Arguments, and a text the one line must contain (empty: any).
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"no-such-command", "unknown command \"no-such-command\""},
        {"--json no-such-command", "unknown command \"no-such-command\""},
        {"discover --address 1.2.3", ""},
        {"discover --port 0", ""},
        {"discover --port 70000", ""},
        {"discover --request zz", ""},
        {"discover --local 127.0.0.1.1", ""},
        {"discover --broadcast --request ''", "--request: the request is empty"},
        {"check 10.1.2.3 --interface -1", "--interface"},
        {"free 127.0.0.9 127.0.0.1", "free: the range ends (127.0.0.1) before it starts"},
        {"get 127.0.0.1 '' --port 9 --retries 1", "the file name is empty"},
        {"get 127.0.0.1 x.bin -o '' --port 9 --retries 1", "--output: the file name is empty"},
        {"write 127.0.0.1 '' --port 9 --retries 1", "the file name is empty"},
        // Over-long names come back shortened, and a line feed in one does not end the line.
        {"discover --address " + longName, "nnnnnnnnnn...nnnnnnnnnn"},
        {"discover --address \"$(printf '1.2\\n3.4')\"", "\"1.2 3.4\""},
    };
    for (const auto& [arguments, text] : cases) {
        SCOPED_TRACE(arguments);
        CliRun run = Qxnet(arguments);
        ExpectOneLineError(run);
        EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
        EXPECT_LT(run.err.size(), 200u) << run.err;
    }
}

TEST(Cli, SystemErrorExitsWithTwo) {
    // A local address that is not this host's cannot be bound: the library throws, the program
    // says so in one line.
    ExpectOneLineError(Qxnet("discover --local 10.11.12.13 --address 127.255.255.255 --port 9"));
}

TEST(Cli, NoCameraExitsWithOne) {
    // A port nobody listens on: take a free one and give it back.
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t length = sizeof local;
    getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length);
    close(probe);
    // Broadcast only: mDNS on loopback would hear whatever responder another suite runs there.
    CliRun run = Qxnet("discover --json --broadcast --address 127.255.255.255 --port " +
                       std::to_string(ntohs(local.sin_port)));
    EXPECT_EQ(run.exitCode, 1) << run.err;
    auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["count"], 0);
    EXPECT_TRUE(json["cameras"].empty());
    EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST_F(CliAgainstSimulator, DiscoverJsonListsEveryCamera) {
    CliRun run = Qxnet("discover --json " + Target());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // Without --verbose the library's trace stays silent.
    EXPECT_TRUE(run.err.empty()) << run.err;
    auto json = nlohmann::json::parse(run.out);
    ASSERT_EQ(json["count"], simulator.Cameras().size());
    ASSERT_EQ(json["cameras"].size(), simulator.Cameras().size());
    // The set is ordered by MAC, and so are the demo cameras.
    for (std::size_t i = 0; i < simulator.Cameras().size(); ++i) {
        const QXSim::SimCamera& camera = simulator.Cameras()[i];
        const auto& entry = json["cameras"][i];
        EXPECT_EQ(entry["mac"], QXSim::MacToText(camera.mac));
        EXPECT_EQ(entry["ip"], QXSim::AddressText(camera.address));
        EXPECT_EQ(entry["firmware"], camera.firmware);
        EXPECT_EQ(entry["features"], camera.features);
        EXPECT_EQ(entry["enclosure"], camera.enclosure);
    }
    EXPECT_EQ(json["cameras"][0]["block"], "0xD0");
    EXPECT_EQ(json["cameras"][0]["enclosureName"], "ORBITAL");
    EXPECT_EQ(json["cameras"][4]["block"], "none");
    EXPECT_TRUE(json["cameras"][4]["featureNames"].empty());
    EXPECT_GE(responder->Requests(), 3u);
}

TEST_F(CliAgainstSimulator, DiscoverTableAndRequestBytes) {
    CliRun run = Qxnet("discover --request '00 01:fe ff' " + Target());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(responder->LastRequest(), (std::vector<std::uint8_t>{0x00, 0x01, 0xFE, 0xFF}));
    EXPECT_EQ(run.out.rfind("MAC ", 0), 0u) << run.out;
    for (const QXSim::SimCamera& camera : simulator.Cameras()) {
        EXPECT_NE(run.out.find(QXSim::MacToText(camera.mac)), std::string::npos);
    }
    EXPECT_NE(run.out.find("90 Degree Rotation"), std::string::npos);
    EXPECT_NE(run.out.find("5 cameras"), std::string::npos);
}

TEST_F(CliAgainstSimulator, VerboseShowsTheTrace) {
    CliRun run = Qxnet("discover --verbose " + Target());
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("CameraData: MAC <0e:1f:2a:33:44:01>"), std::string::npos) << run.err;
}

// `qxnet get` against the simulator's TFTP server on loopback.
class CliGet : public ::testing::Test {
protected:
    void SetUp() override {
        QXSim::TftpServerConfig config;
        config.files["small.bin"] = std::vector<std::uint8_t>(100, 0x42);
        server = &simulator.Add(std::make_unique<QXSim::TftpServer>(config));
        std::string error;
        ASSERT_TRUE(simulator.Start(error)) << error;
        directory = ::testing::TempDir() + "qxnet_cli_get_" + std::to_string(getpid());
        std::filesystem::create_directories(directory);
    }
    void TearDown() override { std::filesystem::remove_all(directory); }
    std::string Get(const std::string& file) const {
        return "get 127.0.0.1 " + file + " --retries 1 --port " + std::to_string(server->Port());
    }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    QXSim::Simulator simulator{QXSim::DemoCameras()};
    QXSim::TftpServer* server = nullptr;
    std::string directory;
};

// Output that could not be written, however far it got, is a failure with one line.
TEST_F(CliGet, LostOutputIsExitTwoWithOneLine) {
    const std::string cases[] = {
        Get("small.bin") + " -o /dev/full",
        Get("small.bin") + " >/dev/full",
        Get("small.bin") + " --json >/dev/full",
        Get("small.bin") + " -o " + directory + "/saved.bin --json >/dev/full",
        "--version >/dev/full",
    };
    for (const std::string& arguments : cases) {
        SCOPED_TRACE(arguments);
        ExpectOneLineError(Qxnet(arguments));
    }
}

// -o replaces its file only with a file that came whole; a failed read leaves the old one.
TEST_F(CliGet, OutputFileIsReplacedOnlyOnSuccess) {
    const std::string keep = directory + "/keep.bin";
    { std::ofstream(keep, std::ios::binary) << "old contents"; }
    CliRun missing = Qxnet(Get("missing.bin") + " -o " + keep);
    EXPECT_EQ(missing.exitCode, 1) << missing.err;
    EXPECT_EQ(Contents(keep), "old contents");

    CliRun got = Qxnet(Get("small.bin") + " -o " + keep);
    EXPECT_EQ(got.exitCode, 0) << got.err;
    EXPECT_EQ(Contents(keep), std::string(100, '\x42'));
    // No temporary file is left beside it, whichever way the command ended.
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++files;
        EXPECT_EQ(entry.path().filename(), "keep.bin");
    }
    EXPECT_EQ(files, 1u);
}

// The summary's CRC-32 against one computed a bit at a time, for sizes around the eight-byte
// steps of the program's own computation; the saved file holds the bytes read.
TEST(Cli, GetSavesTheFileAndSumsItsCrc) {
    QXSim::TftpServerConfig config;
    const std::vector<std::size_t> sizes = {0, 1, 7, 8, 9, 4355};
    // Names are formatted: gcc 12 at -O3 warns falsely on these short string sums.
    auto name = [](std::size_t size) {
        char text[24];
        std::snprintf(text, sizeof text, "f%zu", size);
        return std::string(text);
    };
    for (std::size_t size : sizes) {
        config.generated[name(size)] = size;
    }
    QXSim::TftpServer server(config);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    const std::string path = ::testing::TempDir() + "qxnet_cli_get_" + std::to_string(getpid());
    for (std::size_t size : sizes) {
        const std::vector<std::uint8_t> bytes = QXSim::TftpServer::GeneratedContent(size);
        std::uint32_t crc = 0xFFFFFFFFu;
        for (std::uint8_t byte : bytes) {
            crc ^= byte;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 1) != 0 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
            }
        }
        char expected[16];
        std::snprintf(expected, sizeof expected, "crc32 %08x", ~crc);
        CliRun run = Qxnet("get 127.0.0.1 f" + std::to_string(size) + " -o " + path + " --port " +
                           std::to_string(server.Port()));
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE((run.out + run.err).find(expected), std::string::npos)
            << size << ": " << run.out << run.err;
        std::vector<std::uint8_t> saved;
        if (FILE* file = std::fopen(path.c_str(), "rb")) {
            int c;
            while ((c = std::fgetc(file)) != EOF) {
                saved.push_back(static_cast<std::uint8_t>(c));
            }
            std::fclose(file);
        }
        EXPECT_EQ(saved, bytes) << size;
    }
    std::remove(path.c_str());
    server.Stop();
}

TEST(Cli, DemoFindsItsCameras) {
    CliRun run = Qxnet("demo --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["discover"]["count"], QXSim::DemoCameras().size());
}

}  // namespace
