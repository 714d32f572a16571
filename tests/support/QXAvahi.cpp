#include "tests/support/QXAvahi.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "qxnet/platform/QXSync.h"
#include "tests/support/QXDnsMessage.h"

namespace QXTest {

Avahi::Avahi(const NetNamespace& ns, const std::string& interfaceName, const std::string& hostName,
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
           "[publish]\npublish-hinfo=no\npublish-workstation=no\npublish-addresses=yes\n\n"
           "[reflector]\nenable-reflector=no\n";
    mkdir((m_dir + "/services").c_str(), 0755);
    if (!service.empty()) {
        std::ofstream(m_dir + "/services/korv.service") << service;
    }
    const std::string script = "mount -t tmpfs tmpfs /run && mount --bind " + m_dir +
                               "/services /etc/avahi/services && exec avahi-daemon -f " + m_dir +
                               "/avahi-daemon.conf --no-drop-root --no-chroot --no-rlimits";
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

Avahi::~Avahi() {
    Stop();
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

bool Avahi::Available() {
    return NetNamespace::Available() && Shell("command -v avahi-daemon >/dev/null 2>&1") == 0;
}

bool Avahi::Pair(const std::string& prefix, int subnet, std::unique_ptr<NetNamespace>& peer,
                 std::unique_ptr<NetNamespace>& host) {
    peer = std::make_unique<NetNamespace>(prefix + "p");
    host = std::make_unique<NetNamespace>(prefix + "h");
    const std::string net = "10." + std::to_string(subnet) + ".0.";
    return NetNamespace::Link(*peer, prefix + "0", net + "2/24", *host, prefix + "1", net + "1/24");
}

std::string Avahi::Service(const std::string& name, const std::string& type, int port,
                           const std::vector<std::string>& txt) {
    std::string out =
        "<?xml version=\"1.0\" standalone='no'?>\n"
        "<!DOCTYPE service-group SYSTEM \"avahi-service.dtd\">\n<service-group><name>" +
        name + "</name><service><type>" + type + "</type><port>" + std::to_string(port) + "</port>";
    for (const std::string& text : txt) {
        out += "<txt-record>" + text + "</txt-record>";
    }
    return out + "</service></service-group>\n";
}

std::unique_ptr<Avahi> Avahi::Camera(const NetNamespace& ns, const std::string& interfaceName,
                                     std::uint32_t low24) {
    const std::string text = DnsMessage::CameraText(low24);
    const std::string name = text.substr(4, 8);  // QX and the MAC's low octets
    return std::make_unique<Avahi>(
        ns, interfaceName, "korv-" + name,
        Service("QX2000-" + name, "_korv._tcp", 80, {"txtvers=1", "model=QX2000", text}));
}

bool Avahi::WaitReady(std::string& log) {
    for (int i = 0; i < 100 && m_pid > 0; ++i) {
        std::stringstream text;
        text << std::ifstream(m_dir + "/avahi.log").rdbuf();
        log = text.str();
        if (log.find("successfully established") != std::string::npos) {
            return true;
        }
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
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
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

}  // namespace QXTest
