#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/QXNetNamespace.h"

namespace QXTest {

// avahi-daemon inside a network namespace and a mount namespace of its own (a private /run and a
// temporary service directory), so it touches none of the host's files: no D-Bus, only the given
// interface, and the given service file when not empty. Stopped by its PID with SIGTERM, so that
// it says goodbye.
class Avahi {
public:
    // hostName without ".local".
    Avahi(const NetNamespace& ns, const std::string& interfaceName, const std::string& hostName,
          const std::string& service);
    ~Avahi();
    Avahi(const Avahi&) = delete;
    Avahi& operator=(const Avahi&) = delete;

    // True when namespaces can be made here and avahi-daemon is installed.
    static bool Available();
    // A peer namespace for avahi-daemon and a host namespace, joined by the veth pair <prefix>0
    // (10.<subnet>.0.2/24, the peer's) and <prefix>1 (10.<subnet>.0.1/24).
    static bool Pair(const std::string& prefix, int subnet, std::unique_ptr<NetNamespace>& peer,
                     std::unique_ptr<NetNamespace>& host);
    static std::string Service(const std::string& name, const std::string& type, int port,
                               const std::vector<std::string>& txt);
    // A camera whose MAC ends in the three octets low24, as the camera's own responder names it.
    static std::unique_ptr<Avahi> Camera(const NetNamespace& ns, const std::string& interfaceName,
                                         std::uint32_t low24);

    // Waits until the daemon runs; false with its log when it gave up or is slow.
    bool WaitReady(std::string& log);
    void Stop();

private:
    std::string m_dir;
    pid_t m_pid = -1;
};

}  // namespace QXTest
