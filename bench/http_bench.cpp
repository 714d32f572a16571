// HTTP client throughput and latency against curl, measured in the same run against the same
// servers: the simulated web server and lighttpd, both inside a network namespace made here.
//   bench_http [megabytes] [small-requests] [rounds]      (defaults 256, 200 and 5; needs root)
// Reports the body throughput of HTTPClient into its memory stream as a ratio of curl's
// (`curl -o` into a file on tmpfs) and that of `qxnet http -o` into a file on tmpfs against curl's
// run the same way (each a whole process, timed from outside), each the median of interleaved
// rounds; the process's peak memory against the body size; and the median time of a small
// authenticated request (ping included) against curl's median.

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qxnet/common/QXScopedLock.h"
#include "qxnet/http/QXHTTPClient.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "sim/QXSimWebServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXNetNamespace.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kCamera = 0x7F000105;  // 127.0.1.5: the simulated camera
constexpr std::uint32_t kLighttpd = 0x7F000201;

class Client : public QXSDK::HTTPClient {
public:
    explicit Client(std::uint32_t address)
        : HTTPClient(address, address, boost::shared_ptr<QX::CodeLock>(new QX::CodeLock)) {}
    bool Execute() override { return false; }
    QX::CMemoryStream& Stream() { return m_responseStream; }
};

// Peak resident memory of this process so far, in kB.
long PeakKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Seconds curl reports for each of count fetches of url, in one curl run inside the namespace.
std::vector<double> CurlTimes(const QXTest::NetNamespace& ns, const std::string& url, int count,
                              const std::string& credentials) {
    std::string command = "curl -s --noproxy \"*\" -w \"%{time_total}\\n\"" +
                          (credentials.empty() ? std::string() : " -u " + credentials);
    // Into a file on tmpfs, so that curl, like the client, puts every byte in memory.
    for (int i = 0; i < count; ++i) {
        command += " -o /dev/shm/qxbench-http-body " + url;
    }
    command += "; rm -f /dev/shm/qxbench-http-body";
    std::istringstream lines(ns.Capture(command));
    std::vector<double> times;
    double t;
    while (lines >> t) {
        times.push_back(t);
    }
    return times;
}

// Seconds of one fetch of /path of address into the client's stream (with the simulated
// camera's credentials, which lighttpd ignores), which is emptied afterwards; -1 when it failed.
double ClientSeconds(const QXTest::NetNamespace& ns, Client& client, const std::wstring& path,
                     std::uint64_t size) {
    double seconds = -1;
    ns.Run([&] {
        auto start = Clock::now();
        bool ok = client.RequestImpl(path.c_str(), false, L"admin", L"pw");
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        client.Close();
        if (!ok || client.Stream().GetSize() != size) {
            std::fprintf(stderr, "fetch of %ls failed (%u bytes)\n", path.c_str(),
                         client.Stream().GetSize());
        } else {
            seconds = elapsed;
        }
        client.Stream().Clear();
        // The freed chunks go back to the system, so that every fetch puts its body in fresh
        // pages, as every curl run does in its new file.
        malloc_trim(0);
    });
    return seconds;
}

// Seconds of one run of command (which writes the body to file, a file on tmpfs) inside the
// namespace, timed as a whole process from outside; -1 when it failed or the file did not come
// whole.
double ProcessSeconds(const QXTest::NetNamespace& ns, const std::string& command,
                      const std::string& file, std::uint64_t size) {
    auto start = Clock::now();
    int rc = ns.Exec(command + " >/dev/null 2>&1");
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::ifstream written(file, std::ios::binary | std::ios::ate);
    bool whole = rc == 0 && written && static_cast<std::uint64_t>(written.tellg()) == size;
    QXTest::Shell("rm -f " + file);
    return whole ? seconds : -1;
}

// MB/s of the median of times, 0 when any run failed (or none ran).
double MedianRate(const std::vector<double>& times, std::uint64_t size) {
    bool failed = times.empty() || *std::min_element(times.begin(), times.end()) <= 0;
    return failed ? 0 : static_cast<double>(size) / 1e6 / Median(times);
}

// Each measure is taken once a round, the rounds interleaving both sides of every comparison,
// and reported as the median over the rounds, so that a burst of load on the machine touches
// both sides alike and one slow run does not decide a row. The peak memory is a high-water mark
// of the process, so only the first comparison shows it.
void CompareThroughput(const char* server, const QXTest::NetNamespace& ns, std::uint32_t address,
                       const std::wstring& path, const std::string& url, std::uint64_t size,
                       bool showMemory, const std::string& qxnet, int rounds) {
    const std::string host = url.substr(7, url.find('/', 7) - 7);
    const std::string file = "/dev/shm/qxbench-http-cli";
    const bool haveQxnet = access(qxnet.c_str(), X_OK) == 0;
    // The program is set against curl run the same way, process start and all.
    const std::string cliCommand = qxnet + " http " + host + " " + url.substr(7 + host.size()) +
                                   " --user admin --password pw -o " + file;
    const std::string curlCommand = "curl -s --noproxy \"*\" -u admin:pw -o " + file + " " + url;
    std::vector<double> ours;
    std::vector<double> curl;
    std::vector<double> cli;
    std::vector<double> curlProcess;
    long before = PeakKb();
    Client client(address);
    for (int round = 0; round < rounds; ++round) {
        ours.push_back(ClientSeconds(ns, client, path, size));
        std::vector<double> times = CurlTimes(ns, url, 1, "admin:pw");
        curl.push_back(times.size() == 1 ? times[0] : -1);
        cli.push_back(haveQxnet ? ProcessSeconds(ns, cliCommand, file, size) : -1);
        curlProcess.push_back(ProcessSeconds(ns, curlCommand, file, size));
    }
    long after = PeakKb();
    const double oursRate = MedianRate(ours, size);
    const double curlRate = MedianRate(curl, size);
    std::printf("%-10s body %6.0f MB: HTTPClient %8.1f MB/s, curl %8.1f MB/s, ratio %.2f\n", server,
                static_cast<double>(size) / 1e6, oursRate, curlRate,
                curlRate > 0 ? oursRate / curlRate : 0.0);
    const double cliRate = MedianRate(cli, size);
    const double curlProcessRate = MedianRate(curlProcess, size);
    std::printf("%-10s body %6.0f MB: qxnet http -o %8.1f MB/s, curl %8.1f MB/s, ratio %.2f\n",
                server, static_cast<double>(size) / 1e6, cliRate, curlProcessRate,
                curlProcessRate > 0 ? cliRate / curlProcessRate : 0.0);
    if (!showMemory) {
        return;
    }
    std::printf("%-10s peak memory %ld kB before, %ld kB after: growth %.2f x body size\n", server,
                before, after,
                static_cast<double>(after - before) * 1024 / static_cast<double>(size));
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    int small = argc > 2 ? std::atoi(argv[2]) : 200;
    int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    std::uint64_t size = megabytes * 1024 * 1024;
    if (!QXTest::NetNamespace::Available()) {
        std::fprintf(stderr, "bench_http needs root and the ip tool (network namespaces)\n");
        return 2;
    }
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    // The qxnet program of the same build tree, for its row.
    char self[4096] = {};
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string tree = length > 0 ? std::string(self, static_cast<std::size_t>(length)) : "";
    tree = tree.substr(0, tree.rfind("/bench/"));
    const std::string qxnet = tree + "/tools/qxnet/qxnet";
    QXTest::NetNamespace ns("qxbench");

    QXSim::SimCamera camera;
    camera.address = kCamera;
    camera.user = "admin";
    camera.password = "pw";
    QXSim::Simulator simulator({camera});
    simulator.Add(std::make_unique<QXSim::WebServer>(simulator, QXSim::WebOptions{}));
    std::string error;
    bool started = false;
    ns.Run([&] { started = simulator.Start(error); });
    if (!started) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 2;
    }

    // lighttpd serves the same bytes from a file; it runs as www-data, so all is world-readable.
    char dirTemplate[] = "/tmp/qxbench-http-XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    QXTest::Shell("mkdir -p " + dir + "/www && chmod 755 " + dir + " " + dir + "/www");
    {
        std::ofstream body(dir + "/www/body.bin", std::ios::binary);
        std::vector<char> block(1 << 20);
        for (std::uint64_t offset = 0; offset < size; offset += block.size()) {
            for (std::size_t i = 0; i < block.size(); ++i) {
                block[i] = static_cast<char>(QXSim::WebServer::BodyByte(offset + i));
            }
            body.write(block.data(), static_cast<std::streamsize>(
                                         std::min<std::uint64_t>(block.size(), size - offset)));
        }
    }
    std::ofstream(dir + "/lighttpd.conf")
        << "server.document-root = \"" << dir << "/www\"\nserver.bind = \"127.0.2.1\"\n"
        << "server.port = 80\nserver.username = \"www-data\"\nserver.groupname = \"www-data\"\n"
        << "mimetype.assign = (\"\" => \"application/octet-stream\")\n";
    QXTest::Shell("chmod -R a+rX " + dir);
    pid_t lighttpd = std::atoi(
        ns.Capture("lighttpd -D -f " + dir + "/lighttpd.conf >/dev/null 2>&1 & echo $!").c_str());
    for (int i = 0; i < 100 && ns.Exec("curl -s --noproxy \"*\" -o /dev/null "
                                       "http://127.0.2.1/") != 0;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    std::string sizeText = std::to_string(size);
    CompareThroughput("simulator", ns, kCamera,
                      L"/gen/" + std::wstring(sizeText.begin(), sizeText.end()),
                      "http://127.0.1.5/gen/" + sizeText, size, true, qxnet, rounds);
    CompareThroughput("lighttpd", ns, kLighttpd, L"/body.bin", "http://127.0.2.1/body.bin", size,
                      false, qxnet, rounds);

    // Small authenticated requests: the client pings before each one; curl does not.
    std::vector<double> ours;
    ns.Run([&] {
        Client client(kCamera);
        for (int i = 0; i < small; ++i) {
            auto start = Clock::now();
            bool ok = client.RequestImpl(L"/index.html", true, L"admin", L"pw");
            ours.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            client.Close();
            if (!ok) {
                std::fprintf(stderr, "small request failed\n");
                break;
            }
        }
    });
    // The ping alone, to show what of the difference is the guard before every request.
    std::vector<double> pings;
    ns.Run([&] {
        for (int i = 0; i < small; ++i) {
            auto start = Clock::now();
            QX::PingICMP(kCamera, 300);
            pings.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
    });
    std::vector<double> curl = CurlTimes(ns, "http://127.0.1.5/index.html", small, "admin:pw");
    double oursMs = Median(ours) * 1000;
    double curlMs = Median(curl) * 1000;
    std::printf(
        "small authenticated request: HTTPClient median %.3f ms (%zu runs, ping "
        "included), curl median %.3f ms (%zu runs), ratio %.2f; the ping alone: median %.3f ms\n",
        oursMs, ours.size(), curlMs, curl.size(), curlMs > 0 ? oursMs / curlMs : 0.0,
        Median(pings) * 1000);

    if (lighttpd > 0) {
        kill(lighttpd, SIGTERM);
    }
    simulator.Stop();
    QXTest::Shell("rm -rf " + dir);
    return 0;
}
