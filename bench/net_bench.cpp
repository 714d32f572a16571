// Host-network benchmarks inside network namespaces that this program makes (root needed):
// PingICMP against iputils' ping to the same peer, and the neighbour-table lookup against
// `ip neigh show` over the same 10000 permanent entries. Each library figure is reported as a
// ratio to its reference measured in the same run (medians of the repetitions).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "qxnet/net/QXNetTable.h"
#include "qxnet/net/QXPing.h"

extern char** environ;

namespace {

const std::string kHost = "qxbench-host-" + std::to_string(getpid());
const std::string kPeer = "qxbench-peer-" + std::to_string(getpid());
constexpr std::uint32_t kPeerAddress = 0x0A630002;     // 10.99.0.2, host order
constexpr std::uint64_t kLastMac = 0x02000000270Full;  // the 10000th entry's MAC
constexpr int kNeighbours = 10000;

int Shell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a program (already inside the host namespace) with its output discarded; its status.
int Spawn(const char* const argv[]) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ) ==
        0) {
        waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    return status;
}

bool MakeNamespaces() {
    if (Shell("ip netns add " + kHost) != 0 || Shell("ip netns add " + kPeer) != 0) {
        return false;
    }
    std::string in = "ip netns exec " + kHost + " ";
    if (Shell(in + "ip link set lo up") != 0 ||
        Shell("ip link add qxb0 netns " + kHost + " type veth peer name qxb1 netns " + kPeer) !=
            0 ||
        Shell(in + "ip addr add 10.99.0.1/16 dev qxb0") != 0 ||
        Shell(in + "ip link set qxb0 up") != 0 ||
        Shell("ip netns exec " + kPeer + " ip addr add 10.99.0.2/16 dev qxb1") != 0 ||
        Shell("ip netns exec " + kPeer + " ip link set qxb1 up") != 0) {
        return false;
    }
    // 10000 permanent neighbours, 10.99.1.0 upwards, MACs 02:00:00:00:xx:xx.
    std::string batch = "/tmp/" + kHost + ".batch";
    {
        std::ofstream out(batch);
        for (int i = 0; i < kNeighbours; ++i) {
            int n = 256 + i;
            char line[128];
            std::snprintf(line, sizeof line,
                          "neigh add 10.99.%d.%d lladdr 02:00:00:00:%02x:%02x dev qxb0 nud "
                          "permanent\n",
                          n / 256, n % 256, (i >> 8) & 0xFF, i & 0xFF);
            out << line;
        }
    }
    int result = Shell(in + "ip -batch " + batch);
    std::remove(batch.c_str());
    return result == 0;
}

void DeleteNamespaces() {
    Shell("ip netns delete " + kHost + " 2>/dev/null");
    Shell("ip netns delete " + kPeer + " 2>/dev/null");
}

void BM_PingICMP(benchmark::State& state) {
    for (auto _ : state) {
        if (QX::PingICMP(kPeerAddress, 1000) != 0) {
            state.SkipWithError("the peer did not answer");
            break;
        }
    }
}

void BM_IputilsPing(benchmark::State& state) {
    const char* const argv[] = {"ping", "-c", "1", "-W", "1", "-q", "10.99.0.2", nullptr};
    for (auto _ : state) {
        if (Spawn(argv) != 0) {
            state.SkipWithError("ping failed");
            break;
        }
    }
}

void BM_NeighbourLookup(benchmark::State& state) {
    for (auto _ : state) {
        std::unique_ptr<QX::CNetTable> table(QX::CNetTable::GetLocalNetAddresses());
        if (!table || table->GetIPAddressesOfMac(kLastMac).size() != 1) {
            state.SkipWithError("the neighbour table is not as made");
            break;
        }
    }
}

void BM_IpNeighShow(benchmark::State& state) {
    const char* const argv[] = {"ip", "neigh", "show", nullptr};
    for (auto _ : state) {
        if (Spawn(argv) != 0) {
            state.SkipWithError("ip neigh show failed");
            break;
        }
    }
}

BENCHMARK(BM_PingICMP)->Iterations(50)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_IputilsPing)->Iterations(50)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_NeighbourLookup)->Iterations(10)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_IpNeighShow)->Iterations(10)->Repetitions(9)->ReportAggregatesOnly(true);

// Keeps the median of each benchmark for the ratios printed at the end.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.aggregate_name == "median") {
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
    if (geteuid() != 0) {
        std::fprintf(stderr, "net_bench: needs root to make network namespaces\n");
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    int original = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original < 0 || !MakeNamespaces()) {
        std::fprintf(stderr, "net_bench: cannot set up the namespaces\n");
        DeleteNamespaces();
        return 2;
    }
    // The whole program enters the host namespace; spawned tools inherit it.
    int host = open(("/var/run/netns/" + kHost).c_str(), O_RDONLY | O_CLOEXEC);
    if (host < 0 || setns(host, CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "net_bench: cannot enter the namespace\n");
        DeleteNamespaces();
        return 2;
    }
    close(host);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    setns(original, CLONE_NEWNET);
    close(original);
    DeleteNamespaces();

    auto ratio = [&](const char* library, const char* reference) {
        auto a = reporter.medians.find(library);
        auto b = reporter.medians.find(reference);
        if (a != reporter.medians.end() && b != reporter.medians.end() && b->second > 0) {
            std::printf("%-20s / %-16s = %.3f (median %.1f us against %.1f us)\n", library,
                        reference, a->second / b->second, a->second / 1000.0, b->second / 1000.0);
        }
    };
    ratio("BM_PingICMP", "BM_IputilsPing");
    ratio("BM_NeighbourLookup", "BM_IpNeighShow");
    return 0;
}
