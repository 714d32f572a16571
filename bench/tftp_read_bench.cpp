// Read throughput of TFTPClient on loopback, as ratios against references measured in the same
// run:
//   ref/<MB>/<block>     the reference reader: plain sockets doing only what the exchange needs
//                        (the floor for one client), from the simulator
//   sim/<MB>/<block>     Read from the simulator's TFTP service (several packets a datagram)
//   simmem/<MB>/<block>  the same into a CMemoryStream, as applications read
//   udp/<MB>/<block>     the plain loopback UDP rate: datagrams of the simulator's size for that
//                        block size, sent and received by one socket pair, the same total bytes
//   tftpd/<MB>/<block>   Read from tftpd-hpa (one packet a datagram, lock-step)
//   curl/<MB>/<block>    curl's TFTP client from tftpd-hpa with the same block size
// The tftpd and curl rows need root and the packages; they are left out otherwise. After the
// benchmarks a table gives each read's rate against the UDP reference and against curl, and the
// peak memory of a 64 MB read (in a child process) against the file size.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/common/QXMemoryStream.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimTftpServer.h"
#include "tests/support/QXTftpdProcess.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint64_t kMB = 1024 * 1024;
const int kSizesMB[] = {1, 16, 64};

class CountingStream : public QXSDK::IStream {
public:
    std::int32_t Write(const void*, std::uint32_t size) override {
        bytes += size;
        return static_cast<std::int32_t>(size);
    }
    std::int32_t Read(void*, std::uint32_t) override { return 0; }
    std::uint32_t GetSize() override { return static_cast<std::uint32_t>(bytes); }
    std::uint64_t bytes = 0;
};

// Names are formatted rather than added up: gcc 12 at -O3 warns falsely on short string sums.
std::string Text(const char* format, int a, int b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

std::string FileName(int mb) {
    return Text("f%d", mb);
}

// The shared peers, started once.
struct Peers {
    std::unique_ptr<QXSim::TftpServer> sim;
    std::unique_ptr<QXTest::TftpdProcess> tftpd;
    bool curl = false;

    static Peers& Get() {
        static Peers peers;
        return peers;
    }

private:
    Peers() {
        QXSim::TftpServerConfig config;
        for (int mb : kSizesMB) {
            // In memory, so that the simulator's own work is a copy per packet.
            config.files[FileName(mb)] =
                QXSim::TftpServer::GeneratedContent(static_cast<std::uint64_t>(mb) * kMB);
        }
        sim = std::make_unique<QXSim::TftpServer>(config);
        std::string error;
        if (!sim->Start(error)) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            std::exit(2);
        }
        if (QXTest::TftpdProcess::Available()) {
            tftpd = std::make_unique<QXTest::TftpdProcess>();
            if (tftpd->Running()) {
                for (int mb : kSizesMB) {
                    tftpd->AddFile(FileName(mb), QXSim::TftpServer::GeneratedContent(
                                                     static_cast<std::uint64_t>(mb) * kMB));
                }
            } else {
                tftpd.reset();
            }
        }
        curl = tftpd && ::access("/usr/bin/curl", X_OK) == 0;
    }
};

// One Read of the file into stream; false when it failed.
bool ReadOnce(int port, int mb, bool useDouble, QXSDK::IStream& stream) {
    QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, useDouble, 8, 0, port);
    client.Open(kLoopback, port);
    unsigned char tail[2904];
    std::uint32_t length = sizeof tail;
    const int result = client.Read(FileName(mb).c_str(), &stream, tail, &length, nullptr);
    return result == 0 && stream.GetSize() + length == static_cast<std::uint64_t>(mb) * kMB;
}

bool ReadOnce(int port, int mb, bool useDouble) {
    CountingStream stream;
    return ReadOnce(port, mb, useDouble, stream);
}

// Reads the file of state's size and block size from port once per iteration, into a memory
// stream (what applications do) or into a stream that only counts the bytes.
void ReadRuns(benchmark::State& state, int port, bool intoMemory) {
    const int mb = static_cast<int>(state.range(0));
    const bool useDouble = state.range(1) == 2904;
    for (auto _ : state) {
        QX::CMemoryStream memory;
        CountingStream counting;
        const bool ok = ReadOnce(port, mb, useDouble,
                                 intoMemory ? static_cast<QXSDK::IStream&>(memory) : counting);
        if (!ok) {
            state.SkipWithError("read failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(mb * kMB));
}

void BM_Sim(benchmark::State& state) {
    ReadRuns(state, Peers::Get().sim->Port(), false);
}

void BM_SimMemory(benchmark::State& state) {
    ReadRuns(state, Peers::Get().sim->Port(), true);
}

void BM_Tftpd(benchmark::State& state) {
    if (!Peers::Get().tftpd) {
        state.SkipWithError("no tftpd-hpa (needs root and the package)");
        return;
    }
    ReadRuns(state, Peers::Get().tftpd->Port(), false);
}

void BM_Curl(benchmark::State& state) {
    if (!Peers::Get().curl) {
        state.SkipWithError("no curl or tftpd-hpa");
        return;
    }
    const int mb = static_cast<int>(state.range(0));
    const std::string url = Text("tftp://127.0.0.1:%d/f%d", Peers::Get().tftpd->Port(), mb);
    const std::string block = Text("%d", static_cast<int>(state.range(1)));
    for (auto _ : state) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::execl("/usr/bin/curl", "curl", "-s", "--tftp-blksize", block.c_str(), "-o",
                    "/dev/null", url.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("curl failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(mb * kMB));
}

// The reference reader: read request with the block-size option, the option acknowledgement,
// ACK 0, then per datagram one receive of up to 8192 bytes cut into pieces of block + 4, an ACK
// datagram for every DATA piece, and each new payload copied once into a preallocated buffer at
// its block's place; done when the short block has come and no block is missing.
bool ReferenceRead(std::uint32_t address, int port, const std::string& name, std::uint64_t size,
                   int block) {
    const std::uint64_t blocks = size / static_cast<std::uint64_t>(block) + 1;
    static std::vector<unsigned char> file;
    file.resize(size);
    std::vector<bool> have(blocks + 1, false);
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    char request[160];
    int n = std::snprintf(request, sizeof request, "..%s%cnetascii%cblksize%c%d%c", name.c_str(), 0,
                          0, 0, block, 0);
    request[0] = 0;
    request[1] = 1;
    ::sendto(s, request, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to);
    unsigned char datagram[8192];
    unsigned char ack[4] = {0, 4, 0, 0};
    std::uint64_t got = 0;
    std::uint64_t last = 0;  // the short block's number once it has come
    std::uint64_t highest = 0;
    bool ok = false;
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) {
            break;
        }
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        const ssize_t size_ =
            ::recvfrom(s, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        if (size_ < 4) {
            continue;
        }
        if (datagram[1] == 6) {  // OACK: answer with ACK 0 on the transfer port
            to.sin_port = from.sin_port;
            ack[2] = ack[3] = 0;
            ::sendto(s, ack, 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            continue;
        }
        for (ssize_t at = 0; at < size_; at += block + 4) {
            const std::size_t piece = static_cast<std::size_t>(
                std::min<ssize_t>(size_ - at, static_cast<ssize_t>(block) + 4));
            const unsigned char* packet = datagram + at;
            if (piece < 4 || packet[1] != 3) {
                continue;
            }
            ack[2] = packet[2];
            ack[3] = packet[3];
            ::sendto(s, ack, 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            // The wire number wraps at 65536: placed next to the highest block seen.
            const std::uint64_t wire = (static_cast<std::uint64_t>(packet[2]) << 8) | packet[3];
            std::uint64_t number = (highest & ~0xFFFFull) | wire;
            if (number + 0x8000 < highest) {
                number += 0x10000;
            } else if (number > highest + 0x8000 && number >= 0x10000) {
                number -= 0x10000;
            }
            if (number == 0 || number > blocks || have[number]) {
                continue;
            }
            have[number] = true;
            highest = std::max(highest, number);
            const std::size_t payload = piece - 4;
            std::memcpy(file.data() + (number - 1) * static_cast<std::uint64_t>(block), packet + 4,
                        payload);
            got += 1;
            if (payload < static_cast<std::size_t>(block)) {
                last = number;
            }
        }
        if (last != 0 && got == last) {
            ok = true;
            break;
        }
    }
    ::close(s);
    return ok;
}

void BM_Reference(benchmark::State& state) {
    const int mb = static_cast<int>(state.range(0));
    const int port = Peers::Get().sim->Port();
    for (auto _ : state) {
        if (!ReferenceRead(kLoopback, port, FileName(mb), static_cast<std::uint64_t>(mb) * kMB,
                           static_cast<int>(state.range(1)))) {
            state.SkipWithError("reference read failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(mb * kMB));
}

// The plain loopback rate for datagrams as the simulator packs them: as many full packets as fit
// 8192 bytes. Bursts of 32 datagrams are sent, then received, on one socket pair.
void BM_Udp(benchmark::State& state) {
    const std::uint64_t total = static_cast<std::uint64_t>(state.range(0)) * kMB;
    const int packet = static_cast<int>(state.range(1)) + 4;
    const int datagram = (8192 / packet) * packet;
    int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    int size = 4 << 20;
    ::setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    ::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<char> buffer(8192, 'u');
    for (auto _ : state) {
        std::uint64_t received = 0;
        while (received < total) {
            int burst = 0;
            for (; burst < 32; ++burst) {
                ::sendto(tx, buffer.data(), static_cast<std::size_t>(datagram), 0,
                         reinterpret_cast<sockaddr*>(&a), sizeof a);
            }
            for (int i = 0; i < burst; ++i) {
                pollfd p{rx, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) {
                    break;
                }
                sockaddr_in from{};
                socklen_t fl = sizeof from;
                received += static_cast<std::uint64_t>(::recvfrom(
                    rx, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl));
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(total));
    ::close(rx);
    ::close(tx);
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (int mb : kSizesMB) {
        for (int block : {1450, 2904}) {
            b->Args({mb, block});
        }
    }
    // Medians of repetitions, interleaved with the other rows when bench.sh asks for it, so that
    // a burst of load on the machine touches one round of each row rather than a whole row.
    b->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(5)->ReportAggregatesOnly(true);
    b->UseRealTime();
}

BENCHMARK(BM_Udp)->Apply(Sizes);
BENCHMARK(BM_Reference)->Apply(Sizes);
BENCHMARK(BM_Sim)->Apply(Sizes);
BENCHMARK(BM_SimMemory)->Apply(Sizes);
BENCHMARK(BM_Tftpd)->Apply(Sizes);
BENCHMARK(BM_Curl)->Apply(Sizes);

// Keeps each benchmark's median rate for the ratio table.
class RateReporter : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal, so that scripts read the lines as printed.
    RateReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_None) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (!run.error_occurred && run.aggregate_name == "median" && it != run.counters.end()) {
                rates[run.run_name.function_name + "/" + run.run_name.args] =
                    it->second.value / 1e6;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;  // MB/s by benchmark and arguments
};

// Peak resident memory added by one 64 MB read, measured in a child process.
long PeakKiB(int port, bool useDouble) {
    int pipes[2];
    if (::pipe(pipes) != 0) {
        return -1;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        rusage before{};
        ::getrusage(RUSAGE_SELF, &before);
        {
            QX::CMemoryStream stream;
            ReadOnce(port, 64, useDouble, stream);
            rusage after{};
            ::getrusage(RUSAGE_SELF, &after);
            long grown = after.ru_maxrss - before.ru_maxrss;
            ssize_t ignored = ::write(pipes[1], &grown, sizeof grown);
            (void)ignored;
        }
        ::_exit(0);
    }
    long grown = -1;
    ::close(pipes[1]);
    if (::read(pipes[0], &grown, sizeof grown) != sizeof grown) {
        grown = -1;
    }
    ::close(pipes[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return grown;
}

std::string Key(const char* what, int mb, int block) {
    return what + Text("/%d/%d", mb, block);
}

}  // namespace

int main(int argc, char** argv) {
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    // --reference-only=ADDRESS:PORT:NAME:BYTES:BLOCK: three reference reads from a simulated
    // camera that runs as its own program, each printed as REFERENCE<tab>seconds.
    constexpr char kReferenceOnly[] = "--reference-only=";
    if (argc == 2 && std::strncmp(argv[1], kReferenceOnly, sizeof kReferenceOnly - 1) == 0) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        int port = 0;
        char name[100] = {};
        unsigned long long bytes = 0;
        int block = 0;
        if (std::sscanf(argv[1] + sizeof kReferenceOnly - 1, "%u.%u.%u.%u:%d:%99[^:]:%llu:%d", &a,
                        &b, &c, &d, &port, name, &bytes, &block) != 8) {
            return 2;
        }
        const std::uint32_t address = a << 24 | b << 16 | c << 8 | d;
        for (int i = 0; i < 3; ++i) {
            const auto start = std::chrono::steady_clock::now();
            if (!ReferenceRead(address, port, name, bytes, block)) {
                return 1;
            }
            std::printf(
                "REFERENCE\t%.3f\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    Peers::Get();
    // Before the benchmarks, whose freed heap a forked child would reuse without growing.
    double peakMB[2];
    for (int i = 0; i < 2; ++i) {
        peakMB[i] = static_cast<double>(PeakKiB(Peers::Get().sim->Port(), i == 1)) * 1024 / 1e6;
    }
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto rate = [&](const std::string& key) {
        auto it = reporter.rates.find(key);
        return it == reporter.rates.end() ? 0.0 : it->second;
    };
    // One line per measure for scripts/bench.sh: ROW, what, ours, reference, ratio, goal (tabs).
    auto row = [](const std::string& what, double ours, double reference, const char* unit,
                  double ratio, const char* goal) {
        if (ours <= 0 || reference <= 0) {
            std::printf("ROW\t%s\tn/a\tn/a\tn/a\t%s\n", what.c_str(), goal);
            return;
        }
        std::printf("ROW\t%s\t%.3f %s\t%.3f %s\t%.2f\t%s\n", what.c_str(), ours, unit, reference,
                    unit, ratio, goal);
    };
    for (int mb : kSizesMB) {
        const double megabytes = static_cast<double>(mb * kMB) / 1e6;
        auto seconds = [&](double mbPerSecond) {
            return mbPerSecond > 0 ? megabytes / mbPerSecond : 0.0;
        };
        for (int block : {1450, 2904}) {
            const double reference = rate(Key("BM_Reference", mb, block));
            const double curl = rate(Key("BM_Curl", mb, block));
            const struct {
                const char* what;
                const char* key;
                double reference;
                const char* goal;
            } reads[] = {
                {"Read %d MB from the simulator, blocks %d (vs reference reader)", "BM_Sim",
                 reference, ">= 0.8"},
                {"Read %d MB into a CMemoryStream, blocks %d (vs reference reader)", "BM_SimMemory",
                 reference, ">= 0.8"},
                {"Read %d MB from tftpd-hpa, blocks %d (vs curl --tftp-blksize)", "BM_Tftpd", curl,
                 ">= 1.0"},
            };
            for (const auto& read : reads) {
                const double ours = rate(Key(read.key, mb, block));
                if (ours > 0) {
                    row(Text(read.what, mb, block), seconds(ours), seconds(read.reference), "s",
                        read.reference > 0 ? ours / read.reference : 0, read.goal);
                }
            }
        }
    }
    const int port = Peers::Get().sim->Port();
    // Where a read's time goes besides the client: repeats by the simulator after losses.
    for (bool useDouble : {false, true}) {
        const QXSim::TftpStats before = Peers::Get().sim->Stats();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = ReadOnce(port, 64, useDouble);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // The transfer's counters are final once the service has seen its last acknowledgement.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const QXSim::TftpStats after = Peers::Get().sim->Stats();
        const double blocks = static_cast<double>(64 * kMB / (useDouble ? 2904 : 1450) + 1);
        std::printf(
            "64 MB, blocks of %d: %s in %.2f s; DATA packets sent %.0f for %.0f blocks "
            "(%.1f%% repeats), acknowledgements %.0f\n",
            useDouble ? 2904 : 1450, ok ? "read" : "FAILED", seconds,
            static_cast<double>(after.dataPacketsSent - before.dataPacketsSent), blocks,
            100.0 * (static_cast<double>(after.dataPacketsSent - before.dataPacketsSent) - blocks) /
                blocks,
            static_cast<double>(after.acksReceived - before.acksReceived));
    }
    for (int i = 0; i < 2; ++i) {
        const double file = static_cast<double>(64 * kMB) / 1e6;
        row(Text("Peak memory, 64 MB read into a CMemoryStream, blocks %d", i == 0 ? 1450 : 2904),
            peakMB[i], file, "MB", peakMB[i] / file, "<= 1.15");
    }
    benchmark::Shutdown();
    Peers::Get().tftpd.reset();
    Peers::Get().sim->Stop();
    return 0;
}
