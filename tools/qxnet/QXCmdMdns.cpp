// The mDNS commands: `qxnet find MAC`, the mDNS half of `qxnet discover --local`, the demo's
// mDNS step, and `qxnet watch` (through the camera scanner). The client always gets a local
// address: without one it would pick the host's first address and query a real network, so the
// default is loopback and --help says so. The watch's default is every interface, as its --help
// says.
#include <boost/make_shared.hpp>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <memory>
#include <set>
#include <stdexcept>

#include "qxnet/common/QXAddress.h"
#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXSync.h"
#include "qxnet/scan/QXCameraScanner.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tools/qxnet/QXCli.h"
#include "tools/qxnet/QXCliOutput.h"
#include "tools/qxnet/QXCmdScan.h"

namespace QXCli {

namespace {

const char kDefaultLocal[] = "127.0.0.1";
const char kLocalHelp[] =
    "Local address of the interface to query on (default 127.0.0.1: loopback only)";

struct MdnsSettings {
    std::string local = kDefaultLocal;
    std::string mac;
};

struct WatchSettings {
    double timeout = 10.0;
    double interval = QXSDK::CameraScanner::DefaultIntervalMs / 1000.0;
    // Narrows the scope to the interface with this address; empty: the scan options decide.
    std::string local;
    ScanOptions scan;
};

// The socket layer is started around each command, as the library leaves that to its host.
class SocketLayer {
public:
    SocketLayer() : m_started(QX::SocketLayerStart() == 0) {
        if (!m_started) {
            throw std::runtime_error("cannot start the socket layer");
        }
    }
    ~SocketLayer() { QX::SocketLayerEnd(); }
    SocketLayer(const SocketLayer&) = delete;
    SocketLayer& operator=(const SocketLayer&) = delete;

private:
    bool m_started;
};

std::string Firmware(const QXSDK::MDNSCameraData& camera) {
    return std::to_string(camera.m_fwMajor) + "." + std::to_string(camera.m_fwMinor);
}

nlohmann::json CameraJson(const QXSDK::MDNSCameraData& camera) {
    return {{"mac", QXSim::MacToText(camera.m_mac)},
            {"ip", Narrow(QX::AddressToText(camera.m_ip))},
            {"firmware", Firmware(camera)},
            {"pair", {camera.m_pairFirst, camera.m_pairSecond}},
            {"hex32", camera.m_hex32},
            {"hex16", camera.m_hex16},
            {"model", camera.m_model}};
}

std::vector<std::string> CameraRow(const QXSDK::MDNSCameraData& camera) {
    char pair[16];
    std::snprintf(pair, sizeof pair, "%04X%04X", camera.m_pairFirst, camera.m_pairSecond);
    return {QXSim::MacToText(camera.m_mac), Narrow(QX::AddressToText(camera.m_ip)),
            Firmware(camera), pair, camera.m_model};
}

const std::vector<std::string> kHeaders = {"MAC", "IP", "FIRMWARE", "PAIR", "MODEL"};

// A camera's MAC as the commands take it: 12 hex digits (":" or "-" between octets allowed), or
// the camera text's form, "QX" and 6 hex digits (or the 6 digits alone).
bool ParseMac(const std::string& text, std::uint64_t& mac) {
    std::string digits;
    const std::string rest =
        text.rfind("QX", 0) == 0 || text.rfind("qx", 0) == 0 ? text.substr(2) : text;
    for (char c : rest) {
        if (c == ':' || c == '-') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        digits += c;
    }
    if (digits.size() == 6) {
        mac = 0x0E1F2A000000ull | std::stoull(digits, nullptr, 16);
        return true;
    }
    if (digits.size() == 12 && rest.size() == text.size()) {
        mac = std::stoull(digits, nullptr, 16);
        return true;
    }
    return false;
}

// Opens a client on the given local address; false with a message when that cannot be done.
bool OpenClient(const std::string& localText, std::unique_ptr<QXSDK::MDNSClient>& client,
                std::string& error) {
    std::uint32_t local = 0;
    if (!ParseAddress(localText, local) || local == 0) {
        error = "bad --local \"" + localText + "\" (an interface's IPv4 address)";
        return false;
    }
    client = std::make_unique<QXSDK::MDNSClient>(boost::make_shared<QX::CodeLock>(), local);
    if (!client->Open()) {
        error = "cannot open mDNS on " + localText +
                " (port 5353 on that interface; is the address this host's?)";
        return false;
    }
    return true;
}

int Find(Global& global, const MdnsSettings& settings) {
    std::uint64_t mac = 0;
    if (!ParseMac(settings.mac, mac)) {
        return Error("find: bad MAC \"" + settings.mac + "\" (e.g. 0e:1f:2a:00:a1:b2 or QX00A1B2)");
    }
    SocketLayer layer;
    std::unique_ptr<QXSDK::MDNSClient> client;
    std::string error;
    if (!OpenClient(settings.local, client, error)) {
        return Error("find: " + error);
    }
    std::uint64_t foundMac = 0;
    std::uint32_t ip = 0;
    const bool found = client->QueryKorvaneMAC(mac, foundMac, ip);
    const std::string host = QXSDK::MDNSClient::CameraHostName(mac).ToString();
    if (global.json) {
        nlohmann::json out = {{"host", host}, {"found", found}};
        if (found) {
            out["mac"] = QXSim::MacToText(foundMac);
            out["ip"] = Narrow(QX::AddressToText(ip));
        }
        PrintJson(std::cout, out);
    } else if (found) {
        std::cout << host << " is " << Narrow(QX::AddressToText(ip)) << " (MAC "
                  << QXSim::MacToText(foundMac) << ")\n";
    } else {
        std::cout << "No single camera answered for " << host << "\n";
    }
    return found ? 0 : 1;
}

// Prints each change the scanner reports, one line each; runs on the scanner's threads, which
// the scanner serialises.
struct WatchPrinter {
    bool json;
    std::set<std::uint64_t> appeared;

    static void Print(QXSDK::CameraScanner::Change change, const QXSDK::ScannedCamera& camera,
                      void* self) {
        auto* printer = static_cast<WatchPrinter*>(self);
        const char* name = change == QXSDK::CameraScanner::CAMERA_APPEARED  ? "appeared"
                           : change == QXSDK::CameraScanner::CAMERA_CHANGED ? "changed"
                                                                            : "gone";
        if (change == QXSDK::CameraScanner::CAMERA_APPEARED) {
            printer->appeared.insert(camera.mac);
        }
        if (printer->json) {
            nlohmann::json line = ScanJson(camera);
            line["change"] = name;
            std::cout << line.dump() << "\n";
        } else {
            std::cout << name;
            for (const std::string& cell : ScanRow(camera)) {
                std::cout << "  " << cell;
            }
            std::cout << "\n";
        }
        std::cout.flush();
    }
};

int Watch(Global& global, const WatchSettings& settings) {
    if (settings.timeout < 0) {
        return Error("watch: --timeout must be 0 (no end) or more seconds");
    }
    if (settings.interval <= 0) {
        return Error("watch: --interval must be more than 0 seconds");
    }
    SocketLayer layer;
    QXSDK::CameraScanner scanner(boost::make_shared<QX::CodeLock>());
    ScanOptions options = settings.scan;
    if (!settings.local.empty()) {
        options.interfaces.push_back(settings.local);
    }
    ConfigureScanner(scanner, options);
    scanner.SetWatchTiming(static_cast<std::uint32_t>(settings.interval * 1000),
                           QXSDK::CameraScanner::DefaultMissedRounds);
    WatchPrinter printer{global.json, {}};
    scanner.SetCallback(WatchPrinter::Print, &printer);
    if (!global.json) {
        std::cout << "Watching "
                  << (options.interfaces.empty()
                          ? std::string("every interface")
                          : "interface(s) " + options.interfaces.front() +
                                (options.interfaces.size() > 1 ? ", ..." : ""))
                  << (settings.timeout > 0 ? " for " + std::to_string(settings.timeout) + " s"
                                           : std::string(" until interrupted"))
                  << "\n";
        std::cout.flush();
    }
    const int started = scanner.Start();
    if (started != 0) {
        const std::vector<std::string> lines = FailureLines(scanner.GetFailures());
        return Error("watch: " + ScanError(started) + (lines.empty() ? "" : "; " + lines.front()));
    }
    const DWORD start = QX::TickCount();
    const DWORD limit = static_cast<DWORD>(settings.timeout * 1000);
    while (limit == 0 || QX::TickCount() - start < limit) {
        QX::SleepMs(50);
    }
    scanner.Stop();
    return printer.appeared.empty() ? 1 : 0;
}

// The demo's mDNS step: the simulated cameras answer mDNS on loopback too.
int DemoMdns(DemoContext& context) {
    QXSim::MdnsOptions options;  // loopback
    context.simulator.Add(std::make_unique<QXSim::MdnsResponder>(context.simulator, options));
    std::string error;
    if (!context.simulator.Start(error)) {
        return Error("demo: " + error);
    }
    if (!context.global.json) {
        std::cout << "PTR query for _korv._tcp.local to 224.0.0.251:5353 on " << kDefaultLocal
                  << "\n";
    }
    nlohmann::json result;
    const int code = DiscoverMdns(context.global, kDefaultLocal, &result);
    if (code == 2) {
        return code;
    }
    if (context.global.json) {
        context.report["mdns"] = result;
    }
    const std::size_t expected = context.simulator.Cameras().size();
    const std::size_t found = result.value("count", std::size_t{0});
    if (found != expected) {
        Error("demo: found " + std::to_string(found) + " of " + std::to_string(expected) +
              " simulated cameras by mDNS");
        return 1;
    }
    return 0;
}

}  // namespace

int DiscoverMdns(Global& global, const std::string& local, nlohmann::json* result) {
    SocketLayer layer;
    std::unique_ptr<QXSDK::MDNSClient> client;
    std::string error;
    if (!OpenClient(local, client, error)) {
        return Error("discover: " + error);
    }
    QXSDK::MDNSClient::CameraMap cameras;
    client->QueryKorvaneCams(false, cameras);
    nlohmann::json list = nlohmann::json::array();
    std::vector<std::vector<std::string>> rows;
    for (const auto& [mac, camera] : cameras) {
        list.push_back(CameraJson(camera));
        rows.push_back(CameraRow(camera));
    }
    if (result != nullptr) {
        *result = {{"local", local}, {"count", cameras.size()}, {"cameras", list}};
    }
    if (!global.json) {
        if (cameras.empty()) {
            std::cout << "No camera answered the mDNS query on " << local << "\n";
        } else {
            PrintTable(std::cout, kHeaders, rows);
            std::cout << cameras.size() << (cameras.size() == 1 ? " camera\n" : " cameras\n");
        }
    }
    return cameras.empty() ? 1 : 0;
}

void AddMdnsCommands(CLI::App& app, Global& global) {
    auto settings = std::make_shared<MdnsSettings>();
    CLI::App* find = app.add_subcommand("find", "Find one camera by its MAC with an mDNS A query");
    find->add_option("mac", settings->mac, "The camera's MAC (0e:1f:2a:00:a1:b2, or QX00A1B2)")
        ->required();
    find->add_option("-l,--local", settings->local, kLocalHelp)
        ->check(CheckIPv4)
        ->capture_default_str();
    find->footer(
        R"(Asks 224.0.0.251:5353 for the A record of "korv-QX" and the MAC's three low octets
(".local"); the camera answers with its records. Exit code 0 when exactly one camera answered,
1 when none (or more than one) did, 2 on a usage or system error.

Example:
  qxnet find QX00A1B2 --local 127.0.0.1
  qxnet find 0e:1f:2a:00:a1:b2 --local 192.168.1.20 --json)");
    find->callback(Action(global, [&global, settings] { return Find(global, *settings); }));

    auto watchSettings = std::make_shared<WatchSettings>();
    CLI::App* watch = app.add_subcommand(
        "watch", "Show cameras as they appear, change and go, on every interface by default");
    watch
        ->add_option("-t,--timeout", watchSettings->timeout,
                     "Seconds to watch; 0 watches until killed")
        ->capture_default_str();
    watch->add_option("--interval", watchSettings->interval, "Seconds between scan rounds")
        ->capture_default_str();
    watch
        ->add_option("-l,--local", watchSettings->local,
                     "Watch only the interface with this local address")
        ->check(CheckIPv4);
    watch->add_option("-p,--port", watchSettings->scan.port, "The cameras' discovery port")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    AddScanOptions(watch, watchSettings->scan);
    watch->footer(
        R"(Without arguments watch SENDS ON EVERY INTERFACE OF THIS HOST that is up (loopback
only with --loopback or when named): every --interval seconds a broadcast of the discovery
request and one-shot mDNS queries, and in between it listens for the cameras' mDNS
announcements. One line per change: "appeared", "changed" (address or data) or "gone" (not
heard in 2 rounds, its mDNS record expired, or its goodbye received); with --json each line is
one JSON object with "change" and the camera's record. --local, --interface (repeatable),
--loopback, --broadcast and --mdns narrow it.
Exit code 0 when a camera appeared, 1 when none did, 2 on a usage or system error.

Example:
  qxnet watch --interface lo --timeout 30
  qxnet watch --local 192.168.1.20 --json | jq .ip)");
    watch->callback(
        Action(global, [&global, watchSettings] { return Watch(global, *watchSettings); }));

    AddDemoStep("Discovery by mDNS", DemoMdns);
}

}  // namespace QXCli
