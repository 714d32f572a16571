#include "tests/support/QXAvahi.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "qxnet/platform/QXSync.h"

namespace QXTest {

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

Avahi::Avahi(const NetNamespace& ns, const std::string& dir, const std::string& interfaceName,
             const std::string& hostName, const std::string& service)
    : m_dir(dir) {
    std::ofstream(dir + "/avahi-daemon.conf")
        << "[server]\nhost-name=" << hostName
        << "\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=" << interfaceName
        << "\nenable-dbus=no\nratelimit-interval-usec=1000000\nratelimit-burst=1000\n\n"
           "[wide-area]\nenable-wide-area=no\n\n"
           "[publish]\npublish-hinfo=no\npublish-workstation=no\npublish-addresses=yes\n\n"
           "[reflector]\nenable-reflector=no\n";
    mkdir((dir + "/services").c_str(), 0755);
    if (!service.empty()) {
        std::ofstream(dir + "/services/korv.service") << service;
    }
    const std::string script = "mount -t tmpfs tmpfs /run && mount --bind " + dir +
                               "/services /etc/avahi/services && exec avahi-daemon -f " + dir +
                               "/avahi-daemon.conf --no-drop-root --no-chroot --no-rlimits";
    const std::string log = dir + "/avahi.log";
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

Avahi::~Avahi() {
    Stop();
}

bool Avahi::Installed() {
    return Shell("command -v avahi-daemon >/dev/null 2>&1") == 0;
}

bool Avahi::WaitReady(std::string& log) {
    for (int i = 0; i < 100; ++i) {
        log = ReadFile(m_dir + "/avahi.log");
        if (log.find("successfully established") != std::string::npos) {
            return true;
        }
        int status = 0;
        if (m_pid <= 0 || waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        QX::SleepMs(100);
    }
    return false;
}

void Avahi::Stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
}

}  // namespace QXTest
