// qxcam-sim: plays a fleet of cameras until it is interrupted: for each camera its discovery
// answer, its mDNS records, its TFTP service and its web server, each camera on its own address.
#include <ifaddrs.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <memory>

#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimWebServer.h"
#include "sim/QXSimulator.h"

namespace {

const char kFooter[] =
    R"(Cameras come from --camera, --file and --cameras together; with none of them the
simulator plays a demo set of five cameras (0e:1f:2a:33:44:01 to :05 at 127.0.1.1 to .5,
blocks 0xD0, 0xCF, 0xCE, 0xD0 and none). A camera's broadcast answer and its mDNS text name
one MAC: give MACs with the prefix 0e:1f:2a, the one the mDNS text's readers put in front.

A camera is written as key=value pairs separated by blanks:
  mac=0e:1f:2a:33:44:55 ip=127.0.1.5 fw=0x0102 model=2000 ext=12 enclosure=3 features=0x00ff
  block=cf byte36=1 name=QX2000 user=admin password=secret
mac and ip are required; block is none, ce, cf or d0 (default d0); features must fit
what the block announces (none: 0, ce: 0x00ff, cf: 0x7fff, d0: 0xffff); numbers are decimal or
0x-hexadecimal; user= (empty) turns the web credentials off. A camera file holds one camera per
line in that form; blank lines and lines starting with # are skipped.

Each camera serves on its own address: TFTP (--tftp-port, the --generate files and the --folder)
and HTTP (--http-port, Basic credentials user/password, default admin/admin). The discovery
responder binds --bind (default any address, so that broadcasts reach it) and answers for every
camera; the mDNS responder answers for every camera from 127.0.0.1:5353. Ports below 1024 need
root; without it, pick others (--tftp-port 0 takes a free port per camera, printed at start).

Nothing leaves loopback unless asked: requesters outside 127.0.0.0/8 get no discovery answer
without --any-requester. --interface NAME serves on that interface instead (inside a network
namespace only, which has no route out): generated and demo cameras take its IPv4 addresses in
order, mDNS runs on its first address and discovery answers any requester.

Pointing an application at it (start it first; the lines it prints name the ports):
  qxcam-sim --tftp-port 6969 --http-port 8080 --generate demo.bin=3000000
  qxnet discover --interface lo --port 10069       both methods, one table (loopback only)
  qxnet discover --address 127.255.255.255         broadcast only, as TFTPClient::Broadcast
  qxnet find 0e:1f:2a:33:44:01                     MDNSClient on 127.0.0.1 (QueryKorvaneMAC)
  qxnet get 127.0.1.1 demo.bin --port 6969 -o demo.bin
  curl -o demo.bin tftp://127.0.1.1:6969/demo.bin --tftp-no-options   a stock client
  curl -u admin:admin http://127.0.1.1:8080/
In code: TFTPClient opened towards 127.255.255.255 and the discovery port, MDNSClient with local
address 127.0.0.1 (0x7F000001), TFTPClient opened towards a camera's address and --tftp-port,
HTTPClient towards a camera's address (it asks port 80: run as root with the default
--http-port).

Fault switches (for the library's recovery): discovery --drop --twice --untagged --delay
--pace-burst/--pace-us; TFTP --tftp-drop ... --tftp-delay-ms; mDNS --mdns-drop --mdns-delay-ms
--mdns-split-ms --announce-ms; web --http-*. Random ones follow --seed, so a run repeats.)";

// The IPv4 addresses of an interface, host order, in the order the system lists them.
std::vector<std::uint32_t> InterfaceAddresses(const std::string& name) {
    std::vector<std::uint32_t> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return addresses;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
            name == entry->ifa_name) {
            addresses.push_back(
                ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr));
        }
    }
    freeifaddrs(list);
    return addresses;
}

// --generate NAME=BYTES entries into the TFTP service's generated files.
bool ParseGenerated(const std::vector<std::string>& entries,
                    std::map<std::string, std::uint64_t>& files, std::string& error) {
    for (const std::string& entry : entries) {
        const std::size_t eq = entry.find('=');
        std::uint64_t size = 0;
        const char* last = entry.data() + entry.size();
        if (eq == std::string::npos || eq == 0 ||
            std::from_chars(entry.data() + eq + 1, last, size).ptr != last ||
            eq + 1 == entry.size()) {
            error = "--generate takes NAME=BYTES, not \"" + entry + "\"";
            return false;
        }
        files[entry.substr(0, eq)] = size;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qxcam-sim: simulated cameras (discovery, mDNS, TFTP, web) on loopback",
                 "qxcam-sim"};
    app.footer(kFooter);
    std::vector<std::string> cameraTexts;
    std::string file;
    std::size_t generated = 0;
    std::string bind = "0.0.0.0";
    std::string interfaceName;
    QXSim::DiscoveryOptions discoveryOptions;
    discoveryOptions.port = QXSim::kDefaultDiscoveryPort;
    QXSim::MdnsOptions mdnsOptions;
    QXSim::TftpServerConfig tftpConfig;
    tftpConfig.port = 69;
    std::vector<std::string> generatedFiles;
    QXSim::WebOptions webOptions;
    bool anyRequester = false;
    bool noMdns = false;
    bool noTftp = false;
    bool noWeb = false;
    std::uint32_t seed = 1;
    double seconds = 0;
    app.add_option("--camera", cameraTexts, "One camera as key=value pairs (repeatable)");
    app.add_option("--file", file, "A camera file, one camera per line")->check(CLI::ExistingFile);
    app.add_option("--cameras", generated, "Generate this many cameras (distinct MACs/addresses)");
    app.add_option("--interface", interfaceName,
                   "Serve on this interface's addresses (network namespaces only)");
    app.add_option("--seed", seed, "Seed of the generated cameras and the random faults")
        ->capture_default_str();
    app.add_option("--seconds", seconds,
                   "Stop after this many seconds (default: at SIGINT/SIGTERM)");

    app.add_option("--port", discoveryOptions.port, "Discovery port")->capture_default_str();
    app.add_option("--bind", bind, "Address the discovery responder binds")->capture_default_str();
    app.add_flag("--any-requester", anyRequester,
                 "Answer requesters outside 127.0.0.0/8 (network namespaces only)");
    app.add_option("--drop", discoveryOptions.faults.dropShare,
                   "Discovery: share of answers not sent (0 to 1)")
        ->check(CLI::Range(0.0, 1.0));
    app.add_flag("--twice", discoveryOptions.faults.answerTwice, "Discovery: every answer twice");
    app.add_option("--untagged", discoveryOptions.faults.untagged,
                   "Discovery: datagrams without the tag ahead of each request's answers");
    app.add_option("--delay", discoveryOptions.faults.delayMs,
                   "Discovery: milliseconds before answering a request");
    app.add_option("--pace-burst", discoveryOptions.faults.pacingBurst,
                   "Discovery: pause after this many answers (with --pace-us)");
    app.add_option("--pace-us", discoveryOptions.faults.pacingUs,
                   "Discovery: length of each pause in microseconds");

    app.add_flag("--no-mdns", noMdns, "Play no mDNS responder");
    app.add_option("--announce-ms", mdnsOptions.announceIntervalMs,
                   "mDNS: announce every camera at this interval (0: never)");
    app.add_option("--mdns-drop", mdnsOptions.faults.dropShare,
                   "mDNS: share of queries not answered (0 to 1)")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--mdns-delay-ms", mdnsOptions.faults.delayMs,
                   "mDNS: milliseconds before each answer");
    app.add_option("--mdns-split-ms", mdnsOptions.faults.splitGapMs,
                   "mDNS: send the first camera's A record this long after its other records");

    app.add_flag("--no-tftp", noTftp, "Play no TFTP service");
    app.add_option("--tftp-port", tftpConfig.port, "TFTP port of every camera (0: a free one each)")
        ->capture_default_str();
    app.add_option(
        "--generate", generatedFiles,
        "TFTP: a generated file as NAME=BYTES (repeatable); its bytes are made at start and "
        "kept in memory, up to 1 GB");
    app.add_option("--folder", tftpConfig.folder, "TFTP: serve the files of this folder too")
        ->check(CLI::ExistingDirectory);
    app.add_flag("--tftp-force-1450", tftpConfig.force1450, "TFTP: grant 1450 whatever is offered");
    app.add_option("--tftp-drop", tftpConfig.faults.dropDatagrams,
                   "TFTP: share of DATA datagrams not sent");
    app.add_option("--tftp-duplicate", tftpConfig.faults.duplicateDatagrams,
                   "TFTP: share of DATA datagrams sent twice");
    app.add_option("--tftp-reorder", tftpConfig.faults.reorderDatagrams,
                   "TFTP: share of DATA datagrams held back behind the next");
    app.add_option("--tftp-drop-blocks", tftpConfig.faults.dropBlocks,
                   "TFTP: share of blocks left out of their datagram");
    app.add_option("--tftp-duplicate-blocks", tftpConfig.faults.duplicateBlocks,
                   "TFTP: share of blocks packed twice");
    app.add_option("--tftp-reorder-blocks", tftpConfig.faults.reorderBlocks,
                   "TFTP: share of datagrams whose blocks are shuffled");
    app.add_option("--tftp-error-at", tftpConfig.faults.errorAtBlock,
                   "TFTP: an ERROR packet instead of this block");
    app.add_option("--tftp-stall-at", tftpConfig.faults.stallAtBlock,
                   "TFTP: never send blocks from this one on (0: answer no request)");
    app.add_flag("--tftp-ignore-options", tftpConfig.faults.dataInsteadOfOack,
                 "TFTP: answer like a server that ignores options (block 1 a few times)");
    app.add_flag("--tftp-first-block-last", tftpConfig.faults.firstBlockLast,
                 "TFTP: send block 1 after all the others");
    app.add_option("--tftp-delay-ms", tftpConfig.faults.datagramDelayMs,
                   "TFTP: pause before each DATA datagram");

    app.add_flag("--no-web", noWeb, "Play no web server");
    app.add_option("--http-port", webOptions.port, "Web port of every camera")
        ->capture_default_str();
    app.add_option("--http-delay-ms", webOptions.faults.delayMs,
                   "Web: milliseconds before answering");
    app.add_flag("--http-close-before-answer", webOptions.faults.closeBeforeAnswer,
                 "Web: read the request, then close without a word");
    app.add_flag("--http-close-mid-body", webOptions.faults.closeMidBody,
                 "Web: send half the body, then close");
    app.add_flag("--http-malformed-status", webOptions.faults.malformedStatusLine,
                 "Web: a status line that is no HTTP");
    app.add_option("--http-pace", webOptions.faults.paceBytesPerSecond,
                   "Web: send generated bodies at this many bytes a second");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "qxcam-sim: " << e.what() << "\n";
        return 2;
    }
    if (!QXSim::TextToAddress(bind, discoveryOptions.bindAddress)) {
        std::cerr << "qxcam-sim: bad --bind address \"" << bind << "\"\n";
        return 2;
    }
    std::string error;
    if (!ParseGenerated(generatedFiles, tftpConfig.generated, error)) {
        std::cerr << "qxcam-sim: " << error << "\n";
        return 2;
    }
    // Every camera serves the generated files from one copy made now, up to a bound on the
    // program's memory; larger files are made as they are sent.
    constexpr std::uint64_t kKeptGeneratedBytes = std::uint64_t{1} << 30;
    std::uint64_t largest = 0;
    for (const auto& [name, size] : tftpConfig.generated) {
        largest = std::max(largest, size);
    }
    QXSim::TftpServer::KeepGeneratedBytes(std::min(largest, kKeptGeneratedBytes));
    discoveryOptions.faults.seed = seed;
    mdnsOptions.faults.seed = seed;
    tftpConfig.faults.seed = seed;

    std::vector<QXSim::SimCamera> cameras;
    for (const std::string& text : cameraTexts) {
        QXSim::SimCamera camera;
        if (!QXSim::ParseCamera(text, camera, error)) {
            std::cerr << "qxcam-sim: --camera: " << error << "\n";
            return 2;
        }
        cameras.push_back(camera);
    }
    if (!file.empty() && !QXSim::LoadCameras(file, cameras, error)) {
        std::cerr << "qxcam-sim: " << error << "\n";
        return 2;
    }
    const std::size_t given = cameras.size();
    for (QXSim::SimCamera& camera :
         QXSim::GenerateCameras(generated, 0x7F000101 + static_cast<std::uint32_t>(given), seed)) {
        cameras.push_back(std::move(camera));
    }
    if (cameras.empty()) {
        cameras = QXSim::DemoCameras();
    }
    std::string mdnsAddress = "127.0.0.1";
    if (!interfaceName.empty()) {
        // Cameras the user placed keep their addresses; the others take the interface's.
        const std::vector<std::uint32_t> addresses = InterfaceAddresses(interfaceName);
        const std::size_t placed = given;
        if (addresses.empty() || addresses.size() < cameras.size() - placed) {
            std::cerr << "qxcam-sim: interface " << interfaceName << " has " << addresses.size()
                      << " IPv4 addresses for " << cameras.size() - placed
                      << " cameras (add some with ip addr add)\n";
            return 2;
        }
        for (std::size_t i = placed; i < cameras.size(); ++i) {
            cameras[i].address = addresses[i - placed];
        }
        mdnsOptions.interfaceAddress = addresses.front();
        mdnsAddress = QXSim::AddressText(addresses.front());
        anyRequester = true;
    }
    discoveryOptions.loopbackRequestersOnly = !anyRequester;

    // Block the stop signals before any thread starts, so that only sigtimedwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QXSim::Simulator simulator(std::move(cameras));
    auto& discovery =
        simulator.Add(std::make_unique<QXSim::DiscoveryResponder>(simulator, discoveryOptions));
    if (!noMdns) {
        simulator.Add(std::make_unique<QXSim::MdnsResponder>(simulator, mdnsOptions));
    }
    // One TFTP service per address: of cameras that share one (an address conflict), the first
    // serves, as only one host can answer there.
    std::map<std::uint32_t, QXSim::TftpServer*> tftp;
    if (!noTftp) {
        for (const QXSim::SimCamera& camera : simulator.Cameras()) {
            if (tftp.count(camera.address) != 0) {
                continue;
            }
            QXSim::TftpServerConfig config = tftpConfig;
            config.address = camera.address;
            config.files = camera.files;
            tftp[camera.address] = &simulator.Add(std::make_unique<QXSim::TftpServer>(config));
        }
    }
    if (!noWeb) {
        simulator.Add(std::make_unique<QXSim::WebServer>(simulator, webOptions));
    }
    if (!simulator.Start(error)) {
        std::cerr << "qxcam-sim: " << error << "\n";
        return 2;
    }
    std::printf("qxcam-sim: %zu cameras, discovery on %s:%u\n", simulator.Cameras().size(),
                bind.c_str(), discovery.Port());
    if (!noMdns) {
        std::printf("qxcam-sim: mdns on %s:5353\n", mdnsAddress.c_str());
    }
    for (const QXSim::SimCamera& camera : simulator.Cameras()) {
        std::string services;
        if (!noTftp) {
            services += " tftp " + std::to_string(tftp[camera.address]->Port());
        }
        if (!noWeb) {
            services += " http " + std::to_string(webOptions.port);
            services += camera.user.empty() ? " open" : " user " + camera.user;
        }
        std::printf("qxcam-sim: camera %s at %s:%s\n", QXSim::MacToText(camera.mac).c_str(),
                    QXSim::AddressText(camera.address).c_str(), services.c_str());
    }
    std::fflush(stdout);

    timespec wait{static_cast<time_t>(seconds),
                  static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    sigtimedwait(&stopSignals, nullptr, seconds > 0 ? &wait : nullptr);
    simulator.Stop();
    std::printf("qxcam-sim: %llu requests, %llu answers sent, %llu dropped, %llu send failures\n",
                static_cast<unsigned long long>(discovery.Requests()),
                static_cast<unsigned long long>(discovery.AnswersSent()),
                static_cast<unsigned long long>(discovery.AnswersDropped()),
                static_cast<unsigned long long>(discovery.SendFailures()));
    return 0;
}
