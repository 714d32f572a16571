#include <boost/make_shared.hpp>
#include <cstdio>
#include <iostream>
#include <set>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/scan/QXCameraScanner.h"
#include "qxnet/tftp/QXCameraData.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimulator.h"
#include "tools/qxnet/QXCli.h"
#include "tools/qxnet/QXCliOutput.h"
#include "tools/qxnet/QXCmdScan.h"

namespace QXCli {

namespace {

// The request bytes are the host's choice; the simulated cameras answer any datagram. This one
// does not begin with the answer tag, so it can never be taken for an answer itself.
const char kDefaultRequest[] = "qx-discover";
// The limited broadcast of the loopback network: the safe default, it never leaves this machine.
const char kDefaultAddress[] = "127.255.255.255";
constexpr int kRetries = 3;

struct DiscoverSettings {
    std::string address = kDefaultAddress;
    int port = QXSim::kDefaultDiscoveryPort;
    std::string local;
    std::string requestHex;
    // The scanner's scope and methods; its method flags also pick the searches of --address and
    // --local (neither or both: both).
    ScanOptions scan;
    // Set once the options exist: whether --address or --local was given.
    CLI::Option* addressOption = nullptr;
    CLI::Option* localOption = nullptr;
};

// Cleanup must follow Startup however the search ends.
class SocketLayer {
public:
    SocketLayer() {
        if (QXSDK::TFTPClient::Startup()) {
            throw std::runtime_error("cannot start the socket layer");
        }
    }
    ~SocketLayer() { QXSDK::TFTPClient::Cleanup(); }
    SocketLayer(const SocketLayer&) = delete;
    SocketLayer& operator=(const SocketLayer&) = delete;
};

std::string Features(const QXSDK::CameraData& camera) {
    std::string names;
    for (int i = 0; i < QXSDK::CameraData::FeatureCount; ++i) {
        if (camera.Supports(i)) {
            names += (names.empty() ? "" : ", ") + Narrow(QXSDK::CameraData::FeatureNames[i]);
        }
    }
    return names;
}

std::string Enclosure(const QXSDK::CameraData& camera) {
    std::string name = Narrow(QXSDK::CameraData::EnclosureName(camera.enclosure));
    return camera.enclosure < QXSDK::CameraData::EnclosureCount
               ? name
               : name + " (" + std::to_string(camera.enclosure) + ")";
}

// A block is named by its tag's first byte ("0xCE" for 0xCEBE).
std::string BlockName(std::uint16_t infoTag) {
    using QXSDK::CameraData;
    if (infoTag != CameraData::InfoTagCE && infoTag != CameraData::InfoTagCF &&
        infoTag != CameraData::InfoTagD0) {
        return "none";
    }
    char name[8];
    std::snprintf(name, sizeof name, "0x%02X", infoTag >> 8);
    return name;
}

nlohmann::json ToJson(const std::set<QXSDK::CameraData>& cameras) {
    nlohmann::json list = nlohmann::json::array();
    for (const QXSDK::CameraData& camera : cameras) {
        nlohmann::json features = nlohmann::json::array();
        for (int i = 0; i < QXSDK::CameraData::FeatureCount; ++i) {
            if (camera.Supports(i)) {
                features.push_back(Narrow(QXSDK::CameraData::FeatureNames[i]));
            }
        }
        list.push_back({
            {"mac", Narrow(camera.MacText())},
            {"ip", Narrow(QX::AddressToText(camera.ip))},
            {"firmware", camera.fwVer},
            {"model", camera.model},
            {"extModel", camera.extModel},
            {"byte36", camera.byte36},
            {"block", BlockName(camera.infoTag)},
            {"enclosure", camera.enclosure},
            {"enclosureName", Narrow(QXSDK::CameraData::EnclosureName(camera.enclosure))},
            {"features", camera.features},
            {"featureNames", features},
        });
    }
    return list;
}

void PrintCameras(const std::set<QXSDK::CameraData>& cameras) {
    std::vector<std::vector<std::string>> rows;
    for (const QXSDK::CameraData& camera : cameras) {
        std::string model = std::to_string(camera.model);
        if (camera.extModel != 0) {
            model += " (ext " + std::to_string(camera.extModel) + ")";
        }
        std::string features = Features(camera);
        rows.push_back({Narrow(camera.MacText()), Narrow(QX::AddressToText(camera.ip)),
                        std::to_string(camera.fwVer), model, BlockName(camera.infoTag),
                        Enclosure(camera), features.empty() ? "-" : features});
    }
    PrintTable(std::cout, {"MAC", "IP", "FIRMWARE", "MODEL", "BLOCK", "ENCLOSURE", "FEATURES"},
               rows);
    std::cout << cameras.size() << (cameras.size() == 1 ? " camera\n" : " cameras\n");
}

// Broadcasts the request and collects the answers. Returns the library's result (0 when a camera
// was found, ObjectNotFound when none); throws what the library throws.
int Broadcast(std::uint32_t address, int port, std::uint32_t local,
              const std::vector<std::uint8_t>& request, std::set<QXSDK::CameraData>& cameras) {
    SocketLayer layer;
    QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), local, false, kRetries, 0, port);
    client.Open(address, port);
    return client.Broadcast(request.data(), static_cast<std::uint32_t>(request.size()), &cameras);
}

// Every up interface (or the ones named) by both methods (or the one chosen), one merged table.
int Scan(Global& global, const DiscoverSettings& settings,
         const std::vector<std::uint8_t>& request) {
    SocketLayer layer;
    QXSDK::CameraScanner scanner(boost::make_shared<QX::CodeLock>());
    ScanOptions options = settings.scan;
    options.port = settings.port;
    options.request = request;
    ConfigureScanner(scanner, options);
    std::vector<QXSDK::ScannedCamera> cameras;
    const int result = scanner.Scan(cameras);
    const std::vector<QXSDK::CameraScanner::Failure> failures = scanner.GetFailures();
    const std::string error = ScanError(result);
    if (!error.empty()) {
        const std::vector<std::string> lines = FailureLines(failures);
        return Error("discover: " + error + (lines.empty() ? "" : "; " + lines.front()));
    }
    if (global.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const QXSDK::ScannedCamera& camera : cameras) {
            list.push_back(ScanJson(camera));
        }
        PrintJson(
            std::cout,
            {{"count", cameras.size()}, {"cameras", list}, {"skipped", FailuresJson(failures)}});
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const QXSDK::ScannedCamera& camera : cameras) {
            rows.push_back(ScanRow(camera));
        }
        PrintTable(std::cout, kScanHeaders, rows);
        std::cout << cameras.size() << (cameras.size() == 1 ? " camera\n" : " cameras\n");
        for (const std::string& line : FailureLines(failures)) {
            std::cout << line << "\n";
        }
    }
    return cameras.empty() ? 1 : 0;
}

int Discover(Global& global, const DiscoverSettings& settings) {
    const bool scan = settings.addressOption->count() == 0 && settings.localOption->count() == 0;
    if (!scan && (!settings.scan.interfaces.empty() || settings.scan.loopback)) {
        return Error(
            "discover: --interface and --loopback choose what a scan covers; they do "
            "not go with --address or --local");
    }
    std::uint32_t address = 0;
    std::uint32_t local = 0;
    if (!ParseAddress(settings.address, address)) {
        return Error("discover: bad --address \"" + settings.address + "\"");
    }
    if (!settings.local.empty() && !ParseAddress(settings.local, local)) {
        return Error("discover: bad --local \"" + settings.local + "\"");
    }
    std::vector<std::uint8_t> request(kDefaultRequest,
                                      kDefaultRequest + sizeof kDefaultRequest - 1);
    if (!settings.requestHex.empty() &&
        (!ParseHex(settings.requestHex, request) || request.empty())) {
        return Error("discover: --request needs hexadecimal bytes, e.g. 71782d646973636f766572");
    }
    if (scan) {
        return Scan(global, settings, request);
    }
    const bool both = settings.scan.broadcast == settings.scan.mdns;
    nlohmann::json out = nlohmann::json::object();
    bool found = false;
    if (both || settings.scan.broadcast) {
        std::set<QXSDK::CameraData> cameras;
        int result = Broadcast(address, settings.port, local, request, cameras);
        found = result == 0 && !cameras.empty();
        out = {{"address", settings.address},
               {"port", settings.port},
               {"count", cameras.size()},
               {"cameras", ToJson(cameras)}};
        if (!global.json) {
            if (cameras.empty()) {
                std::cout << "No camera answered at " << settings.address << ":" << settings.port
                          << "\n";
            } else {
                PrintCameras(cameras);
            }
        }
    }
    if (both || settings.scan.mdns) {
        // mDNS needs an interface: the one of --local, else loopback, never the host's choice.
        nlohmann::json mdns;
        const int code =
            DiscoverMdns(global, settings.local.empty() ? "127.0.0.1" : settings.local, &mdns);
        if (code == 2) {
            return code;
        }
        found = found || code == 0;
        out["mdns"] = mdns;
    }
    if (global.json) {
        PrintJson(std::cout, out);
    }
    return found ? 0 : 1;
}

// The demo's first step: find the simulated cameras by broadcast on loopback.
int DemoDiscover(DemoContext& context) {
    std::set<QXSDK::CameraData> cameras;
    std::vector<std::uint8_t> request(kDefaultRequest,
                                      kDefaultRequest + sizeof kDefaultRequest - 1);
    std::uint32_t address = 0;
    ParseAddress(kDefaultAddress, address);
    if (!context.global.json) {
        std::cout << "Broadcast to " << kDefaultAddress << ":" << context.discoveryPort << "\n";
    }
    Broadcast(address, context.discoveryPort, 0, request, cameras);
    std::size_t expected = context.simulator.Cameras().size();
    if (context.global.json) {
        context.report["discover"] = {{"address", kDefaultAddress},
                                      {"port", context.discoveryPort},
                                      {"count", cameras.size()},
                                      {"cameras", ToJson(cameras)}};
    } else {
        PrintCameras(cameras);
    }
    if (cameras.size() != expected) {
        Error("demo: found " + std::to_string(cameras.size()) + " of " + std::to_string(expected) +
              " simulated cameras");
        return 1;
    }
    return 0;
}

}  // namespace

void AddDiscoverCommands(CLI::App& app, Global& global) {
    auto settings = std::make_shared<DiscoverSettings>();
    CLI::App* discover = app.add_subcommand(
        "discover", "Find cameras on every interface (or one address) and list them");
    settings->addressOption =
        discover
            ->add_option("-a,--address", settings->address,
                         "Broadcast (or camera) address to search instead of scanning")
            ->check(CheckIPv4)
            ->capture_default_str();
    discover->add_option("-p,--port", settings->port, "The cameras' discovery port")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    settings->localOption =
        discover
            ->add_option("-l,--local", settings->local,
                         "Local address to send from (a.b.c.d) instead of scanning")
            ->check(CheckIPv4);
    discover
        ->add_option("-r,--request", settings->requestHex,
                     "Request bytes in hexadecimal (default: the text \"qx-discover\")")
        ->check(NotEmpty("request"));
    AddScanOptions(discover, settings->scan);
    discover->footer(
        R"(Without --address or --local, discover SENDS ON EVERY INTERFACE OF THIS HOST that is
up (loopback only with --loopback or when named): a broadcast of the request to the interface's
broadcast address and the --port, and one-shot mDNS queries for _korv._tcp.local. It lists each
camera once by MAC with the interfaces and methods that heard it and its flags
(outside-subnet: its address is not in the subnet of the interface that heard it;
address-conflict: another MAC has its address; several-interfaces). --interface (repeatable),
--loopback, --broadcast and --mdns narrow the scan; interfaces that cannot be used are listed
as skipped. --json prints the same records ("interfaces", "methods", "flags").

With --address or --local it searches one target as before: the request is sent to --address
(default 127.255.255.255, which reaches only cameras simulated on this machine) until three
requests in a row bring no new camera, and the mDNS query goes to 224.0.0.251:5353 on the
interface of --local (default 127.0.0.1); with --json the mDNS cameras are under "mdns".
Exit code 0 when cameras were found, 1 when none answered, 2 on a usage or system error.

Example:
  qxcam-sim --cameras 20 &
  qxnet discover --address 127.255.255.255 --port 10069
  qxnet discover --interface lo --port 10069
  qxnet discover --interface eth0 --json | jq '.cameras[].mac')");
    discover->callback(Action(global, [&global, settings] { return Discover(global, *settings); }));
    AddDemoStep("Discovery by broadcast", DemoDiscover);
}

}  // namespace QXCli
