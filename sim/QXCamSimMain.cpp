// qxcam-sim: plays any number of cameras on the network until it is interrupted.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>

#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"

namespace {

const char kFooter[] =
    R"(Cameras come from --camera, --file and --cameras together; with none of them the
simulator plays a demo set of five cameras (blocks 0xD0, 0xCF, 0xCE, 0xD0 and none).

A camera is written as key=value pairs separated by blanks:
  mac=02:11:22:33:44:55 ip=127.0.1.5 fw=0x0102 model=2000 ext=12 enclosure=3 features=0x00ff
  block=cf byte36=1 name=QX2000 user=admin password=secret
mac and ip are required; block is none, ce, cf or d0 (default d0); features must fit
what the block announces (none: 0, ce: 0x00ff, cf: 0x7fff, d0: 0xffff); numbers are decimal or
0x-hexadecimal. A camera file holds one camera per line in that form; blank lines and lines
starting with # are skipped.

The responder binds --bind (default any address, so that broadcasts reach it) and answers only
requesters in 127.0.0.0/8 unless --any-requester is given: use that only inside a network
namespace, which has no route out.

With --mdns the cameras also answer mDNS queries on loopback (127.0.0.1, group
224.0.0.251:5353); a line "qxcam-sim: mdns on 127.0.0.1:5353" tells when that runs.

Example:
  qxcam-sim --cameras 100 --port 10069 --drop 0.1 --seed 7
  qxnet discover --address 127.255.255.255 --port 10069)";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qxcam-sim: simulated cameras answering discovery requests", "qxcam-sim"};
    app.footer(kFooter);
    std::vector<std::string> cameraTexts;
    std::string file;
    std::size_t generated = 0;
    std::string bind = "0.0.0.0";
    QXSim::DiscoveryOptions options;
    options.port = QXSim::kDefaultDiscoveryPort;
    bool anyRequester = false;
    double seconds = 0;
    bool mdns = false;
    app.add_option("--camera", cameraTexts, "One camera as key=value pairs (repeatable)");
    app.add_option("--file", file, "A camera file, one camera per line")->check(CLI::ExistingFile);
    app.add_option("--cameras", generated, "Generate this many cameras (distinct MACs/addresses)");
    app.add_option("--port", options.port, "Discovery port")->capture_default_str();
    app.add_option("--bind", bind, "Address to bind")->capture_default_str();
    app.add_flag("--any-requester", anyRequester,
                 "Answer requesters outside 127.0.0.0/8 (network namespaces only)");
    app.add_option("--drop", options.faults.dropShare, "Share of answers not sent (0 to 1)")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--seed", options.faults.seed, "Seed of the drop choice")->capture_default_str();
    app.add_flag("--twice", options.faults.answerTwice, "Send every answer twice");
    app.add_option("--untagged", options.faults.untagged,
                   "Datagrams without the tag ahead of each request's answers");
    app.add_option("--delay", options.faults.delayMs, "Milliseconds before answering a request");
    app.add_option("--pace-burst", options.faults.pacingBurst,
                   "Pause after this many answers (with --pace-us)");
    app.add_option("--pace-us", options.faults.pacingUs, "Length of each pause in microseconds");
    app.add_flag("--mdns", mdns, "Also answer mDNS queries on loopback (127.0.0.1)");
    app.add_option("--seconds", seconds,
                   "Stop after this many seconds (default: at SIGINT/SIGTERM)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "qxcam-sim: " << e.what() << "\n";
        return 2;
    }
    if (!QXSim::TextToAddress(bind, options.bindAddress)) {
        std::cerr << "qxcam-sim: bad --bind address \"" << bind << "\"\n";
        return 2;
    }
    options.loopbackRequestersOnly = !anyRequester;

    std::vector<QXSim::SimCamera> cameras;
    for (const std::string& text : cameraTexts) {
        QXSim::SimCamera camera;
        std::string error;
        if (!QXSim::ParseCamera(text, camera, error)) {
            std::cerr << "qxcam-sim: --camera: " << error << "\n";
            return 2;
        }
        cameras.push_back(camera);
    }
    std::string error;
    if (!file.empty() && !QXSim::LoadCameras(file, cameras, error)) {
        std::cerr << "qxcam-sim: " << error << "\n";
        return 2;
    }
    for (QXSim::SimCamera& camera : QXSim::GenerateCameras(generated)) {
        cameras.push_back(std::move(camera));
    }
    if (cameras.empty()) {
        cameras = QXSim::DemoCameras();
    }

    // Block the stop signals before any thread starts, so that only sigtimedwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QXSim::Simulator simulator(std::move(cameras));
    auto& discovery =
        simulator.Add(std::make_unique<QXSim::DiscoveryResponder>(simulator, options));
    if (mdns) {
        // The default options keep the responder on 127.0.0.1, whatever --bind says: mDNS
        // answers go to the group, which must not reach a real network.
        simulator.Add(std::make_unique<QXSim::MdnsResponder>(simulator, QXSim::MdnsOptions{}));
    }
    if (!simulator.Start(error)) {
        std::cerr << "qxcam-sim: " << error << "\n";
        return 2;
    }
    std::printf("qxcam-sim: %zu cameras, discovery on %s:%u\n", simulator.Cameras().size(),
                bind.c_str(), discovery.Port());
    if (mdns) {
        std::printf("qxcam-sim: mdns on 127.0.0.1:5353\n");
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
