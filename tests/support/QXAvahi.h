#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "qxnet/platform/QXSync.h"
#include "tests/support/QXNetNamespace.h"

namespace QXTest {

// avahi-daemon in a namespace and a mount namespace of its own (a private /run, a temporary
// service directory), so it touches none of the host's files: no D-Bus, one interface, one
// service. Stopped by its PID with SIGTERM, so that it says goodbye.
class Avahi {
public:
    static bool Installed() { return Shell("command -v avahi-daemon >/dev/null 2>&1") == 0; }

    Avahi(const NetNamespace& ns, const std::string& interfaceName, const std::string& hostName,
          const std::string& service) {
        char pattern[] = "/tmp/qxavahi-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;  // WaitReady fails
        }
        m_dir = pattern;
        std::ofstream(m_dir + "/avahi-daemon.conf")
            << "[server]\nhost-name=" << hostName
            << "\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=" << interfaceName
            << "\nenable-dbus=no\nratelimit-interval-usec=1000000\nratelimit-burst=1000\n\n"
               "[wide-area]\nenable-wide-area=no\n\n"
               "[publish]\npublish-hinfo=no\npublish-workstation=no\npublish-addresses=yes\n";
        mkdir((m_dir + "/services").c_str(), 0755);
        std::ofstream(m_dir + "/services/korv.service")
            << "<?xml version=\"1.0\" standalone='no'?>\n<service-group><name>" << hostName
            << "</name><service>" << service << "</service></service-group>\n";
        const std::string script = "mount -t tmpfs tmpfs /run && mount --bind " + m_dir +
                                   "/services /etc/avahi/services && exec avahi-daemon -f " +
                                   m_dir + "/avahi-daemon.conf --no-drop-root --no-chroot";
        const std::string log = m_dir + "/avahi.log";
        m_pid = fork();
        if (m_pid == 0) {
            std::freopen(log.c_str(), "w", stdout);
            std::freopen(log.c_str(), "a", stderr);
            // ip netns exec, unshare and sh each exec the next: the PID is avahi-daemon's.
            execlp("ip", "ip", "netns", "exec", ns.Name().c_str(), "unshare", "-m", "sh", "-c",
                   script.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Avahi() {
        Stop();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    Avahi(const Avahi&) = delete;
    Avahi& operator=(const Avahi&) = delete;

    // Waits until the daemon runs; false with its log when it gave up or is slow.
    bool WaitReady(std::string& log) {
        for (int i = 0; i < 100 && m_pid > 0; ++i) {
            std::stringstream text;
            text << std::ifstream(m_dir + "/avahi.log").rdbuf();
            log = text.str();
            if (log.find("successfully established") != std::string::npos) {
                return true;
            }
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
            }
            QX::SleepMs(100);
        }
        return false;
    }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    std::string m_dir;
    pid_t m_pid = -1;
};

}  // namespace QXTest
