// CMemoryStream write-then-read throughput against plain memcpy of the same bytes in pieces of
// the same size. The "ratio" counter of each stream run is its time over memcpy's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "qxnet/common/QXMemoryStream.h"

namespace {

constexpr std::size_t kTotal = 8 * 1024 * 1024;

std::map<std::int64_t, double>& MemcpyNanos() {
    static std::map<std::int64_t, double> nanos;
    return nanos;
}

void Memcpy(benchmark::State& state) {
    auto piece = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> source(piece, 0x5A);
    std::vector<std::uint8_t> store(kTotal);
    std::vector<std::uint8_t> sink(piece);
    double total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at + piece <= kTotal; at += piece) {
            std::memcpy(store.data() + at, source.data(), piece);
        }
        for (std::size_t at = 0; at + piece <= kTotal; at += piece) {
            std::memcpy(sink.data(), store.data() + at, piece);
            benchmark::DoNotOptimize(sink.data());
        }
        total += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                     .count();
        benchmark::ClobberMemory();
    }
    MemcpyNanos()[state.range(0)] = total / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kTotal / piece * piece));
}

void Stream(benchmark::State& state) {
    auto piece = static_cast<std::uint32_t>(state.range(0));
    std::vector<std::uint8_t> source(piece, 0x5A);
    std::vector<std::uint8_t> sink(piece);
    QX::CMemoryStream stream;
    double total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at + piece <= kTotal; at += piece) {
            stream.Write(source.data(), piece);
        }
        while (stream.Read(sink.data(), piece) > 0) {
            benchmark::DoNotOptimize(sink.data());
        }
        total += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                     .count();
    }
    double mine = total / static_cast<double>(state.iterations());
    auto reference = MemcpyNanos().find(state.range(0));
    if (reference != MemcpyNanos().end() && reference->second > 0) {
        state.counters["ratio"] = mine / reference->second;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kTotal / piece * piece));
}

// The memcpy reference of each piece size runs first, so the stream run can be set against it.
BENCHMARK(Memcpy)->Arg(1454)->Arg(2908)->Arg(32768)->Unit(benchmark::kMillisecond);
BENCHMARK(Stream)->Arg(1454)->Arg(2908)->Arg(32768)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
