#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace QXTest {

// A shell command on the host; its exit status.
inline int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A namespace with loopback up and no route out, deleted with its links when this goes.
class NetNamespace {
public:
    // prefix names it; a unique suffix keeps parallel tests apart.
    explicit NetNamespace(const std::string& prefix = "qxt") {
        static std::atomic<int> counter{0};
        m_name = prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        m_valid =
            Shell("ip netns add " + m_name + " 2>/dev/null") == 0 && Exec("ip link set lo up") == 0;
    }
    ~NetNamespace() { Shell("ip netns delete " + m_name + " 2>/dev/null"); }
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    // True when namespaces can be made here (root and the ip tool); tests skip otherwise.
    static bool Available() {
        return geteuid() == 0 && Shell("ip netns list >/dev/null 2>&1") == 0;
    }
    const std::string& Name() const { return m_name; }
    bool Valid() const { return m_valid; }

    // A shell command inside: Exec returns its exit status, Capture what it printed.
    int Exec(const std::string& command) const { return Shell(Inside(command)); }
    std::string Capture(const std::string& command) const {
        std::string out;
        if (FILE* pipe = popen(Inside(command).c_str(), "r")) {
            char buffer[4096];
            for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
                out.append(buffer, n);
            }
            pclose(pipe);
        }
        return out;
    }
    // Runs fn on a thread of its own that entered the namespace, and waits for it.
    void Run(const std::function<void()>& fn) const {
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
    // Joins two namespaces with a veth pair: ifA in a with addrA (CIDR), ifB in b with addrB.
    static bool Link(const NetNamespace& a, const std::string& ifA, const std::string& addrA,
                     const NetNamespace& b, const std::string& ifB, const std::string& addrB) {
        const auto up = [](const NetNamespace& n, const std::string& dev, const std::string& cidr) {
            return n.Exec("ip addr add " + cidr + " dev " + dev + " && ip link set " + dev + " up");
        };
        return Shell("ip link add " + ifA + " netns " + a.Name() + " type veth peer name " + ifB +
                     " netns " + b.Name()) == 0 &&
               up(a, ifA, addrA) == 0 && up(b, ifB, addrB) == 0;
    }

private:
    std::string Inside(const std::string& command) const {
        return "ip netns exec " + m_name + " sh -c '" + command + "'";
    }

    std::string m_name;
    bool m_valid = false;
};

}  // namespace QXTest
