#include "tests/support/QXNetNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace QXTest {

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool NetNamespace::Available() {
    return geteuid() == 0 && Shell("ip netns list >/dev/null 2>&1") == 0;
}

NetNamespace::NetNamespace(const std::string& prefix) {
    static std::atomic<int> counter{0};
    m_name = prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    m_valid =
        Shell("ip netns add " + m_name + " 2>/dev/null") == 0 && Exec("ip link set lo up") == 0;
}

NetNamespace::~NetNamespace() {
    Shell("ip netns delete " + m_name + " 2>/dev/null");
}

int NetNamespace::Exec(const std::string& command) const {
    return Shell("ip netns exec " + m_name + " sh -c '" + command + "'");
}

std::string NetNamespace::Capture(const std::string& command) const {
    std::string out;
    if (FILE* pipe = popen(("ip netns exec " + m_name + " sh -c '" + command + "'").c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            out.append(buffer, n);
        }
        pclose(pipe);
    }
    return out;
}

void NetNamespace::Run(const std::function<void()>& fn) const {
    std::exception_ptr failure;
    std::thread([&] {
        try {
            const int fd = open(("/var/run/netns/" + m_name).c_str(), O_RDONLY | O_CLOEXEC);
            const bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
            close(fd);
            if (!entered) {
                throw std::runtime_error("cannot enter network namespace " + m_name);
            }
            fn();
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

bool NetNamespace::Link(const NetNamespace& a, const std::string& ifA, const std::string& addrA,
                        const NetNamespace& b, const std::string& ifB, const std::string& addrB) {
    return Shell("ip link add " + ifA + " netns " + a.Name() + " type veth peer name " + ifB +
                 " netns " + b.Name()) == 0 &&
           a.Exec("ip addr add " + addrA + " dev " + ifA + " && ip link set " + ifA + " up") == 0 &&
           b.Exec("ip addr add " + addrB + " dev " + ifB + " && ip link set " + ifB + " up") == 0;
}

}  // namespace QXTest
