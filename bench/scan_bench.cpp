// The camera scanner on 1, 4 and 16 interfaces: veth links from a scanning namespace into peer
// namespaces, 50 simulated cameras behind each (broadcast and mDNS). Each scan's wall time and
// the cameras found, against the reference measured in the same run: one single-interface
// broadcast discovery (TFTPClient::Broadcast on the first link). "ratio" is scan time over the
// reference's; the goal is under 1.2 at 16 interfaces (the parallel scan costing about as much
// as one interface). Needs root (network namespaces); skips otherwise.
#include <benchmark/benchmark.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/scan/QXCameraScanner.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXNetNamespace.h"

namespace {

constexpr std::size_t kLinks = 16;
constexpr std::size_t kCamerasPerLink = 50;

// The namespaces, links and simulators, made on first use and kept for the whole run.
struct Network {
    Network() {
        if (!QXTest::NetNamespace::Available()) {
            return;
        }
        scan = std::make_unique<QXTest::NetNamespace>("qxbscan");
        for (std::size_t i = 0; i < kLinks; ++i) {
            const std::string n = std::to_string(i + 1);
            peers.push_back(std::make_unique<QXTest::NetNamespace>("qxbpeer"));
            if (!QXTest::NetNamespace::Link(*scan, "qxb" + n, "10.100." + n + ".1/24",
                                            *peers.back(), "qxbp" + n, "10.100." + n + ".2/24")) {
                return;
            }
            const std::uint32_t subnet = 0x0A640000 | static_cast<std::uint32_t>((i + 1) << 8);
            auto cameras = QXSim::GenerateCameras(kCamerasPerLink, subnet | 10,
                                                  static_cast<std::uint32_t>(i + 1));
            for (std::size_t c = 0; c < cameras.size(); ++c) {
                // The mDNS text's prefix, so that both methods name a camera alike.
                cameras[c].mac = 0x0E1F2A000000ull | ((i + 1) << 8) | c;
            }
            sims.push_back(std::make_unique<QXSim::Simulator>(cameras));
            QXSim::Simulator& sim = *sims.back();
            QXSim::DiscoveryOptions discovery;
            discovery.port = QXSDK::CameraScanner::DefaultPort;
            discovery.loopbackRequestersOnly = false;  // inside the namespace only
            sim.Add(std::make_unique<QXSim::DiscoveryResponder>(sim, discovery));
            QXSim::MdnsOptions mdns;
            mdns.interfaceAddress = subnet | 2;
            sim.Add(std::make_unique<QXSim::MdnsResponder>(sim, mdns));
            bool started = false;
            peers.back()->Run([&] {
                std::string error;
                started = sim.Start(error);
            });
            if (!started) {
                return;
            }
        }
        ready = true;
    }
    std::unique_ptr<QXTest::NetNamespace> scan;
    std::vector<std::unique_ptr<QXTest::NetNamespace>> peers;
    std::vector<std::unique_ptr<QXSim::Simulator>> sims;
    bool ready = false;
};

Network& Get() {
    static Network network;
    return network;
}

double g_referenceSeconds = 0;

void BM_SingleInterfaceBroadcast(benchmark::State& state) {
    Network& network = Get();
    if (!network.ready) {
        state.SkipWithError("network namespaces need root and the ip tool");
        return;
    }
    std::size_t found = 0;
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        network.scan->Run([&] {
            std::set<QXSDK::CameraData> cameras;
            QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0x0A640101, false, 1, 0,
                                     QXSDK::CameraScanner::DefaultPort);
            client.Open(0x0A6401FF, QXSDK::CameraScanner::DefaultPort);
            const unsigned char request[] = "qx-discover";
            client.Broadcast(request, sizeof request - 1, &cameras);
            found = cameras.size();
        });
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    g_referenceSeconds = total / static_cast<double>(state.iterations());
    state.counters["cameras"] = static_cast<double>(found);
}

void BM_Scan(benchmark::State& state) {
    Network& network = Get();
    if (!network.ready) {
        state.SkipWithError("network namespaces need root and the ip tool");
        return;
    }
    const std::size_t links = static_cast<std::size_t>(state.range(0));
    std::vector<std::wstring> names;
    for (std::size_t i = 0; i < links; ++i) {
        const std::string name = "qxb" + std::to_string(i + 1);
        names.emplace_back(name.begin(), name.end());
    }
    std::size_t found = 0;
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        network.scan->Run([&] {
            QXSDK::CameraScanner scanner(boost::make_shared<QX::CodeLock>());
            scanner.SetInterfaceNames(names);
            std::vector<QXSDK::ScannedCamera> cameras;
            scanner.Scan(cameras);
            found = cameras.size();
        });
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    state.counters["cameras"] = static_cast<double>(found);
    state.counters["expected"] = static_cast<double>(links * kCamerasPerLink);
    if (g_referenceSeconds > 0) {
        state.counters["ratio"] =
            total / static_cast<double>(state.iterations()) / g_referenceSeconds;
    }
}

}  // namespace

BENCHMARK(BM_SingleInterfaceBroadcast)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan)->Arg(1)->Arg(4)->Arg(16)->UseManualTime()->Iterations(3)->Unit(
    benchmark::kMillisecond);

int main(int argc, char** argv) {
    QX::DebugSink::Set(&QX::DebugSink::Silent());  // the library's trace is not measured
    benchmark::Initialize(&argc, argv);
    QXSDK::TFTPClient::Startup();
    benchmark::RunSpecifiedBenchmarks();
    QXSDK::TFTPClient::Cleanup();
    benchmark::Shutdown();
    return 0;
}
