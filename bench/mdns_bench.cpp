// mDNS: the parse rate of a typical one-camera response (filing, joining and taking its records)
// against a plain copy of the same bytes ("ratio" = parse time over copy time), the filing time of
// the most expensive datagram we could build against the typical response's, and the wall time
// of QueryKorvaneCams for 1, 50 and 250 simulated cameras on loopback against the floor that the
// protocol's own waits set: the answer is joined only after 150 ms without traffic
// ("floor_ratio" = wall time over that quiet period).
#include <benchmark/benchmark.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXDnsMessage.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

class ParseClient : public QXSDK::MDNSClient {
public:
    ParseClient() : MDNSClient(boost::make_shared<QX::CodeLock>(), kLoopback) {}
    std::size_t ParseOne(const std::vector<std::uint8_t>& response) {
        AccumulateResponseData(response);
        std::uint32_t self = 0;
        std::uint32_t query = 0;
        TranslateResponseData(self, query);
        CameraMap cameras;
        GetResponses(GetResponseTransID(response), cameras);
        return cameras.size();
    }
};

std::vector<std::uint8_t> OneCameraResponse() {
    static const std::vector<QXSim::SimCamera> cameras = QXSim::GenerateCameras(1, 0x7F000101);
    return QXSim::MdnsResponder::BuildResponses(7, {&cameras[0]}).front();
}

double& TypicalNanos() {
    static double nanos = 0;
    return nanos;
}

double& CopyNanos() {
    static double nanos = 0;
    return nanos;
}

double NanosPerIteration(std::chrono::steady_clock::time_point start, benchmark::State& state) {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
               .count() /
           static_cast<double>(state.iterations());
}

void CopyResponse(benchmark::State& state) {
    const std::vector<std::uint8_t> response = OneCameraResponse();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::vector<std::uint8_t> copy(response);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    CopyNanos() = NanosPerIteration(start, state);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void ParseResponse(benchmark::State& state) {
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    const std::vector<std::uint8_t> response = OneCameraResponse();
    ParseClient client;
    if (client.ParseOne(response) != 1) {
        state.SkipWithError("the response did not give one camera");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.ParseOne(response));
    }
    TypicalNanos() = NanosPerIteration(start, state);
    state.counters["us_per_datagram"] = TypicalNanos() / 1000;
    if (CopyNanos() > 0) {
        state.counters["ratio"] = TypicalNanos() / CopyNanos();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    QX::DebugSink::Set(nullptr);
}

// A hostile datagram of 8192 bytes (QXTest::CompressionBomb): range(0) labels in the run that
// every owner points at, range(1) the records' type. "typical_ratio" = its filing time over the
// typical response's; "us_per_datagram" is the time that the socket thread holds the CodeLock
// for it.
void ParseHostileResponse(benchmark::State& state) {
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    const std::vector<std::uint8_t> response = QXTest::CompressionBomb(
        static_cast<std::size_t>(state.range(0)), static_cast<std::uint16_t>(state.range(1)));
    ParseClient client;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.ParseOne(response));
    }
    const double nanos = NanosPerIteration(start, state);
    state.counters["us_per_datagram"] = nanos / 1000;
    if (TypicalNanos() > 0) {
        state.counters["typical_ratio"] = nanos / TypicalNanos();
    }
    state.counters["bytes"] = static_cast<double>(response.size());
    QX::DebugSink::Set(nullptr);
}

void QueryCameras(benchmark::State& state) {
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    const auto count = static_cast<std::size_t>(state.range(0));
    QXSim::Simulator sim(QXSim::GenerateCameras(count, 0x7F000101));
    sim.Add(std::make_unique<QXSim::MdnsResponder>(sim, QXSim::MdnsOptions{}));
    std::string error;
    if (!sim.Start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    QXSDK::MDNSClient client(boost::make_shared<QX::CodeLock>(), kLoopback);
    if (!client.Open()) {
        state.SkipWithError("cannot open the mDNS client on 127.0.0.1:5353");
        return;
    }
    QXSDK::MDNSClient::CameraMap cameras;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!client.QueryKorvaneCams(false, cameras) || cameras.size() != count) {
            state.SkipWithError("not every simulated camera was found");
            break;
        }
    }
    const double floorNanos = QXSDK::MDNSClient::WAIT_FOR_READ_TIMEOUT * 1e6;
    state.counters["floor_ratio"] = NanosPerIteration(start, state) / floorNanos;
    state.counters["cameras"] = static_cast<double>(cameras.size());
    QX::DebugSink::Set(nullptr);
}

// The copy reference runs first so that the parse run can be set against it.
BENCHMARK(CopyResponse);
BENCHMARK(ParseResponse);
// The worst found: SRV records (owner and target each a name to read, join and file) whose names
// point at a run of 127 one-byte labels, which fills the 255-byte bound of a name exactly; then a
// run of 2000 labels, long enough to cost a name its whole length were the bound not kept.
BENCHMARK(ParseHostileResponse)->Args({127, 33})->Args({2000, 33});
BENCHMARK(QueryCameras)
    ->Arg(1)
    ->Arg(50)
    ->Arg(250)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
