// Broadcast discovery against 1, 100 and 1000 simulated cameras on loopback: wall time, cameras
// found and requests sent (counted at the simulator). The reference, measured in the same run,
// is a plain socket that sends one request and reads until every answer is in; Broadcast cannot
// end before three collections of 0.8 s of silence, so "floor_ratio" compares its time with
// that reference plus 2.4 s (1.0 is the best possible).
//
// Arguments: camera count, and the client's receive buffer in KiB (0: what Broadcast asks for
// itself, 1 MiB; otherwise set with SO_RCVBUF by a host-side subclass, which Broadcast then
// raises to its own request). The reference socket uses the system's default for 0, else the
// same buffer. On loopback each queued answer costs about 1 KiB of buffer (the datagram's kernel
// overhead, not its ~100 bytes), so the default 208 KiB holds a few hundred answers of a burst;
// Linux doubles the SO_RCVBUF value asked for and caps the request at net.core.rmem_max.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <set>

#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimulator.h"

namespace {

const unsigned char kRequest[] = "qx-discover";
constexpr double kQuietFloorSeconds = 3 * 0.8;

// One simulator per camera count and pacing, started on first use and kept for the whole run.
struct Cameras {
    Cameras(std::size_t count, unsigned pacingBurst) : simulator(QXSim::GenerateCameras(count)) {
        QXSim::DiscoveryOptions options;
        options.faults.pacingBurst = pacingBurst;
        options.faults.pacingUs = pacingBurst != 0 ? 100 : 0;
        responder = &simulator.Add(std::make_unique<QXSim::DiscoveryResponder>(simulator, options));
        std::string error;
        if (!simulator.Start(error)) {
            throw std::runtime_error(error);
        }
    }
    QXSim::Simulator simulator;
    QXSim::DiscoveryResponder* responder;
};

Cameras& Get(std::size_t count, unsigned pacingBurst = 0) {
    static std::map<std::pair<std::size_t, unsigned>, std::unique_ptr<Cameras>> all;
    auto& slot = all[{count, pacingBurst}];
    if (!slot) {
        slot = std::make_unique<Cameras>(count, pacingBurst);
    }
    return *slot;
}

// Seconds one request takes to bring every answer to a plain socket with the given receive
// buffer (0: the default); received tells how many arrived.
double ReferenceRound(Cameras& cameras, int receiveBuffer, std::size_t& received) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (receiveBuffer != 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(0x7FFFFFFF);
    to.sin_port = htons(cameras.responder->Port());
    std::size_t expected = cameras.simulator.Cameras().size();
    received = 0;
    unsigned char buffer[2048];
    auto start = std::chrono::steady_clock::now();
    auto last = start;
    sendto(s, kRequest, sizeof kRequest - 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd fd{s, POLLIN, 0};
    while (received < expected && poll(&fd, 1, 800) == 1) {
        if (recv(s, buffer, sizeof buffer, 0) > 0) {
            ++received;
            last = std::chrono::steady_clock::now();
        }
    }
    close(s);
    return std::chrono::duration<double>(last - start).count();
}

// A host-side client that sizes its socket's receive buffer after Open.
class SizedClient : public QXSDK::TFTPClient {
public:
    using TFTPClient::TFTPClient;
    void SetReceiveBuffer(int bytes) {
        QX::SocketSetOption(socket, QX::SocketOption::ReceiveBuffer, bytes);
    }
};

void Run(benchmark::State& state, unsigned pacingBurst) {
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    auto count = static_cast<std::size_t>(state.range(0));
    auto receiveBuffer = static_cast<int>(state.range(1) * 1024);
    Cameras& cameras = Get(count, pacingBurst);
    if (QXSDK::TFTPClient::Startup()) {
        state.SkipWithError("socket layer");
        return;
    }
    double reference = 0;
    std::size_t referenceReceived = 0;
    double found = 0;
    double requests = 0;
    double complete = 0;
    double seconds = 0;
    for (auto _ : state) {
        std::set<QXSDK::CameraData> set;
        std::uint64_t before = cameras.responder->Requests();
        auto start = std::chrono::steady_clock::now();
        {
            SizedClient client(boost::make_shared<QX::CodeLock>(), 0, false, 3, 0,
                               cameras.responder->Port());
            client.Open(0x7FFFFFFF, cameras.responder->Port());
            if (receiveBuffer != 0) {
                client.SetReceiveBuffer(receiveBuffer);
            }
            client.Broadcast(kRequest, sizeof kRequest - 1, &set);
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        found += static_cast<double>(set.size());
        requests += static_cast<double>(cameras.responder->Requests() - before);
        complete += set.size() == count ? 1 : 0;
        state.PauseTiming();
        reference += ReferenceRound(cameras, receiveBuffer, referenceReceived);
        state.ResumeTiming();
    }
    QXSDK::TFTPClient::Cleanup();
    QX::DebugSink::Set(nullptr);
    double n = static_cast<double>(state.iterations());
    state.counters["cameras"] = static_cast<double>(count);
    state.counters["found"] = found / n;
    state.counters["all_found"] = complete / n;
    state.counters["requests"] = requests / n;
    state.counters["reference_s"] = reference / n;
    state.counters["reference_received"] = static_cast<double>(referenceReceived);
    state.counters["floor_ratio"] = (seconds / n) / (reference / n + kQuietFloorSeconds);
}

void BM_Broadcast(benchmark::State& state) {
    Run(state, 0);
}
// The same cameras answering in bursts of 50 with 100 µs between bursts, as a set of real
// cameras does not answer all in the same instant.
void BM_BroadcastPaced(benchmark::State& state) {
    Run(state, 50);
}

}  // namespace

BENCHMARK(BM_Broadcast)
    ->Args({1, 0})
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({1000, 256})
    ->Args({1000, 512})
    ->Args({1000, 1024})
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BroadcastPaced)
    ->Args({1000, 0})
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
