// qxtftp-sim: one simulated camera's TFTP service on loopback, until interrupted or for a while.
// The Windows tests read from it under Wine.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "sim/QXSimTftpServer.h"
#include "sim/QXSimulator.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qxtftp-sim: a simulated camera's TFTP service", "qxtftp-sim"};
    std::string address = "127.0.0.1";
    QXSim::TftpServerConfig config;
    std::vector<std::string> generated;
    double seconds = 0;
    app.add_option("--address", address, "Loopback address to serve on")->capture_default_str();
    app.add_option("--port", config.port, "Port (0: any free one, printed on start)")
        ->capture_default_str();
    app.add_option("--generate", generated, "A generated file as NAME=BYTES (repeatable)");
    app.add_option("--folder", config.folder, "Serve the files of this folder too");
    app.add_flag("--force-1450", config.force1450, "Grant 1450 whatever is offered");
    app.add_option("--seconds", seconds, "Stop after this many seconds (default: at SIGTERM)");
    app.footer(R"(Generated files hold no CR or LF bytes (see QXSim::TftpServer::GeneratedByte).

Example:
  qxtftp-sim --port 10069 --generate demo.bin=3000000 --seconds 600)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "qxtftp-sim: " << e.what() << "\n";
        return 2;
    }
    if (!QXSim::TextToAddress(address, config.address) || (config.address >> 24) != 127) {
        std::cerr << "qxtftp-sim: --address must be a loopback address\n";
        return 2;
    }
    for (const std::string& entry : generated) {
        const std::size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::cerr << "qxtftp-sim: --generate takes NAME=BYTES, not \"" << entry << "\"\n";
            return 2;
        }
        config.generated[entry.substr(0, eq)] = std::stoull(entry.substr(eq + 1));
    }
    QXSim::TftpServer server(config);
    std::string error;
    if (!server.Start(error)) {
        std::cerr << "qxtftp-sim: " << error << "\n";
        return 2;
    }
    std::printf("qxtftp-sim: serving on %s:%d\n", address.c_str(), server.Port());
    std::fflush(stdout);
    ::signal(SIGINT, OnSignal);
    ::signal(SIGTERM, OnSignal);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!g_stop && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    server.Stop();
    return 0;
}
